#include "Lib/Kit/RefCount.h"

#include <cstring>

#include "Lib/Kit/ObjectPool.h"

namespace logrum::kit {

RefCountBase::~RefCountBase() = default;

void RefCountBase::PreDelete() {}

int32_t RefCountBase::FinalRelease() {
  return 0;
}

int32_t RefCountBase::AddRef() {
  return IncrementCount();
}

int32_t RefCountBase::Release() {
  const int32_t count = DecrementCount();
  // Below 0 is a release too many: finishing the object a second time would
  // free it twice or put it in its pool twice.
  if (count == 0) return FinalRelease();
  return count;
}

const char* RefCountBase::ClassName() const {
  return "RefCountBase";
}

int32_t RefCount::FinalRelease() {
  PreDelete();
  delete this;
  return 0;
}

const char* RefCount::ClassName() const {
  return "RefCount";
}

const char* CRefCount::ClassName() const {
  return "CRefCount";
}

bool CRefCount::IsClass(const char* name) {
  return name != nullptr && std::strcmp(name, "CRefCount") == 0;
}

int32_t PoolObject::FinalRelease() {
  if (pool_ == nullptr) return RefCount::FinalRelease();
  Reset();
  pool_->Return(this);
  return 0;
}

const char* PoolObject::ClassName() const {
  return "PoolObject";
}

void PoolObject::Reset() {}

}  // namespace logrum::kit
