// The web console's API below HTTP: the main window model as JSON, the
// commands with their enable rules, and the console's locks.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <time.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "App/Server/ConsoleAudio.h"
#include "App/Server/ConsoleAuth.h"
#include "App/Server/ConsoleEvents.h"
#include "App/Server/ConsoleJson.h"
#include "App/Server/ConsoleServer.h"
#include "App/Server/tests/ConfigFixture.h"
#include "App/Server/tests/ConsoleFixture.h"
#include "Lib/Platform/Clock.h"
#include "tests/support/TestSupport.h"

namespace logrum::server {
namespace {

using nlohmann::json;

struct FakeState {
  bool open = false;
  bool open_fails = false;
};

class FakeArchive final : public ArchiveBinding {
 public:
  explicit FakeArchive(FakeState* state) : state_(state) {}
  ~FakeArchive() override { state_->open = false; }
  bool Open(logrum::ArchiveOptions*, logrum::SkimSwitch*, void*) override {
    if (state_->open_fails) return false;
    state_->open = true;
    return true;
  }
  void Close() override { state_->open = false; }
  bool IsActive() override { return state_->open; }
  double GetTotalStorageMB() override { return 1000; }
  double GetUsedStorageMB() override { return 12.5; }
  int32_t GetFirstSegmentTime() override { return 1704067200; }  // 2024-01-01 UTC
  int32_t GetLastSegmentTime() override { return 1704153600; }
  void Log(const char*) override {}

 private:
  FakeState* state_;
};

class ConsoleApiTest : public ConfigFixture {
 protected:
  void TearDown() override {
    model_.reset();
    ConfigFixture::TearDown();
  }
  void PutArchive(const std::string& name) {
    std::string key = ArchiveKeyPath(name);
    PutString(key, "ArchivePath", (dir_ / ("a_" + name)).string());
    PutInt(key, "AutoStart", 0);
    PutInt(key, "RecordToDisk", 1);
  }
  void MakeModel(const std::vector<std::string>& names) {
    for (const std::string& name : names) PutArchive(name);
    model_ = std::make_unique<MainWindowModel>(
        store_.get(), &sink_,
        [this](const std::string& name) { return std::make_unique<FakeArchive>(&states_[name]); },
        nullptr, nullptr);
    model_->Load();
  }
  CommandAnswer Run(const std::string& command, const json& request) {
    return RunCommand(*model_, command, request);
  }
  json Model() { return MainWindowJson(*model_, extra_); }

  ScopedUtc utc_;
  std::map<std::string, FakeState> states_;
  std::map<std::string, ConsoleRowState> extra_;
  std::unique_ptr<MainWindowModel> model_;
};

TEST_F(ConsoleApiTest, RowsCarryThePartsColumnsAndFormats) {
  MakeModel({"News"});
  json model = Model();
  EXPECT_EQ(model["caption"], "iLogrum Server v2.5.9");
  std::vector<std::string> titles;
  for (const json& column : model["columns"]) titles.push_back(column["title"]);
  EXPECT_EQ(titles, (std::vector<std::string>{"Archive Name", "Active", "Skim", "Used", "Total",
                                               "From", "To"}));
  EXPECT_EQ(model["columns"][3]["align"], "right");
  EXPECT_EQ(model["columns"][1]["width"], 50);

  const json& inactive = model["rows"][0];
  EXPECT_EQ(inactive["cells"][0], "News");
  EXPECT_EQ(inactive["cells"][1], "No");
  EXPECT_EQ(inactive["icon"], kIconInactive);
  EXPECT_EQ(inactive["status"]["caption"], "Archive: News");
  EXPECT_EQ(inactive["status"]["audio"], "<updated when active>");
  EXPECT_EQ(inactive["status"]["disk"], "<updated when active>");
  EXPECT_EQ(inactive["status"]["state"], "Inactive");
  EXPECT_TRUE(inactive["status"]["start"]);
  EXPECT_FALSE(inactive["status"]["stop"]);

  ASSERT_EQ(Run("start", {{"archive", "news"}}).status, 200);  // names ignore case
  extra_["News"].silence = "Silence: peaks under -50 dBFS for 60 s";
  const json active = Model()["rows"][0];
  EXPECT_EQ(active["cells"], json({"News", "Yes", "OFF", "12.500", "1000.000", "2024.Jan.01",
                                   "2024.Jan.02"}));
  EXPECT_EQ(active["icon"], kIconRecording);
  EXPECT_EQ(active["status"]["state"], "Active, skim OFF");
  EXPECT_EQ(active["status"]["disk"], "12.500 MB used of 1000.000 MB total");
  EXPECT_EQ(active["status"]["audio"], "2024.Jan.01 - 2024.Jan.02");
  EXPECT_FALSE(active["status"]["start"]);
  EXPECT_TRUE(active["status"]["stop"]);
  EXPECT_EQ(active["silence"], "Silence: peaks under -50 dBFS for 60 s");
  EXPECT_TRUE(active["selected"]);
}

// Each case: archives (those starting with "*" are active, "!" fail to
// open), one command, and what follows: its HTTP status, the answer's key,
// and the main window's buttons afterwards (add edit remove show start stop
// start_all stop_all as 0/1).
struct CommandCase {
  const char* name;
  std::vector<std::string> archives;
  const char* command;
  const char* request;
  int status;
  const char* answer_key;
  const char* buttons;
  const char* message = "";
};

class CommandTest : public ConsoleApiTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, RunsOnlyWhatItsButtonAllows) {
  const CommandCase& c = GetParam();
  std::vector<std::string> names;
  std::vector<std::string> active;
  for (std::string name : c.archives) {
    if (name[0] == '*') active.push_back(name = name.substr(1));
    if (name[0] == '!') states_[name = name.substr(1)].open_fails = true;
    names.push_back(name);
  }
  MakeModel(names);
  for (const std::string& name : active) {
    ASSERT_EQ(Run("start", {{"archive", name}}).status, 200);
  }
  model_->Select({});
  CommandAnswer answer = Run(c.command, json::parse(c.request));
  EXPECT_EQ(answer.status, c.status) << answer.body.dump();
  EXPECT_TRUE(answer.body.contains(c.answer_key)) << answer.body.dump();
  const json b = Model()["buttons"];
  std::string buttons;
  for (const char* key : {"add", "edit", "remove", "show", "start", "stop", "start_all", "stop_all"}) {
    buttons += b[key].get<bool>() ? '1' : '0';
  }
  EXPECT_EQ(buttons, c.buttons);
  std::string shown = sink_.texts.empty() ? "" : sink_.texts.back();
  EXPECT_EQ(shown, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTest,
    ::testing::Values(
        CommandCase{"NoArchivesOnlyAdd", {}, "select", R"({"archives":[]})", 200, "ok", "10000000"},
        CommandCase{"StartSelectsAndStarts", {"A"}, "start", R"({"archive":"A"})", 200, "ok", "11010111"},
        CommandCase{"StartOfActiveRefused", {"*A"}, "start", R"({"archive":"A"})", 409, "error", "11010111"},
        CommandCase{"StopOfInactiveRefused", {"A"}, "stop", R"({"archive":"A"})", 409, "error", "11111010"},
        CommandCase{"StopStops", {"*A", "B"}, "stop", R"({"archive":"A"})", 200, "ok", "11111010"},
        CommandCase{"FailedStartShowsTheMessage", {"!A"}, "start", R"({"archive":"A"})", 200, "ok",
                    "11111010", "Unable to start archive!"},
        CommandCase{"StartAllOnEmptyListRefused", {}, "start-all", "{}", 409, "error", "10000000"},
        CommandCase{"StopAllWithNoneActiveRefused", {"A"}, "stop-all", "{}", 409, "error", "10000010"},
        CommandCase{"StopAllStops", {"*A", "*B"}, "stop-all", "{}", 200, "ok", "10000010"},
        CommandCase{"RemoveAsksFirst", {"A", "B"}, "remove", R"({"archives":["A"]})", 200, "confirm",
                    "11111010"},
        CommandCase{"RemoveConfirmedRemoves", {"A", "B"}, "remove",
                    R"({"archives":["A"],"confirmed":true})", 200, "ok", "11111010"},
        CommandCase{"RemoveOfActiveRefused", {"*A"}, "remove",
                    R"({"archives":["A"],"confirmed":true})", 409, "error", "11010111"},
        CommandCase{"UnknownArchive", {"A"}, "start", R"({"archive":"Nope"})", 404, "error", "10000010"},
        CommandCase{"ArchiveMustBeText", {"A"}, "stop", R"({"archive":3})", 400, "error", "10000010"},
        CommandCase{"UnknownCommand", {"A"}, "format", "{}", 404, "error", "10000010"},
        CommandCase{"ShowShows", {"A"}, "show", R"({"archive":"A","shown":true})", 200, "ok", "11111010"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

TEST_F(ConsoleApiTest, RemoveAnswersTheQuestionTextAndKeepsTheRowUntilConfirmed) {
  MakeModel({"A", "B", "C"});
  CommandAnswer question = Run("remove", {{"archives", {"A", "B"}}});
  EXPECT_EQ(question.body["confirm"], "Remove?");
  EXPECT_EQ(model_->row_count(), 3u);
  ASSERT_EQ(Run("remove", {{"archives", {"A", "B"}}, {"confirmed", true}}).status, 200);
  json rows = Model()["rows"];
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["name"], "C");
  EXPECT_TRUE(rows[0]["selected"]);  // the row now at the first removed position
}

TEST(ConsolePasswordTest, SaltedHashVerifiesOnlyTheRightPassword) {
  const std::string first = HashConsolePassword("studio 5", 1000);
  const std::string second = HashConsolePassword("studio 5", 1000);
  EXPECT_NE(first, second);  // fresh salt
  EXPECT_EQ(first.rfind("pbkdf2-sha256$1000$", 0), 0u) << first;
  EXPECT_TRUE(VerifyConsolePassword(first, "studio 5"));
  EXPECT_TRUE(VerifyConsolePassword(second, "studio 5"));
  EXPECT_FALSE(VerifyConsolePassword(first, "studio 6"));
  EXPECT_FALSE(VerifyConsolePassword(first, ""));
  for (const char* bad : {"", "studio 5", "pbkdf2-sha256$0$00$00", "md5$1$00$" , "pbkdf2-sha256$10$zz$00",
                          "pbkdf2-sha256$10$0011$0011"}) {
    EXPECT_FALSE(VerifyConsolePassword(bad, "studio 5")) << bad;
  }
}

TEST(ConsoleHostTest, OnlyTheBoundNamesPass) {
  ConsoleSettings loopback;
  ConsoleSettings remote;
  remote.host = "192.0.2.10";
  remote.port = 8080;
  remote.host_names = {"logger.example.org"};
  struct Case {
    const ConsoleSettings* settings;
    const char* host;
    bool allowed;
  };
  for (const Case& c : {Case{&loopback, "127.0.0.1:9021", true}, Case{&loopback, "localhost:9021", true},
                        Case{&loopback, "LOCALHOST:9021", true}, Case{&loopback, "[::1]:9021", true},
                        Case{&loopback, "127.0.0.1:9022", false}, Case{&loopback, "evil.example:9021", false},
                        Case{&loopback, "127.0.0.1", false}, Case{&loopback, "", false},
                        Case{&remote, "192.0.2.10:8080", true}, Case{&remote, "localhost:8080", false},
                        Case{&remote, "logger.example.org", true},
                        Case{&remote, "logger.example.org:8080", true},
                        Case{&remote, "logger.example.org.evil:8080", false}}) {
    EXPECT_EQ(HostAllowed(*c.settings, c.host), c.allowed) << c.settings->host << " " << c.host;
  }
}

TEST(ConsoleAddressTest, ParsesHostAndPort) {
  std::string host;
  int port = 0;
  ASSERT_TRUE(ParseConsoleAddress("0.0.0.0:8080", &host, &port));
  EXPECT_EQ(host, "0.0.0.0");
  EXPECT_EQ(port, 8080);
  ASSERT_TRUE(ParseConsoleAddress("[::1]:9021", &host, &port));
  EXPECT_EQ(host, "::1");
  for (const char* bad : {"", "9021", ":9021", "host:", "host:0", "host:70000", "host:12a", "[::1]9021"}) {
    EXPECT_FALSE(ParseConsoleAddress(bad, &host, &port)) << bad;
  }
  EXPECT_TRUE(IsLoopbackHost("127.0.0.2"));
  EXPECT_TRUE(IsLoopbackHost("::1"));
  EXPECT_FALSE(IsLoopbackHost("0.0.0.0"));
  EXPECT_FALSE(IsLoopbackHost("192.0.2.1"));
}

TEST(ConsoleLoginLimitTest, LocksAfterFreeFailuresAndDoublesTheWait) {
  platform::ManualClock clock(0, 1000);
  LoginLimiter limiter(&clock);
  for (int i = 0; i < LoginLimiter::kFreeFailures - 1; ++i) limiter.Failed("10.0.0.1");
  EXPECT_EQ(limiter.WaitMs("10.0.0.1"), 0u);
  limiter.Failed("10.0.0.1");
  EXPECT_EQ(limiter.WaitMs("10.0.0.1"), LoginLimiter::kFirstLockMs);
  EXPECT_EQ(limiter.WaitMs("10.0.0.2"), 0u);  // per address
  clock.AdvanceUs(int64_t{LoginLimiter::kFirstLockMs} * 1000);
  EXPECT_EQ(limiter.WaitMs("10.0.0.1"), 0u);
  limiter.Failed("10.0.0.1");
  EXPECT_EQ(limiter.WaitMs("10.0.0.1"), 2 * LoginLimiter::kFirstLockMs);
  for (int i = 0; i < 20; ++i) limiter.Failed("10.0.0.1");
  EXPECT_EQ(limiter.WaitMs("10.0.0.1"), LoginLimiter::kMaxLockMs);
  limiter.Succeeded("10.0.0.1");
  EXPECT_EQ(limiter.WaitMs("10.0.0.1"), 0u);
}

TEST(ConsoleSessionsTest, LoginGivesAFreshIdAndToken) {
  ConsoleSessions sessions;
  ConsoleSession anonymous = sessions.Create(ConsoleRole::kNone);
  auto admin = sessions.Promote(anonymous.id, ConsoleRole::kAdmin, "");
  ASSERT_TRUE(admin.has_value());
  EXPECT_NE(admin->id, anonymous.id);
  EXPECT_NE(admin->token, anonymous.token);
  EXPECT_FALSE(sessions.Find(anonymous.id).has_value());
  EXPECT_EQ(sessions.Find(admin->id)->role, ConsoleRole::kAdmin);
  EXPECT_FALSE(sessions.Promote("nope", ConsoleRole::kAdmin, "").has_value());
}

TEST(SilenceWatchTest, RaisesAfterTheHoldAndClearsOnTheFirstLoudPeak) {
  SilenceWatch watch(-50.0, 60);
  EXPECT_EQ(watch.threshold(), 104);  // 32768 x 10^(-50/20)
  const int64_t s = 1000000;
  EXPECT_EQ(watch.Feed(-5000, 5000, 0), SilenceWatch::Change::kNone);
  EXPECT_EQ(watch.Feed(-103, 103, 1 * s), SilenceWatch::Change::kNone);
  EXPECT_EQ(watch.Feed(-20, 20, 60 * s), SilenceWatch::Change::kNone);  // 59 s quiet
  EXPECT_EQ(watch.Feed(0, 0, 61 * s), SilenceWatch::Change::kOn);
  EXPECT_EQ(watch.Feed(0, 0, 62 * s), SilenceWatch::Change::kNone);
  EXPECT_EQ(watch.Feed(-104, 0, 63 * s), SilenceWatch::Change::kOff);
  EXPECT_EQ(watch.Feed(0, 0, 64 * s), SilenceWatch::Change::kNone);  // the hold starts again
  EXPECT_EQ(watch.Feed(0, 0, 124 * s), SilenceWatch::Change::kOn);
}

TEST(ConsoleEventsTest, NewPageGetsTheModelFirstAndASlowPageIsDropped) {
  ConsoleEvents events;
  events.Publish("model", R"({"rows":[]})");
  auto page = events.Subscribe();
  events.Publish("level", R"({"archive":"A","min":-1,"max":1})");
  std::string text;
  ASSERT_TRUE(page->Next(0, &text));
  EXPECT_EQ(text,
            "event: model\ndata: {\"rows\":[]}\n\n"
            "event: level\ndata: {\"archive\":\"A\",\"min\":-1,\"max\":1}\n\n");
  for (size_t i = 0; i <= ConsoleEvents::kMaxPending; ++i) events.Publish("level", "{}");
  EXPECT_EQ(events.subscribers(), 0u);
  EXPECT_TRUE(page->Next(0, &text));  // what was queued is still handed out
  EXPECT_FALSE(page->Next(0, &text));
}

TEST(ConsoleMessagesTest, MessageBoxesGoToAnOpenPageElseToTheJournal) {
  RecordingSink journal;
  AppLoop loop;
  ConsoleServer::Context context;
  context.loop = &loop;
  context.fallback = &journal;
  ConsoleServer console(context, ConsoleSettings());
  console.sink()->ShowMessage(0, "Unable to start archive!");
  EXPECT_EQ(journal.texts, std::vector<std::string>{"Unable to start archive!"});

  auto page = console.events().Subscribe();
  console.sink()->ShowMessage(0, "Unable to start archive!");
  std::string text;
  ASSERT_TRUE(page->Next(0, &text));
  EXPECT_EQ(text, "event: message\ndata: {\"text\":\"Unable to start archive!\"}\n\n");
  EXPECT_EQ(journal.texts.size(), 1u);

  console.events().Unsubscribe(page);
  console.sink()->ShowMessage(0, "Remove?");
  EXPECT_EQ(journal.texts.back(), "Remove?");
}

TEST(ConsoleStartTest, AnotherAddressNeedsAPassword) {
  AppLoop loop;
  ConsoleServer::Context context;
  context.loop = &loop;
  ConsoleSettings settings;
  settings.host = "0.0.0.0";
  settings.port = 1;
  ConsoleServer console(context, settings);
  platform::Status started = console.Start();
  EXPECT_FALSE(started.ok());
  EXPECT_NE(started.message().find("set a console password"), std::string::npos)
      << started.message();
}

// The HTTP front itself, on its own threads with the UI loop on another, as
// recserver runs it (and so under the sanitizers too).
class ConsoleHttpTest : public ConsoleApiTest {
 protected:
  void StartConsole(const std::string& password_hash = "") {
    MakeModel({"News", "Sport"});
    ConsoleServer::Context context;
    context.model = model_.get();
    context.fallback = &sink_;
    context.state_folder = dir_.string();
    ConsoleSettings settings;
    settings.password_hash = password_hash;
    ASSERT_NO_FATAL_FAILURE(console_.Start(context, settings));
  }
  void TearDown() override {
    console_.Stop();
    ConsoleApiTest::TearDown();
  }
  // A session: its cookie and token.
  std::pair<std::string, std::string> Session() {
    console_.OpenSession();
    return {console_.cookie(), console_.token()};
  }
  httplib::Result Post(const std::string& path, const json& body, const std::string& cookie,
                       const std::string& token) {
    httplib::Headers headers{{"Cookie", cookie}};
    if (!token.empty()) headers.emplace("X-Console-Token", token);
    return client().Post(path.c_str(), headers, body.dump(), "application/json");
  }
  httplib::Client& client() { return console_.client(); }

  TestConsole console_;
};

TEST_F(ConsoleHttpTest, CommandsNeedTheTokenAndRunOnTheLoop) {
  StartConsole();
  auto [cookie, token] = Session();
  auto refused = Post("/api/command/start", {{"archive", "News"}}, cookie, "");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 403);
  refused = Post("/api/command/start", {{"archive", "News"}}, cookie, std::string(32, '0'));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 403);
  EXPECT_FALSE(states_["News"].open);

  auto started = Post("/api/command/start", {{"archive", "News"}}, cookie, token);
  ASSERT_TRUE(started);
  EXPECT_EQ(started->status, 200) << started->body;
  auto again = Post("/api/command/start", {{"archive", "News"}}, cookie, token);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 409);
  auto bad = Post("/api/command/start", json::array(), cookie, token);
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);

  auto model = client().Get("/api/model");
  ASSERT_TRUE(model);
  json rows = json::parse(model->body)["rows"];
  EXPECT_EQ(rows[0]["cells"][1], "Yes");
  EXPECT_EQ(rows[1]["cells"][1], "No");
}

TEST_F(ConsoleHttpTest, OtherHostNamesAreRefused) {
  StartConsole();
  for (const char* host : {"rebound.example", "127.0.0.1:1", "localhost.evil.example"}) {
    auto answer = client().Get("/api/model", {{"Host", host}});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 403) << host;
  }
}

TEST_F(ConsoleHttpTest, MetricsNeedNoSessionOnThisMachine) {
  // A scraper cannot log in: from loopback the page answers also behind a password.
  StartConsole(HashConsolePassword("studio", 1000));
  auto metrics = client().Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200) << metrics->body;
  EXPECT_EQ(metrics->get_header_value("Content-Type"), kMetricsContentType);
  EXPECT_NE(metrics->body.find("logrum2_archive_state{archive=\"Sport\",state=\"inactive\"} 1\n"),
            std::string::npos)
      << metrics->body;
  auto locked = client().Get("/api/model");
  ASSERT_TRUE(locked);
  EXPECT_EQ(locked->status, 401);
  auto rebound = client().Get("/metrics", {{"Host", "rebound.example"}});
  ASSERT_TRUE(rebound);
  EXPECT_EQ(rebound->status, 403);
}

TEST_F(ConsoleHttpTest, APasswordLocksEverythingUntilLogin) {
  StartConsole(HashConsolePassword("studio", 1000));
  auto [cookie, token] = Session();
  auto locked = client().Get("/api/model", {{"Cookie", cookie}});
  ASSERT_TRUE(locked);
  EXPECT_EQ(locked->status, 401);
  auto wrong = Post("/api/login", {{"password", "studi0"}}, cookie, token);
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  auto right = Post("/api/login", {{"password", "studio"}}, cookie, token);
  ASSERT_TRUE(right);
  ASSERT_EQ(right->status, 200) << right->body;
  std::string admin = right->get_header_value("Set-Cookie");
  admin = admin.substr(0, admin.find(';'));
  EXPECT_NE(admin, cookie);  // a fresh session
  auto model = client().Get("/api/model", {{"Cookie", admin}});
  ASSERT_TRUE(model);
  EXPECT_EQ(model->status, 200);
  auto old = client().Get("/api/model", {{"Cookie", cookie}});
  ASSERT_TRUE(old);
  EXPECT_EQ(old->status, 401);
}

TEST_F(ConsoleHttpTest, APageGetsTheModelThenEveryChangeAsEvents) {
  StartConsole();
  auto [cookie, token] = Session();
  std::mutex mu;
  std::condition_variable changed;
  std::string received;
  std::thread page([&] {
    httplib::Client events("127.0.0.1", console_.port());
    events.Get("/api/events", [&](const char* data, size_t size) {
      std::lock_guard lock(mu);
      received.append(data, size);
      changed.notify_all();
      // Read until the start shows, then hang up.
      return received.find("\"Active, skim OFF\"") == std::string::npos;
    });
  });
  {
    std::unique_lock lock(mu);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return received.find("event: model") != std::string::npos; }));
  }
  auto started = Post("/api/command/start", {{"archive", "Sport"}}, cookie, token);
  ASSERT_TRUE(started);
  EXPECT_EQ(started->status, 200);
  page.join();
  EXPECT_NE(received.find("\"Active, skim OFF\""), std::string::npos) << received;
}

}  // namespace
}  // namespace logrum::server
