// Marks the C entry points of a plug-in library; everything else is hidden.
#pragma once

#define LOGRUM_EXPORT extern "C" __attribute__((visibility("default")))
