// Access to the station audio card's registers, from user space, through the
// PCI files that Linux offers for every device under <sysfs>/bus/pci/devices:
// "config" (configuration space), "resource0" and "resource1" (the card's two
// register windows, each mapped 4096 bytes long). The contract is the card
// driver's: cards are found by vendor 0x1013, device 0x6005, subsystem vendor
// 0x5E71 and subsystem 0x7D19, at most four, numbered in bus order; requests
// are device I/O controls with the codes, offsets, bounds checks and status
// values below. "Starting the service QrxDrvM" is loading this layer
// (CardService::Start); its devices are opened by name, "\\.\NORVANEDEV" for
// card 0 and "\\.\NORVANEDEV<n>" for card n.
//
// The sysfs root is a parameter, so tests run on a tree of plain files: a
// resource file there is a 4096-byte file whose bytes are the registers.
// A real card's files need root (or a udev rule granting the service user
// read and write access to them).
//
// Thread safety: CardService may be called from any thread; requests run in
// the caller's thread and touch single registers (no state is changed by a
// request, as with the driver). CardDriver alone is thread-compatible.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace logrum::gpiocard {

// Device I/O control codes (buffered; the input starts with a 32-bit offset).
inline constexpr uint32_t kIoctlReadPort = 0x9C486400;     // -> 1 byte
inline constexpr uint32_t kIoctlReadWindow0 = 0x9C486404;  // -> 4 bytes
inline constexpr uint32_t kIoctlReadWindow1 = 0x9C486408;  // -> 4 bytes
inline constexpr uint32_t kIoctlReadConfig = 0x9C48640C;   // -> 4 bytes
inline constexpr uint32_t kIoctlWritePort = 0x9C482440;    // offset, byte
inline constexpr uint32_t kIoctlWriteWindow0 = 0x9C482444; // offset, 32-bit value
inline constexpr uint32_t kIoctlWriteWindow1 = 0x9C48A448; // offset, 32-bit value
inline constexpr uint32_t kIoctlWriteConfig = 0x9C48244C;  // offset, 32-bit value

// Status values.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusNotImplemented = 0xC0000002;
inline constexpr uint32_t kStatusAccessViolation = 0xC0000005;  // offset out of range, misaligned
inline constexpr uint32_t kStatusInvalidParameter = 0xC000000D;  // wrong buffer lengths
inline constexpr uint32_t kStatusNoSuchDevice = 0xC000000E;      // load: no card
inline constexpr uint32_t kStatusDeviceError = 0xC0000185;       // a card file cannot be used

// Card identification.
inline constexpr uint16_t kVendorId = 0x1013;
inline constexpr uint16_t kDeviceId = 0x6005;
inline constexpr uint16_t kSubsystemVendorId = 0x5E71;
inline constexpr uint16_t kSubsystemId = 0x7D19;
inline constexpr int kMaxCards = 4;
inline constexpr uint32_t kWindowLength = 4096;
// The control byte whose bit 3 every request sets first.
inline constexpr uint32_t kControlRegister = 0x740;
inline constexpr uint8_t kControlBit = 0x08;

// The service's \Parameters values.
struct DriverParameters {
  uint64_t io_port_address = 0x200;  // IoPortAddress
  uint32_t io_port_count = 4;        // IoPortCount
  std::string port_file = "/dev/port";  // where port bytes are read and written
};

// Reads IoPortAddress and IoPortCount below HKEY_LOCAL_MACHINE\<kServiceKey>\Parameters;
// a store that cannot be read gives the defaults, a missing value its default.
inline constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\QrxDrvM";
DriverParameters ReadDriverParameters();

// One card as the scan found it (the device extension).
struct CardInfo {
  std::string path;      // its sysfs folder
  uint32_t bus = 0;      // PCI bus number
  uint32_t slot = 0;     // device number in bits 0-4, function in bits 5-7
  uint16_t index = 0;    // 0-3, position in the scan
  uint32_t window0_base = 0;  // configuration 0x10 with its two low bits cleared
  uint32_t window1_base = 0;  // configuration 0x14 likewise
  std::string device_name;    // "\Device\NORVANEDev", "\Device\NORVANEDev1", ...
  std::string link_name;      // "\DosDevices\NORVANEDev", ...
};

// The loaded driver: every card found, with both windows mapped.
class CardDriver {
 public:
  // Scans <sysfs_root>/bus/pci/devices in bus order. kStatusSuccess when at
  // least one card was found and mapped; kStatusNoSuchDevice when none was;
  // kStatusDeviceError when a card's files cannot be opened or mapped
  // (*why names the file and the reason).
  static uint32_t Load(const std::string& sysfs_root, const DriverParameters& parameters,
                       std::unique_ptr<CardDriver>* driver, std::string* why);
  ~CardDriver();  // unmaps the windows
  CardDriver(const CardDriver&) = delete;
  CardDriver& operator=(const CardDriver&) = delete;

  int card_count() const { return static_cast<int>(cards_.size()); }
  const CardInfo& card(int index) const { return cards_[static_cast<size_t>(index)].info; }

  // One request to card `index`. Returns the status; *transferred the bytes
  // written to `out`.
  uint32_t DeviceIoControl(int index, uint32_t code, const void* in, uint32_t in_size, void* out,
                           uint32_t out_size, uint32_t* transferred);

 private:
  struct Card {
    CardInfo info;
    volatile uint8_t* window[2] = {nullptr, nullptr};
  };
  CardDriver() = default;
  uint32_t ReadConfigSpace(const Card& card, uint8_t (&space)[256]) const;

  std::vector<Card> cards_;
  DriverParameters parameters_;
};

// "\\.\NORVANEDEV" for card 0, "\\.\NORVANEDEV<n>" after.
std::string UserDeviceName(int card);

// The service "QrxDrvM" of this process.
class CardService {
 public:
  // 0 started, -1 already running, -2 any failure (*status and *why say which).
  static int Start(const std::string& sysfs_root, const DriverParameters& parameters,
                   uint32_t* status, std::string* why);
  // Unloads the layer; open handles keep their card until they are closed.
  static bool Stop();
  static bool IsRunning();

  // A handle (non-zero) for a device name (letter case ignored), or 0 with
  // *error the reason ("No such file or directory" for a card that is not there).
  static uintptr_t OpenDevice(const std::string& name, std::string* error);
  static bool CloseDevice(uintptr_t handle);
  // True on success; *status holds the driver's status either way.
  static bool DeviceIoControl(uintptr_t handle, uint32_t code, const void* in, uint32_t in_size,
                              void* out, uint32_t out_size, uint32_t* transferred,
                              uint32_t* status);
};

}  // namespace logrum::gpiocard
