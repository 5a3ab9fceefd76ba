#include "Lib/Kit/MemBlock.h"

#include "Lib/Kit/ObjectPool.h"

namespace logrum::kit {

MemBlock::MemBlock(uint32_t capacity, const TraceRoute& route)
    : route_(&route), data_(new uint8_t[capacity == 0 ? 1 : capacity]), capacity_(capacity) {}

MemBlock::~MemBlock() = default;

int32_t MemBlock::AddRef() {
  return PoolObject::AddRef();
}

int32_t MemBlock::Release() {
  return PoolObject::Release();
}

const char* MemBlock::ClassName() const {
  return "MemBlock";
}

void MemBlock::Reset() {
  route_->Write(TraceUnit::kBlockReset, __LINE__, "MemBlock %lX: Reset!\n",
                reinterpret_cast<unsigned long>(this));
  data_length_ = 0;
  time_us_ = 0;
}

CPoolObject::CPoolObject(uint32_t capacity, const TraceRoute& route) : MemBlock(capacity, route) {}

CPoolObject::~CPoolObject() {
  if (ref_count() > 0) route().AssertFailed(TraceUnit::kPoolObject, __LINE__);
}

int32_t CPoolObject::AddRef() {
  const int32_t count = IncrementCount();
  route().Write(TraceUnit::kPoolObject, __LINE__, "CPoolObject[0x%lX]::AddRef(%d)\n",
                reinterpret_cast<unsigned long>(this), count);
  return count;
}

int32_t CPoolObject::Release() {
  const int32_t count = DecrementCount();
  route().Write(TraceUnit::kPoolObject, __LINE__, "CPoolObject[0x%lX]::Release(%d)\n",
                reinterpret_cast<unsigned long>(this), count);
  if (count > 0) return count;
  if (count < 0) {
    // A release too many; the block was already finished once.
    route().AssertFailed(TraceUnit::kPoolObject, __LINE__);
    return count;
  }
  return FinalRelease();
}

int32_t CPoolObject::FinalRelease() {
  if (pool() != nullptr) {
    route().Write(TraceUnit::kPoolObject, __LINE__,
                  "CPoolObject[0x%lX]::Release: m_pPool[0x%lX]->Release\n",
                  reinterpret_cast<unsigned long>(this), reinterpret_cast<unsigned long>(pool()));
  } else {
    route().Write(TraceUnit::kPoolObject, __LINE__, "CPoolObject[0x%lX]::Release: delete this\n",
                  reinterpret_cast<unsigned long>(this));
  }
  return MemBlock::FinalRelease();
}

const char* CPoolObject::ClassName() const {
  return "CPoolObject";
}

}  // namespace logrum::kit
