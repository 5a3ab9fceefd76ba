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
  std::string error;
  if (!library_.OpenBeside(&kAnchor, kLibraryName, &error)) {
    return platform::Status::Error(platform::Status::kNotFound, error);
  }
  entries_.Open = library_.Function<GpioOpenFn>("Open", nullptr);
  entries_.Close = library_.Function<GpioCloseFn>("Close", nullptr);
  entries_.ShowConfigDialog = library_.Function<GpioShowConfigDialogFn>("ShowConfigDialog", nullptr);
  entries_.OpenDevice = library_.Function<GpioOpenDeviceFn>("OpenDevice", nullptr);
  entries_.GetDeviceSwitchState =
      library_.Function<GpioGetDeviceSwitchStateFn>("GetDeviceSwitchState", nullptr);
  entries_.CloseDevice = library_.Function<GpioCloseDeviceFn>("CloseDevice", nullptr);
  entries_.ConsoleReadInput =
      library_.Function<GpioConsoleReadInputFn>("GpioConsoleReadInput", nullptr);
  entries_.ConsoleConfigure =
      library_.Function<GpioConsoleConfigureFn>("GpioConsoleConfigure", nullptr);
  entries_.ConsoleSave = library_.Function<GpioConsoleSaveFn>("GpioConsoleSave", nullptr);
  entries_.ConsoleTestRule =
      library_.Function<GpioConsoleTestRuleFn>("GpioConsoleTestRule", nullptr);
  entries_.ConsoleReadSource =
      library_.Function<GpioConsoleReadSourceFn>("GpioConsoleReadSource", nullptr);
  if (entries_.Open != nullptr) opened_ = entries_.Open(&config_available_);
  return platform::Status::Ok();
}

}  // namespace logrum::server
