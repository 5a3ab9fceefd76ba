// The GPIO library's state and the work behind its exports: the
// configuration map (one SourceEntry per audio source, keyed by name without
// regard to the case of A-Z), the open map and the 16-slot handle table, the
// card manager, and the configuration in the store:
//
//   HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum\NorvaneGPIO\Config
//     Count                   dword   number of sources
//     AudioSourceName<n>      string  source n (0 .. Count-1)
//     ValidSwitches<n>        dword   valid mask of source n, as last computed
//     Dev<n>_<m>_Active       dword   logical input m (0-3 = inputs 5-8): 1 active
//     Dev<n>_<m>_HostAddress  string  "host" or "host:port" (127 characters at most)
//     Dev<n>_<m>_InitialState dword   1: starts ON
//     Dev<n>_<m>_CaseSensitive dword  1: patterns compare case-sensitively
//     Dev<n>_<m>_OnPattern    string  255 characters at most
//     Dev<n>_<m>_OffPattern   string  255 characters at most
// A save writes the whole configuration in one transaction of the store.
//
// State and valid mask byte: bit 8-n is input n (input 1 in bit 7 ... input 8
// in bit 0); bits 4-7 are the card's contacts, bits 0-3 the logical inputs.
//
// Thread safety: every member takes the library lock for as long as it
// touches the maps, the table or an entry; the configuration step of
// ShowConfigDialog (none here) would run outside it. Reader threads change
// input states on their own; GetDeviceSwitchState reads those bytes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Lib/Gpio/CardManager.h"
#include "Lib/Gpio/LogicalInput.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Platform/Registry.h"
#include "Lib/Platform/Status.h"

namespace logrum::gpio {

inline constexpr char kGpioKey[] = "Software\\Norvane Systems\\Logrum\\NorvaneGPIO";
inline constexpr char kConfigSubkey[] = "Config";
inline constexpr int kHandleSlots = 16;
inline constexpr int kLogicalInputs = 4;

struct SourceEntry {
  std::string name;  // as first inserted
  int32_t open_count = 0;
  uint8_t valid_mask = 0;
  int32_t card_index = -1;
  std::array<std::unique_ptr<LogicalInput>, kLogicalInputs> inputs;
  SourceEntry();
};

// What the console shows of one logical input.
struct InputView {
  InputConfig config;
  bool running = false;
  bool state = false;       // the reported state: active AND current state
  int pattern_errors = 0;   // bit 0 ON, bit 1 OFF did not compile
  std::string status;       // the input's status text, or "Inactive!" when not active
};

class GpioLibrary {
 public:
  struct Options {
    platform::Registry* store = nullptr;  // null: the process's store
    std::function<std::unique_ptr<CardManager>()> make_card_manager;  // null: no cards
    std::function<void(const std::string&)> message;                  // null: PostMessage
    // Applied to every logical input the library creates (tests shorten them).
    uint32_t retry_interval_ms = LogicalInput::kDefaultRetryMs;
    uint32_t connect_timeout_ms = LogicalInput::kDefaultConnectTimeoutMs;
  };

  explicit GpioLibrary(Options options);
  ~GpioLibrary();
  GpioLibrary(const GpioLibrary&) = delete;
  GpioLibrary& operator=(const GpioLibrary&) = delete;

  // The six exports.
  bool Open(uint8_t* config_available);
  void Close();
  bool ShowConfigDialog(const char* source_name);
  bool OpenDevice(int32_t* handle, const char* source_name, uint8_t* valid_mask);
  bool GetDeviceSwitchState(uint32_t handle, uint8_t* state);
  void CloseDevice(uint32_t handle);

  // The console's interface.
  std::vector<std::string> SourceNames();  // in name order
  // False when the source has no entry or `input` is not 5-8.
  bool ReadInput(const std::string& source, int input, InputView* view);
  // Stores the configuration of input 5-8 of the source (creating its entry)
  // and applies it at once: an input made active is started and configured,
  // one made inactive is stopped, an active one gets the new settings.
  // kInvalidArgument for an input number or text that does not fit.
  platform::Status Configure(const std::string& source, int input, const InputConfig& config);
  // Rebuilds every valid mask and writes the whole configuration (a failure
  // is also shown through the message handler).
  platform::Status Save();
  // Valid mask and card index of a source; false when it has no entry.
  bool ReadSource(const std::string& source, uint8_t* valid_mask, int32_t* card_index);

  CardManager* card_manager() EXCLUDES(mu_) {
    kit::MutexLock lock(mu_);
    return cards_.get();
  }

 private:
  using EntryMap = std::map<std::string, std::unique_ptr<SourceEntry>>;  // folded name -> entry

  void Message(const std::string& text);
  std::unique_ptr<SourceEntry> NewEntry(const std::string& name);
  SourceEntry* FindOrCreate(const std::string& name) REQUIRES(mu_);
  bool OpenCardManager() REQUIRES(mu_);
  uint8_t BuildValidMask(SourceEntry* entry, bool start_readers) REQUIRES(mu_);
  // Ok when there is nothing stored yet.
  platform::Status LoadConfiguration() REQUIRES(mu_);
  platform::Status SaveConfiguration() REQUIRES(mu_);
  platform::Registry* Store();

  Options options_;
  kit::Mutex mu_;
  EntryMap entries_ GUARDED_BY(mu_);
  std::map<std::string, int> open_ GUARDED_BY(mu_);  // folded name -> handle
  std::array<SourceEntry*, kHandleSlots> slots_ GUARDED_BY(mu_){};
  std::unique_ptr<CardManager> cards_ GUARDED_BY(mu_);
  bool cards_open_ GUARDED_BY(mu_) = false;
};

// "Error: Unable to open registry key Software\Norvane Systems\Logrum\NorvaneGPIO!"
std::string RegistryKeyMessage();

}  // namespace logrum::gpio
