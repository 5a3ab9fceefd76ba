// The library behind the exports: configuration from the store, the handle
// table, the state byte, saving the whole configuration, and the console's
// edits, with logical inputs on a loopback text server and a fake card.
#include <gtest/gtest.h>

#include <filesystem>

#include "Driver/GpioCard/tests/FakeSysfs.h"
#include "Lib/Gpio/GpioLibrary.h"
#include "Lib/Gpio/tests/TextServer.h"
#include "tests/support/TempDir.h"

namespace logrum::gpio {
namespace {

namespace fs = std::filesystem;
using platform::RegRoot;
using platform::Status;
using testing::TextServer;
const std::string kConfig = std::string(kGpioKey) + "\\Config";

class GpioLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::Registry::Open(root_ + "/registry.db3", &store_).ok());
  }
  void TearDown() override {
    library_.reset();
    store_.reset();
  }
  GpioLibrary& Library(std::vector<std::string> devices = {}) {
    devices_ = std::move(devices);
    GpioLibrary::Options options;
    options.store = store_.get();
    options.message = [this](const std::string& text) { messages_.push_back(text); };
    options.retry_interval_ms = 10;
    options.make_card_manager = [this] {
      CardManagerOptions card;
      card.sysfs_root = sys_.root();
      card.log_path = root_ + "/NorvaneCardManager.log";
      card.clock = &clock_;
      card.device_count = [this] { return static_cast<int>(devices_.size()); };
      card.device_name = [this](int id, std::string* name) {
        *name = devices_[static_cast<size_t>(id)];
        return true;
      };
      return std::make_unique<CardManager>(std::move(card));
    };
    library_ = std::make_unique<GpioLibrary>(std::move(options));
    return *library_;
  }
  void Put(const std::string& name, uint32_t type, const std::string& data) {
    ASSERT_TRUE(store_->CreateKey(RegRoot::kLocalMachine, kConfig, "cls?").ok());
    ASSERT_TRUE(store_->SetValue(RegRoot::kLocalMachine, kConfig, name, type, data).ok());
  }
  void PutNumber(const std::string& name, uint32_t v) {
    Put(name, platform::kRegDword,
        std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                    static_cast<char>(v >> 24)});
  }
  void PutString(const std::string& name, const std::string& text) {
    Put(name, platform::kRegString, text + std::string(1, '\0'));
  }
  void PutInput(int n, int m, const std::string& host, const std::string& on,
                const std::string& off, bool active = true) {
    std::string prefix = "Dev" + std::to_string(n) + "_" + std::to_string(m) + "_";
    PutNumber(prefix + "Active", active ? 1 : 0);
    PutString(prefix + "HostAddress", host);
    PutNumber(prefix + "InitialState", 0);
    PutNumber(prefix + "CaseSensitive", 0);
    PutString(prefix + "OnPattern", on);
    PutString(prefix + "OffPattern", off);
  }
  uint32_t Number(const std::string& name) {
    platform::RegValue value;
    if (!store_->GetValue(RegRoot::kLocalMachine, kConfig, name, &value).ok()) return 0xDEAD;
    const auto* p = reinterpret_cast<const uint8_t*>(value.data.data());
    return value.data.size() == 4 ? (p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24) : 0xBAD;
  }
  std::string String(const std::string& name) {
    platform::RegValue value;
    if (!store_->GetValue(RegRoot::kLocalMachine, kConfig, name, &value).ok()) return "<none>";
    return value.data.substr(0, value.data.find('\0'));
  }
  // Polls the state byte until `mask` bits read `want` (the readers switch on
  // their own threads); false after 30 s.
  bool WaitForState(GpioLibrary& library, int32_t handle, uint8_t mask, uint8_t want) {
    for (int i = 0; i < 3000; ++i) {
      uint8_t state = 0;
      if (library.GetDeviceSwitchState(static_cast<uint32_t>(handle), &state) &&
          (state & mask) == want) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  logrum::testing::TempDir temp_{"gpio"};
  std::string root_ = temp_.path();
  std::unique_ptr<platform::Registry> store_;
  gpiocard::testing::FakeSysfs sys_;
  platform::ManualClock clock_{1'800'000'000'000'000};
  std::vector<std::string> devices_;
  std::vector<std::string> messages_;
  std::unique_ptr<GpioLibrary> library_;
};

TEST_F(GpioLibraryTest, StoredInputsRunAndFillTheirBitsOfTheStateByte) {
  TextServer server;
  PutNumber("Count", 3);
  PutString("AudioSourceName0", "Studio A");
  PutInput(0, 0, server.address(), "ON", "OFF");                // input 5
  PutInput(0, 1, server.address(), "NEVER", "OFF");             // input 6
  PutInput(0, 2, server.address(), "^ON$", "OFF");              // input 7
  PutInput(0, 3, server.address(), "ON", "OFF", false);         // input 8, inactive
  PutNumber("ValidSwitches0", 0x55);  // as last computed; rebuilt at Open
  // Source 1 has no name value and is skipped; source 2 has an empty name.
  PutString("AudioSourceName2", "");

  GpioLibrary& library = Library();
  uint8_t available = 0;
  ASSERT_TRUE(library.Open(&available));
  EXPECT_EQ(available, 1);
  EXPECT_EQ(library.SourceNames(), (std::vector<std::string>{"Studio A"}));
  ASSERT_TRUE(server.WaitForClients(3));

  int32_t handle = -1, again = -1;
  uint8_t valid = 0;
  ASSERT_TRUE(library.OpenDevice(&handle, "studio a", &valid));
  EXPECT_EQ(valid, 0x0E);  // inputs 5, 6, 7 active: bits 3, 2, 1
  ASSERT_TRUE(library.OpenDevice(&again, "STUDIO A", nullptr));
  EXPECT_EQ(again, handle);

  server.Send("ON\n");
  // Inputs 5 and 7 ON, input 6 OFF, input 8 inactive: bits 3..0 read 1010.
  EXPECT_TRUE(WaitForState(library, handle, 0x0F, 0x0A));
  server.Send("OFF\n");
  EXPECT_TRUE(WaitForState(library, handle, 0x0F, 0x00));

  // Two opens need two closes.
  library.CloseDevice(static_cast<uint32_t>(handle));
  EXPECT_TRUE(library.GetDeviceSwitchState(static_cast<uint32_t>(handle), nullptr));
  library.CloseDevice(static_cast<uint32_t>(handle));
  EXPECT_FALSE(library.GetDeviceSwitchState(static_cast<uint32_t>(handle), nullptr));
  library.CloseDevice(99);

  library.Close();
  library.Close();
  EXPECT_TRUE(library.SourceNames().empty());
  EXPECT_TRUE(messages_.empty()) << messages_.front();
}

TEST_F(GpioLibraryTest, SixteenSourcesAtOnceAndTheSeventeenthIsRefused) {
  GpioLibrary& library = Library();
  ASSERT_TRUE(library.Open(nullptr));
  for (int i = 0; i < kHandleSlots; ++i) {
    int32_t handle = -1;
    uint8_t valid = 0xAA;
    ASSERT_TRUE(library.OpenDevice(&handle, ("Source " + std::to_string(i)).c_str(), &valid));
    EXPECT_EQ(handle, i);
    EXPECT_EQ(valid, 0) << "never configured";
    uint8_t state = 0xAA;
    ASSERT_TRUE(library.GetDeviceSwitchState(static_cast<uint32_t>(handle), &state));
    EXPECT_EQ(state, 0);
  }
  int32_t handle = 7;
  EXPECT_FALSE(library.OpenDevice(&handle, "Source 16", nullptr));
  EXPECT_EQ(handle, -1);
  EXPECT_FALSE(library.OpenDevice(nullptr, "Source 16", nullptr));
  EXPECT_FALSE(library.GetDeviceSwitchState(16, nullptr));

  library.CloseDevice(5);
  ASSERT_TRUE(library.OpenDevice(&handle, "Source 16", nullptr));
  EXPECT_EQ(handle, 5);
}

TEST_F(GpioLibraryTest, ACardSourceHasItsContactsInTheHighBits) {
  const std::string card = "0000:03:00.0";
  sys_.AddDevice(card);
  const std::string device = "Crystal SoundFusion Studio Card: PCM";
  GpioLibrary& library = Library({"Studio=tone:440", device});
  ASSERT_TRUE(library.Open(nullptr));
  int32_t handle = -1, other = -1;
  uint8_t valid = 0;
  ASSERT_TRUE(library.OpenDevice(&handle, device.c_str(), &valid));
  EXPECT_EQ(valid, 0xF0);
  ASSERT_TRUE(library.OpenDevice(&other, "Studio=tone:440", &valid));
  EXPECT_EQ(valid, 0x00);

  CardManager& cards = *library.card_manager();
  ASSERT_TRUE(cards.WaitForPolls(1, 30000));
  sys_.WriteRegister(card, 0, CardManager::kStatusRegister, 0x60);  // contacts 1 and 4 closed
  uint64_t polls = cards.polls();
  clock_.AdvanceUs(500 * 1000);
  ASSERT_TRUE(cards.WaitForPolls(polls + 1, 30000));
  uint8_t state = 0;
  ASSERT_TRUE(library.GetDeviceSwitchState(static_cast<uint32_t>(handle), &state));
  EXPECT_EQ(state, 0x90);
  ASSERT_TRUE(library.GetDeviceSwitchState(static_cast<uint32_t>(other), &state));
  EXPECT_EQ(state, 0x00);
}

TEST_F(GpioLibraryTest, ShowConfigDialogSavesTheWholeConfigurationInNameOrder) {
  PutNumber("Count", 1);
  PutString("AudioSourceName0", "studio B");
  PutInput(0, 1, "10.0.0.5:4001", "MIC ON", "MIC OFF");
  GpioLibrary& library = Library();
  ASSERT_TRUE(library.Open(nullptr));
  int32_t handle = -1;
  ASSERT_TRUE(library.OpenDevice(&handle, "Studio C", nullptr));
  EXPECT_TRUE(library.ShowConfigDialog("Studio A"));

  EXPECT_EQ(Number("Count"), 3u);
  EXPECT_EQ(String("AudioSourceName0"), "Studio A");
  EXPECT_EQ(String("AudioSourceName1"), "studio B");
  EXPECT_EQ(String("AudioSourceName2"), "Studio C");
  EXPECT_EQ(Number("ValidSwitches1"), 0x04u);
  EXPECT_EQ(Number("Dev1_1_Active"), 1u);
  EXPECT_EQ(String("Dev1_1_HostAddress"), "10.0.0.5:4001");
  EXPECT_EQ(String("Dev1_1_OnPattern"), "MIC ON");
  EXPECT_EQ(String("Dev1_1_OffPattern"), "MIC OFF");
  EXPECT_EQ(Number("Dev1_1_CaseSensitive"), 0u);
  EXPECT_EQ(Number("Dev0_3_Active"), 0u);
  EXPECT_EQ(String("Dev2_0_HostAddress"), "");
}

TEST_F(GpioLibraryTest, TheConsoleConfiguresAnInputAtOnceAndSavesIt) {
  TextServer server;
  GpioLibrary& library = Library();
  ASSERT_TRUE(library.Open(nullptr));
  InputConfig config;
  config.host_address = server.address();
  config.on_pattern = "MIC ON";
  config.off_pattern = "MIC OFF";
  config.active = true;
  Status configured = library.Configure("Studio", 6, config);
  ASSERT_TRUE(configured.ok()) << configured.message();
  ASSERT_TRUE(server.WaitForClients(1));
  int32_t handle = -1;
  ASSERT_TRUE(library.OpenDevice(&handle, "Studio", nullptr));
  server.Send("MIC ON\n");
  EXPECT_TRUE(WaitForState(library, handle, 0x0F, 0x04));
  InputView view;
  ASSERT_TRUE(library.ReadInput("STUDIO", 6, &view));
  EXPECT_TRUE(view.state);
  EXPECT_EQ(view.status, "ON (" + server.address() + ")");
  ASSERT_TRUE(library.ReadInput("Studio", 5, &view));
  EXPECT_EQ(view.status, "Inactive!");
  EXPECT_FALSE(library.ReadInput("Studio", 9, &view));
  EXPECT_FALSE(library.ReadInput("Nobody", 5, &view));

  InputConfig too_long = config;
  too_long.on_pattern = std::string(256, 'x');
  configured = library.Configure("Studio", 6, too_long);
  EXPECT_EQ(configured.code(), Status::kInvalidArgument);
  EXPECT_EQ(configured.message(), "a pattern is longer than 255 characters");
  EXPECT_EQ(library.Configure("Studio", 4, config).code(), Status::kInvalidArgument);

  ASSERT_TRUE(library.Save().ok());
  EXPECT_EQ(Number("ValidSwitches0"), 0x04u);
  EXPECT_EQ(String("Dev0_1_OnPattern"), "MIC ON");

  // Deactivated: the input stops and its bit leaves the state byte.
  config.active = false;
  ASSERT_TRUE(library.Configure("Studio", 6, config).ok());
  EXPECT_TRUE(WaitForState(library, handle, 0x0F, 0x00));
  uint8_t valid = 0xFF;
  int32_t card = 0;
  ASSERT_TRUE(library.ReadSource("studio", &valid, &card));
  EXPECT_EQ(valid, 0);
  EXPECT_EQ(card, -1);

  // What was saved comes back at the next start.
  library.Close();
  ASSERT_TRUE(library.Open(nullptr));
  ASSERT_TRUE(library.ReadInput("Studio", 6, &view));
  EXPECT_TRUE(view.config.active);
  EXPECT_EQ(view.config.host_address, server.address());
}

}  // namespace
}  // namespace logrum::gpio
