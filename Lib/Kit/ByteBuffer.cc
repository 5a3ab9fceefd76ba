#include "Lib/Kit/ByteBuffer.h"

#include <algorithm>
#include <cstring>

namespace logrum::kit {

ByteBuffer::~ByteBuffer() {
  if (owns_) delete[] buffer_;
}

void ByteBuffer::Attach(uint8_t* buffer, uint32_t capacity, bool owns) {
  if (buffer == buffer_) {
    capacity_ = capacity;
    owns_ = owns;
    length_ = std::min(length_, capacity);
    return;
  }
  if (buffer_ == nullptr) {
    length_ = 0;
  } else {
    length_ = std::min(length_, capacity);
    if (length_ > 0 && buffer != nullptr) std::memmove(buffer, start_, length_);
    if (buffer == nullptr) length_ = 0;
    if (owns_) delete[] buffer_;
  }
  buffer_ = buffer;
  start_ = buffer;
  capacity_ = buffer == nullptr ? 0 : capacity;
  owns_ = owns;
}

void ByteBuffer::Allocate(uint32_t capacity) {
  Attach(new uint8_t[capacity], capacity, true);
}

uint8_t* ByteBuffer::WritePointer() {
  if (buffer_ == nullptr) return nullptr;
  if (start_ != buffer_) {
    if (length_ > 0) std::memmove(buffer_, start_, length_);
    start_ = buffer_;
  }
  return buffer_ + length_;
}

uint32_t ByteBuffer::Append(const void* source, uint32_t count) {
  uint8_t* at = WritePointer();
  if (at == nullptr) return 0;
  const uint32_t n = std::min(count, FreeSpace());
  if (n > 0) std::memcpy(at, source, n);
  length_ += n;
  return n;
}

void ByteBuffer::Commit(uint32_t count) {
  WritePointer();
  length_ += std::min(count, FreeSpace());
}

void ByteBuffer::Consume(uint32_t count) {
  count = std::min(count, length_);
  start_ += count;
  length_ -= count;
  if (length_ == 0) start_ = buffer_;
}

}  // namespace logrum::kit
