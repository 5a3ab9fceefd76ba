#include "App/Server/ConsoleServer.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <optional>
#include <set>

#include "App/Server/ConsoleStationDialogs.h"
#include "App/Server/ConsoleArchiveDialogs.h"
#include "App/Server/SystemReport.h"
#include "App/Server/UserRecord.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"
#include "Lib/Platform/Clock.h"

namespace logrum::server {
namespace {

using nlohmann::json;

constexpr char kCookie[] = "logrum_console";
constexpr char kTokenHeader[] = "X-Console-Token";
constexpr size_t kWorkers = 128;
constexpr char kSetupNotYet[] =
    "The configuration dialogs are not available in the web console yet; "
    "use logrum-reg to change the configuration.";

void Answer(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_header("Cache-Control", "no-store");
  response.set_content(body.dump(), "application/json");
}

void Refuse(httplib::Response& response, int status, const std::string& text) {
  Answer(response, status, json{{"error", text}});
}

std::string CookieValue(const httplib::Request& request) {
  const std::string cookies = request.get_header_value("Cookie");
  const std::string key = std::string(kCookie) + "=";
  size_t at = 0;
  while ((at = cookies.find(key, at)) != std::string::npos) {
    if (at == 0 || cookies[at - 1] == ' ' || cookies[at - 1] == ';') {
      size_t begin = at + key.size();
      size_t end = cookies.find(';', begin);
      return cookies.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    at += key.size();
  }
  return "";
}

void SetCookie(httplib::Response& response, const std::string& id) {
  response.set_header("Set-Cookie",
                      std::string(kCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict");
}

const char* RoleName(ConsoleRole role) {
  switch (role) {
    case ConsoleRole::kAdmin:
      return "admin";
    case ConsoleRole::kUser:
      return "user";
    case ConsoleRole::kNone:
      break;
  }
  return "none";
}

// A stream (live audio, an export) has no byte positions to seek to: it is
// answered whole, with 200, also to the "Range: bytes=0-" that media elements
// send. The library would otherwise answer 206 without a Content-Range, which
// browsers reject. The request object is the server's own, not a constant.
void AnswerWhole(const httplib::Request& request) {
  const_cast<httplib::Request&>(request).ranges.clear();
}

bool ParseJson(const httplib::Request& request, httplib::Response& response, json* body) {
  if (request.body.empty()) {
    *body = json::object();
    return true;
  }
  *body = json::parse(request.body, nullptr, false);
  if (body->is_discarded() || !body->is_object()) {
    Refuse(response, 400, "The request body must be a JSON object");
    return false;
  }
  return true;
}

}  // namespace

std::string ConsoleWebFolder(const std::string& program_folder) {
  return program_folder + "/../share/logrum2/web";
}

void ConsoleServer::Sink::ShowMessage(int number, const std::string& text) {
  if (console_->events_.subscribers() > 0) {
    console_->events_.Publish("message", json{{"text", text}}.dump());
  } else if (console_->context_.fallback != nullptr) {
    console_->context_.fallback->ShowMessage(number, text);
  }
}

ConsoleServer::ConsoleServer(Context context, ConsoleSettings settings)
    : context_(std::move(context)), settings_(std::move(settings)) {}

ConsoleServer::~ConsoleServer() { Stop(); }

std::string ConsoleServer::address() const {
  std::string host = settings_.host;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(bound_port_) + "/";
}

platform::Status ConsoleServer::Start() {
  if (!settings_.loopback() && settings_.password_hash.empty()) {
    return platform::Status::Error(
        platform::Status::kAccessDenied,
        "the console address " + settings_.host +
            " is not a loopback address; set a console password (ConsolePassword) first");
  }
  http_ = std::make_unique<httplib::Server>();
  http_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  Routes();
  if (!http_->bind_to_port(settings_.host, settings_.port)) {
    http_.reset();
    return platform::Status::Error(
        platform::Status::kIoError,
        "the console cannot listen on " + settings_.host + ":" + std::to_string(settings_.port));
  }
  bound_port_ = settings_.port;
  feeds_ = std::make_unique<ConsoleLevelFeeds>(
      [this](const std::string& archive, int16_t minimum, int16_t maximum) {
        OnLevel(archive, minimum, maximum);
      });
  listener_ = std::thread([this] { http_->listen_after_bind(); });
  PublishModel();
  context_.loop->SetTimer(kConsoleTimer, kConsolePeriodMs, [this] { OnTimer(); });
  return platform::Status::Ok();
}

void ConsoleServer::Stop() {
  if (!http_) return;
  stopping_ = true;
  context_.loop->KillTimer(kConsoleTimer);
  events_.Close();
  if (feeds_) feeds_->StopAll();
  http_->stop();
  if (listener_.joinable()) listener_.join();
  http_.reset();
}

bool ConsoleServer::RunOnUi(const std::function<void()>& task) {
  struct Call {
    std::mutex mu;
    std::condition_variable done_cv;
    bool done = false;
    bool abandoned = false;
  };
  auto call = std::make_shared<Call>();
  context_.loop->Post([call, task] {
    // The task runs under the call's lock, so the waiter can only give up
    // before it starts or after it ends, never while it reads the caller's data.
    std::lock_guard lock(call->mu);
    if (call->abandoned) return;
    task();
    call->done = true;
    call->done_cv.notify_all();
  });
  std::unique_lock lock(call->mu);
  while (!call->done) {
    if (stopping_) {
      call->abandoned = true;
      return false;
    }
    call->done_cv.wait_for(lock, std::chrono::milliseconds(100));
  }
  return true;
}

ConsoleDialogHost ConsoleServer::DialogHost() {
  ConsoleDialogHost host;
  host.authorize = [this](const httplib::Request& request, httplib::Response& response) {
    Caller caller;
    return Authorize(request, response, Need::kControl, "", &caller);
  };
  host.run_on_ui = [this](const std::function<void()>& task) { return RunOnUi(task); };
  host.model_changed = [this] { PublishModel(); };
  host.model = context_.model;
  host.state_folder = context_.state_folder;
  return host;
}

void ConsoleServer::PublishModel() {
  std::string model = MainWindowJson(*context_.model, extra_).dump();
  if (model == last_model_) return;
  last_model_ = model;
  events_.Publish("model", model);
}

void ConsoleServer::OnTimer() {
  std::set<std::string> active;
  ConsoleLevelFeeds::Meters meters;
  for (size_t i = 0; i < context_.model->row_count(); ++i) {
    const ArchiveRow& row = context_.model->row(i);
    if (row.active == "Yes") {
      active.insert(row.name);
      meters[row.name] = row.levels;
    } else if (auto it = extra_.find(row.name); it != extra_.end() && !it->second.silence.empty()) {
      it->second.silence.clear();  // a stopped archive raises no alarm
    }
  }
  for (auto it = extra_.begin(); it != extra_.end();) {
    it = context_.model->FindRow(it->first) < 0 ? extra_.erase(it) : std::next(it);
  }
  if (feeds_) feeds_->Sync(std::move(meters));
  {
    kit::MutexLock lock(silence_mu_);
    for (auto it = silence_.begin(); it != silence_.end();) {
      it = active.count(it->first) == 0 ? silence_.erase(it) : std::next(it);
    }
  }
  PublishModel();
}

void ConsoleServer::OnLevel(const std::string& archive, int16_t minimum, int16_t maximum) {
  SilenceWatch::Change change;
  {
    kit::MutexLock lock(silence_mu_);
    // "n" counts the archive's reports, so a page (or a test) sees a gap.
    const uint64_t number = ++level_numbers_[archive];
    events_.Publish("level", json{{"archive", archive}, {"n", number}, {"min", minimum}, {"max", maximum}}.dump());
    auto it = silence_.find(archive);
    if (it == silence_.end()) {
      it = silence_.emplace(archive, SilenceWatch(settings_.silence_level_db, settings_.silence_seconds))
               .first;
    }
    change = it->second.Feed(minimum, maximum, platform::DefaultClock().NowUs());
  }
  if (change == SilenceWatch::Change::kNone) return;
  const bool on = change == SilenceWatch::Change::kOn;
  char text[160];
  std::snprintf(text, sizeof text, "Silence: peaks under %.0f dBFS for %d s",
                settings_.silence_level_db, settings_.silence_seconds);
  const std::string alarm = text;
  context_.loop->Post([this, archive, on, alarm] {
    const int row = context_.model->FindRow(archive);
    if (stopping_ || row < 0) return;
    // An archive that does not record reports no levels at all (zeros):
    // that is not silence at its input.
    if (on && context_.model->row(static_cast<size_t>(row)).controller->options()->GetRecordToDisk() != 1) {
      return;
    }
    // A silent logger is the station's worst day: critical in the journal.
    if (context_.log) {
      context_.log(2, "archive " + archive + ": " + (on ? alarm : "Silence alarm cleared: audio is back"));
    }
    extra_[archive].silence = on ? alarm : "";
    PublishModel();
  });
}

bool ConsoleServer::Authorize(const httplib::Request& request, httplib::Response& response,
                              Need need, const std::string& archive, Caller* caller) {
  std::string id = CookieValue(request);
  if (!id.empty()) {
    if (auto session = sessions_.Find(id)) {
      caller->session = *session;
      caller->has_session = true;
    }
  }
  if (request.method == "POST") {
    if (!caller->has_session || request.get_header_value(kTokenHeader) != caller->session.token) {
      Refuse(response, 403, "Missing or wrong console token");
      return false;
    }
  }
  // Without a password (loopback only) everyone who reaches the console
  // runs it.
  const bool locked = !settings_.password_hash.empty();
  ConsoleRole role = locked ? (caller->has_session ? caller->session.role : ConsoleRole::kNone)
                            : ConsoleRole::kAdmin;
  if (role == ConsoleRole::kNone) {
    Refuse(response, 401, "Log in to the console first");
    return false;
  }
  if (role == ConsoleRole::kAdmin || need == Need::kRead) return true;
  if (need == Need::kControl) {
    Refuse(response, 403, "Only the console's administrator may do this");
    return false;
  }
  int32_t rights = 0;
  const std::string user = caller->session.user;
  if (!RunOnUi([&] {
        if (UserRecord* record = context_.model->users().Find(user)) {
          rights = std::max(0, record->Rights(archive));
        }
      })) {
    Refuse(response, 503, "The server is shutting down");
    return false;
  }
  const int32_t bit = need == Need::kLive ? kRightLiveStream : kRightAccess;
  if ((rights & bit) == 0) {
    Refuse(response, 403,
           need == Need::kLive ? "No right to the live stream of this archive"
                               : "No right to the recordings of this archive");
    return false;
  }
  return true;
}

void ConsoleServer::ServeMetrics(const httplib::Request& request, httplib::Response& response) {
  std::string peer = request.remote_addr;
  if (peer.rfind("::ffff:", 0) == 0) peer.erase(0, 7);  // IPv4 on an IPv6 socket
  if (!IsLoopbackHost(peer) &&
      !MetricsTokenMatches(settings_, request.get_header_value("Authorization"))) {
    Caller caller;
    if (!Authorize(request, response, Need::kRead, "", &caller)) return;
  }
  std::vector<ArchiveMetrics> archives;
  ServerMetrics server;
  if (!RunOnUi([&] {
        for (size_t i = 0; i < context_.model->row_count(); ++i) {
          const ArchiveRow& row = context_.model->row(i);
          ArchiveMetrics& archive = archives.emplace_back();
          archive.name = row.name;
          archive.state = ArchiveStateName(row.icon);
          archive.recording = row.icon == kIconRecording || row.icon == kIconScheduledOn;
          auto it = extra_.find(row.name);
          archive.silence = it != extra_.end() && !it->second.silence.empty();
          archive.counters.cbSize = sizeof archive.counters;
          archive.has_counters = row.controller->GetCounters(&archive.counters);
        }
        server.counters.cbSize = sizeof server.counters;
        server.has_counters = context_.archive_server != nullptr &&
                              context_.archive_server->GetCounters(&server.counters) &&
                              server.counters.cbSize == sizeof server.counters;
        if (audio::CAudioSourceManager* manager = context_.model->audio_manager()) {
          const int32_t count = manager->GetNumDevices();
          for (int32_t i = 0; i < count; ++i) {
            CaptureMetrics device;
            const auto index = static_cast<uint32_t>(i);
            if (!manager->GetCaptureStats(index, &device.stats)) continue;
            if (device.stats.nFramesCaptured == 0 && device.stats.nOutages == 0) continue;
            char name[256] = "";
            manager->GetDeviceName(index, name, sizeof name);
            device.device = name;
            server.devices.push_back(std::move(device));
          }
        }
      })) {
    Refuse(response, 503, "The server is shutting down");
    return;
  }
  response.set_header("Cache-Control", "no-store");
  response.set_content(MetricsText(archives, server), kMetricsContentType);
}

bool ConsoleServer::RecordingsArchive(const httplib::Request& request, httplib::Response& response,
                                      std::string* name, std::string* folder, std::string* ext) {
  *name = request.matches[1];
  Caller caller;
  if (!Authorize(request, response, Need::kRecordings, *name, &caller)) return false;
  bool found = false;
  if (!RunOnUi([&] {
        int row = context_.model->FindRow(*name);
        if (row < 0) return;
        ArchiveOptions* options = context_.model->row(static_cast<size_t>(row)).controller->options();
        *folder = options->GetArchivePath();
        *ext = options->GetArchiveExt();
        found = true;
      })) {
    Refuse(response, 503, "The server is shutting down");
    return false;
  }
  if (!found) Refuse(response, 404, "No archive named '" + *name + "'");
  return found;
}

void ConsoleServer::Routes() {
  httplib::Server& http = *http_;
  http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    // DNS rebinding: a page of another site that resolves its own name to
    // this address still sends its own name.
    if (!HostAllowed(settings_, request.get_header_value("Host"))) {
      Refuse(response, 403, "This console is not reached by that host name");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (stopping_) {
      Refuse(response, 503, "The server is shutting down");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  http.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; img-src 'self' data:; media-src 'self' blob:; "
                        "frame-ancestors 'none'");
  });
  if (!context_.web_folder.empty()) http.set_mount_point("/", context_.web_folder);

  AddStationDialogRoutes(http, DialogHost(), context_.gpio, context_.boot_unit);

  http.Get("/api/session", [this](const httplib::Request& request, httplib::Response& response) {
    const bool locked = !settings_.password_hash.empty();
    std::optional<ConsoleSession> session;
    std::string id = CookieValue(request);
    if (!id.empty()) session = sessions_.Find(id);
    if (!session) {
      session = sessions_.Create(locked ? ConsoleRole::kNone : ConsoleRole::kAdmin);
      SetCookie(response, session->id);
    }
    Answer(response, 200,
           json{{"token", session->token},
                {"login_required", locked},
                {"role", RoleName(locked ? session->role : ConsoleRole::kAdmin)},
                {"user", session->user}});
  });

  http.Post("/api/login", [this](const httplib::Request& request, httplib::Response& response) {
    std::string id = CookieValue(request);
    auto session = id.empty() ? std::nullopt : sessions_.Find(id);
    if (!session || request.get_header_value(kTokenHeader) != session->token) {
      Refuse(response, 403, "Missing or wrong console token");
      return;
    }
    json body;
    if (!ParseJson(request, response, &body)) return;
    const std::string peer = request.remote_addr;
    if (uint64_t wait = limiter_.WaitMs(peer); wait > 0) {
      Refuse(response, 429,
             "Too many failed logins; try again in " + std::to_string((wait + 999) / 1000) + " s");
      return;
    }
    const std::string password = body.value("password", "");
    const std::string user = body.value("user", "");
    ConsoleRole role = ConsoleRole::kNone;
    if (user.empty()) {
      if (!settings_.password_hash.empty() &&
          VerifyConsolePassword(settings_.password_hash, password)) {
        role = ConsoleRole::kAdmin;
      }
    } else {
      // A protocol user: the digest the archive service checks.
      std::string digest;
      bool known = false;
      if (!RunOnUi([&] {
            if (UserRecord* record = context_.model->users().Find(user)) {
              known = true;
              digest = record->digest();
            }
          })) {
        Refuse(response, 503, "The server is shutting down");
        return;
      }
      if (known && !digest.empty() && protocol::PasswordDigestText(user, password) == digest) {
        role = ConsoleRole::kUser;
      }
    }
    if (role == ConsoleRole::kNone) {
      limiter_.Failed(peer);
      Refuse(response, 401, "Login failed!");
      return;
    }
    limiter_.Succeeded(peer);
    auto promoted = sessions_.Promote(id, role, role == ConsoleRole::kUser ? user : "");
    SetCookie(response, promoted->id);
    Answer(response, 200, json{{"token", promoted->token}, {"role", RoleName(role)}, {"user", promoted->user}});
  });

  http.Post("/api/logout", [this](const httplib::Request& request, httplib::Response& response) {
    std::string id = CookieValue(request);
    auto session = id.empty() ? std::nullopt : sessions_.Find(id);
    if (!session || request.get_header_value(kTokenHeader) != session->token) {
      Refuse(response, 403, "Missing or wrong console token");
      return;
    }
    sessions_.Remove(id);
    Answer(response, 200, json{{"ok", true}});
  });

  http.Get("/api/model", [this](const httplib::Request& request, httplib::Response& response) {
    Caller caller;
    if (!Authorize(request, response, Need::kRead, "", &caller)) return;
    json model;
    if (!RunOnUi([&] { model = MainWindowJson(*context_.model, extra_); })) {
      Refuse(response, 503, "The server is shutting down");
      return;
    }
    model["role"] = RoleName(caller.has_session && !settings_.password_hash.empty()
                                 ? caller.session.role
                                 : ConsoleRole::kAdmin);
    Answer(response, 200, model);
  });

  http.Post(R"(/api/command/([a-z-]+))",
            [this](const httplib::Request& request, httplib::Response& response) {
              Caller caller;
              if (!Authorize(request, response, Need::kControl, "", &caller)) return;
              json body;
              if (!ParseJson(request, response, &body)) return;
              const std::string command = request.matches[1];
              CommandAnswer answer;
              if (!RunOnUi([&] {
                    answer = RunCommand(*context_.model, command, body);
                    if (answer.changed) PublishModel();
                  })) {
                Refuse(response, 503, "The server is shutting down");
                return;
              }
              Answer(response, answer.status, answer.body);
            });

  http.Get(R"(/api/setup/([a-z-]+))",
           [this](const httplib::Request& request, httplib::Response& response) {
             Caller caller;
             if (!Authorize(request, response, Need::kControl, "", &caller)) return;
             Refuse(response, 501, kSetupNotYet);
           });

  RegisterArchiveDialogs(http, DialogHost());

  http.Get("/api/about", [this](const httplib::Request& request, httplib::Response& response) {
    Caller caller;
    if (!Authorize(request, response, Need::kRead, "", &caller)) return;
    Answer(response, 200,
           json{{"caption", kConsoleCaption}, {"report", SystemReport(context_.state_folder)}});
  });

  http.Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
    ServeMetrics(request, response);
  });

  http.Get("/api/events", [this](const httplib::Request& request, httplib::Response& response) {
    Caller caller;
    if (!Authorize(request, response, Need::kRead, "", &caller)) return;
    auto subscription = events_.Subscribe();
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, subscription](size_t, httplib::DataSink& sink) {
          std::string text;
          while (!stopping_) {
            if (!subscription->Next(5000, &text)) break;
            if (text.empty()) text = ": idle\n\n";  // finds a page that went away
            if (!sink.write(text.data(), text.size())) break;
          }
          sink.done();
          return true;
        },
        [this, subscription](bool) { events_.Unsubscribe(subscription); });
  });

  http.Get(R"(/api/archives/([^/]+)/days/(\d{4})-(\d{2})-(\d{2}))",
           [this](const httplib::Request& request, httplib::Response& response) {
             std::string name, folder, ext;
             if (!RecordingsArchive(request, response, &name, &folder, &ext)) return;
             std::vector<SegmentEntry> segments;
             platform::Status status =
                 DaySegments(folder, std::stoi(request.matches[2]), std::stoi(request.matches[3]),
                             std::stoi(request.matches[4]), &segments);
             if (!status.ok()) {
               Refuse(response, status.code() == platform::Status::kInvalidArgument ? 400 : 500,
                      status.message());
               return;
             }
             json list = json::array();
             for (const SegmentEntry& segment : segments) {
               // Linear times pass 2^53: as text, so the page keeps every digit.
               list.push_back({{"start", std::to_string(segment.start)},
                               {"time", segment.time},
                               {"duration_ms", segment.duration_ms},
                               {"skim", segment.skim}});
             }
             Answer(response, 200, json{{"archive", name}, {"segments", list}});
           });

  http.Get(R"(/api/archives/([^/]+)/segments/(\d+)\.mp3)",
           [this](const httplib::Request& request, httplib::Response& response) {
             std::string name, folder, ext;
             if (!RecordingsArchive(request, response, &name, &folder, &ext)) return;
             auto audio = std::make_shared<SegmentAudio>();
             int64_t start = 0;
             try {
               start = std::stoll(request.matches[2]);
             } catch (const std::exception&) {
               Refuse(response, 404, "no such segment");
               return;
             }
             if (platform::Status status = audio->Open(folder, ext, start); !status.ok()) {
               Refuse(response, 404, status.message());
               return;
             }
             // A range that starts past the audio (in the trailer, or past the
             // file) is not satisfiable; the library would answer it with a
             // length that wraps around.
             for (const auto& [first, last] : request.ranges) {
               if (first >= 0 && static_cast<uint64_t>(first) >= audio->size()) {
                 response.set_header("Content-Range", "bytes */" + std::to_string(audio->size()));
                 Refuse(response, 416, "The range lies outside the segment's audio");
                 return;
               }
             }
             response.set_header("Accept-Ranges", "bytes");
             response.set_header("Cache-Control", "no-store");
             // Only the audio part is offered; range requests are cut to it.
             response.set_content_provider(
                 audio->size(), "audio/mpeg",
                 [this, audio](size_t offset, size_t length, httplib::DataSink& sink) {
                   char buffer[65536];
                   while (length > 0 && !stopping_) {
                     size_t n = audio->ReadAt(offset, buffer, std::min(length, sizeof buffer));
                     if (n == 0) return false;
                     if (!sink.write(buffer, n)) return false;
                     offset += n;
                     length -= n;
                   }
                   return length == 0;
                 });
           });

  http.Get(R"(/api/archives/([^/]+)/export)",
           [this](const httplib::Request& request, httplib::Response& response) {
             std::string name, folder, ext;
             if (!RecordingsArchive(request, response, &name, &folder, &ext)) return;
             int64_t from = 0, to = 0;
             if (!ParseLocalTime(request.get_param_value("from"), &from) ||
                 !ParseLocalTime(request.get_param_value("to"), &to)) {
               Refuse(response, 400, "from and to must be local times YYYY-MM-DDTHH:MM:SS");
               return;
             }
             auto pieces = std::make_shared<std::vector<ExportPiece>>();
             if (platform::Status status = PlanExport(folder, from, to, pieces.get());
                 !status.ok()) {
               Refuse(response, 400, status.message());
               return;
             }
             if (pieces->empty()) {
               Refuse(response, 404, "No recording in that range");
               return;
             }
             std::string file = name + " " + request.get_param_value("from") + ".mp3";
             for (char& c : file) {
               if (c == '"' || c == '\\' || c == '/' || c < ' ') c = '_';
             }
             response.set_header("Content-Disposition", "attachment; filename=\"" + file + "\"");
             AnswerWhole(request);
             response.set_chunked_content_provider(
                 "audio/mpeg", [this, folder, ext, pieces](size_t, httplib::DataSink& sink) {
                   bool ok = WriteExport(folder, ext, *pieces, [&](const char* data, size_t size) {
                     return !stopping_ && sink.write(data, size);
                   });
                   if (ok) sink.done();
                   return ok;
                 });
           });

  http.Get(R"(/api/archives/([^/]+)/live)",
           [this](const httplib::Request& request, httplib::Response& response) {
             const std::string name = request.matches[1];
             Caller caller;
             if (!Authorize(request, response, Need::kLive, name, &caller)) return;
             // The archive service serves live audio to a user with the live
             // right: the page's own user, or for the administrator the first
             // user who has that right on the archive.
             std::string user, digest;
             const bool as_user = caller.has_session && caller.session.role == ConsoleRole::kUser &&
                                  !settings_.password_hash.empty();
             if (!RunOnUi([&] {
                   context_.model->users().ForEach([&](UserRecord& record) {
                     if (!user.empty()) return;
                     if (as_user ? FoldName(record.name()) == FoldName(caller.session.user)
                                 : (std::max(0, record.Rights(name)) & kRightLiveStream) != 0) {
                       user = record.name();
                       digest = record.digest();
                     }
                   });
                 })) {
               Refuse(response, 503, "The server is shutting down");
               return;
             }
             if (user.empty()) {
               Refuse(response, 409, "No user has the live stream right on this archive");
               return;
             }
             auto relay = std::make_shared<LiveRelay>();
             platform::Status prepared = relay->Prepare(context_.protocol_port, user, digest, name);
             if (!prepared.ok()) {
               Refuse(response, 409, prepared.message());
               return;
             }
             response.set_header("Cache-Control", "no-store");
             AnswerWhole(request);
             response.set_chunked_content_provider(
                 "audio/mpeg", [this, relay](size_t, httplib::DataSink& sink) {
                   relay->Run([&](const char* data, size_t size) { return sink.write(data, size); },
                              stopping_);
                   sink.done();
                   return true;
                 });
           });
}

}  // namespace logrum::server
