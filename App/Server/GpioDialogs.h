// The GPIO dialogs of the web console, for the logical TCP/IP inputs 5-8 of
// one audio device, through the console interface of gpiolink.so
// (Lib/Gpio/include/GpioConsole.h):
//
//   "GPIO Configuration"  {"caption","device","card_text",
//                          "inputs":[{"input":5-8,"active":bool,"status":TEXT}...]}
//     the page polls it every second while it is open for the live status
//     texts; a check box turns an input on or off at once.
//   "Logical TCP/IP Input %d Configuration"
//                         {"caption","device","input","initial_state":0|1,"host",
//                          "case_sensitive":bool,"on","off","result":"?"}
//     OK stores the input, activates it and gives its reader the new settings
//     at once (also a running one).
//   Test                  {"on","off","case_sensitive","text"} -> {"result"}
//   close                 {"device"}: what closing the first dialog does (an
//                         entry for the device, its valid mask rebuilt, all saved)
//
// Every change is saved at once as well (the library writes its whole
// configuration in one transaction), so a page that goes away loses nothing.
// The versions are digests of the inputs' configurations, without the live
// status.
//
// Thread safety: every member may be called from any thread (the HTTP
// threads: a reader that stops may take a moment, which the UI thread must
// not wait for); one lock keeps each check and change together.
#pragma once

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "App/Server/ConsoleDialogs.h"
#include "App/Server/GpioBinding.h"

namespace logrum::server {

inline constexpr char kCardInputsText[] = "Inputs 1-4 are provided by the Norvane audio card.";
inline constexpr char kNoGpioConsole[] =
    "The switch input library (gpiolink.so) is not available, so switch inputs cannot be "
    "configured.";

class GpioDialogs {
 public:
  // `entries` (may be null: no library) must outlive this object.
  // `known_device` tells whether a name is a capture device of this machine.
  GpioDialogs(const GpioEntryPoints* entries, std::function<bool(const std::string&)> known_device);

  DialogAnswer Read(const std::string& device);
  DialogAnswer SetActive(const nlohmann::json& request);
  DialogAnswer ReadInput(const std::string& device, int input);
  DialogAnswer SaveInput(const nlohmann::json& request);
  DialogAnswer Test(const nlohmann::json& request);
  DialogAnswer Close(const nlohmann::json& request);

 private:
  std::optional<DialogAnswer> Check(const std::string& device);
  nlohmann::json Values(const std::string& device);
  nlohmann::json InputValues(const std::string& device, int input);
  DialogAnswer Listed(const std::string& device, int starting_input);

  const GpioEntryPoints* entries_;
  std::function<bool(const std::string&)> known_device_;
  std::mutex mu_;
};

}  // namespace logrum::server
