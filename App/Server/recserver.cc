// recserver: the station's recording server. Binds the archive service, the
// audio capture library and the GPIO library, creates one archive per
// configured archive, opens the network server and drives recording on and
// off from one UI thread until SIGTERM or SIGINT.
//
// Messages go through one pair: Say for standard error, one line each (under
// systemd, JOURNAL_STREAM set, with the "<N>" priority prefix the journal
// reads), DiagPrintf for the shared-memory diagnostic log.
//
// Under a service manager (NOTIFY_SOCKET set) the program says READY=1 once
// its port is open and the auto-start has begun, pings the watchdog from the
// UI thread's loop and says STOPPING=1 when it shuts down (ServiceNotifier.h).
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
#include <optional>
#include <string>
#include <thread>

#include "App/Server/AppLoop.h"
#include "App/Server/ArchiveServiceBinding.h"
#include "App/Server/AudioDeviceTable.h"
#include "App/Server/ConsoleServer.h"
#include "App/Server/GpioBinding.h"
#include "App/Server/InstanceLock.h"
#include "App/Server/MainWindowModel.h"
#include "App/Server/ServiceNotifier.h"
#include "App/Server/SharedLogger.h"
#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Platform/DebugOutput.h"
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

// What the platform layer finds wrong in the environment (a malformed
// LOGRUM2_CLOCK, an unknown time zone, a bad virtual device entry), in this
// program and in the libraries it loads.
void SayWarning(const char* text) {
  Say(kWarning, "%s", text);
  DiagPrintf("%s\n", text);
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
    Say(kError, "the console password must not be empty");
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

// What start-up binds and creates, released by ShutDown in the order the
// main window object releases it.
struct Program {
  SharedLogger logger;
  std::string folder;  // the state folder
  InstanceLock lock;
  std::unique_ptr<GpioBinding> gpio;
  JournalSink sink;
  std::unique_ptr<AudioDeviceTable> devices;
  platform::DynamicLibrary audiosrc;
  audio::CAudioSourceManager* manager = nullptr;
  std::unique_ptr<ArchiveServiceBinding> service;
  platform::Status service_status;  // of loading the archive service, shown if it is needed
  std::unique_ptr<MainWindowModel> model;
  ServiceNotifier notifier;
  // The UI thread's loop. It outlives the signal watcher, which may post to
  // it until the watcher ends; after the loop has quit, posts are dropped.
  AppLoop loop;
};

// The "/m" switch (start hidden in the tray) is accepted for old start
// entries; a daemon has no window to hide.
bool StartMinimised(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strstr(argv[i], "/m") != nullptr) return true;
  }
  return false;
}

// One instance per state folder. Returns the exit code when this copy is
// not to run.
std::optional<int> AcquireInstance(Program* program) {
  if (platform::Status status = platform::MakeStateFolder(&program->folder); !status.ok()) {
    Say(kError, "%s", status.message().c_str());
    return 1;
  }
  InstanceLock& lock = program->lock;
  platform::Status locked = lock.Acquire(program->folder, kAppName);
  if (locked.ok()) return std::nullopt;
  if (locked.code() != platform::Status::kBusy) {
    Say(kError, "%s", locked.message().c_str());
    return 1;
  }
  DiagPrintf("Another instance is already running!\n");
  Say(kNotice, "Another instance is already running!");
  if (lock.other_pid() > 0) {
    Say(kNotice, "running instance: process %d (lock file %s)", static_cast<int>(lock.other_pid()),
        lock.path().c_str());
  } else {
    Say(kNotice, "running instance: lock file %s", lock.path().c_str());
  }
  return 0;
}

// GPIO (optional), the audio devices, the capture library and the archive
// service, then the device definitions.
void BindLibraries(Program* program, bool start_minimised) {
  program->gpio = std::make_unique<GpioBinding>();
  platform::Status gpio = program->gpio->Load();
  if (program->gpio->entries().Open == nullptr) {
    DiagPrintf("GPIO library not available: %s\n", gpio.message().c_str());
  }

  program->devices = std::make_unique<AudioDeviceTable>(nullptr, &program->sink);
  program->devices->LoadFromLibrary();
  platform::Status bound = program->audiosrc.OpenBeside(&kAnchor, audio::kAudioSourceLibrary);
  if (bound.ok()) {
    audio::AudioSourceEntryFn entry = nullptr;
    bound = program->audiosrc.Function(audio::kAudioSourceEntry, &entry);
    if (entry != nullptr) program->manager = entry();
  }
  if (program->manager == nullptr) {
    DiagPrintf("Audio capture library not available: %s\n", bound.message().c_str());
  }
  program->service = std::make_unique<ArchiveServiceBinding>();
  program->service_status = program->service->Load();
  DefineDevices(program->manager, *program->devices);
  Say(kInfo, "state folder %s; %d audio device(s)%s", program->folder.c_str(),
      static_cast<int>(program->devices->entries().size()), start_minimised ? "; /m" : "");
}

// The main window's model: settings, archive list, controllers.
void CreateMainWindow(Program* program, MessageSink* sink) {
  ArchiveServiceBinding* service = program->service.get();
  program->model = std::make_unique<MainWindowModel>(
      nullptr, sink, [service](const std::string& name) { return service->CreateArchive(name); },
      program->gpio.get(), program->devices.get());
  program->model->set_audio_manager(program->manager);
  program->model->Load();
}

// The network server on ServerPort. False (reported) when the program is to
// shut down without running.
bool OpenServer(Program* program) {
  logrum::IArchiveServer* server = program->service->Server();
  if (server == nullptr) {
    if (!program->service_status.ok()) {
      Say(kError, "%s", program->service_status.message().c_str());
    }
    Say(kError, "Unable to get server instance!");
    return false;
  }
  int32_t port = program->model->settings().port();
  if (!server->Open(static_cast<uint32_t>(port))) {
    Say(kError, "Unable to open server!");
    char reason[512];
    server->GetOpenError(reason, sizeof reason);
    Say(kError, "%s", reason);
    return false;
  }
  Say(kInfo, "listening for clients on port %d", static_cast<int>(port));
  return true;
}

// The web console: the windows of this server. Null when it cannot start
// (reported); the server records without it.
std::unique_ptr<ConsoleServer> StartConsole(Program* program, AppLoop* loop) {
  ConsoleSettings settings;
  if (platform::Status loaded = settings.Load(nullptr); !loaded.ok()) {
    Say(kError, "%s", loaded.message().c_str());
  }
  ConsoleServer::Context context;
  context.loop = loop;
  context.model = program->model.get();
  context.fallback = &program->sink;
  context.state_folder = program->folder;
  context.web_folder = ConsoleWebFolder(platform::CodeFolder(&kAnchor));
  context.protocol_port = static_cast<uint16_t>(program->model->settings().port());
  context.archive_server = program->service->Server();
  context.gpio = program->gpio.get();
  context.log = [](int priority, const std::string& text) {
    Say(static_cast<Priority>(priority), "%s", text.c_str());
  };
  auto console = std::make_unique<ConsoleServer>(std::move(context), settings);
  if (platform::Status started = console->Start(); !started.ok()) {
    Say(kError, "%s", started.message().c_str());
    return nullptr;
  }
  Say(kNotice, "web console on %s", console->address().c_str());
  return console;
}

// Tells the service manager (if any) that clients can connect and the
// auto-start is under way; runs as the UI loop's first task.
void NotifyReady(const Program& program) {
  std::string status = "listening on port " + std::to_string(program.model->settings().port()) +
                       "; " + std::to_string(program.model->auto_start_pending()) +
                       " archive(s) to start";
  platform::Status sent = program.notifier.Notify("READY=1\nSTATUS=" + status);
  if (!sent.ok()) Say(kWarning, "%s", sent.message().c_str());
}

// The UI thread's loop: timers, console, stop signals, until the orderly stop.
void RunMainLoop(Program* program, RoutedSink* routed, SignalWatcher* signals) {
  MainWindowModel* model = program->model.get();
  Say(kInfo, "%d archive(s), %d to start", static_cast<int>(model->row_count()),
      static_cast<int>(model->auto_start_pending()));
  AppLoop& loop = program->loop;
  StartWindowTimers(&loop, model, [](const ArchiveRow& row) {
    Say(row.active == "Yes" ? kInfo : kWarning, "archive %s: %s", row.name.c_str(),
        row.status.state.c_str());
  });
  std::unique_ptr<ConsoleServer> console = StartConsole(program, &loop);
  if (console != nullptr) routed->set_target(console->sink());
  signals->Start(&loop, [&](int signal_number) {
    Say(kNotice, "%s: stopping every archive", strsignal(signal_number));
    if (console != nullptr) console->Stop();
    routed->set_target(&program->sink);
    // Clients go before the archives they may be using.
    program->service->CloseServer();
    model->StopAll();
    model->ShutdownRows();
    loop.Quit(0);
  });
  StartWatchdogTimer(&loop, &program->notifier);
  loop.Post([program] { NotifyReady(*program); });
  loop.Run();
  if (console != nullptr) console->Stop();
  routed->set_target(&program->sink);
}

// The shutdown notice stays at least 900 ms while the GPIO library closes;
// then the main window object and the libraries go, the lock last, so that a
// new instance never meets a port still open.
void ShutDown(Program* program) {
  program->service->CloseServer();
  program->model->ShutdownRows();

  Say(kNotice, "Shutting down Logrum server. Please wait...");
  if (platform::Status sent = program->notifier.Notify("STOPPING=1"); !sent.ok()) {
    Say(kWarning, "%s", sent.message().c_str());
  }
  auto notice_shown = std::chrono::steady_clock::now();
  if (program->gpio->entries().Close != nullptr) program->gpio->entries().Close();
  auto elapsed = std::chrono::steady_clock::now() - notice_shown;
  if (elapsed < std::chrono::milliseconds(kNoticeMinimumMs)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kNoticeMinimumMs) - elapsed);
  }
  // The main window object: server Close, archive service, options,
  // capture library, device table.
  program->service->CloseServer();
  program->service.reset();
  program->model.reset();
  program->audiosrc.Close();
  program->devices.reset();
  program->gpio.reset();
  Say(kInfo, "stopped");
  SetDiagnosticLog(nullptr);
  program->lock.Release();
}

int Main(int argc, char** argv) {
  platform::SetWarningSink(&SayWarning);
  if (argc == 2 && std::strcmp(argv[1], "--hash-console-password") == 0) {
    return HashPasswordCommand();
  }
  Program program;        // starts no thread
  SignalWatcher signals;  // before any thread exists; ends before `program`
  // A peer that goes away (a client, an FTP server) is an error on that
  // connection, never the end of the recording server.
  ::signal(SIGPIPE, SIG_IGN);
  const bool start_minimised = StartMinimised(argc, argv);

  program.notifier = ServiceNotifier::FromEnvironment();
  StartDiagnosticLog(&program.logger, [](const char* text) { Say(kWarning, "%s", text); });
  if (std::optional<int> exit_code = AcquireInstance(&program)) return *exit_code;
  BindLibraries(&program, start_minimised);
  // Message boxes go to the journal until the web console runs, then to the
  // console, which has the journal as its fallback.
  RoutedSink routed(&program.sink);
  CreateMainWindow(&program, &routed);
  const bool opened = OpenServer(&program);
  if (opened) RunMainLoop(&program, &routed, &signals);
  ShutDown(&program);
  return opened ? 0 : 1;
}

}  // namespace
}  // namespace logrum::server

int main(int argc, char** argv) {
  using logrum::server::Say;
  try {
    return logrum::server::Main(argc, argv);
  } catch (const std::exception& e) {
    Say(logrum::server::kCritical, "%s", e.what());
  } catch (...) {
    Say(logrum::server::kCritical, "unexpected failure");
  }
  return 1;
}
