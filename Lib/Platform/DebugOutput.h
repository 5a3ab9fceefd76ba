// The platform's debugger output: developer lines that nobody sees unless asked for.
// On Linux they go to standard error while LOGRUM2_DEBUG is set (read once), else nowhere.
//
// Warnings: faults a library finds that a station engineer must see and that it
// has no log of its own for (a malformed LOGRUM2_CLOCK, an unknown time zone, a
// bad virtual device entry, a refused network client). Libraries never print them on their own: they go to the route
// the program sets with SetWarningSink, or to the debug output while it sets none.
// Every library (a plug-in too) holds its own copy of this layer; a program that
// exports kWarningRouteSymbol (the logrum_program build does) receives the
// warnings of the plug-ins it loads through its own route as well.
//
// Thread safety: any thread; one call writes one whole line.
#pragma once

#include "Lib/Platform/Export.h"

namespace logrum::platform {

bool DebugOutputEnabled();
void DebugOutput(const char* text);

// Receives one warning: a whole line, without its line end.
using WarningSink = void (*)(const char* text);

// Points the warnings of this process at `sink`; null sends them back to the debug
// output. Returns the previous sink.
WarningSink SetWarningSink(WarningSink sink);

// For command-line tools, whose own messages go to standard error: warnings go
// there too, as "PROGRAM: text". `program` must outlive the process's warnings
// (a string literal).
void SendWarningsToStandardError(const char* program);

// Formats one warning and hands it to the route.
void Warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline constexpr char kWarningRouteSymbol[] = "LogrumPlatformWarningRoute";

}  // namespace logrum::platform

// The route of this copy of the layer, looked up by name in the program (see above).
LOGRUM_EXPORT void LogrumPlatformWarningRoute(const char* text);
