// traceprov.so: the trace provider of this system.
//
// Channels are switched on by LOGRUM2_TRACE (see TraceSpec.h), read when the
// first user binds. Lines go to standard error, or are appended to the file
// named by LOGRUM2_TRACE_FILE. With LOGRUM2_TRACE unset or empty nothing is
// written at all, not even failed consistency checks.
//
// Several libraries of one process may bind the provider; each call of the entry
// is one user and the state lives until the last user has called the exit entry.
// The state is allocated on the heap, not as static objects, so that it does not
// vanish under a user that is still unloading when the process ends.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "External/TraceProvider/TraceSpec.h"
#include "Lib/Diagnostics/TraceProvider.h"
#include "Lib/Platform/Export.h"

namespace logrum::traceprov {
namespace {

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n <= 0) return;
    data += n;
    length -= static_cast<size_t>(n);
  }
}

class Provider final : public diag::TraceProvider {
 public:
  Provider() {
    const char* text = std::getenv("LOGRUM2_TRACE");
    std::vector<std::string> rejected;
    spec_ = ParseTraceSpec(text != nullptr ? text : "", &rejected);
    for (const std::string& why : rejected) {
      std::fprintf(stderr, "traceprov: ignoring LOGRUM2_TRACE entry %s\n", why.c_str());
    }
    const char* file = std::getenv("LOGRUM2_TRACE_FILE");
    if (!spec_.empty() && file != nullptr && *file != '\0') {
      fd_ = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd_ < 0) {
        std::fprintf(stderr, "traceprov: cannot open LOGRUM2_TRACE_FILE %s, tracing to standard error\n",
                     file);
        fd_ = STDERR_FILENO;
      }
    }
  }

  ~Provider() {
    if (fd_ != STDERR_FILENO) ::close(fd_);
  }

  const volatile uint8_t* RegisterChannel(uint32_t channel) override {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = bytes_.try_emplace(channel, 0);
    if (inserted) it->second = spec_.IsChannelEnabled(channel) ? 1 : 0;
    return &it->second;  // map nodes stay where they are
  }

  bool IsLineEnabled(uint32_t, int) override { return !spec_.empty(); }

  void Print(const char* format, ...) override {
    if (spec_.empty() || format == nullptr) return;
    char buffer[1056];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return;
    std::string line;
    if (static_cast<size_t>(length) < sizeof buffer) {
      line.assign(buffer, static_cast<size_t>(length));
    } else {
      line.resize(static_cast<size_t>(length) + 1);
      va_start(args, format);
      std::vsnprintf(line.data(), line.size(), format, args);
      va_end(args);
      line.resize(static_cast<size_t>(length));
    }
    if (line.empty() || line.back() != '\n') line += '\n';
    std::lock_guard lock(mutex_);  // whole lines, one after the other
    WriteAll(fd_, line.data(), line.size());
  }

 private:
  TraceSpec spec_;
  int fd_ = STDERR_FILENO;
  std::mutex mutex_;
  std::map<uint32_t, uint8_t> bytes_;
};

// Trivially destructible: no exit-time destructor runs before the last user is done.
constinit std::mutex g_users_mutex;
constinit Provider* g_provider = nullptr;
constinit int g_users = 0;

}  // namespace
}  // namespace logrum::traceprov

using logrum::traceprov::g_provider;
using logrum::traceprov::g_users;
using logrum::traceprov::g_users_mutex;

LOGRUM_EXPORT logrum::diag::TraceProvider* _6A7B31() {
  try {
    std::lock_guard lock(g_users_mutex);
    if (g_provider == nullptr) g_provider = new logrum::traceprov::Provider();
    ++g_users;
    return g_provider;
  } catch (...) {
    return nullptr;
  }
}

LOGRUM_EXPORT void _6A7B32() {
  std::lock_guard lock(g_users_mutex);
  if (g_users == 0) return;
  if (--g_users == 0) {
    delete g_provider;
    g_provider = nullptr;
  }
}
