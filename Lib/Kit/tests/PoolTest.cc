#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "Lib/Kit/BlockQueue.h"
#include "Lib/Kit/MemBlock.h"
#include "Lib/Kit/ObjectPool.h"
#include "Lib/Kit/RefCount.h"
#include "Lib/Kit/tests/RecordingRoute.h"

// Counts allocations made through operator new, to show that a warm pool
// allocates nothing per block. Sanitizer builds keep their own allocator.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KIT_COUNTS_ALLOCATIONS 0
#else
#define KIT_COUNTS_ALLOCATIONS 1
#endif
namespace {
std::atomic<long> g_allocations{0};
}
#if KIT_COUNTS_ALLOCATIONS
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
#endif

namespace logrum::kit {
namespace {

using testing::RecordingRoute;

class Counted : public RefCount {
 public:
  explicit Counted(int* deleted, int* pre_deleted) : deleted_(deleted), pre_deleted_(pre_deleted) {}
  void PreDelete() override { ++*pre_deleted_; }

 protected:
  ~Counted() override { ++*deleted_; }

 private:
  int* deleted_;
  int* pre_deleted_;
};

TEST(KitRefCountTest, LastReleaseRunsPreDeleteThenDeletesOnce) {
  int deleted = 0, pre_deleted = 0;
  auto* object = new Counted(&deleted, &pre_deleted);
  EXPECT_EQ(object->ref_count(), 1);
  EXPECT_EQ(object->AddRef(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_EQ(pre_deleted, 1);
  EXPECT_EQ(deleted, 1);
}

TEST(KitRefCountTest, ClassNamesAndClassTest) {
  EXPECT_TRUE(CRefCount::IsClass("CRefCount"));
  EXPECT_FALSE(CRefCount::IsClass("RefCount"));
  EXPECT_FALSE(CRefCount::IsClass(nullptr));
  auto* pool = CMemBlockFactory::Create(1, 1, 1, 8);
  EXPECT_STREQ(pool->ClassName(), "CMemBlockFactory");
  MemBlock* block = pool->GetBlock();
  EXPECT_STREQ(block->ClassName(), "MemBlock");
  block->Release();
  pool->Release();
}

TEST(KitPoolTest, GrowsInStepsUpToTheMaximumThenRefuses) {
  auto* pool = CMemBlockFactory::Create(32, 32, 512, 100);
  std::vector<MemBlock*> blocks;
  MemBlock* first = pool->GetBlock();
  ASSERT_NE(first, nullptr);
  blocks.push_back(first);
  PoolStats stats = pool->Statistics();
  EXPECT_EQ(stats.created, 32u);
  EXPECT_EQ(stats.free_count, 31u);
  EXPECT_EQ(stats.outstanding, 1u);
  EXPECT_EQ(first->ref_count(), 1);
  EXPECT_EQ(pool->ref_count(), 2);  // the owner and the handed-out block

  for (int i = 1; i < 512; ++i) {
    MemBlock* block = pool->GetBlock();
    ASSERT_NE(block, nullptr) << i;
    blocks.push_back(block);
  }
  EXPECT_EQ(pool->GetBlock(), nullptr);
  stats = pool->Statistics();
  EXPECT_EQ(stats.created, 512u);
  EXPECT_EQ(stats.outstanding, 512u);
  EXPECT_EQ(stats.gets, 513u);

  for (MemBlock* block : blocks) block->Release();
  stats = pool->Statistics();
  EXPECT_EQ(stats.free_count, 512u);
  EXPECT_EQ(stats.outstanding, 0u);
  EXPECT_EQ(pool->ref_count(), 1);
  pool->Release();
}

TEST(KitPoolTest, GrowStepZeroOrStepPastMaximumCallsExhaustedHook) {
  class Hooked : public CMemBlockFactory {
   public:
    Hooked(uint32_t step, uint32_t maximum) : CMemBlockFactory(0, step, maximum, 8) {}
    void Exhausted() override { ++exhausted; }
    int exhausted = 0;
  };
  auto* zero = new Hooked(0, 100);
  EXPECT_EQ(zero->Get(), nullptr);
  EXPECT_EQ(zero->exhausted, 1);
  zero->Release();

  auto* uneven = new Hooked(3, 4);  // a second step of 3 would pass 4
  std::vector<PoolObject*> got;
  for (int i = 0; i < 3; ++i) got.push_back(uneven->Get());
  EXPECT_EQ(uneven->Get(), nullptr);
  EXPECT_EQ(uneven->exhausted, 1);
  for (PoolObject* o : got) o->Release();
  uneven->Release();
}

TEST(KitPoolTest, LastReleaseResetsAndNextGetReturnsSameBlockLastInFirstOut) {
  auto* pool = CMemBlockFactory::Create(4, 4, 16, 64);
  MemBlock* a = pool->GetBlock();
  MemBlock* b = pool->GetBlock();
  a->set_data_length(60);
  a->set_flags(kBlockFlagPcm);
  b->set_data_length(10);
  a->Release();
  b->Release();
  EXPECT_EQ(a->data_length(), 0u);  // reset on its way back (still owned by the pool)
  EXPECT_EQ(pool->GetBlock(), b);   // most recently returned first
  EXPECT_EQ(pool->GetBlock(), a);
  a->Release();
  b->Release();
  pool->Release();
}

TEST(KitPoolTest, WarmPoolAndQueueAllocateNothingPerBlock) {
  if (!KIT_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocation counting needs the plain allocator";
  auto* pool = CMemBlockFactory::Create(32, 32, 512, 256);
  BlockQueue queue(0, BlockQueue::kUnlimitedQueue);
  queue.Start();
  std::vector<MemBlock*> blocks;
  blocks.reserve(512);
  // One pass through the pool and the queue with the working set warms both.
  auto pass = [&] {
    for (int i = 0; i < 96; ++i) blocks.push_back(pool->GetBlock());
    for (MemBlock* b : blocks) {
      ASSERT_TRUE(queue.Put(b->block()));
      b->Release();
    }
    blocks.clear();
    IBlock* entry;
    for (int i = 0; i < 96; ++i) {
      ASSERT_TRUE(queue.Get(&entry));
      entry->Release();
    }
  };
  pass();

  const long before = g_allocations.load();
  for (int round = 0; round < 50; ++round) pass();
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_EQ(pool->Statistics().created, 96u);
  EXPECT_EQ(pool->Statistics().outstanding, 0u);
  queue.Stop();
  pool->Release();
}

TEST(KitPoolTest, PoolOutlivesItsOwnerUntilTheLastBlockReturns) {
  auto* pool = CMemBlockFactory::Create(2, 2, 8, 16);
  MemBlock* block = pool->GetBlock();
  pool->Release();  // the owner lets go; the block still holds the pool
  block->set_data_length(5);
  block->AddRef();
  EXPECT_EQ(block->Release(), 1);
  EXPECT_EQ(block->Release(), 0);  // returns to the pool, which then ends (ASan checks)
}

TEST(KitPoolTest, ABlockOfAnotherSizeIsDeletedAndStillGivesBackItsPoolReference) {
  auto* pool = CMemBlockFactory::Create(1, 1, 8, 16);
  auto* stranger = new MemBlock(32);
  // A block handed out by this pool whose size no longer matches.
  pool->AddRef();
  stranger->set_pool(pool);
  stranger->Release();
  EXPECT_EQ(pool->ref_count(), 1);
  EXPECT_EQ(pool->Statistics().free_count, 0u);
  pool->Release();
}

TEST(KitPoolTest, BlocksReleasedFromManyThreadsComeBackOnce) {
  auto* pool = CMemBlockFactory::Create(8, 8, 1024, 32);
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([pool] {
      for (int i = 0; i < kRounds; ++i) {
        MemBlock* block = pool->GetBlock();
        ASSERT_NE(block, nullptr);
        block->data()[0] = static_cast<uint8_t>(i);
        block->set_data_length(1);
        IBlock* face = block->block();
        face->AddRef();
        face->Release();
        face->Release();
      }
    });
  }
  for (auto& t : threads) t.join();
  const PoolStats stats = pool->Statistics();
  EXPECT_EQ(stats.outstanding, 0u);
  EXPECT_EQ(stats.free_count, stats.created);
  EXPECT_LE(stats.created, 8u * kThreads);
  EXPECT_EQ(stats.gets, static_cast<uint32_t>(kThreads * kRounds));
  EXPECT_EQ(pool->ref_count(), 1);
  pool->Release();
}

TEST(KitBlockInterfaceTest, ShowsDataSizeLengthAndFlags) {
  auto* pool = CMemBlockFactory::Create(1, 1, 1, 48);
  IBlock* block = pool->GetBlock()->block();
  MemBlock* mem = MemBlock::FromBlock(block);
  mem->data()[0] = 0xAB;
  mem->set_data_length(100);  // clamped to the capacity
  mem->set_flags(3);
  EXPECT_EQ(block->GetData()[0], 0xAB);
  EXPECT_EQ(block->GetSize(), 48u);
  EXPECT_EQ(block->GetDataLength(), 48u);
  EXPECT_EQ(block->GetFlags(), 3u);
  EXPECT_EQ(block->AddRef(), 2);
  EXPECT_EQ(block->Release(), 1);
  EXPECT_EQ(block->Release(), 0);
  pool->Release();
}

TEST(KitCaptureBlockTest, PoolMakesOneBlockAtATimeAndTracesReferences) {
  RecordingRoute route;
  class TestPool : public CBlockPool {
   public:
    TestPool(uint32_t size, const RecordingRoute& route) : CBlockPool(size), route_(route) {}
    PoolObject* CreateObject() override { return new CPoolObject(item_size(), route_); }

   private:
    const RecordingRoute& route_;
  };
  auto* pool = new TestPool(36864, route);
  MemBlock* first = static_cast<MemBlock*>(pool->Get());
  MemBlock* second = static_cast<MemBlock*>(pool->Get());
  EXPECT_EQ(pool->Statistics().created, 2u);
  EXPECT_EQ(first->GetSize(), 36864u);
  route.Clear();

  char text[96];
  std::snprintf(text, sizeof text, "CPoolObject[0x%lX]::AddRef(2)\n",
                reinterpret_cast<unsigned long>(first));
  first->AddRef();
  EXPECT_EQ(route.Count(text), 1);
  first->Release();
  first->Release();
  std::snprintf(text, sizeof text, "CPoolObject[0x%lX]::Release: m_pPool[0x%lX]->Release\n",
                reinterpret_cast<unsigned long>(first), reinterpret_cast<unsigned long>(pool));
  EXPECT_EQ(route.Count(text), 1);
  std::snprintf(text, sizeof text, "MemBlock %lX: Reset!\n",
                reinterpret_cast<unsigned long>(first));
  EXPECT_EQ(route.Count(text), 1);
  EXPECT_EQ(pool->Get(), first);  // reused, no new block
  EXPECT_EQ(pool->Statistics().created, 2u);

  // A release too many is reported and does not return the block a second time.
  first->Release();
  route.Clear();
  first->Release();
  EXPECT_EQ(route.Count("Assert failed!\n"), 1);
  EXPECT_EQ(pool->Statistics().free_count, 1u);
  first->AddRef();  // back to 0 for an orderly end

  second->Release();
  pool->Release();
}

TEST(KitCaptureBlockTest, BlockWithoutPoolDeletesItself) {
  RecordingRoute route;
  auto* block = new CPoolObject(16, route);
  block->Release();
  EXPECT_EQ(route.CountPrefix("CPoolObject[0x"), 2);  // Release(0) and "delete this"
  EXPECT_EQ(route.Count("Assert failed!\n"), 0);
}

}  // namespace
}  // namespace logrum::kit
