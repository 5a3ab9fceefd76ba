// Reference-counted objects.
//
//   RefCountBase  count 1 at construction; Release at 0 calls FinalRelease.
//   RefCount      FinalRelease = PreDelete, then delete this.
//   CRefCount     the audio capture library's RefCount; IsClass("CRefCount").
//   PoolObject    a RefCount that may belong to an ObjectPoolBase: its final
//                 release resets it and hands it back to the pool instead of
//                 deleting it.
//
// Ownership: created with one reference owned by the creator; destroyed only
// through the last Release (destructors are protected where that matters).
// Thread safety: AddRef and Release from any thread (atomic count).
#pragma once

#include <atomic>
#include <cstdint>

namespace logrum::kit {

class ObjectPoolBase;

class RefCountBase {
 public:
  RefCountBase(const RefCountBase&) = delete;
  RefCountBase& operator=(const RefCountBase&) = delete;

  // Slots 1..6 in this order.
  virtual ~RefCountBase();
  virtual void PreDelete();
  virtual int32_t FinalRelease();
  virtual int32_t AddRef();
  virtual int32_t Release();
  virtual const char* ClassName() const;

  int32_t ref_count() const { return count_.load(std::memory_order_acquire); }

 protected:
  RefCountBase() = default;
  // Atomically decrements and returns the new count; no final release.
  int32_t DecrementCount() { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  int32_t IncrementCount() { return count_.fetch_add(1, std::memory_order_acq_rel) + 1; }

 private:
  std::atomic<int32_t> count_{1};
};

class RefCount : public RefCountBase {
 public:
  int32_t FinalRelease() override;
  const char* ClassName() const override;

 protected:
  RefCount() = default;
  ~RefCount() override = default;
};

class CRefCount : public RefCount {
 public:
  const char* ClassName() const override;
  // True only for the name "CRefCount".
  static bool IsClass(const char* name);

 protected:
  CRefCount() = default;
  ~CRefCount() override = default;
};

class PoolObject : public RefCount {
 public:
  int32_t FinalRelease() override;
  const char* ClassName() const override;
  // Slot 7: makes a returned object ready for its next use. Default: nothing.
  virtual void Reset();

  // Set by the pool that created the object; null for an object of no pool.
  ObjectPoolBase* pool() const { return pool_; }
  void set_pool(ObjectPoolBase* pool) { pool_ = pool; }

 protected:
  PoolObject() = default;
  ~PoolObject() override = default;

 private:
  friend class ObjectPoolBase;  // deletes free objects with the pool

  ObjectPoolBase* pool_ = nullptr;
};

}  // namespace logrum::kit
