// The two faces of a connection's byte stream that the protocol codecs use.
//
// The network server's connection stream implements both over its socket;
// SocketStream.h is a ready implementation over a connected socket (used by
// the client library) and MemoryStream.h one over memory (tests, fuzzing).
//
// Thread safety: a reader is used by one thread. A writer's Write is called
// only between Lock and Unlock, so that two messages never interleave.
#pragma once

#include <cstddef>
#include <cstdint>

namespace logrum::protocol {

enum class WaitResult : int { kTimeout = 0, kReady = 1, kError = 2 };

// Waits longer than this never end on their own.
inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

class StreamWriter {
 public:
  virtual ~StreamWriter() = default;
  virtual void Lock() = 0;
  // True only if all n bytes were sent (n = 0 is true at once).
  virtual bool Write(const void* buffer, size_t n) = 0;
  virtual void Unlock() = 0;
};

class StreamReader {
 public:
  virtual ~StreamReader() = default;
  // Blocks until n bytes have arrived. False when the peer closed or on error.
  virtual bool Read(void* buffer, size_t n) = 0;
  // All n bytes within `ms` milliseconds in total: kReady; the time ran out:
  // kTimeout; a failed wait or read (peer closed included): kError.
  virtual WaitResult TimedRead(void* buffer, size_t n, uint32_t ms) = 0;
  // Waits until data (or the peer's close) can be read, for at most `ms`.
  virtual WaitResult Wait(uint32_t ms) = 0;
};

// Holds a writer's lock for a scope.
class StreamLock {
 public:
  explicit StreamLock(StreamWriter& writer) : writer_(writer) { writer_.Lock(); }
  ~StreamLock() { writer_.Unlock(); }
  StreamLock(const StreamLock&) = delete;
  StreamLock& operator=(const StreamLock&) = delete;

 private:
  StreamWriter& writer_;
};

}  // namespace logrum::protocol
