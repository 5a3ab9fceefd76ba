// recserver: the station's recording server. Binds the archive service, the
// audio capture library and the GPIO library, creates one archive per
// configured archive, opens the network server and drives recording on and
// off from one UI thread until SIGTERM or SIGINT.
//
// Messages go to standard error, one line each. Under systemd (JOURNAL_STREAM
// set) each line carries a "<N>" priority prefix that the journal reads.
//
// Exit codes: 0 after an orderly stop and when another instance already
// runs; 1 when the server cannot start (no archive service, its port cannot
// be opened, no state folder), so that a service manager sees the failure.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "App/Server/AppLoop.h"
#include "App/Server/ArchiveServiceBinding.h"
#include "App/Server/AudioDeviceTable.h"
#include "App/Server/ConsoleServer.h"
#include "App/Server/GpioBinding.h"
#include "App/Server/InstanceLock.h"
#include "App/Server/MainWindowModel.h"
#include "App/Server/SharedLogger.h"
#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Platform/DynamicLibrary.h"
#include "Lib/Platform/StateFolder.h"

namespace logrum::server {
namespace {

constexpr char kAppName[] = "recserver";
constexpr int kNoticeMinimumMs = 900;
const int kAnchor = 0;

enum Priority { kCritical = 2, kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

void Say(Priority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Say(Priority priority, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  static const bool journal = getenv("JOURNAL_STREAM") != nullptr;
  if (journal) {
    std::fprintf(stderr, "<%d>%s\n", static_cast<int>(priority), text);
  } else {
    std::fprintf(stderr, "%s: %s\n", kAppName, text);
  }
  std::fflush(stderr);
}

// Message boxes of the configuration store and the model: errors.
class JournalSink final : public MessageSink {
 public:
  void ShowMessage(int /*number*/, const std::string& text) override {
    Say(kError, "%s", text.c_str());
  }
};

// Message boxes go wherever `target` points: the journal until the web
// console runs, then the console, which has the journal as its fallback.
class RoutedSink final : public MessageSink {
 public:
  explicit RoutedSink(MessageSink* target) : target_(target) {}
  void set_target(MessageSink* target) { target_ = target; }
  void ShowMessage(int number, const std::string& text) override {
    target_->ShowMessage(number, text);
  }

 private:
  MessageSink* target_;
};

// "recserver --hash-console-password": reads a password from standard input
// (one line) and prints the stored form of the console password, for
// logrum-reg set ...\Server ConsolePassword string "$(...)".
int HashPasswordCommand() {
  std::string password;
  int c;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') password.push_back(static_cast<char>(c));
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    std::fprintf(stderr, "recserver: the console password must not be empty\n");
    return 2;
  }
  std::printf("%s\n", HashConsolePassword(password).c_str());
  return 0;
}

// Blocks the stop signals in every thread (call before any thread starts);
// a watcher thread takes them and posts the orderly stop to the UI loop.
class SignalWatcher {
 public:
  SignalWatcher() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGHUP);
    sigaddset(&set_, SIGUSR2);  // private: wakes the watcher at the end
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  }
  ~SignalWatcher() {
    if (thread_.joinable()) {
      pthread_kill(thread_.native_handle(), SIGUSR2);
      thread_.join();
    }
  }
  void Start(AppLoop* loop, std::function<void(int)> on_stop) {
    thread_ = std::thread([this, loop, on_stop = std::move(on_stop)] {
      for (;;) {
        int signal_number = 0;
        if (sigwait(&set_, &signal_number) != 0) continue;
        if (signal_number == SIGUSR2) return;
        if (signal_number == SIGHUP) continue;  // no terminal to lose: keep running
        loop->Post([on_stop, signal_number] { on_stop(signal_number); });
      }
    });
  }

 private:
  sigset_t set_;
  std::thread thread_;
};

void DefineDevices(audio::CAudioSourceManager* manager, const AudioDeviceTable& devices) {
  const auto& entries = devices.entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    const AudioDeviceEntry& entry = entries[i];
    if (manager == nullptr || !manager->DefineDevice(&entry.info)) {
      Say(kError, "Unable to define audio device %d!", static_cast<int>(i));
      continue;
    }
    DiagPrintf("A: Updated definition for device '%s' (%d).\n", entry.name.c_str(),
               static_cast<int>(i));
    DiagPrintf("  DevIndx=%d\n", static_cast<int>(entry.info.uDeviceIndex));
    DiagPrintf("  SR     =%d\n", static_cast<int>(entry.info.nSampleRate));
    DiagPrintf("  Split  =%s\n", entry.info.bSplitMono != 0 ? "YES" : "NO");
    DiagPrintf("  cbBlok =%d\n", static_cast<int>(entry.info.cbPcmBlock));
    DiagPrintf("  Left   ='%s'\n", entry.info.szSourceLeft);
    DiagPrintf("  Right  ='%s'\n", entry.info.szSourceRight);
  }
}

int Main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--hash-console-password") == 0) {
    return HashPasswordCommand();
  }
  SignalWatcher signals;  // before any thread exists
  // A peer that goes away (a client, an FTP server) is an error on that
  // connection, never the end of the recording server.
  ::signal(SIGPIPE, SIG_IGN);

  // The "/m" switch (start hidden in the tray) is accepted for old start
  // entries; a daemon has no window to hide.
  bool start_minimised = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strstr(argv[i], "/m") != nullptr) start_minimised = true;
  }

  // 1. Diagnostics.
  SharedLogger logger;
  StartDiagnosticLog(&logger, [](const char* text) { Say(kWarning, "%s", text); });

  // 2. One instance per state folder.
  std::string folder, error;
  if (!platform::MakeStateFolder(&folder, &error)) {
    Say(kError, "%s", error.c_str());
    return 1;
  }
  InstanceLock lock;
  switch (lock.Acquire(folder, kAppName, &error)) {
    case InstanceLock::Result::kAcquired:
      break;
    case InstanceLock::Result::kAlreadyRunning:
      DiagPrintf("Another instance is already running!\n");
      Say(kNotice, "Another instance is already running!");
      if (lock.other_pid() > 0) {
        Say(kNotice, "running instance: process %d (lock file %s)",
            static_cast<int>(lock.other_pid()), lock.path().c_str());
      } else {
        Say(kNotice, "running instance: lock file %s", lock.path().c_str());
      }
      return 0;
    case InstanceLock::Result::kError:
      Say(kError, "%s", error.c_str());
      return 1;
  }

  // 4. GPIO, optional.
  auto gpio = std::make_unique<GpioBinding>();
  gpio->Load(&error);
  if (gpio->entries().Open == nullptr) DiagPrintf("GPIO library not available: %s\n", error.c_str());

  // 5. The audio devices, the capture library and the archive service.
  JournalSink sink;
  auto devices = std::make_unique<AudioDeviceTable>(nullptr, &sink);
  devices->LoadFromLibrary();
  platform::DynamicLibrary audiosrc;
  audio::CAudioSourceManager* manager = nullptr;
  if (audiosrc.OpenBeside(&kAnchor, audio::kAudioSourceLibrary, &error)) {
    auto entry = audiosrc.Function<audio::AudioSourceEntryFn>(audio::kAudioSourceEntry, &error);
    if (entry != nullptr) manager = entry();
  }
  if (manager == nullptr) DiagPrintf("Audio capture library not available: %s\n", error.c_str());
  auto service = std::make_unique<ArchiveServiceBinding>();
  std::string service_error;
  service->Load(&service_error);
  DefineDevices(manager, *devices);
  Say(kInfo, "state folder %s; %d audio device(s)%s", folder.c_str(),
      static_cast<int>(devices->entries().size()), start_minimised ? "; /m" : "");

  // 7. The main window's initialisation and its loop.
  AppLoop loop;
  RoutedSink routed(&sink);
  auto model = std::make_unique<MainWindowModel>(
      nullptr, &routed,
      [&service](const std::string& name) { return service->CreateArchive(name); }, gpio.get(),
      devices.get());
  model->set_audio_manager(manager);
  model->Load();

  int exit_code = 0;
  logrum::IArchiveServer* server = service->Server();
  if (server == nullptr) {
    if (!service_error.empty()) Say(kError, "%s", service_error.c_str());
    Say(kError, "Unable to get server instance!");
    exit_code = 1;
  } else {
    int32_t port = model->settings().port();
    if (!server->Open(static_cast<uint32_t>(port))) {
      Say(kError, "Unable to open server!");
      char reason[512];
      server->GetOpenError(reason, sizeof reason);
      Say(kError, "%s", reason);
      exit_code = 1;
    } else {
      Say(kInfo, "listening for clients on port %d", static_cast<int>(port));
      Say(kInfo, "%d archive(s), %d to start", static_cast<int>(model->row_count()),
          static_cast<int>(model->auto_start_pending()));
      StartWindowTimers(&loop, model.get(), [](const ArchiveRow& row) {
        Say(row.active == "Yes" ? kInfo : kWarning, "archive %s: %s", row.name.c_str(),
            row.status.state.c_str());
      });
      // The web console: the windows of this server.
      ConsoleSettings console_settings;
      if (!console_settings.Load(nullptr, &error)) Say(kError, "%s", error.c_str());
      ConsoleServer::Context console_context;
      console_context.loop = &loop;
      console_context.model = model.get();
      console_context.fallback = &sink;
      console_context.state_folder = folder;
      console_context.web_folder = ConsoleWebFolder(platform::CodeFolder(&kAnchor));
      console_context.protocol_port = static_cast<uint16_t>(port);
      console_context.archive_server = server;
      console_context.gpio = gpio.get();
      console_context.log = [](int priority, const std::string& text) {
        Say(static_cast<Priority>(priority), "%s", text.c_str());
      };
      ConsoleServer console(std::move(console_context), console_settings);
      if (console.Start(&error)) {
        routed.set_target(console.sink());
        Say(kNotice, "web console on %s", console.address().c_str());
      } else {
        Say(kError, "%s", error.c_str());
      }
      signals.Start(&loop, [&](int signal_number) {
        Say(kNotice, "%s: stopping every archive", strsignal(signal_number));
        console.Stop();
        routed.set_target(&sink);
        // Clients go before the archives they may be using.
        service->CloseServer();
        model->StopAll();
        model->ShutdownRows();
        loop.Quit(0);
      });
      loop.Run();
      console.Stop();
      routed.set_target(&sink);
    }
  }
  service->CloseServer();
  model->ShutdownRows();

  // 8. Shutdown: the notice stays at least 900 ms.
  Say(kNotice, "Shutting down Logrum server. Please wait...");
  auto notice_shown = std::chrono::steady_clock::now();
  if (gpio->entries().Close != nullptr) gpio->entries().Close();
  auto elapsed = std::chrono::steady_clock::now() - notice_shown;
  if (elapsed < std::chrono::milliseconds(kNoticeMinimumMs)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kNoticeMinimumMs) - elapsed);
  }
  // The main window object: server Close, archive service, options,
  // capture library, device table.
  service->CloseServer();
  service.reset();
  model.reset();
  audiosrc.Close();
  devices.reset();
  gpio.reset();
  Say(kInfo, "stopped");
  SetDiagnosticLog(nullptr);
  // The lock goes last, so that a new instance never meets a port still open.
  lock.Release();
  return exit_code;
}

}  // namespace
}  // namespace logrum::server

int main(int argc, char** argv) {
  try {
    return logrum::server::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "recserver: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "recserver: unexpected failure\n");
  }
  return 1;
}
