// The interface of the trace provider traceprov.so, as the libraries that
// write trace lines rely on it.
//
// The provider library exports two C entry points:
//   "_6A7B31": TraceProvider* (void): the provider, or null when it cannot work.
//              Each call is one user of the provider.
//   "_6A7B32": void (void): one user is done (called before the library is freed).
//
// The three operations are the interface's first three virtual slots, in this
// order; never reorder them or add virtuals in front of them.
//
// Thread safety: every operation may be called from any thread at once.
#pragma once

#include <cstdint>

namespace logrum::diag {

inline constexpr const char kTraceProviderFile[] = "traceprov.so";
inline constexpr const char kTraceProviderEntry[] = "_6A7B31";
inline constexpr const char kTraceProviderExit[] = "_6A7B32";

class TraceProvider {
 public:
  // The enable byte of `channel` (module number << 16 | unit number). The byte
  // stays valid until the last user has called the exit entry; a line of the
  // channel is considered only while it is not 0.
  virtual const volatile uint8_t* RegisterChannel(uint32_t channel) = 0;
  // Whether the line at `source_line` of `channel` is wanted. Failed consistency
  // checks ask this without looking at the enable byte.
  virtual bool IsLineEnabled(uint32_t channel, int source_line) = 0;
  // Writes one printf-formatted line.
  virtual void Print(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;

 protected:
  // Never deleted through this interface; the provider owns itself.
  ~TraceProvider() = default;
};

using TraceProviderEntry = TraceProvider* (*)();
using TraceProviderExit = void (*)();

}  // namespace logrum::diag
