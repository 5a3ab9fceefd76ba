#include "App/Server/GpioBinding.h"

namespace logrum::server {
namespace {
// An address inside this program, to find the library folder beside it.
const char kAnchor = 0;
}  // namespace

GpioBinding::~GpioBinding() {
  if (opened_ && entries_.Close != nullptr) entries_.Close();
}

platform::Status GpioBinding::Load() {
  entries_ = {};
  opened_ = false;
  if (platform::Status status = library_.OpenBeside(&kAnchor, kLibraryName); !status.ok()) {
    return status;
  }
  entries_.Open = library_.OptionalFunction<GpioOpenFn>("Open");
  entries_.Close = library_.OptionalFunction<GpioCloseFn>("Close");
  entries_.ShowConfigDialog = library_.OptionalFunction<GpioShowConfigDialogFn>("ShowConfigDialog");
  entries_.OpenDevice = library_.OptionalFunction<GpioOpenDeviceFn>("OpenDevice");
  entries_.GetDeviceSwitchState =
      library_.OptionalFunction<GpioGetDeviceSwitchStateFn>("GetDeviceSwitchState");
  entries_.CloseDevice = library_.OptionalFunction<GpioCloseDeviceFn>("CloseDevice");
  entries_.ConsoleReadInput =
      library_.OptionalFunction<GpioConsoleReadInputFn>("GpioConsoleReadInput");
  entries_.ConsoleConfigure =
      library_.OptionalFunction<GpioConsoleConfigureFn>("GpioConsoleConfigure");
  entries_.ConsoleSave = library_.OptionalFunction<GpioConsoleSaveFn>("GpioConsoleSave");
  entries_.ConsoleTestRule =
      library_.OptionalFunction<GpioConsoleTestRuleFn>("GpioConsoleTestRule");
  entries_.ConsoleReadSource =
      library_.OptionalFunction<GpioConsoleReadSourceFn>("GpioConsoleReadSource");
  if (entries_.Open != nullptr) opened_ = entries_.Open(&config_available_);
  return platform::Status::Ok();
}

}  // namespace logrum::server
