// A sysfs tree of plain files standing in for PCI devices: each device has a
// "config" file (256 bytes) and two 4096-byte register files, "resource0" and
// "resource1", that a test reads and writes as the card's registers.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace logrum::gpiocard::testing {

class FakeSysfs {
 public:
  FakeSysfs() { std::filesystem::create_directories(root_ + "/bus/pci/devices"); }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const std::string& root() const { return root_; }
  std::string Folder(const std::string& pci_name) const {
    return root_ + "/bus/pci/devices/" + pci_name;
  }

  // A device with the given identifiers; its windows filled with zeros.
  void AddDevice(const std::string& pci_name, uint16_t vendor = 0x1013, uint16_t device = 0x6005,
                 uint16_t subsystem_vendor = 0x5E71, uint16_t subsystem = 0x7D19,
                 size_t window_size = 4096, size_t config_size = 256) {
    std::string folder = Folder(pci_name);
    std::filesystem::create_directories(folder);
    uint8_t config[256] = {};
    Put16(config, vendor);
    Put16(config + 2, device);
    Put32(config + 0x10, 0xFEB00000u | 0x3u);
    Put32(config + 0x14, 0xFEA00000u | 0x1u);
    Put16(config + 0x2C, subsystem_vendor);
    Put16(config + 0x2E, subsystem);
    for (int i = 0x40; i < 256; ++i) config[i] = static_cast<uint8_t>(i);
    Write(folder + "/config", config, config_size, 0, true);
    std::string zeros(window_size, '\0');
    Write(folder + "/resource0", zeros.data(), zeros.size(), 0, true);
    Write(folder + "/resource1", zeros.data(), zeros.size(), 0, true);
  }

  void WriteRegister(const std::string& pci_name, int window, uint32_t offset, uint32_t value) {
    uint8_t bytes[4];
    Put32(bytes, value);
    Write(Folder(pci_name) + "/resource" + std::to_string(window), bytes, 4, offset, false);
  }
  uint32_t ReadRegister(const std::string& pci_name, int window, uint32_t offset) const {
    uint8_t bytes[4] = {};
    int fd = ::open((Folder(pci_name) + "/resource" + std::to_string(window)).c_str(), O_RDONLY);
    if (::pread(fd, bytes, 4, offset) != 4) bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0xEE;
    ::close(fd);
    return static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
           static_cast<uint32_t>(bytes[3]) << 24;
  }

  static void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
  static void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }

 private:
  static void Write(const std::string& path, const void* data, size_t size, off_t at,
                    bool truncate) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0), 0644);
    if (::pwrite(fd, data, size, at) != static_cast<ssize_t>(size)) std::abort();
    ::close(fd);
  }

  logrum::testing::TempDir temp_{"sysfs"};
  std::string root_ = temp_.path();
};

}  // namespace logrum::gpiocard::testing
