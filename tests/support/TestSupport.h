// Small helpers shared by the whole-system tests. Header-only, so any test
// target can include it without linking anything more.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace logrum::testing {

// A loopback TCP port that was free a moment ago, for a server under test.
inline uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A listening socket on a free loopback port on which nothing is accepted:
// the kernel completes up to `backlog` connects and then no word ever comes,
// as from a stalled server. Closed with the object.
class SilentListener {
 public:
  explicit SilentListener(int backlog = 4) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address_;
    ok_ = fd_ >= 0 && ::bind(fd_, address(), sizeof address_) == 0 &&
          ::listen(fd_, backlog) == 0 &&
          ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length) == 0;
  }
  ~SilentListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  bool ok() const { return ok_; }
  uint16_t port() const { return ntohs(address_.sin_port); }
  const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&address_); }
  socklen_t address_size() const { return sizeof address_; }

 private:
  int fd_;
  sockaddr_in address_{};
  bool ok_ = false;
};

// Writes interleaved 16-bit stereo PCM as a canonical WAV file.
inline void WriteStereoWav(const std::string& path, const std::vector<int16_t>& pcm,
                           uint32_t rate) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const auto bytes = static_cast<uint32_t>(pcm.size() * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(rate);
  u32(rate * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(pcm.data()), bytes);
}

// A stereo tone of `seconds` at `rate` for a virtual `file:` capture device:
// `left_hz` on the left, `right_hz` on the right, peaks of `amplitude`.
inline void WriteToneWav(const std::string& path, int seconds, double left_hz, double right_hz,
                         uint32_t rate = 44100, double amplitude = 8000) {
  const size_t frames = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
  std::vector<int16_t> pcm(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    pcm[2 * i] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * left_hz * t));
    pcm[2 * i + 1] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * right_hz * t));
  }
  WriteStereoWav(path, pcm, rate);
}

}  // namespace logrum::testing
