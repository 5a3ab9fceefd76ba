#include "Lib/Platform/DebugOutput.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace logrum::platform {
namespace {

std::atomic<WarningSink> g_warning_sink{nullptr};
std::atomic<const char*> g_program_name{nullptr};

void ToStandardError(const char* text) {
  const std::string line =
      std::string(g_program_name.load(std::memory_order_acquire)) + ": " + text + "\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());  // nowhere left to report to
}

void Deliver(const char* text) {
  if (WarningSink sink = g_warning_sink.load(std::memory_order_acquire); sink != nullptr) {
    sink(text);
    return;
  }
  DebugOutput((std::string("logrum2: ") + text + "\n").c_str());
}

// The program's route when it exports one; a plug-in loaded with local symbols
// finds the program's definition this way, never its own.
WarningSink ProgramRoute() {
  static const WarningSink route =
      reinterpret_cast<WarningSink>(dlsym(RTLD_DEFAULT, kWarningRouteSymbol));
  return route;
}

}  // namespace

bool DebugOutputEnabled() {
  static const bool enabled = std::getenv("LOGRUM2_DEBUG") != nullptr;
  return enabled;
}

void DebugOutput(const char* text) {
  if (!DebugOutputEnabled() || text == nullptr) return;
  // One write() per line keeps lines from different threads whole.
  size_t length = std::strlen(text);
  while (length > 0) {
    ssize_t n = ::write(STDERR_FILENO, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

WarningSink SetWarningSink(WarningSink sink) {
  return g_warning_sink.exchange(sink, std::memory_order_acq_rel);
}

void SendWarningsToStandardError(const char* program) {
  g_program_name.store(program, std::memory_order_release);
  SetWarningSink(&ToStandardError);
}

void Warn(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // In the program itself the route found is its own, which delivers here.
  if (WarningSink route = ProgramRoute(); route != nullptr) {
    route(text);
  } else {
    Deliver(text);
  }
}

}  // namespace logrum::platform

void LogrumPlatformWarningRoute(const char* text) { logrum::platform::Deliver(text); }
