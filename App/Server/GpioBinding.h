// The server program's binding of the GPIO library "gpiolink.so": six plain
// C entry points looked up by name, each possibly missing. Every user tests its
// entry point first; with no library every switch reads as off.
//
// Thread safety: the entry points are set once (Load, or by a test) before any
// switch uses them; afterwards the binding is only read. The library itself
// serialises its calls.
#pragma once

#include <cstdint>
#include <string>

#include "Lib/Gpio/include/GpioConsole.h"
#include "Lib/Platform/DynamicLibrary.h"
#include "Lib/Platform/Status.h"

namespace logrum::server {

extern "C" {
using GpioOpenFn = bool (*)(uint8_t* config_available);
using GpioCloseFn = void (*)();
using GpioShowConfigDialogFn = bool (*)(const char* ignored, const char* source_name);
using GpioOpenDeviceFn = bool (*)(int32_t* handle, const char* ignored, const char* source_name,
                                  uint8_t* valid_mask);
using GpioGetDeviceSwitchStateFn = bool (*)(uint32_t handle, uint8_t* state);
using GpioCloseDeviceFn = void (*)(uint32_t handle);
}

// The console's interface of the same library (Lib/Gpio/include/GpioConsole.h):
// the GPIO dialogs read and change the inputs through it.
using GpioConsoleReadInputFn = bool (*)(const char* source_name, int input, GpioInputInfo* info);
using GpioConsoleConfigureFn = bool (*)(const char* source_name, int input,
                                        const GpioInputInfo* info, char* error,
                                        uint32_t error_size);
using GpioConsoleSaveFn = bool (*)();
using GpioConsoleTestRuleFn = void (*)(const char* on_pattern, const char* off_pattern,
                                       uint8_t case_sensitive, const char* text, char* result,
                                       uint32_t size);
using GpioConsoleReadSourceFn = bool (*)(const char* source_name, uint8_t* valid_mask,
                                         int32_t* card);

struct GpioEntryPoints {
  GpioOpenFn Open = nullptr;
  GpioCloseFn Close = nullptr;
  GpioShowConfigDialogFn ShowConfigDialog = nullptr;
  GpioOpenDeviceFn OpenDevice = nullptr;
  GpioGetDeviceSwitchStateFn GetDeviceSwitchState = nullptr;
  GpioCloseDeviceFn CloseDevice = nullptr;
  // The console's (all null when the library has no console interface).
  GpioConsoleReadInputFn ConsoleReadInput = nullptr;
  GpioConsoleConfigureFn ConsoleConfigure = nullptr;
  GpioConsoleSaveFn ConsoleSave = nullptr;
  GpioConsoleTestRuleFn ConsoleTestRule = nullptr;
  GpioConsoleReadSourceFn ConsoleReadSource = nullptr;

  bool has_console() const {
    return ConsoleReadInput != nullptr && ConsoleConfigure != nullptr && ConsoleSave != nullptr &&
           ConsoleTestRule != nullptr;
  }
};

class GpioBinding {
 public:
  static constexpr const char* kLibraryName = "gpiolink.so";

  GpioBinding() = default;
  // Entry points given directly (tests, or a library bound elsewhere).
  explicit GpioBinding(const GpioEntryPoints& entries) : entries_(entries) {}
  // Calls Close again when Open returned true (Close accepts a second call),
  // then unloads the library.
  ~GpioBinding();
  GpioBinding(const GpioBinding&) = delete;
  GpioBinding& operator=(const GpioBinding&) = delete;

  // Loads the library beside the program and looks up the six entry points;
  // then calls Open when it is exported. A missing library leaves every entry
  // point null and need not stop the caller: the error says why, for logs.
  platform::Status Load();

  const GpioEntryPoints& entries() const { return entries_; }
  bool opened() const { return opened_; }
  bool config_available() const { return config_available_ != 0; }

 private:
  platform::DynamicLibrary library_;
  GpioEntryPoints entries_;
  bool opened_ = false;
  uint8_t config_available_ = 0;
};

}  // namespace logrum::server
