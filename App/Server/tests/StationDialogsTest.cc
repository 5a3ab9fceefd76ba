// The station's configuration dialogs through the console's HTTP API (not a
// browser): the audio source manager, the user manager with its user and
// rights dialogs, the server options and the GPIO dialogs. A real console on
// a loopback port, a real configuration store, the GPIO library's core with
// a loopback text server, a capture library stand-in and a start-at-boot
// stand-in.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "App/Server/ConsoleServer.h"
#include "App/Server/GpioBinding.h"
#include "App/Server/ServerOptionsDialog.h"
#include "App/Server/UserDialogs.h"
#include "App/Server/tests/ConfigFixture.h"
#include "App/Server/tests/ConsoleFixture.h"
#include "Lib/Gpio/GpioLibrary.h"
#include "Lib/Gpio/Pattern.h"
#include "Lib/Gpio/tests/TextServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"

namespace logrum::server {
namespace {

using nlohmann::json;

// ---- The GPIO library's console interface over an in-process library, as
// gpiolink.so exports it.
gpio::GpioLibrary* g_gpio = nullptr;

void Copy(const std::string& text, char* out, size_t size) {
  std::snprintf(out, size, "%s", text.c_str());
}

bool ReadInput(const char* source, int input, GpioInputInfo* info) {
  gpio::InputView view;
  if (!g_gpio->ReadInput(source, input, &view)) return false;
  *info = GpioInputInfo{};
  Copy(view.config.host_address, info->szHostAddress, sizeof info->szHostAddress);
  Copy(view.config.on_pattern, info->szOnPattern, sizeof info->szOnPattern);
  Copy(view.config.off_pattern, info->szOffPattern, sizeof info->szOffPattern);
  info->bCaseSensitive = view.config.case_sensitive;
  info->bInitialState = view.config.initial_state;
  info->bActive = view.config.active;
  info->bState = view.state;
  Copy(view.status, info->szStatus, sizeof info->szStatus);
  return true;
}

bool Configure(const char* source, int input, const GpioInputInfo* info, char* error,
               uint32_t size) {
  gpio::InputConfig config;
  config.host_address = info->szHostAddress;
  config.on_pattern = info->szOnPattern;
  config.off_pattern = info->szOffPattern;
  config.case_sensitive = info->bCaseSensitive != 0;
  config.initial_state = info->bInitialState != 0;
  config.active = info->bActive != 0;
  platform::Status status = g_gpio->Configure(source, input, config);
  Copy(status.message(), error, size);
  return status.ok();
}

bool Save() {
  return g_gpio->Save().ok();
}

void TestRule(const char* on, const char* off, uint8_t case_sensitive, const char* text,
              char* result, uint32_t size) {
  Copy(gpio::TestRule(on, off, case_sensitive != 0, text), result, size);
}

bool ShowConfigDialog(const char*, const char* source) {
  return g_gpio->ShowConfigDialog(source);
}

// Capture devices by name, each possibly capturing.
class FakeManager final : public audio::CAudioSourceManager {
 public:
  explicit FakeManager(std::vector<std::string> names)
      : names_(std::move(names)), active_(names_.size(), false) {}
  int32_t GetNumDevices() override { return static_cast<int32_t>(names_.size()); }
  uint32_t GetDeviceName(uint32_t index, char* buffer, uint32_t size) override {
    if (index >= names_.size()) return 0;
    std::snprintf(buffer, size, "%s", names_[index].c_str());
    return static_cast<uint32_t>(names_[index].size() + 1);
  }
  bool IsDeviceActive(uint32_t index) override { return index < active_.size() && active_[index]; }
  bool DefineDevice(const audio::DeviceInfo*) override { return true; }
  bool Subscribe(const char*, const audio::SourceSubscription*) override { return false; }
  bool Unsubscribe(const char*, const audio::SourceSubscription*) override { return false; }
  void RemoveAll() override {}

  std::vector<std::string> names_;
  std::vector<bool> active_;
};

class FakeBootUnit final : public BootUnit {
 public:
  platform::Status Query(State* answer) override {
    *answer = state;
    if (state == State::kUnknown) {
      return platform::Status::Error(platform::Status::kIoError, "systemctl: unknown");
    }
    return platform::Status::Ok();
  }
  platform::Status Set(bool enabled) override {
    calls.push_back(enabled ? "enable" : "disable");
    if (!refusal.empty()) return platform::Status::Error(platform::Status::kIoError, refusal);
    state = enabled ? State::kEnabled : State::kDisabled;
    return platform::Status::Ok();
  }
  State state = State::kDisabled;
  std::string refusal;
  std::vector<std::string> calls;
};

class StationDialogsTest : public ConfigFixture {
 protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    for (const char* name : {"News", "Talk"}) {
      PutString(ArchiveKeyPath(name), "ArchivePath", (dir_ / name).string());
    }
    PutString(AudioDevices2KeyPath(), "Desk", "2Card A");   // the left channel of Card A
    PutString(AudioDevices2KeyPath(), "Booth", "1Card B");  // the right one of Card B
    devices_ = std::make_unique<AudioDeviceTable>(store_.get(), &sink_);
    devices_->Load(&manager_);

    gpio::GpioLibrary::Options options;
    options.store = store_.get();
    options.retry_interval_ms = 10;
    options.message = [](const std::string&) {};
    library_ = std::make_unique<gpio::GpioLibrary>(std::move(options));
    ASSERT_TRUE(library_->Open(nullptr));
    g_gpio = library_.get();
    GpioEntryPoints entries;
    entries.ShowConfigDialog = ShowConfigDialog;
    entries.ConsoleReadInput = ReadInput;
    entries.ConsoleConfigure = Configure;
    entries.ConsoleSave = Save;
    entries.ConsoleTestRule = TestRule;
    gpio_ = std::make_unique<GpioBinding>(entries);

    model_ =
        std::make_unique<MainWindowModel>(store_.get(), &sink_, nullptr, nullptr, devices_.get());
    model_->set_audio_manager(&manager_);
    model_->Load();
    ASSERT_TRUE(model_->AddUser("ann", "Ann", "secret", "secret"));

    ConsoleServer::Context context;
    context.model = model_.get();
    context.fallback = &sink_;
    context.state_folder = dir_.string();
    context.gpio = gpio_.get();
    context.boot_unit = boot_;
    ASSERT_NO_FATAL_FAILURE(console_.Start(context));
    ASSERT_NO_FATAL_FAILURE(console_.OpenSession());
  }
  void TearDown() override {
    console_.Stop();
    model_.reset();
    library_->Close();
    g_gpio = nullptr;
    ConfigFixture::TearDown();
  }

  ConsoleAnswer Fetch(const std::string& path) { return console_.Get(path); }
  ConsoleAnswer Post(const std::string& path, const json& body) {
    return console_.Post(path, body);
  }
  std::string Version(const std::string& path) { return Fetch(path).body.value("version", ""); }
  // The GPIO dialog's status text of an input, once it reads `text`.
  bool StatusBecomes(int input, const std::string& text) {
    for (int i = 0; i < 3000; ++i) {
      ConsoleAnswer gpio = Fetch("/api/gpio?device=Card%20A");
      if (gpio.body["inputs"][input - 5]["status"] == text) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  FakeManager manager_{{"Card A", "Card B"}};
  std::unique_ptr<AudioDeviceTable> devices_;
  std::unique_ptr<gpio::GpioLibrary> library_;
  std::unique_ptr<GpioBinding> gpio_;
  std::shared_ptr<FakeBootUnit> boot_ = std::make_shared<FakeBootUnit>();
  std::unique_ptr<MainWindowModel> model_;
  TestConsole console_;
};

// Every check of the dialogs once, as a request that bypasses the page would
// send it. "version" set to "*" is replaced by the version read from `read`.
struct RefusalCase {
  const char* path;
  const char* read;  // GET path for the version, or ""
  std::string body;
  std::string text;        // the refusal, or the question asked
  const char* field = "";  // the field the dialog focuses
};

TEST_F(StationDialogsTest, EveryCheckAnswersWithTheDialogsText) {
  manager_.active_[1] = true;  // Card B captures
  boot_->state = BootUnit::State::kNotInstalled;
  const std::string longest(64, 'a');
  const std::vector<RefusalCase> cases = {
      {"/api/audio-sources/add", "", R"({"name":"","device":1,"channels":3})",
       "You must specify an audio source name!", "name"},
      {"/api/audio-sources/add", "", R"({"name":"desk","device":0,"channels":1})",
       "This audio source name is already in use! Please choose another.", "name"},
      {"/api/audio-sources/add", "", R"({"name":")" + longest + R"(","device":0,"channels":1})",
       "An audio source name can have at most 63 characters.", "name"},
      {"/api/audio-sources/add", "", R"({"name":"Phone","device":7,"channels":3})",
       "Please choose an audio device that has a free channel.", "device"},
      {"/api/audio-sources/add", "", R"({"name":"Phone","device":0,"channels":2})",
       "These channels of the device are already used by another audio source.", "channels"},
      {"/api/audio-sources/add", "", R"({"name":"Phone","device":1,"channels":2})",
       "This device is currently active. Unable to modify it at this time."},
      {"/api/audio-sources/remove", "/api/audio-sources", R"({"name":"Booth","version":"*"})",
       "Device is active. Unable to remove it at this time."},
      {"/api/audio-sources/remove", "/api/audio-sources", R"({"name":"Nothing","version":"*"})",
       "No item selected!"},
      {"/api/audio-sources/remove", "/api/audio-sources", R"({"name":"Desk","version":"*"})",
       "Remove?"},
      {"/api/users/add", "", R"({"name":"","full_name":"","password":"a","confirm":"a"})",
       "Please enter a user name!", "name"},
      {"/api/users/add", "", R"({"name":"a\\b","full_name":"","password":"a","confirm":"a"})",
       "A user name can have at most 255 characters and no backslash (\\).", "name"},
      {"/api/users/add", "", R"({"name":"ANN","full_name":"","password":"a","confirm":"a"})",
       "This user name has already been used. Please select another.", "name"},
      {"/api/users/add", "", R"({"name":"bob","full_name":"","password":"a","confirm":"b"})",
       "The two passwords entered do not match!", "password"},
      {"/api/users/add", "", R"({"name":"bob","full_name":"","password":"","confirm":""})",
       kEmptyPasswordQuestion},
      {"/api/users/edit", "/api/users/user?name=ann",
       R"({"name":"ann","full_name":"","password":"x","confirm":"y","version":"*"})",
       "The two passwords entered do not match!", "password"},
      {"/api/users/edit", "", R"({"name":"nobody","full_name":"","password":"","confirm":""})",
       "There is no user named 'nobody'. Another page may have removed it."},
      {"/api/users/rights", "/api/users/rights?name=ann",
       R"({"name":"ann","rights":{"News":0,"Talk":0},"version":"*"})", kNoRightsQuestion},
      {"/api/users/rights", "/api/users/rights?name=ann",
       R"({"name":"ann","rights":{"Gone":1},"version":"*"})", "There is no archive named 'Gone'."},
      {"/api/users/remove", "/api/users/user?name=ann", R"({"name":"ann","version":"*"})",
       "Remove?"},
      {"/api/server-options", "/api/server-options",
       R"({"port":0,"start_at_boot":false,"version":"*"})", kPortRange, "port"},
      {"/api/server-options", "/api/server-options",
       R"({"port":65536,"start_at_boot":false,"version":"*"})", kPortRange, "port"},
      {"/api/server-options", "/api/server-options",
       R"({"port":"90x","start_at_boot":false,"version":"*"})", kPortRange, "port"},
      {"/api/server-options", "/api/server-options",
       R"({"port":9020,"start_at_boot":true,"version":"*"})", BootUnitMissingText(),
       "start_at_boot"},
      {"/api/gpio/input", "/api/gpio/input?device=Card%20A&input=5",
       R"({"device":"Card A","input":5,"initial_state":0,"host":")" + std::string(128, 'h') +
           R"(","case_sensitive":false,"on":"","off":"","version":"*"})",
       "The IP address can have at most 127 characters.", "host"},
      {"/api/gpio/input", "/api/gpio/input?device=Card%20A&input=5",
       R"({"device":"Card A","input":5,"initial_state":0,"host":"","case_sensitive":false,"on":")" +
           std::string(256, 'p') + R"(","off":"","version":"*"})",
       "A pattern can have at most 255 characters.", "on"},
      {"/api/gpio/test", "", R"({"on":"a**","off":"","case_sensitive":false,"text":"a"})",
       "Error: Unable to parse the ON pattern! Please check the string and try again.", "test"},
      {"/api/gpio/active", "", R"({"device":"Nowhere","input":5,"active":true})",
       "There is no audio device named 'Nowhere'."},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body);
    json body = json::parse(c.body);
    if (body.value("version", "") == "*") body["version"] = Version(c.read);
    ConsoleAnswer answer = Post(c.path, body);
    if (answer.body.contains("question")) {
      EXPECT_EQ(answer.status, 200);
      EXPECT_EQ(answer.body["question"], c.text);
      // No: the dialog stays open and nothing changed.
      body["answers"] = {{answer.body["key"].get<std::string>(), false}};
      ConsoleAnswer no = Post(c.path, body);
      EXPECT_EQ(no.body.value("stay", false), true) << no.body;
      continue;
    }
    EXPECT_EQ(answer.status, 422) << answer.body;
    EXPECT_EQ(answer.body.value("error", ""), c.text);
    EXPECT_EQ(answer.body.value("field", ""), c.field);
  }
  // Nothing of it was saved.
  EXPECT_EQ(ValueNames(AudioDevices2KeyPath()), (std::vector<std::string>{"Desk", "Booth"}));
  EXPECT_FALSE(KeyExists(UserKeyPath("bob")));
  EXPECT_TRUE(KeyExists(UserKeyPath("ann")));
  EXPECT_EQ(Get(UserRightsKeyPath("ann"), "News"), Dword(3));
  EXPECT_EQ(Get(ServerKeyPath(), "ServerPort"), "<missing>");
  EXPECT_TRUE(boot_->calls.empty());
  EXPECT_EQ(Get(std::string(gpio::kGpioKey) + "\\Config", "Count"), "<missing>");
}

TEST_F(StationDialogsTest, EveryChangeNeedsTheSessionsToken) {
  for (const char* path :
       {"/api/audio-sources/add", "/api/audio-sources/remove", "/api/users/add", "/api/users/edit",
        "/api/users/rights", "/api/users/remove", "/api/server-options", "/api/gpio/active",
        "/api/gpio/input", "/api/gpio/close"}) {
    auto refused = console_.client().Post(path, {{"Cookie", console_.cookie()}}, R"({"name":"x"})",
                                          "application/json");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403) << path;
  }
}

TEST_F(StationDialogsTest, TwoSourcesFillAStereoDeviceAndTheNextAddHitsTheLimit) {
  ConsoleAnswer listed = Fetch("/api/audio-sources");
  ASSERT_EQ(listed.status, 200);
  // Card A's left channel is taken: the right one alone is offered, fixed.
  EXPECT_EQ(listed.body["devices"][0]["choices"], json({1}));
  EXPECT_TRUE(listed.body["devices"][0]["fixed"]);
  ConsoleAnswer added =
      Post("/api/audio-sources/add", {{"name", "Desk R"}, {"device", 0}, {"channels", 1}});
  ASSERT_EQ(added.status, 200) << added.body;
  EXPECT_EQ(
      added.body["sources"]["rows"][2],
      json({{"name", "Desk R"}, {"device", "Card A"}, {"channels", "Right only"}, {"code", 1}}));
  EXPECT_EQ(Get(AudioDevices2KeyPath(), "Desk R"), Sz("1Card A"));
  added = Post("/api/audio-sources/add", {{"name", "Booth L"}, {"device", 1}, {"channels", 2}});
  ASSERT_EQ(added.status, 200) << added.body;
  const std::string limit =
      "Audio source limit reached! Please install additional audio devices for more audio sources.";
  EXPECT_EQ(added.body["sources"]["add_refusal"], limit);
  ConsoleAnswer refused =
      Post("/api/audio-sources/add", {{"name", "More"}, {"device", 0}, {"channels", 3}});
  EXPECT_EQ(refused.body.value("error", ""), limit);

  // Removing frees the channel again, after the question.
  json remove = {{"name", "Desk R"}, {"version", added.body["version"]}};
  EXPECT_EQ(Post("/api/audio-sources/remove", remove).body["question"], "Remove?");
  remove["answers"] = {{"remove", true}};
  ConsoleAnswer removed = Post("/api/audio-sources/remove", remove);
  ASSERT_EQ(removed.status, 200) << removed.body;
  EXPECT_TRUE(removed.body["sources"]["add_refusal"].is_null());
  EXPECT_EQ(Get(AudioDevices2KeyPath(), "Desk R"), "<missing>");
}

TEST_F(StationDialogsTest, UsersAreAddedEditedAndGivenRightsWithoutThePasswordComingBack) {
  ConsoleAnswer added = Post("/api/users/add", {{"name", "Bob"},
                                                {"full_name", "Bob Smith"},
                                                {"password", ""},
                                                {"confirm", ""},
                                                {"answers", {{"empty-password", true}}}});
  ASSERT_EQ(added.status, 200) << added.body;
  EXPECT_EQ(added.body["rights"], true);  // the page opens the rights dialog next
  EXPECT_EQ(Get(UserRightsKeyPath("Bob"), "Talk"), Dword(3));
  // Newest first, as the manager lists them.
  ConsoleAnswer list = Fetch("/api/users");
  EXPECT_EQ(list.body["rows"][0]["name"], "Bob");
  EXPECT_EQ(list.body["rows"][1]["name"], "ann");

  ConsoleAnswer ann = Fetch("/api/users/user?name=ann");
  EXPECT_EQ(ann.body["placeholder"], 6);
  EXPECT_EQ(ann.body.dump().find(Get(UserKeyPath("ann"), "Password").substr(0, 27)),
            std::string::npos);
  const std::string digest = Get(UserKeyPath("ann"), "Password");
  json edit = {{"name", "ann"},
               {"full_name", "Ann Jones"},
               {"password", "******"},
               {"confirm", "******"},
               {"version", ann.body["version"]}};
  ConsoleAnswer edited = Post("/api/users/edit", edit);
  ASSERT_EQ(edited.status, 200) << edited.body;
  EXPECT_EQ(Get(UserKeyPath("ann"), "Password"), digest);  // the placeholder keeps it
  EXPECT_EQ(Get(UserKeyPath("ann"), "FullName"), Sz("Ann Jones"));
  edit["password"] = edit["confirm"] = "SECRET";  // the same password, any case
  edit["version"] = edited.body["version"];
  ASSERT_EQ(Post("/api/users/edit", edit).status, 200);
  EXPECT_EQ(Get(UserKeyPath("ann"), "Password"), digest);

  ConsoleAnswer rights = Fetch("/api/users/rights?name=ann");
  EXPECT_EQ(rights.body["rows"][0],
            json({{"archive", "News"}, {"value", 3}, {"access", "Yes"}, {"live", "Yes"}}));
  ConsoleAnswer saved = Post("/api/users/rights", {{"name", "ann"},
                                                   {"rights", {{"news", 1}, {"Talk", 2}}},
                                                   {"version", rights.body["version"]}});
  ASSERT_EQ(saved.status, 200) << saved.body;
  EXPECT_EQ(Get(UserRightsKeyPath("ann"), "News"), Dword(1));
  EXPECT_EQ(Get(UserRightsKeyPath("ann"), "Talk"), Dword(2));
}

TEST_F(StationDialogsTest, AStaleSaveIsRefusedWithTheCurrentValues) {
  // Two pages read the same user; the first saves, the second is refused
  // and gets what the first saved.
  const std::string read = Version("/api/users/user?name=ann");
  json first = {{"name", "ann"},
                {"full_name", "Ann from page 1"},
                {"password", "******"},
                {"confirm", "******"},
                {"version", read}};
  ASSERT_EQ(Post("/api/users/edit", first).status, 200);
  json second = first;
  second["full_name"] = "Ann from page 2";
  ConsoleAnswer stale = Post("/api/users/edit", second);
  EXPECT_EQ(stale.status, 409);
  EXPECT_EQ(stale.body["error"], kStaleEdit);
  EXPECT_EQ(stale.body["current"]["full_name"], "Ann from page 1");
  EXPECT_EQ(Get(UserKeyPath("ann"), "FullName"), Sz("Ann from page 1"));
  second["version"] = stale.body["version"];  // the page shows the current values, saved again
  EXPECT_EQ(Post("/api/users/edit", second).status, 200);

  // A password changed elsewhere (same length, same name) makes the version
  // stale too.
  const std::string before = Version("/api/users/user?name=ann");
  second["password"] = second["confirm"] = "public";
  second["version"] = before;
  ASSERT_EQ(Post("/api/users/edit", second).status, 200);
  EXPECT_NE(Version("/api/users/user?name=ann"), before);

  // The server options.
  const std::string options = Version("/api/server-options");
  ASSERT_EQ(
      Post("/api/server-options", {{"port", 9100}, {"start_at_boot", false}, {"version", options}})
          .status,
      200);
  stale =
      Post("/api/server-options", {{"port", 9200}, {"start_at_boot", true}, {"version", options}});
  EXPECT_EQ(stale.status, 409);
  EXPECT_EQ(stale.body["current"]["port"], 9100);
  EXPECT_TRUE(boot_->calls.empty());

  // An input of the GPIO dialog.
  const std::string input = Version("/api/gpio/input?device=Card%20A&input=6");
  json save = {
      {"device", "Card A"},      {"input", 6}, {"initial_state", 0}, {"host", "127.0.0.1:1"},
      {"case_sensitive", false}, {"on", "ON"}, {"off", "OFF"},       {"version", input}};
  ASSERT_EQ(Post("/api/gpio/input", save).status, 200);
  save["host"] = "127.0.0.1:2";
  stale = Post("/api/gpio/input", save);
  EXPECT_EQ(stale.status, 409);
  EXPECT_EQ(stale.body["current"]["host"], "127.0.0.1:1");

  // The source list: a source added elsewhere.
  const std::string sources = Version("/api/audio-sources");
  ASSERT_EQ(
      Post("/api/audio-sources/add", {{"name", "New"}, {"device", 0}, {"channels", 1}}).status,
      200);
  stale = Post("/api/audio-sources/remove",
               {{"name", "Desk"}, {"version", sources}, {"answers", {{"remove", true}}}});
  EXPECT_EQ(stale.status, 409);
  EXPECT_EQ(stale.body["current"]["rows"].size(), 3u);
  EXPECT_NE(Get(AudioDevices2KeyPath(), "Desk"), "<missing>");
}

TEST_F(StationDialogsTest, AUsersValuesAndRightsAreSavedTogetherOrNotAtAll) {
  // Count the writes of one save, then fail the last of them (a right).
  int writes = 0;
  store_->SetWriteHookForTesting([&](int count) { writes = std::max(writes, count); });
  json edit = {{"name", "ann"},
               {"full_name", "Ann Jones"},
               {"password", "******"},
               {"confirm", "******"},
               {"version", Version("/api/users/user?name=ann")}};
  ASSERT_EQ(Post("/api/users/edit", edit).status, 200);
  ASSERT_GT(writes, 2);
  const int last = writes;
  store_->SetWriteHookForTesting([last](int count) {
    if (count == last) throw std::runtime_error("disk full");
  });
  edit["full_name"] = "Ann Smith";
  edit["version"] = Version("/api/users/user?name=ann");
  ConsoleAnswer failed = Post("/api/users/edit", edit);
  EXPECT_EQ(failed.status, 422);
  EXPECT_EQ(failed.body["error"], ConfigMessageText(kMsgRegistryAccess));
  store_->SetWriteHookForTesting(nullptr);
  EXPECT_EQ(Get(UserKeyPath("ann"), "FullName"), Sz("Ann Jones"));
}

TEST_F(StationDialogsTest, StartAtBootGoesThroughTheUnitAndThePortWaitsForARestart) {
  ConsoleAnswer options = Fetch("/api/server-options");
  EXPECT_EQ(options.body["port"], 9020);
  EXPECT_EQ(options.body["start_at_boot"], false);
  EXPECT_EQ(options.body["note"], kPortNote);
  ConsoleAnswer saved =
      Post("/api/server-options",
           {{"port", "9021"}, {"start_at_boot", true}, {"version", options.body["version"]}});
  ASSERT_EQ(saved.status, 200) << saved.body;
  EXPECT_EQ(saved.body["message"], kPortChanged);
  EXPECT_EQ(boot_->calls, std::vector<std::string>{"enable"});
  EXPECT_EQ(Get(ServerKeyPath(), "ServerPort"), Dword(9021));

  // A unit that refuses: its reason, and nothing saved.
  boot_->refusal = "Failed to disable unit: Access denied";
  ConsoleAnswer refused =
      Post("/api/server-options",
           {{"port", 9022}, {"start_at_boot", false}, {"version", saved.body["version"]}});
  EXPECT_EQ(refused.status, 422);
  EXPECT_EQ(refused.body["error"], "Failed to disable unit: Access denied");
  EXPECT_EQ(Get(ServerKeyPath(), "ServerPort"), Dword(9021));

  boot_->state = BootUnit::State::kNotInstalled;
  options = Fetch("/api/server-options");
  EXPECT_EQ(options.body["boot"], "not-installed");
  EXPECT_EQ(options.body["boot_text"], BootUnitMissingText());
}

TEST_F(StationDialogsTest, ALogicalInputRunsAtOnceFollowsItsPeerAndIsSaved) {
  gpio::testing::TextServer peer;
  ConsoleAnswer dialog = Fetch("/api/gpio?device=Card%20A");
  ASSERT_EQ(dialog.status, 200) << dialog.body;
  for (const json& input : dialog.body["inputs"]) EXPECT_EQ(input["status"], "Inactive!");
  ConsoleAnswer input = Fetch("/api/gpio/input?device=Card%20A&input=5");
  EXPECT_EQ(input.body["caption"], "Logical TCP/IP Input 5 Configuration");
  EXPECT_EQ(input.body["result"], "?");
  ConsoleAnswer test =
      Post("/api/gpio/test",
           {{"on", "MIC ON"}, {"off", "MIC"}, {"case_sensitive", false}, {"text", "mic on"}});
  EXPECT_EQ(test.body["result"], "both!!!");

  json save = {{"device", "Card A"},      {"input", 5},
               {"initial_state", 0},      {"host", peer.address()},
               {"case_sensitive", false}, {"on", "MIC ON"},
               {"off", "MIC OFF"},        {"version", input.body["version"]}};
  ConsoleAnswer saved = Post("/api/gpio/input", save);
  ASSERT_EQ(saved.status, 200) << saved.body;
  EXPECT_EQ(saved.body["gpio"]["inputs"][0]["status"], "Starting...");
  EXPECT_EQ(saved.body["gpio"]["inputs"][0]["active"], true);
  const std::string host = peer.address();
  ASSERT_TRUE(peer.WaitForClients(1));
  ASSERT_TRUE(StatusBecomes(5, "OFF (" + host + ")"));
  ASSERT_TRUE(peer.Send("mic on\n"));
  ASSERT_TRUE(StatusBecomes(5, "ON (" + host + ")"));

  // A new pattern reaches the running input at once.
  ASSERT_TRUE(peer.Send("MIC OFF\n"));
  ASSERT_TRUE(StatusBecomes(5, "OFF (" + host + ")"));
  save["on"] = "^GO$";
  save["version"] = saved.body["version"];
  ASSERT_EQ(Post("/api/gpio/input", save).status, 200);
  ASSERT_TRUE(peer.WaitForClients(2));  // the reader connects afresh with the new settings
  ASSERT_TRUE(peer.Send("GO\n"));
  ASSERT_TRUE(StatusBecomes(5, "ON (" + host + ")"));
  const std::string config = std::string(gpio::kGpioKey) + "\\Config";
  EXPECT_EQ(Get(config, "Dev0_0_OnPattern"), Sz("^GO$"));
  EXPECT_EQ(Get(config, "Dev0_0_Active"), Dword(1));

  // The check box stops it at once; closing the dialog saves.
  ConsoleAnswer off =
      Post("/api/gpio/active", {{"device", "Card A"}, {"input", 5}, {"active", false}});
  ASSERT_EQ(off.status, 200) << off.body;
  EXPECT_EQ(off.body["gpio"]["inputs"][0]["status"], "Inactive!");
  EXPECT_EQ(Post("/api/gpio/close", {{"device", "Card A"}}).status, 200);
  EXPECT_EQ(Get(config, "Dev0_0_Active"), Dword(0));
  EXPECT_EQ(Get(config, "AudioSourceName0"), Sz("Card A"));
}

}  // namespace
}  // namespace logrum::server
