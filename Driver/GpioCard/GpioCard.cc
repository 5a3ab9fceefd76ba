#include "Driver/GpioCard/include/GpioCard.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "Lib/Kit/Mutex.h"
#include "Lib/Platform/Registry.h"

namespace logrum::gpiocard {
namespace {

namespace fs = std::filesystem;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads up to `size` bytes from the start of a file; the count read, or -1.
ssize_t ReadFile(const std::string& path, uint8_t* data, size_t size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t total = 0;
  while (total < size) {
    ssize_t n = ::pread(fd, data + total, size - total, static_cast<off_t>(total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  ::close(fd);
  return static_cast<ssize_t>(total);
}

// Maps the first 4096 bytes of a resource file for reading and writing. A
// file shorter than that is refused: touching a mapped page past its end
// would kill the process.
volatile uint8_t* MapWindow(const std::string& path, std::string* why) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *why = path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(kWindowLength)) {
    *why = path + ": shorter than " + std::to_string(kWindowLength) + " bytes";
    ::close(fd);
    return nullptr;
  }
  void* map = ::mmap(nullptr, kWindowLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int saved = errno;
  ::close(fd);
  if (map == MAP_FAILED) {
    *why = path + ": " + std::strerror(saved);
    return nullptr;
  }
  return static_cast<volatile uint8_t*>(map);
}

// "dddd:bb:dd.f" -> bus, device, function.
bool ParsePciName(const std::string& name, uint32_t* bus, uint32_t* device, uint32_t* function) {
  unsigned domain = 0, b = 0, d = 0, f = 0;
  if (std::sscanf(name.c_str(), "%x:%x:%x.%x", &domain, &b, &d, &f) != 4) return false;
  *bus = b;
  *device = d & 0x1F;
  *function = f & 0x7;
  return true;
}

uint32_t ReadOffset(const void* in) {
  uint32_t offset;
  std::memcpy(&offset, in, 4);
  return offset;
}

}  // namespace

DriverParameters ReadDriverParameters() {
  DriverParameters parameters;
  platform::Registry* store = nullptr;
  if (!platform::DefaultRegistry(&store).ok() || store == nullptr) return parameters;
  const std::string key = std::string(kServiceKey) + "\\Parameters";
  platform::RegValue value;
  if (store->GetValue(platform::RegRoot::kLocalMachine, key, "IoPortAddress", &value).ok() &&
      value.type == platform::kRegDword && value.data.size() == 4) {
    parameters.io_port_address = Le32(reinterpret_cast<const uint8_t*>(value.data.data()));
  }
  if (store->GetValue(platform::RegRoot::kLocalMachine, key, "IoPortCount", &value).ok() &&
      value.type == platform::kRegDword && value.data.size() == 4) {
    parameters.io_port_count = Le32(reinterpret_cast<const uint8_t*>(value.data.data()));
  }
  return parameters;
}

std::string UserDeviceName(int card) {
  return card == 0 ? "\\\\.\\NORVANEDEV" : "\\\\.\\NORVANEDEV" + std::to_string(card);
}

uint32_t CardDriver::Load(const std::string& sysfs_root, const DriverParameters& parameters,
                          std::unique_ptr<CardDriver>* driver, std::string* why) {
  driver->reset();
  why->clear();
  std::vector<std::string> names;
  std::error_code ec;
  const fs::path devices = fs::path(sysfs_root) / "bus" / "pci" / "devices";
  for (auto it = fs::directory_iterator(devices, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  // Bus order: the names are fixed-width hexadecimal "domain:bus:device.function".
  std::sort(names.begin(), names.end());

  std::unique_ptr<CardDriver> loaded(new CardDriver());
  loaded->parameters_ = parameters;
  for (const std::string& name : names) {
    if (loaded->card_count() == kMaxCards) break;
    uint32_t bus = 0, device = 0, function = 0;
    if (!ParsePciName(name, &bus, &device, &function)) continue;
    const std::string folder = (devices / name).string();
    uint8_t config[64] = {};
    if (ReadFile(folder + "/config", config, sizeof config) != static_cast<ssize_t>(sizeof config)) {
      continue;
    }
    if (Le16(config) != kVendorId || Le16(config + 2) != kDeviceId ||
        Le16(config + 0x2C) != kSubsystemVendorId || Le16(config + 0x2E) != kSubsystemId) {
      continue;
    }
    Card card;
    card.info.path = folder;
    card.info.bus = bus;
    card.info.slot = device | function << 5;
    card.info.index = static_cast<uint16_t>(loaded->card_count());
    card.info.window0_base = Le32(config + 0x10) & ~3u;
    card.info.window1_base = Le32(config + 0x14) & ~3u;
    std::string suffix = card.info.index == 0 ? "" : std::to_string(card.info.index);
    card.info.device_name = "\\Device\\NORVANEDev" + suffix;
    card.info.link_name = "\\DosDevices\\NORVANEDev" + suffix;
    for (int w = 0; w < 2; ++w) {
      card.window[w] = MapWindow(folder + "/resource" + std::to_string(w), why);
      if (card.window[w] == nullptr) {
        if (w == 1) ::munmap(const_cast<uint8_t*>(card.window[0]), kWindowLength);
        return kStatusDeviceError;  // earlier cards are unmapped with `loaded`
      }
    }
    loaded->cards_.push_back(card);
  }
  if (loaded->cards_.empty()) {
    *why = "no card with PCI id 1013:6005 (subsystem 5e71:7d19) under " + devices.string();
    return kStatusNoSuchDevice;
  }
  *driver = std::move(loaded);
  return kStatusSuccess;
}

CardDriver::~CardDriver() {
  for (Card& card : cards_) {
    for (volatile uint8_t* window : card.window) {
      if (window != nullptr) ::munmap(const_cast<uint8_t*>(window), kWindowLength);
    }
  }
}

uint32_t CardDriver::ReadConfigSpace(const Card& card, uint8_t (&space)[256]) const {
  ssize_t n = ReadFile(card.info.path + "/config", space, sizeof space);
  return n == static_cast<ssize_t>(sizeof space) ? kStatusSuccess : kStatusAccessViolation;
}

uint32_t CardDriver::DeviceIoControl(int index, uint32_t code, const void* in, uint32_t in_size,
                                     void* out, uint32_t out_size, uint32_t* transferred) {
  *transferred = 0;
  if (index < 0 || index >= card_count()) return kStatusNoSuchDevice;
  Card& card = cards_[static_cast<size_t>(index)];
  // Every request first sets the control bit, as the card expects.
  volatile uint8_t* control = card.window[0] + kControlRegister;
  *control = static_cast<uint8_t>(*control | kControlBit);

  switch (code) {
    case kIoctlReadPort:
    case kIoctlWritePort: {
      if (in == nullptr || in_size < 4) return kStatusInvalidParameter;
      uint32_t offset = ReadOffset(in);
      if (offset >= parameters_.io_port_count) return kStatusAccessViolation;
      bool read = code == kIoctlReadPort;
      if (read ? (in_size != 4 || out == nullptr || out_size < 1) : in_size < 5) {
        return kStatusInvalidParameter;
      }
      int fd = ::open(parameters_.port_file.c_str(), (read ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
      if (fd < 0) return kStatusDeviceError;
      off_t at = static_cast<off_t>(parameters_.io_port_address + offset);
      ssize_t n = read ? ::pread(fd, out, 1, at)
                       : ::pwrite(fd, static_cast<const uint8_t*>(in) + 4, 1, at);
      ::close(fd);
      if (n != 1) return kStatusDeviceError;
      if (read) *transferred = 1;
      return kStatusSuccess;
    }
    case kIoctlReadWindow0:
    case kIoctlReadWindow1:
    case kIoctlWriteWindow0:
    case kIoctlWriteWindow1: {
      if (in == nullptr || in_size < 4) return kStatusInvalidParameter;
      uint32_t offset = ReadOffset(in);
      if (offset > kWindowLength - 4 || offset % 4 != 0) return kStatusAccessViolation;
      bool read = code == kIoctlReadWindow0 || code == kIoctlReadWindow1;
      int w = (code == kIoctlReadWindow0 || code == kIoctlWriteWindow0) ? 0 : 1;
      auto* reg = reinterpret_cast<volatile uint32_t*>(card.window[w] + offset);
      if (read) {
        if (in_size != 4 || out == nullptr || out_size < 4) return kStatusInvalidParameter;
        uint32_t value = *reg;
        std::memcpy(out, &value, 4);
        *transferred = 4;
      } else {
        if (in_size < 8) return kStatusInvalidParameter;
        uint32_t value;
        std::memcpy(&value, static_cast<const uint8_t*>(in) + 4, 4);
        *reg = value;
      }
      return kStatusSuccess;
    }
    case kIoctlReadConfig: {
      if (in == nullptr || in_size != 4 || out == nullptr || out_size < 4) {
        return kStatusInvalidParameter;
      }
      uint32_t offset = ReadOffset(in);
      if (offset > 252) return kStatusInvalidParameter;
      uint8_t space[256];
      if (uint32_t status = ReadConfigSpace(card, space); status != kStatusSuccess) return status;
      std::memcpy(out, space + (offset & ~3u), 4);
      *transferred = 4;
      return kStatusSuccess;
    }
    case kIoctlWriteConfig: {
      if (in == nullptr || in_size != 8) return kStatusInvalidParameter;
      uint32_t offset = ReadOffset(in);
      if (offset > 252) return kStatusInvalidParameter;
      uint8_t space[256];
      if (uint32_t status = ReadConfigSpace(card, space); status != kStatusSuccess) return status;
      // Only the one dword is written: writing the whole space back would
      // also clear the status register's write-one-to-clear error bits.
      int fd = ::open((card.info.path + "/config").c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) return kStatusAccessViolation;
      ssize_t n = ::pwrite(fd, static_cast<const uint8_t*>(in) + 4, 4,
                           static_cast<off_t>(offset & ~3u));
      ::close(fd);
      if (n != 4) return kStatusAccessViolation;
      *transferred = 4;
      return kStatusSuccess;
    }
    default:
      return kStatusNotImplemented;
  }
}

// ---- The service and its handles ----

namespace {

struct OpenCard {
  std::shared_ptr<CardDriver> driver;
  int index;
};

struct Service {
  kit::Mutex mu;
  std::shared_ptr<CardDriver> driver GUARDED_BY(mu);
  std::map<uintptr_t, OpenCard> handles GUARDED_BY(mu);
  uintptr_t next_handle GUARDED_BY(mu) = 0x100;
};

Service& TheService() {
  static Service* service = new Service();  // outlives every static destructor that stops it
  return *service;
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

int CardService::Start(const std::string& sysfs_root, const DriverParameters& parameters,
                       uint32_t* status, std::string* why) {
  Service& service = TheService();
  kit::MutexLock lock(service.mu);
  if (service.driver) {
    *status = kStatusSuccess;
    why->clear();
    return -1;
  }
  std::unique_ptr<CardDriver> driver;
  *status = CardDriver::Load(sysfs_root, parameters, &driver, why);
  if (*status != kStatusSuccess) return -2;
  service.driver = std::move(driver);
  return 0;
}

bool CardService::Stop() {
  Service& service = TheService();
  kit::MutexLock lock(service.mu);
  bool was = service.driver != nullptr;
  service.driver.reset();
  return was;
}

bool CardService::IsRunning() {
  Service& service = TheService();
  kit::MutexLock lock(service.mu);
  return service.driver != nullptr;
}

uintptr_t CardService::OpenDevice(const std::string& name, std::string* error) {
  Service& service = TheService();
  kit::MutexLock lock(service.mu);
  if (service.driver) {
    for (int i = 0; i < service.driver->card_count(); ++i) {
      if (!SameNoCase(name, UserDeviceName(i))) continue;
      uintptr_t handle = service.next_handle++;
      service.handles[handle] = OpenCard{service.driver, i};
      error->clear();
      return handle;
    }
  }
  *error = std::strerror(ENOENT);
  return 0;
}

bool CardService::CloseDevice(uintptr_t handle) {
  Service& service = TheService();
  kit::MutexLock lock(service.mu);
  return service.handles.erase(handle) == 1;
}

bool CardService::DeviceIoControl(uintptr_t handle, uint32_t code, const void* in,
                                  uint32_t in_size, void* out, uint32_t out_size,
                                  uint32_t* transferred, uint32_t* status) {
  OpenCard card;
  {
    Service& service = TheService();
    kit::MutexLock lock(service.mu);
    auto it = service.handles.find(handle);
    if (it == service.handles.end()) {
      *transferred = 0;
      *status = kStatusInvalidParameter;
      return false;
    }
    card = it->second;
  }
  *status = card.driver->DeviceIoControl(card.index, code, in, in_size, out, out_size, transferred);
  return *status == kStatusSuccess;
}

}  // namespace logrum::gpiocard
