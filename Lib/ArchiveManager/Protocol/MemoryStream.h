// In-memory stream faces: a reader over a fixed byte string and a writer that
// collects bytes. For codec tests and the fuzzer; no sockets involved.
//
// Thread safety: none.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "Lib/ArchiveManager/Protocol/Stream.h"

namespace logrum::protocol {

// Reads from a copy of `data`; running out of bytes reads as the peer's close.
class MemoryReader : public StreamReader {
 public:
  explicit MemoryReader(std::string_view data = {}) : data_(data) {}

  void Append(std::string_view more) { data_.append(more); }
  size_t remaining() const { return data_.size() - pos_; }
  size_t consumed() const { return pos_; }

  bool Read(void* buffer, size_t n) override {
    if (n > remaining()) {
      pos_ = data_.size();
      return false;
    }
    if (n != 0) std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  WaitResult TimedRead(void* buffer, size_t n, uint32_t) override {
    return Read(buffer, n) ? WaitResult::kReady : WaitResult::kError;
  }
  WaitResult Wait(uint32_t) override {
    return remaining() ? WaitResult::kReady : WaitResult::kError;
  }

 private:
  std::string data_;
  size_t pos_ = 0;
};

// Collects everything written; can be told to fail after a number of bytes.
class MemoryWriter : public StreamWriter {
 public:
  void Lock() override { ++lock_depth_; }
  void Unlock() override { --lock_depth_; }
  bool Write(const void* buffer, size_t n) override {
    if (lock_depth_ <= 0) unlocked_writes_++;
    if (data_.size() + n > fail_after_) return false;
    data_.append(static_cast<const char*>(buffer), n);
    return true;
  }

  const std::string& data() const { return data_; }
  std::string Take() { return std::exchange(data_, {}); }
  void FailAfter(size_t bytes) { fail_after_ = bytes; }
  int unlocked_writes() const { return unlocked_writes_; }

 private:
  std::string data_;
  size_t fail_after_ = static_cast<size_t>(-1);
  int lock_depth_ = 0;
  int unlocked_writes_ = 0;
};

}  // namespace logrum::protocol
