#include "Lib/Kit/ObjectPool.h"

namespace logrum::kit {

ObjectPoolBase::ObjectPoolBase(uint32_t first_count, uint32_t grow_step, uint32_t maximum)
    : first_count_(first_count), grow_step_(grow_step), maximum_(maximum) {}

ObjectPoolBase::~ObjectPoolBase() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  for (PoolObject* object : free_) delete object;
  free_.clear();
}

const char* ObjectPoolBase::ClassName() const {
  return "ObjectPoolBase";
}

PoolObject* ObjectPoolBase::Get() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (free_.empty()) {
    const uint64_t after = static_cast<uint64_t>(created_) + grow_step_;
    if (grow_step_ == 0 || after > maximum_) {
      Exhausted();
    } else {
      // Room for every object this pool may still make, so that returns never
      // allocate once the pool has grown.
      free_.reserve(static_cast<size_t>(created_) + grow_step_);
      for (uint32_t i = 0; i < grow_step_; ++i) {
        PoolObject* object = CreateObject();
        if (object == nullptr) break;
        ++created_;
        ++outstanding_;
        object->set_pool(this);
        AddRef();
        // Its count reaches 0: its final release resets it and returns it here.
        object->Release();
      }
    }
  }
  PoolObject* object = nullptr;
  if (!free_.empty()) {
    object = free_.back();
    free_.pop_back();
    object->AddRef();
    ++outstanding_;
    AddRef();
  }
  ++gets_;
  return object;
}

void ObjectPoolBase::Return(PoolObject* object) {
  ReturnImpl(object);
}

void ObjectPoolBase::ReturnImpl(PoolObject* object) {
  if (object == nullptr) return;
  bool kept = true;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    --outstanding_;
    if (free_.size() < max_free_) {
      free_.push_back(object);
    } else {
      --created_;
      kept = false;
    }
  }
  if (!kept) DeleteObject(object);
  // Outside the lock: this may be the pool's last reference.
  Release();
}

void ObjectPoolBase::set_max_free(uint32_t count) {
  std::vector<PoolObject*> surplus;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    max_free_ = count;
    while (free_.size() > max_free_) {
      surplus.push_back(free_.front());
      free_.erase(free_.begin());
      --created_;
    }
  }
  for (PoolObject* object : surplus) DeleteObject(object);
}

PoolStats ObjectPoolBase::Statistics() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return PoolStats{first_count_, grow_step_, maximum_,
                   created_,     gets_,      static_cast<uint32_t>(free_.size()),
                   outstanding_};
}

void ObjectPoolBase::Exhausted() {}

void ObjectPoolBase::ForgetOutstanding() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  --outstanding_;
}

CMemBlockFactory::CMemBlockFactory(uint32_t first_count, uint32_t grow_step, uint32_t maximum,
                                   uint32_t item_size)
    : ObjectPoolBase(first_count, grow_step, maximum), item_size_(item_size) {}

CMemBlockFactory* CMemBlockFactory::Create(uint32_t first_count, uint32_t grow_step,
                                           uint32_t maximum, uint32_t item_size) {
  return new CMemBlockFactory(first_count, grow_step, maximum, item_size);
}

const char* CMemBlockFactory::ClassName() const {
  return "CMemBlockFactory";
}

PoolObject* CMemBlockFactory::CreateObject() {
  return new MemBlock(item_size_);
}

void CMemBlockFactory::ReturnImpl(PoolObject* object) {
  if (object == nullptr) return;
  if (static_cast<MemBlock*>(object)->capacity() == item_size_) {
    ObjectPoolBase::ReturnImpl(object);
    return;
  }
  // A block of another size does not go back on the free list, but it was
  // handed out by this pool: it still gives back its count and pool reference.
  DeleteObject(object);
  ForgetOutstanding();
  Release();
}

}  // namespace logrum::kit
