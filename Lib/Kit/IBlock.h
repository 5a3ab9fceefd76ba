// The block interface: how audio and messages travel between threads and
// libraries. A block is reference counted and belongs to a pool; the last
// Release hands it back to its pool (or frees it) — never `delete` a block.
//
// Ownership: whoever holds a pointer holds one reference and gives it up with
// Release. A consumer that keeps a block beyond the call that gave it calls
// AddRef first.
// Thread safety: AddRef and Release from any thread. The data is written by the
// producer before it hands the block on and is read-only afterwards.
//
// Capture time. Audio keeps the moment it was captured as it travels: the
// capture thread stamps each PCM block with the process clock's time of its
// first frame, and an encoder stamps each encoded block with the capture time
// of the first input frame it holds. Consumers that place audio in time (the
// recording thread) read it with GetTimeUs; it lies beside the data, so the
// bytes of a block (an encoder's block header) stay as they are.
#pragma once

#include <cstdint>

namespace logrum::kit {

// Flag bit of a captured PCM block.
inline constexpr uint32_t kBlockFlagPcm = 1;

class IBlock {
 public:
  // Slots in this order; the order is part of the interface.
  virtual int32_t AddRef() = 0;   // the new count
  virtual int32_t Release() = 0;  // the new count; at 0 the block goes back to its pool
  virtual uint8_t* GetData() = 0;
  virtual uint32_t GetSize() = 0;        // capacity in bytes
  virtual uint32_t GetDataLength() = 0;  // bytes of data written
  virtual uint32_t GetFlags() = 0;
  // Added behind the fixed slots: the capture time of the block's first frame,
  // in microseconds since 1970 on the process clock; 0 when nobody stamped it.
  virtual int64_t GetTimeUs() = 0;

 protected:
  ~IBlock() = default;  // blocks end by Release, never through this interface
};

}  // namespace logrum::kit
