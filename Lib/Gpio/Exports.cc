// The exports of gpiolink.so: thin C entry points over the process's one
// GpioLibrary. No exception leaves an export.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Lib/Gpio/GpioLibrary.h"
#include "Lib/Gpio/MessageRoute.h"
#include "Lib/Gpio/Pattern.h"
#include "Lib/Gpio/include/GpioConsole.h"
#include "Lib/Gpio/include/GpioLink.h"
#include "Lib/Platform/Export.h"

namespace logrum::gpio {
namespace {

GpioLibrary& Library() {
  // Never destroyed: readers and the poll thread are stopped by Close, and a
  // static destructor must not wait for threads while the loader holds its lock.
  static GpioLibrary* library = [] {
    GpioLibrary::Options options;
    options.message = PostMessage;
    options.make_card_manager = [] {
      CardManagerOptions card_options = DefaultCardManagerOptions();
      card_options.message = PostMessage;
      return std::make_unique<CardManager>(std::move(card_options));
    };
    return new GpioLibrary(std::move(options));
  }();
  return *library;
}

void CopyText(const std::string& text, char* out, uint32_t size) {
  if (out == nullptr || size == 0) return;
  size_t n = std::min<size_t>(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

template <typename F>
auto Guard(F body, decltype(body()) failure) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace
}  // namespace logrum::gpio

using logrum::gpio::CopyText;
using logrum::gpio::Guard;
using logrum::gpio::Library;

LOGRUM_EXPORT bool Open(uint8_t* config_available) {
  if (config_available != nullptr) *config_available = 1;
  return Guard([&] { return Library().Open(config_available); }, false);
}

LOGRUM_EXPORT void Close(void) {
  Guard([] { Library().Close(); return 0; }, 0);
}

LOGRUM_EXPORT bool ShowConfigDialog(const char* /*ignored*/, const char* source_name) {
  Guard([&] { return Library().ShowConfigDialog(source_name); }, true);
  return true;
}

LOGRUM_EXPORT bool OpenDevice(int32_t* handle, const char* /*ignored*/, const char* source_name,
                              uint8_t* valid_mask) {
  return Guard([&] { return Library().OpenDevice(handle, source_name, valid_mask); }, false);
}

LOGRUM_EXPORT bool GetDeviceSwitchState(uint32_t handle, uint8_t* state) {
  return Guard([&] { return Library().GetDeviceSwitchState(handle, state); }, false);
}

LOGRUM_EXPORT void CloseDevice(uint32_t handle) {
  Guard([&] { Library().CloseDevice(handle); return 0; }, 0);
}

LOGRUM_EXPORT int GpioConsoleSourceCount(void) {
  return Guard([] { return static_cast<int>(Library().SourceNames().size()); }, -1);
}

LOGRUM_EXPORT bool GpioConsoleSourceName(int index, char* name, uint32_t size) {
  return Guard(
      [&] {
        std::vector<std::string> names = Library().SourceNames();
        if (index < 0 || static_cast<size_t>(index) >= names.size()) return false;
        CopyText(names[static_cast<size_t>(index)], name, size);
        return true;
      },
      false);
}

LOGRUM_EXPORT bool GpioConsoleReadSource(const char* source_name, uint8_t* valid_mask,
                                         int32_t* card) {
  if (source_name == nullptr) return false;
  return Guard([&] { return Library().ReadSource(source_name, valid_mask, card); }, false);
}

LOGRUM_EXPORT bool GpioConsoleReadInput(const char* source_name, int input, GpioInputInfo* info) {
  if (source_name == nullptr || info == nullptr) return false;
  return Guard(
      [&] {
        logrum::gpio::InputView view;
        if (!Library().ReadInput(source_name, input, &view)) return false;
        *info = GpioInputInfo{};
        CopyText(view.config.host_address, info->szHostAddress, sizeof info->szHostAddress);
        CopyText(view.config.on_pattern, info->szOnPattern, sizeof info->szOnPattern);
        CopyText(view.config.off_pattern, info->szOffPattern, sizeof info->szOffPattern);
        info->bCaseSensitive = view.config.case_sensitive ? 1 : 0;
        info->bInitialState = view.config.initial_state ? 1 : 0;
        info->bActive = view.config.active ? 1 : 0;
        info->bState = view.state ? 1 : 0;
        info->bPatternErrors = static_cast<uint8_t>(view.pattern_errors);
        CopyText(view.status, info->szStatus, sizeof info->szStatus);
        return true;
      },
      false);
}

LOGRUM_EXPORT bool GpioConsoleConfigure(const char* source_name, int input,
                                        const GpioInputInfo* info, char* error,
                                        uint32_t error_size) {
  if (source_name == nullptr || info == nullptr) {
    CopyText("no source or no configuration given", error, error_size);
    return false;
  }
  return Guard(
      [&] {
        // The fields are fixed buffers that a caller may have filled to the brim.
        auto field = [](const char* text, size_t size) { return std::string(text, strnlen(text, size)); };
        logrum::gpio::InputConfig config;
        config.host_address = field(info->szHostAddress, sizeof info->szHostAddress);
        config.on_pattern = field(info->szOnPattern, sizeof info->szOnPattern);
        config.off_pattern = field(info->szOffPattern, sizeof info->szOffPattern);
        config.case_sensitive = info->bCaseSensitive != 0;
        config.initial_state = info->bInitialState != 0;
        config.active = info->bActive != 0;
        logrum::platform::Status status = Library().Configure(source_name, input, config);
        CopyText(status.message(), error, error_size);
        return status.ok();
      },
      false);
}

LOGRUM_EXPORT bool GpioConsoleSave(void) {
  return Guard([] { return Library().Save().ok(); }, false);
}

LOGRUM_EXPORT void GpioConsoleTestRule(const char* on_pattern, const char* off_pattern,
                                       uint8_t case_sensitive, const char* text, char* result,
                                       uint32_t size) {
  Guard(
      [&] {
        CopyText(logrum::gpio::TestRule(on_pattern ? on_pattern : "", off_pattern ? off_pattern : "",
                                        case_sensitive != 0, text ? text : ""),
                 result, size);
        return 0;
      },
      0);
}

LOGRUM_EXPORT void GpioConsoleSetMessageHandler(void (*handler)(void* context, const char* text),
                                                void* context) {
  logrum::gpio::SetMessageHandler(handler, context);
}
