// Developer trace lines.
//
// Two routes, chosen by the library that writes the line:
//  - DebugTrace: the archive service's trace. printf-formatted into a buffer of
//    1056 characters and handed to the platform's debug output (Lib/Platform/DebugOutput.h).
//  - TraceChannel: the audio capture and FTP upload libraries' trace, through the
//    outside trace provider traceprov.so, which decides per channel and source line.
//    The first channel registered in a library loads traceprov.so by file name from
//    that library's folder (Lib/Platform/DynamicLibrary.h, LibraryFolders) and keeps
//    it for the life of the library; when the library is unloaded its channels fall
//    silent and the provider is released. With no provider every channel is silent.
//
// Thread safety: any thread. Channels are static objects registered while their
// library is loaded; a channel must not be destroyed while another thread uses it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

namespace logrum::diag {

void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugTraceV(const char* format, va_list args);

// Module numbers of the libraries that write through the trace provider.
inline constexpr uint16_t kModuleAudioSource = 0x0A51;
inline constexpr uint16_t kModuleFtpUpload = 0x0F70;

class TraceProvider;

class TraceChannel {
 public:
  TraceChannel(uint16_t module, uint16_t unit);
  ~TraceChannel();
  TraceChannel(const TraceChannel&) = delete;
  TraceChannel& operator=(const TraceChannel&) = delete;

  uint32_t id() const { return id_; }

  // The calling pattern of a trace line: enable byte, then the provider's per-line test.
  bool IsLineEnabled(int source_line) const;
  // Writes the line if IsLineEnabled(source_line).
  void Print(int source_line, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  // A failed consistency check skips the enable byte and asks the provider directly;
  // the line reads "Assert failed!\n".
  void AssertFailed(int source_line) const;

 private:
  friend class TraceBinding;

  uint32_t id_;
  std::atomic<const volatile uint8_t*> enabled_;
  std::atomic<TraceProvider*> provider_;
  TraceChannel* next_ = nullptr;  // the library's registered channels
};

}  // namespace logrum::diag

// Writes a line on `channel` when it is enabled; the arguments are evaluated only then.
#define LOGRUM_TRACE(channel, ...)                                          \
  do {                                                                      \
    if ((channel).IsLineEnabled(__LINE__)) (channel).Print(__LINE__, __VA_ARGS__); \
  } while (0)
