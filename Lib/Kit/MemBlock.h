// Pooled memory blocks.
//
//   MemBlock     a PoolObject owning a data buffer of fixed capacity, seen by
//                consumers through IBlock. Reset (on its way back to the pool)
//                writes "MemBlock %X: Reset!" and empties the data.
//   CPoolObject  the audio capture library's block: the same block with the
//                capture trace route and its AddRef/Release trace lines and
//                consistency checks.
//
// The producer writes GetData(), then set_data_length(), set_flags() and, for
// audio, set_time_us(), then hands the block on as IBlock*. Blocks are made by a pool (ObjectPool.h) or
// with `new` (then the last Release deletes them).
// Thread safety: AddRef/Release from any thread; data and its length belong to
// whoever holds the block.
#pragma once

#include <cstdint>
#include <memory>

#include "Lib/Kit/IBlock.h"
#include "Lib/Kit/KitTrace.h"
#include "Lib/Kit/RefCount.h"

namespace logrum::kit {

class MemBlock : public PoolObject, public IBlock {
 public:
  explicit MemBlock(uint32_t capacity, const TraceRoute& route = DebugTraceRoute());

  // RefCountBase slots, shared with IBlock's AddRef and Release.
  int32_t AddRef() override;
  int32_t Release() override;
  const char* ClassName() const override;
  void Reset() override;

  uint8_t* GetData() override { return data_.get(); }
  uint32_t GetSize() override { return capacity_; }
  uint32_t GetDataLength() override { return data_length_; }
  uint32_t GetFlags() override { return flags_; }
  int64_t GetTimeUs() override { return time_us_; }

  uint8_t* data() { return data_.get(); }
  uint32_t capacity() const { return capacity_; }
  uint32_t data_length() const { return data_length_; }
  // Clamped to the capacity.
  void set_data_length(uint32_t length) { data_length_ = length < capacity_ ? length : capacity_; }
  void set_flags(uint32_t flags) { flags_ = flags; }
  // The capture time of the first frame (IBlock::GetTimeUs); Reset clears it.
  void set_time_us(int64_t time_us) { time_us_ = time_us; }

  IBlock* block() { return this; }
  // The MemBlock behind a block interface pointer of this kit.
  static MemBlock* FromBlock(IBlock* block) { return static_cast<MemBlock*>(block); }

 protected:
  ~MemBlock() override;
  const TraceRoute& route() const { return *route_; }

 private:
  const TraceRoute* route_;
  std::unique_ptr<uint8_t[]> data_;
  uint32_t capacity_;
  uint32_t data_length_ = 0;
  uint32_t flags_ = 0;
  int64_t time_us_ = 0;
};

class CPoolObject : public MemBlock {
 public:
  explicit CPoolObject(uint32_t capacity, const TraceRoute& route = CaptureTraceRoute());

  int32_t AddRef() override;  // writes "CPoolObject[0x%X]::AddRef(%d)"
  int32_t Release()
      override;  // writes "CPoolObject[0x%X]::Release(%d)" and the final-release lines
  int32_t FinalRelease() override;
  const char* ClassName() const override;

 protected:
  ~CPoolObject() override;  // "Assert failed!" when destroyed with references left
};

}  // namespace logrum::kit
