// The audio source manager of the web console: the list of audio sources
// with their devices and channels, the add dialog's choices, and its Add and
// Remove, checked here in the dialog's order and saved through the model.
//
// Values (what the dialog shows; the version is their digest):
//   {"caption":"Audio Source Manager", "columns":[{title,width}...],
//    "rows":[{"name","device","channels","code"}...],   one per AudioDevices2 value
//    "devices":[{"index","name","use","choices":[codes],"fixed":bool}...],
//    "add_refusal":TEXT|null,       what the Add button says instead of opening
//    "skim_inputs":bool}            "Configure Source Skim Inputs..." is shown
// The add dialog offers the devices that are not fully used, each with the
// channel codes it still has (3 "Left + Right", 2 "Left only", 1 "Right only";
// one fixed code when a channel is taken).
//
// Requests:
//   add     {"name","device":index,"channels":code}      no version: an add
//           overwrites nothing, and a name or channel taken in between is
//           refused by the checks
//   remove  {"name","version","answers":{"remove":bool}}  asks "Remove?"
//
// Thread safety: none; UI thread, with the model.
#pragma once

#include <nlohmann/json.hpp>

#include "App/Server/ConsoleDialogs.h"
#include "App/Server/MainWindowModel.h"

namespace logrum::server {

nlohmann::json AudioSourcesValues(MainWindowModel& model, bool skim_inputs);
DialogAnswer AddAudioSource(MainWindowModel& model, bool skim_inputs,
                            const nlohmann::json& request);
DialogAnswer RemoveAudioSource(MainWindowModel& model, bool skim_inputs,
                               const nlohmann::json& request);

}  // namespace logrum::server
