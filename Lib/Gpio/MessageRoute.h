// The GPIO library's one route for message boxes. The server installs a
// handler that shows them on its console; while none is installed a message
// is one line on standard error, with its journal priority under systemd.
// Every part of the library posts here, so each line carries one prefix.
//
// Thread safety: any thread; the handler is called with the route's lock held.
#pragma once

#include <string>

namespace logrum::gpio {

void PostMessage(const std::string& text);

// Replaces the handler (null: standard error again).
void SetMessageHandler(void (*handler)(void* context, const char* text), void* context);

}  // namespace logrum::gpio
