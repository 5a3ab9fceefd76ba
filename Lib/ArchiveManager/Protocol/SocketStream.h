// Both stream faces over one connected TCP socket, which it owns.
//
// Write sends until every byte is gone (no SIGPIPE: a closed peer is a
// failed write). With a send time-out, a peer that stops reading (its window
// stays shut) fails the write once the time-out has passed without the bytes
// going; part of a message may then be on the wire, so the stream shuts down
// and every later write fails too. TimedRead measures its whole time-out on the real-time tick
// (Lib/Platform/Clock.h), so a peer that trickles bytes cannot stretch it.
// Shutdown ends both directions without giving up the descriptor, which makes
// a read, wait or write blocked in another thread return with an error; Close
// releases the descriptor as well.
//
// Thread safety: one reading thread; writers serialise through Lock/Unlock;
// Shutdown may be called from any thread; Close and Adopt only while no other
// thread uses the stream (a released descriptor number can be reused at once).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "Lib/ArchiveManager/Protocol/Stream.h"
#include "Lib/Platform/Status.h"

namespace logrum::protocol {

struct ConnectOptions {
  uint32_t timeout_ms = 10000;
  // Local IPv4 address to connect from ("" = any): a test stands in for
  // several hosts with 127.0.0.x.
  std::string local_address;
  // SO_RCVBUF before connecting (0 = the system's): a small one lets a test
  // shut its window quickly.
  uint32_t receive_buffer = 0;
};

class SocketStream : public StreamReader, public StreamWriter {
 public:
  SocketStream() = default;
  explicit SocketStream(int fd) : fd_(fd) {}
  ~SocketStream() override;
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  // Connects to host (name or dotted IPv4 address) and port, within
  // timeout_ms; a failure names the host and why.
  platform::Status Connect(const std::string& host, uint16_t port, uint32_t timeout_ms);
  platform::Status Connect(const std::string& host, uint16_t port, const ConnectOptions& options);
  // Takes ownership of a connected socket, closing any held one.
  void Adopt(int fd);
  void Shutdown();
  void Close();
  int fd() const { return fd_.load(); }
  // Longest time one Write may wait for the peer to take bytes
  // (kWaitForever: no limit, the default).
  void set_send_timeout(uint32_t ms) { send_timeout_ms_ = ms; }
  // A Write ran out of time since the last Adopt or Connect.
  bool send_timed_out() const { return send_timed_out_.load(); }
  bool is_open() const { return fd_.load() >= 0; }

  void Lock() override { write_mutex_.lock(); }
  bool Write(const void* buffer, size_t n) override;
  void Unlock() override { write_mutex_.unlock(); }

  bool Read(void* buffer, size_t n) override;
  WaitResult TimedRead(void* buffer, size_t n, uint32_t ms) override;
  WaitResult Wait(uint32_t ms) override;

 private:
  std::atomic<int> fd_{-1};
  std::mutex write_mutex_;
  uint32_t send_timeout_ms_ = kWaitForever;
  std::atomic<bool> send_timed_out_{false};
};

}  // namespace logrum::protocol
