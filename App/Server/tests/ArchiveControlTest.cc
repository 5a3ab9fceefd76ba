// The skim switch, the status texts and the binary contract of the interfaces
// that the archive service calls.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstring>

#include "App/Server/GpioBinding.h"
#include "App/Server/SkimSwitch.h"
#include "App/Server/StatusText.h"
#include "Lib/ArchiveManager/include/ArchiveOptions.h"

namespace logrum::server {
namespace {

// A stand-in GPIO library: one device with a settable state byte.
struct FakeGpio {
  static inline uint8_t state = 0;
  static inline bool state_ok = true;
  static inline int open_count = 0;
  static inline std::string opened_name;
  static inline std::string ignored_arg;
  static inline int closed_handle = -1;

  static bool OpenDevice(int32_t* handle, const char* ignored, const char* name, uint8_t* valid) {
    *handle = -1;
    ignored_arg = ignored;
    opened_name = name;
    if (std::strcmp(name, "missing") == 0) return false;
    ++open_count;
    *handle = 3;
    if (valid != nullptr) *valid = 0xF0;
    return true;
  }
  static bool GetState(uint32_t handle, uint8_t* out) {
    if (handle != 3 || !state_ok) return false;
    *out = state;
    return true;
  }
  static void CloseDevice(uint32_t handle) { closed_handle = static_cast<int>(handle); }
  static GpioEntryPoints Entries() {
    GpioEntryPoints e;
    e.OpenDevice = &OpenDevice;
    e.GetDeviceSwitchState = &GetState;
    e.CloseDevice = &CloseDevice;
    return e;
  }
};

TEST(SkimSwitchTest, BitOrderIsReversed) {
  EXPECT_EQ(ReverseBits(0x01), 0x80);
  EXPECT_EQ(ReverseBits(0x80), 0x01);
  EXPECT_EQ(ReverseBits(0x0F), 0xF0);
  EXPECT_EQ(ReverseBits(0x06), 0x60);
}

TEST(SkimSwitchTest, SwitchOneFollowsStateBit7WithAndWithoutInvert) {
  GpioBinding gpio(FakeGpio::Entries());
  FakeGpio::state_ok = true;
  {
    SkimSwitch sw(&gpio);
    ASSERT_TRUE(sw.OpenDevice("News", "Card 1 In"));
    EXPECT_EQ(FakeGpio::opened_name, "Card 1 In");
    EXPECT_EQ(FakeGpio::ignored_arg, "News");
    EXPECT_EQ(sw.handle(), 3);
    EXPECT_EQ(sw.valid_mask(), 0xF0);

    struct Case {
      bool invert;
      uint8_t state;
      bool on;
    } cases[] = {
        {false, 0x80, true},  {false, 0x00, false}, {false, 0x7F, false},
        {true, 0x80, false},  {true, 0x00, true},   {true, 0x7F, true},
    };
    for (const auto& c : cases) {
      sw.Configure(0x01, c.invert);  // "qrx,0x01,1" / "qrx,0x01,0"
      FakeGpio::state = c.state;
      EXPECT_EQ(sw.IsOn(), c.on) << c.invert << " " << int(c.state);
    }
    // Several switches: on while any selected one is set (invert: any clear).
    sw.Configure(0x03, false);
    FakeGpio::state = 0x40;
    EXPECT_TRUE(sw.IsOn());
    sw.Configure(0x03, true);
    FakeGpio::state = 0x40;
    EXPECT_TRUE(sw.IsOn());
    FakeGpio::state = 0xC0;
    EXPECT_FALSE(sw.IsOn());
    // A mask of 0 (continuous mode) is never on, whatever the state.
    sw.Configure(0, false);
    FakeGpio::state = 0xFF;
    EXPECT_FALSE(sw.IsOn());
    // A failing state read is off.
    sw.Configure(0x01, true);
    FakeGpio::state_ok = false;
    EXPECT_FALSE(sw.IsOn());
    FakeGpio::state_ok = true;
  }
  EXPECT_EQ(FakeGpio::closed_handle, 3);  // the device closes with the switch
}

TEST(SkimSwitchTest, WithoutGpioEverythingIsOff) {
  SkimSwitch none(nullptr);
  EXPECT_FALSE(none.OpenDevice("News", "dev"));
  none.Configure(0xFF, true);
  EXPECT_FALSE(none.IsOn());
  EXPECT_FALSE(none.IsRecordEnabled());  // 0 at construction
  none.SetRecordEnabled(true);
  EXPECT_TRUE(none.IsRecordEnabled());

  GpioBinding gpio(FakeGpio::Entries());
  FakeGpio::closed_handle = -1;
  {
    SkimSwitch refused(&gpio);
    EXPECT_FALSE(refused.OpenDevice("News", "missing"));
    EXPECT_EQ(refused.handle(), -1);
  }
  EXPECT_EQ(FakeGpio::closed_handle, -1);  // nothing to close
}

TEST(StatusTextTest, StateTexts) {
  EXPECT_EQ(StateText(true, true, 1, true), "Scheduled, Active, skim ON");
  EXPECT_EQ(StateText(true, false, 1, true), "Scheduled, Paused");
  EXPECT_EQ(StateText(false, false, 1, false), "Active, skim OFF");
  EXPECT_EQ(StateText(false, true, 0, true), "Server active (not recording)");
}

TEST(StatusTextTest, DiskTextSwitchesToGbAboveAMillionMb) {
  EXPECT_EQ(DiskText(1500000, 2000000), "1500.000 GB used of 2000.000 GB total");
  EXPECT_EQ(DiskText(999999, 1000000), "999999.000 MB used of 1000000.000 MB total");
  EXPECT_EQ(DiskText(12.5, 1000001), "12.500 MB used of 1000.001 GB total");
  EXPECT_EQ(DiskText(5, 0), "");
}

TEST(StatusTextTest, AudioTextIsLocalDays) {
  const char* old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  // 2024-03-04 23:30 UTC is already the 5th in Berlin.
  EXPECT_EQ(AudioText(1709510400, 1709595000), "2024.Mar.04 - 2024.Mar.05");
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// The archive service calls these interfaces by slot: check that each getter
// sits where the other library expects it (Itanium ABI: a pointer to a virtual
// member holds 1 + its byte offset in the virtual table).
template <typename F>
long SlotOf(F member) {
  struct Rep {
    uintptr_t ptr;
    ptrdiff_t adj;
  } rep;
  static_assert(sizeof(member) == sizeof(Rep));
  std::memcpy(&rep, &member, sizeof rep);
  return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

TEST(InterfaceLayoutTest, ArchiveOptionsAndSkimSwitchSlots) {
  using O = logrum::ArchiveOptions;
  EXPECT_EQ(SlotOf(&O::GetRecSampleRate), 0);
  EXPECT_EQ(SlotOf(&O::GetPreDelay), 11);
  EXPECT_EQ(SlotOf(&O::GetDiskSpaceToUseKB), 16);
  EXPECT_EQ(SlotOf(&O::GetMaxDays), 17);
  EXPECT_EQ(SlotOf(&O::GetEraseBehavior), 18);
  EXPECT_EQ(SlotOf(&O::GetRecordToDisk), 21);
  EXPECT_EQ(SlotOf(&O::GetLogPath), 22);
  EXPECT_EQ(SlotOf(&O::GetSkimSource), 28);
  EXPECT_EQ(SlotOf(&O::GetSegmentAlign), 31);
  EXPECT_EQ(SlotOf(&logrum::SkimSwitch::IsOn), 0);
  EXPECT_EQ(SlotOf(&logrum::SkimSwitch::IsRecordEnabled), 1);
}

}  // namespace
}  // namespace logrum::server
