// The card manager on a fake sysfs tree and a manual clock: opening with no,
// one and four cards, pairing cards with wave input devices, reading the
// contacts twice a second, and its log file.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Driver/GpioCard/tests/FakeSysfs.h"
#include "Lib/Gpio/CardManager.h"

namespace logrum::gpio {
namespace {

using gpiocard::testing::FakeSysfs;
constexpr uint32_t kPatienceMs = 30000;
constexpr int64_t kHalfSecondUs = 500 * 1000;

class CardManagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<CardManager> Make(std::vector<std::string> devices) {
    devices_ = std::move(devices);
    CardManagerOptions options;
    options.sysfs_root = sys_.root();
    options.log_path = sys_.root() + "/NorvaneCardManager.log";
    options.clock = &clock_;
    options.device_count = [this] { return static_cast<int>(devices_.size()); };
    options.device_name = [this](int id, std::string* name) {
      *name = devices_[static_cast<size_t>(id)];
      return true;
    };
    options.message = [this](const std::string& text) { messages_.push_back(text); };
    return std::make_unique<CardManager>(std::move(options));
  }
  std::string Log() {
    std::ifstream in(sys_.root() + "/NorvaneCardManager.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // One more poll on the manual clock.
  void Tick(CardManager& manager) {
    uint64_t before = manager.polls();
    clock_.AdvanceUs(kHalfSecondUs);
    ASSERT_TRUE(manager.WaitForPolls(before + 1, kPatienceMs));
  }

  FakeSysfs sys_;
  platform::ManualClock clock_{1'800'000'000'000'000};
  std::vector<std::string> devices_;
  std::vector<std::string> messages_;
};

TEST_F(CardManagerTest, WithoutCardsItOpensAndEveryContactReadsOff) {
  auto manager = Make({"HDA Intel PCH: ALC892 Analog", "Studio=tone:440"});
  ASSERT_TRUE(manager->Open());
  EXPECT_TRUE(messages_.empty()) << messages_.front();
  EXPECT_EQ(manager->device_count(), 2);
  EXPECT_EQ(manager->opened_cards(), 0);
  EXPECT_EQ(manager->FindCard("HDA Intel PCH: ALC892 Analog"), -1);
  EXPECT_EQ(manager->GetContacts(0), 0);
  std::string log = Log();
  EXPECT_NE(log.find("INFO: No Norvane card:"), std::string::npos) << log;
  EXPECT_NE(log.find("2 audio cards\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Found 0 Norvane cards\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Skip device 1 ('Studio=tone:440')\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Audio cards with Norvane prefix=0\n"), std::string::npos) << log;
  manager->Close();
  manager.reset();
  EXPECT_NE(Log().find("~NorvaneCardManager\n"), std::string::npos);
}

TEST_F(CardManagerTest, OneCardIsPairedWithItsDeviceAndPolledTwiceASecond) {
  const std::string card = "0000:03:00.0";
  sys_.AddDevice(card);
  const std::string name = "Crystal SoundFusion Studio Card: PCM";
  auto manager = Make({"HDA Intel PCH: ALC892 Analog", name, "USB Audio CODEC"});
  ASSERT_TRUE(manager->Open()) << ::testing::PrintToString(messages_);
  EXPECT_EQ(manager->FindCard(name), 0);
  EXPECT_EQ(manager->FindCard("CRYSTAL SOUNDFUSION STUDIO CARD: PCM"), 0);
  EXPECT_EQ(manager->FindCard("HDA Intel PCH: ALC892 Analog"), -1);
  EXPECT_EQ(manager->FindCard(""), -1);

  ASSERT_TRUE(manager->WaitForPolls(1, kPatienceMs));
  // Contact 4 (bit 4) closed: it reads 0.
  sys_.WriteRegister(card, 0, CardManager::kStatusRegister, 0xE0);
  EXPECT_EQ(manager->GetContacts(0), 0xF0) << "a register of 0 reads as every contact closed";
  Tick(*manager);
  EXPECT_EQ(manager->GetContacts(0), 0x10);
  EXPECT_EQ(sys_.ReadRegister(card, 0, CardManager::kStatusRegister), 0u) << "cleared after reading";
  sys_.WriteRegister(card, 0, CardManager::kStatusRegister, 0x70);  // contact 1 closed
  Tick(*manager);
  EXPECT_EQ(manager->GetContacts(0), 0x80);
  EXPECT_EQ(manager->GetContacts(3), 0) << "no card number beyond the devices";

  std::string log = Log();
  EXPECT_NE(log.find("CardOpen 0: OK (hCard=0x"), std::string::npos) << log;
  EXPECT_NE(log.find("Found 1 Norvane cards\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Associate card 0 with device 1 ('" + name + "')\n"), std::string::npos);
  EXPECT_NE(log.find("CardSkim 0: 0xE0-10\n"), std::string::npos) << log;
  EXPECT_NE(log.find("CardSkim 0: 0x70-80\n"), std::string::npos) << log;

  // Close stops polling; Open again starts over.
  manager->Close();
  ASSERT_TRUE(manager->Open());
  EXPECT_EQ(manager->FindCard(name), 0);
}

TEST_F(CardManagerTest, FourCardsArePolledEachOnItsOwn) {
  const char* cards[] = {"0000:03:00.0", "0000:04:00.0", "0000:05:00.0", "0000:06:00.0"};
  std::vector<std::string> devices;
  for (const char* card : cards) {
    sys_.AddDevice(card);
    devices.push_back("Crystal SoundFusion " + std::string(card));
  }
  auto manager = Make(devices);
  ASSERT_TRUE(manager->Open()) << ::testing::PrintToString(messages_);
  ASSERT_TRUE(manager->WaitForPolls(1, kPatienceMs));
  const uint32_t status[] = {0xF0, 0xE0, 0xD0, 0x00};
  for (int i = 0; i < 4; ++i) sys_.WriteRegister(cards[i], 0, 0x480, status[i]);
  Tick(*manager);
  const uint8_t contacts[] = {0x00, 0x10, 0x20, 0xF0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(manager->FindCard(devices[static_cast<size_t>(i)]), i);
    EXPECT_EQ(manager->GetContacts(i), contacts[i]) << i;
  }
}

TEST_F(CardManagerTest, DevicesAndCardsThatDoNotPairUpFailTheOpen) {
  auto manager = Make({"Crystal SoundFusion Studio Card: PCM"});
  EXPECT_FALSE(manager->Open());
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "Card count mismatch! Expected 0, found 1.");
  EXPECT_NE(Log().find("Card count mismatch!\n"), std::string::npos);

  // A card whose windows cannot be mapped: the layer does not load.
  sys_.AddDevice("0000:03:00.0", 0x1013, 0x6005, 0x5E71, 0x7D19, /*window_size=*/16);
  auto broken = Make({"Crystal SoundFusion Studio Card: PCM"});
  messages_.clear();
  EXPECT_FALSE(broken->Open());
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].rfind("Unable to load driver! (Code -2: ", 0), 0u) << messages_[0];
  EXPECT_NE(Log().find("ERROR: Unable to load driver! (-2)\n"), std::string::npos);
}

}  // namespace
}  // namespace logrum::gpio
