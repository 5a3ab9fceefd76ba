// A byte buffer that sources read into: a buffer, its capacity, and the data
// in it (a start and a length).
//
// Ownership: an owned buffer (allocated with new uint8_t[]; Allocate does so)
// is freed when it is replaced or when the ByteBuffer is destroyed.
// Thread safety: none; one thread at a time.
#pragma once

#include <cstdint>

namespace logrum::kit {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  virtual ~ByteBuffer();

  // Takes a new buffer. With no previous buffer the data starts empty;
  // otherwise the current data (at most `capacity` bytes) moves to the start of
  // the new buffer and the old buffer is freed if owned.
  void Attach(uint8_t* buffer, uint32_t capacity, bool owns);
  // Attach of a new owned buffer of `capacity` bytes.
  void Allocate(uint32_t capacity);
  void Clear() {
    length_ = 0;
    start_ = buffer_;
  }
  uint32_t FreeSpace() const { return capacity_ - length_; }
  // Moves the data to the buffer's beginning if needed; returns where the next
  // byte goes (null with no buffer).
  uint8_t* WritePointer();
  // Copies min(count, FreeSpace()) bytes; returns how many. 0 with no buffer.
  uint32_t Append(const void* source, uint32_t count);
  // Adds bytes written through WritePointer() (at most FreeSpace()).
  void Commit(uint32_t count);
  // Drops `count` bytes (at most the data length) from the front of the data.
  void Consume(uint32_t count);

  const uint8_t* data() const { return start_; }
  uint32_t data_length() const { return length_; }
  uint32_t capacity() const { return capacity_; }
  uint8_t* buffer() const { return buffer_; }

 private:
  uint8_t* buffer_ = nullptr;
  bool owns_ = true;
  uint32_t capacity_ = 0;
  uint8_t* start_ = nullptr;
  uint32_t length_ = 0;
};

}  // namespace logrum::kit
