// Object pools: objects are made in steps, handed out, and come back on their
// last Release, so that after the first steps nothing is allocated per object.
//
//   ObjectPoolBase   grow step and maximum; Get takes the most recently
//                    returned object (last in, first out), or makes grow-step
//                    new ones when none is free, or calls Exhausted and returns
//                    null when that would pass the maximum.
//   CMemBlockFactory a pool of MemBlocks of one item size.
//   CBlockPool       the audio capture library's block pool: CPoolObjects of
//                    one size, made one at a time, no maximum.
//
// Ownership: a pool is a RefCount; its creator holds one reference and every
// handed-out object holds one more, so the pool lives until the creator and
// every object have released it. Free objects are deleted with the pool.
// Thread safety: Get and the return path may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "Lib/Kit/MemBlock.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/RefCount.h"

namespace logrum::kit {

// "No maximum" for the pools that never refuse.
inline constexpr uint32_t kPoolUnlimited = 0xFFFFFFFFu;

struct PoolStats {
  uint32_t first_count;
  uint32_t grow_step;
  uint32_t maximum;
  uint32_t created;
  uint32_t gets;
  uint32_t free_count;
  uint32_t outstanding;
};

class ObjectPoolBase : public RefCount {
 public:
  // Null when the pool is exhausted.
  PoolObject* Get();

  const char* ClassName() const override;
  // Slot 7: the object's final release hands it back here.
  virtual void Return(PoolObject* object);
  // Slot 8: a snapshot of the counters.
  virtual PoolStats Statistics();

  // Free objects beyond `count` are deleted as they come back instead of
  // being kept (default: all are kept). A pool that grew for a burst, such
  // as the blocks queued for a listener that fell behind, then gives that
  // memory back once the burst is over; `count` objects stay ready.
  void set_max_free(uint32_t count);

 protected:
  ObjectPoolBase(uint32_t first_count, uint32_t grow_step, uint32_t maximum);
  ~ObjectPoolBase() override;

  // Slot 9: puts the object on the free list and releases the pool reference it held.
  virtual void ReturnImpl(PoolObject* object);
  // Slot 10: makes one new object (count 1, no pool yet). Null on failure.
  virtual PoolObject* CreateObject() = 0;
  // Slot 11: called (under the pool lock) when Get must refuse. Default: nothing.
  virtual void Exhausted();
  // Deletes an object that will not go back to the free list.
  static void DeleteObject(PoolObject* object) { delete object; }
  // Counts a handed-out object as gone without putting it on the free list.
  void ForgetOutstanding();

 private:
  RecursiveMutex mu_;  // the object's final release re-enters Return while Get grows
  uint32_t first_count_;
  uint32_t grow_step_;
  uint32_t maximum_;
  uint32_t created_ = 0;
  uint32_t gets_ = 0;
  uint32_t outstanding_ = 0;
  uint32_t max_free_ = 0xFFFFFFFFu;
  std::vector<PoolObject*> free_;  // back = most recently returned
};

class CMemBlockFactory : public ObjectPoolBase {
 public:
  // The event log uses (32, 32, 512, text length + 5).
  static CMemBlockFactory* Create(uint32_t first_count, uint32_t grow_step, uint32_t maximum,
                                  uint32_t item_size);

  MemBlock* GetBlock() { return static_cast<MemBlock*>(Get()); }
  uint32_t item_size() const { return item_size_; }
  const char* ClassName() const override;

 protected:
  CMemBlockFactory(uint32_t first_count, uint32_t grow_step, uint32_t maximum, uint32_t item_size);
  ~CMemBlockFactory() override = default;
  // Deletes a block whose capacity is not the item size; otherwise as the base.
  void ReturnImpl(PoolObject* object) override;
  PoolObject* CreateObject() override;

 private:
  uint32_t item_size_;
};

class CBlockPool : public CMemBlockFactory {
 public:
  static CBlockPool* Create(uint32_t block_size);

  CPoolObject* GetBlock() { return static_cast<CPoolObject*>(Get()); }
  const char* ClassName() const override;

 protected:
  explicit CBlockPool(uint32_t block_size);
  ~CBlockPool() override = default;
  PoolObject* CreateObject() override;
};

}  // namespace logrum::kit
