// logrum-logview: prints the server program's diagnostic messages as they come.
//
//   logrum-logview [--channel NAME] [--mapping NAME] [--count N]
//
// Attaches to the channel as its one reader (default channel "Logrum2" in the
// region "SharedLogger") and copies every message to standard output until
// interrupted, or until N messages have been printed. Exits with 1 when the
// channel cannot be opened or another viewer is attached.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "App/Server/SharedLogger.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

int Usage() {
  std::fprintf(stderr, "usage: logrum-logview [--channel NAME] [--mapping NAME] [--count N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using logrum::server::SharedLogger;
  std::string channel = SharedLogger::kChannelName;
  std::string mapping = SharedLogger::kMappingName;
  long count = -1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (std::strcmp(arg, "--channel") == 0) {
      channel = argv[++i];
    } else if (std::strcmp(arg, "--mapping") == 0) {
      mapping = argv[++i];
    } else if (std::strcmp(arg, "--count") == 0) {
      char* end = nullptr;
      count = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || count <= 0) return Usage();
    } else {
      return Usage();
    }
  }

  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  SharedLogger logger(SharedLogger::kSlotCount, SharedLogger::kSlotLength, mapping);
  if (!logger.mapped()) {
    std::fprintf(stderr, "logrum-logview: cannot map shared memory '%s'\n", mapping.c_str());
    return 1;
  }
  if (!logger.Open(channel.c_str(), /*as_reader=*/true)) {
    std::fprintf(stderr, "logrum-logview: cannot attach to channel '%s' (another viewer attached?)\n",
                 channel.c_str());
    return 1;
  }
  std::printf("logrum-logview: attached to channel '%s'\n", channel.c_str());
  std::fflush(stdout);

  std::string message;
  while (!g_stop && count != 0) {
    if (!logger.Read(&message, 200)) continue;
    std::fputs(message.c_str(), stdout);
    if (message.empty() || message.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
    if (count > 0) --count;
  }
  logger.Close();
  return 0;
}
