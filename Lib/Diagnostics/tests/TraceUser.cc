// A plug-in that writes trace lines, as the audio capture library does: its
// channel binds the provider while the plug-in is loaded.
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/Export.h"

namespace {
logrum::diag::TraceChannel g_channel(logrum::diag::kModuleFtpUpload, 33);
}

LOGRUM_EXPORT void LogrumTraceUserPrint(const char* text) {
  LOGRUM_TRACE(g_channel, "trace user: %s\n", text);
}
