// The web console: recserver's windows as a web page, served by an embedded
// HTTP server on threads of its own.
//
// The HTTP threads only parse, check and answer: every command and every
// read of the model is posted to the UI loop and run there, so the model
// keeps its one thread. Levels and model changes reach open pages as
// server-sent events (ConsoleEvents.h); message boxes become dialogs in the
// page while one is open, and go to the fallback sink (standard error and
// the journal) while none is.
//
// Locks (ConsoleAuth.h): the Host header must name this console; every POST
// carries the session's token; with a console password every request but
// the page itself and the login needs a logged-in session; the console binds
// to a non-loopback address only with a password.
//
// /metrics (ConsoleMetrics.h) is for a monitoring scraper, which cannot log
// in: it is answered without a session to a peer on this machine (loopback),
// and to any peer that sends the configured MetricsToken as
// "Authorization: Bearer TOKEN"; from elsewhere it needs a logged-in session
// like the rest of the console. The Host header check holds for it too.
//
// Thread safety: Start and Stop on the UI thread; sink() from the UI thread.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "App/Server/AppLoop.h"
#include "App/Server/ConfigKeys.h"
#include "App/Server/ConsoleAudio.h"
#include "App/Server/ConsoleAuth.h"
#include "App/Server/ConsoleDialogs.h"
#include "App/Server/ConsoleEvents.h"
#include "App/Server/ConsoleJson.h"
#include "App/Server/ConsoleMetrics.h"
#include "App/Server/MainWindowModel.h"
#include "Lib/Kit/Mutex.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace logrum::server {

class BootUnit;
class GpioBinding;

inline constexpr int kConsoleTimer = 21;
inline constexpr int kConsolePeriodMs = 250;

class ConsoleServer {
 public:
  struct Context {
    AppLoop* loop = nullptr;
    MainWindowModel* model = nullptr;
    MessageSink* fallback = nullptr;  // messages while no page is open
    std::string state_folder;
    std::string web_folder;           // the page's files
    uint16_t protocol_port = 0;       // the archive service's port, for live audio
    // The archive service's server object, for the connection figures of
    // /metrics (asked on the UI thread); may be null.
    logrum::IArchiveServer* archive_server = nullptr;
    // Lines for the journal with their syslog priority.
    std::function<void(int priority, const std::string& text)> log;
    // The station dialogs' switch inputs (may be null) and start at boot
    // (null: systemctl).
    const GpioBinding* gpio = nullptr;
    std::shared_ptr<BootUnit> boot_unit;
  };

  ConsoleServer(Context context, ConsoleSettings settings);
  ~ConsoleServer();
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  // Binds and starts serving; an error when the address cannot be used (or
  // needs a password that is not set).
  platform::Status Start();
  // Ends every stream and request, then the server's threads. UI thread.
  void Stop();

  MessageSink* sink() { return &sink_; }
  int port() const { return bound_port_; }
  std::string address() const;
  ConsoleEvents& events() { return events_; }

 private:
  class Sink : public MessageSink {
   public:
    explicit Sink(ConsoleServer* console) : console_(console) {}
    void ShowMessage(int number, const std::string& text) override;

   private:
    ConsoleServer* console_;
  };

  enum class Need { kRead, kControl, kRecordings, kLive };
  struct Caller {
    ConsoleSession session;
    bool has_session = false;
  };

  void Routes();
  // Runs `task` on the UI thread and waits for it; false when the console
  // stops first (the task then never runs).
  bool RunOnUi(const std::function<void()>& task);
  bool Authorize(const httplib::Request& request, httplib::Response& response, Need need,
                 const std::string& archive, Caller* caller);
  void PublishModel();  // UI thread
  // /metrics: what the page reports, gathered on the UI thread.
  void ServeMetrics(const httplib::Request& request, httplib::Response& response);
  // What the configuration dialogs' routes need of the console.
  ConsoleDialogHost DialogHost();
  void OnTimer();       // UI thread
  void OnLevel(const std::string& archive, int16_t minimum, int16_t maximum);
  // The archive a recordings route names in its first match, once the caller
  // may hear its recordings: its name, folder and extension; false with the
  // refusal (403/404/503) written.
  bool RecordingsArchive(const httplib::Request& request, httplib::Response& response,
                         std::string* name, std::string* folder, std::string* ext);

  Context context_;
  ConsoleSettings settings_;
  Sink sink_{this};
  ConsoleEvents events_;
  ConsoleSessions sessions_;
  LoginLimiter limiter_;
  std::unique_ptr<httplib::Server> http_;
  std::thread listener_;
  std::atomic<bool> stopping_{false};
  int bound_port_ = 0;
  std::unique_ptr<ConsoleLevelFeeds> feeds_;

  // UI thread only.
  std::map<std::string, ConsoleRowState> extra_;
  std::string last_model_;

  kit::Mutex silence_mu_;
  std::map<std::string, SilenceWatch> silence_ GUARDED_BY(silence_mu_);
  std::map<std::string, uint64_t> level_numbers_ GUARDED_BY(silence_mu_);
};

// Where the page's files are for a program in `program_folder`
// (PREFIX/bin): PREFIX/share/logrum2/web.
std::string ConsoleWebFolder(const std::string& program_folder);

}  // namespace logrum::server
