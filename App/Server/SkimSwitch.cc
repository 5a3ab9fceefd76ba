#include "App/Server/SkimSwitch.h"

#include "App/Server/GpioBinding.h"

namespace logrum::server {

uint8_t ReverseBits(uint8_t mask) {
  uint8_t reversed = 0;
  for (int i = 0; i < 8; ++i) {
    if (mask & (1u << i)) reversed |= static_cast<uint8_t>(0x80u >> i);
  }
  return reversed;
}

SkimSwitch::SkimSwitch(const GpioBinding* gpio) : gpio_(gpio) {}

SkimSwitch::~SkimSwitch() {
  if (handle_ != -1) {
    if (gpio_ != nullptr && gpio_->entries().CloseDevice != nullptr) {
      gpio_->entries().CloseDevice(static_cast<uint32_t>(handle_));
    }
    handle_ = -1;
  }
}

bool SkimSwitch::OpenDevice(const std::string& source_name, const std::string& device_name) {
  if (gpio_ == nullptr || gpio_->entries().OpenDevice == nullptr) return false;
  int32_t handle = -1;
  uint8_t valid = 0;
  // The GPIO library keys its inputs by capture device; the source name rides
  // along in the argument it does not read.
  bool ok = gpio_->entries().OpenDevice(&handle, source_name.c_str(), device_name.c_str(), &valid);
  handle_ = ok ? handle : -1;
  valid_mask_ = valid;
  return ok && handle_ != -1;
}

void SkimSwitch::Configure(uint8_t mask, bool invert) {
  switch_mask_.store(ReverseBits(mask));
  invert_.store(invert);
}

bool SkimSwitch::IsOn() {
  if (gpio_ == nullptr || gpio_->entries().GetDeviceSwitchState == nullptr) return false;
  uint8_t state = 0;
  if (!gpio_->entries().GetDeviceSwitchState(static_cast<uint32_t>(handle_), &state)) return false;
  uint8_t mask = switch_mask_.load();
  uint8_t idle = invert_.load() ? mask : 0;
  return (state & mask) != idle;
}

bool SkimSwitch::IsRecordEnabled() { return record_enabled_.load(); }

}  // namespace logrum::server
