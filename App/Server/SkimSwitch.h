// The skim switch of one archive: the server program's answer to "is the skim
// input on" and "may the archive record now", asked by the archive service.
//
// The archive's switch mask (bit 0 = switch 1) is kept with its bit order
// reversed, so that it lines up with the GPIO library's state byte (switch 1
// is state bit 7). With the invert flag clear the switch is on while any
// selected input is set; with it set, while any selected input is clear.
//
// Thread safety: the UI thread configures the switch and sets the
// record-enabled flag; IsOn and IsRecordEnabled may run on any thread at the
// same time and only read single bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Lib/ArchiveManager/include/SkimSwitch.h"

namespace logrum::server {

class GpioBinding;

// Reverses the bit order of a byte: bit 0 becomes bit 7, and so on.
uint8_t ReverseBits(uint8_t mask);

class SkimSwitch final : public logrum::SkimSwitch {
 public:
  // `gpio` may be null (no GPIO library); it must outlive the switch.
  explicit SkimSwitch(const GpioBinding* gpio);
  ~SkimSwitch() override;
  SkimSwitch(const SkimSwitch&) = delete;
  SkimSwitch& operator=(const SkimSwitch&) = delete;

  bool IsOn() override;
  bool IsRecordEnabled() override;

  // Opens the source's GPIO device for the switch's whole life; the handle
  // stays -1 when the library is missing or refuses. False in that case.
  bool OpenDevice(const std::string& source_name, const std::string& device_name);
  // Mask as the archive gives it (bit 0 = switch 1); it is stored reversed.
  void Configure(uint8_t mask, bool invert);
  void SetRecordEnabled(bool enabled) { record_enabled_.store(enabled); }

  int32_t handle() const { return handle_; }
  uint8_t switch_mask() const { return switch_mask_.load(); }
  uint8_t valid_mask() const { return valid_mask_; }
  bool invert() const { return invert_.load(); }

 private:
  const GpioBinding* gpio_;
  int32_t handle_ = -1;
  std::atomic<uint8_t> switch_mask_{0};
  uint8_t valid_mask_ = 0;
  std::atomic<bool> invert_{false};
  std::atomic<bool> record_enabled_{false};
};

}  // namespace logrum::server
