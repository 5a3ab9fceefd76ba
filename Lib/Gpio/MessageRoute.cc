#include "Lib/Gpio/MessageRoute.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace logrum::gpio {
namespace {

struct Route {
  std::mutex mu;
  void (*handler)(void*, const char*) = nullptr;
  void* context = nullptr;
};

Route& TheRoute() {
  static Route* route = new Route();
  return *route;
}

}  // namespace

void PostMessage(const std::string& text) {
  Route& route = TheRoute();
  {
    std::lock_guard lock(route.mu);
    if (route.handler != nullptr) {
      route.handler(route.context, text.c_str());
      return;
    }
  }
  if (std::getenv("JOURNAL_STREAM") != nullptr) {
    std::fprintf(stderr, "<3>%s\n", text.c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
  }
  std::fflush(stderr);
}

void SetMessageHandler(void (*handler)(void* context, const char* text), void* context) {
  Route& route = TheRoute();
  std::lock_guard lock(route.mu);
  route.handler = handler;
  route.context = context;
}

}  // namespace logrum::gpio
