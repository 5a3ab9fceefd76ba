// A tiny plug-in that the dynamic loading tests bind by file name.
#include "Lib/Platform/Export.h"

LOGRUM_EXPORT int LogrumTestPluginAnswer() { return 42; }
