#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Lib/Kit/BlockQueue.h"
#include "Lib/Kit/ByteBuffer.h"
#include "Lib/Kit/ObjectPool.h"
#include "Lib/Kit/QueueReader.h"

namespace logrum::kit {
namespace {

// A pool of small blocks that a test fills with text.
class Blocks {
 public:
  Blocks() : pool_(CMemBlockFactory::Create(8, 8, 4096, 16)) {}
  ~Blocks() { pool_->Release(); }
  // A block holding `text`; the caller owns the one reference.
  IBlock* Make(const std::string& text) {
    MemBlock* block = pool_->GetBlock();
    std::memcpy(block->data(), text.data(), text.size());
    block->set_data_length(static_cast<uint32_t>(text.size()));
    return block->block();
  }
  uint32_t Outstanding() { return pool_->Statistics().outstanding; }

 private:
  CMemBlockFactory* pool_;
};

std::string Text(const ByteBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.data_length());
}

TEST(KitByteBufferTest, AppendConsumeAndReattachKeepTheData) {
  ByteBuffer buffer;
  EXPECT_EQ(buffer.Append("x", 1), 0u);  // no buffer yet
  buffer.Allocate(8);
  EXPECT_EQ(buffer.Append("abcdefghij", 10), 8u);
  EXPECT_EQ(buffer.FreeSpace(), 0u);
  buffer.Consume(3);
  EXPECT_EQ(Text(buffer), "defgh");
  // The write pointer moves the data to the front first.
  EXPECT_EQ(buffer.Append("XYZ", 3), 3u);
  EXPECT_EQ(Text(buffer), "defghXYZ");
  // A smaller new buffer keeps what fits.
  auto* small = new uint8_t[4];
  buffer.Attach(small, 4, true);
  EXPECT_EQ(Text(buffer), "defg");
  uint8_t outside[16];
  buffer.Attach(outside, sizeof outside, false);
  EXPECT_EQ(Text(buffer), "defg");
  buffer.Clear();
  EXPECT_EQ(buffer.data_length(), 0u);
  EXPECT_EQ(buffer.FreeSpace(), 16u);
}

TEST(KitBlockQueueTest, DeliversInOrderWithNullEntriesAndCountsBytes) {
  Blocks blocks;
  BlockQueue queue(0, BlockQueue::kUnlimitedQueue);
  IBlock* a = blocks.Make("aaa");
  EXPECT_FALSE(queue.Put(a));  // stopped at construction
  queue.Start();
  EXPECT_TRUE(queue.Put(a));
  EXPECT_TRUE(queue.Put(nullptr));
  IBlock* b = blocks.Make("bb");
  EXPECT_TRUE(queue.Put(b));
  EXPECT_EQ(a->Release(), 1);  // the queue holds its own reference
  EXPECT_EQ(b->Release(), 1);
  EXPECT_EQ(queue.Count(), 3u);
  EXPECT_EQ(queue.QueuedBytes(), 5u);

  IBlock* entry = nullptr;
  ASSERT_TRUE(queue.Get(&entry));
  EXPECT_EQ(entry, a);
  entry->Release();
  ASSERT_TRUE(queue.Get(&entry));
  EXPECT_EQ(entry, nullptr);
  ASSERT_TRUE(queue.Get(&entry));
  EXPECT_EQ(entry, b);
  entry->Release();
  EXPECT_EQ(queue.QueuedBytes(), 0u);
  EXPECT_EQ(blocks.Outstanding(), 0u);
}

TEST(KitBlockQueueTest, StopWakesWaitingConsumerAndReleasesQueuedBlocks) {
  Blocks blocks;
  BlockQueue queue(0, BlockQueue::kUnlimitedQueue);
  queue.Start();
  std::thread consumer([&] {
    IBlock* entry = reinterpret_cast<IBlock*>(1);
    EXPECT_FALSE(queue.Get(&entry));
    EXPECT_EQ(entry, nullptr);
  });
  queue.Stop();
  consumer.join();

  queue.Start();
  IBlock* block = blocks.Make("abc");
  ASSERT_TRUE(queue.Put(block));
  block->Release();
  queue.Stop();
  EXPECT_EQ(blocks.Outstanding(), 0u);  // dropped and back in the pool
  EXPECT_FALSE(queue.Put(nullptr));
}

TEST(KitBlockQueueTest, ProducerWaitsAtTheUpperLimitUntilRoomOrStop) {
  Blocks blocks;
  BlockQueue queue(0, 2);
  queue.Start();
  ASSERT_TRUE(queue.Put(nullptr));
  ASSERT_TRUE(queue.Put(nullptr));
  std::thread producer([&] { EXPECT_TRUE(queue.Put(nullptr)); });
  IBlock* entry;
  ASSERT_TRUE(queue.Get(&entry));  // makes room for the waiting producer
  producer.join();
  EXPECT_EQ(queue.Count(), 2u);

  IBlock* block = blocks.Make("z");
  std::thread refused([&] { EXPECT_FALSE(queue.Put(block)); });
  while (queue.Count() != 2u) std::this_thread::yield();
  queue.Stop();
  refused.join();
  EXPECT_EQ(block->Release(), 0);  // the refused put took no reference
}

TEST(KitBlockQueueTest, ManyProducersAndConsumersLoseNothing) {
  Blocks blocks;
  BlockQueue queue(0, 16);
  queue.Start();
  constexpr int kPerProducer = 1000;
  std::atomic<int> consumed{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerProducer; ++i) {
        IBlock* block = blocks.Make("x");
        ASSERT_TRUE(queue.Put(block));
        block->Release();
      }
    });
  }
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&] {
      IBlock* entry;
      while (queue.Get(&entry)) {
        if (entry == nullptr) return;  // one end mark per consumer
        consumed.fetch_add(1);
        entry->Release();
      }
    });
  }
  threads[0].join();
  threads[1].join();
  ASSERT_TRUE(queue.Put(nullptr));
  ASSERT_TRUE(queue.Put(nullptr));
  threads[2].join();
  threads[3].join();
  EXPECT_EQ(consumed.load(), 2 * kPerProducer);
  EXPECT_EQ(blocks.Outstanding(), 0u);
}

class KitQueueReaderTest : public ::testing::Test {
 protected:
  KitQueueReaderTest() : reader_(0, BlockQueue::kUnlimitedQueue, "listener") {}
  void Feed(const std::string& text) {
    IBlock* block = blocks_.Make(text);
    ASSERT_TRUE(reader_.Write(block));
    block->Release();
  }

  Blocks blocks_;
  QueueReader reader_;
  ByteBuffer buffer_;
};

TEST_F(KitQueueReaderTest, ReadsBlocksAsBytesAcrossBufferSizes) {
  buffer_.Allocate(5);
  ASSERT_EQ(reader_.Open(), 0);
  Feed("abc");
  Feed("defg");
  EXPECT_EQ(reader_.QueuedBytes(), 7u);
  EXPECT_EQ(reader_.LastLength(), 4u);

  EXPECT_EQ(reader_.Read(&buffer_), 5);
  EXPECT_EQ(Text(buffer_), "abcde");
  EXPECT_EQ(reader_.QueuedBytes(), 0u);  // both blocks taken from the queue
  // A full buffer returns 0 without touching the queue.
  Feed("h");
  EXPECT_EQ(reader_.Read(&buffer_), 0);
  EXPECT_EQ(reader_.QueuedBytes(), 1u);

  buffer_.Clear();
  Feed("ijklm");
  EXPECT_EQ(reader_.Read(&buffer_), 5);
  EXPECT_EQ(Text(buffer_), "fghij");
  EXPECT_EQ(reader_.QueuedBytes(), 0u);
  reader_.Close();
  EXPECT_EQ(blocks_.Outstanding(), 0u);  // the current block went back too
}

TEST_F(KitQueueReaderTest, NullEntryEndsOneReadAndTheNextContinues) {
  buffer_.Allocate(64);
  reader_.Open();
  ASSERT_TRUE(reader_.Write(nullptr));
  Feed("after");
  EXPECT_EQ(reader_.Read(&buffer_), 0);
  buffer_.Clear();
  Feed("!");
  // "after" and "!" are read, then the reader waits: end the data to return.
  ASSERT_TRUE(reader_.Write(nullptr));
  EXPECT_EQ(reader_.Read(&buffer_), 6);  // bytes read come first...
  EXPECT_EQ(Text(buffer_), "after!");
  EXPECT_EQ(reader_.Read(&buffer_), 0);  // ...then the end mark
  reader_.Close();
}

TEST_F(KitQueueReaderTest, ClosedReaderRefusesWritesAndReadsAndDropsQueued) {
  buffer_.Allocate(8);
  IBlock* block = blocks_.Make("x");
  EXPECT_FALSE(reader_.Write(block));  // closed at construction
  EXPECT_EQ(reader_.Read(&buffer_), -1);
  reader_.Open();
  ASSERT_TRUE(reader_.Write(block));
  EXPECT_EQ(block->Release(), 1);
  reader_.Close();
  EXPECT_EQ(reader_.QueuedBytes(), 0u);
  EXPECT_EQ(blocks_.Outstanding(), 0u);
  block = blocks_.Make("y");
  EXPECT_FALSE(reader_.Write(block));
  EXPECT_EQ(block->Release(), 0);
  EXPECT_EQ(reader_.Read(&buffer_), -1);
  EXPECT_FALSE(reader_.IsOpen());
}

TEST_F(KitQueueReaderTest, CloseWakesAWaitingRead) {
  buffer_.Allocate(8);
  reader_.Open();
  Feed("ab");
  std::thread consumer([&] {
    // Reads "ab", then waits for more until the reader closes.
    EXPECT_EQ(reader_.Read(&buffer_), -1);
  });
  while (reader_.QueuedBytes() != 0) std::this_thread::yield();
  reader_.Close();
  consumer.join();
  EXPECT_EQ(blocks_.Outstanding(), 0u);
}

TEST_F(KitQueueReaderTest, ProducerAndConsumerThreadsMoveEveryByte) {
  buffer_.Allocate(7);
  reader_.Open();
  constexpr int kBlocks = 500;
  std::thread producer([&] {
    for (int i = 0; i < kBlocks; ++i)
      Feed(std::string(1 + i % 16, static_cast<char>('a' + i % 26)));
    ASSERT_TRUE(reader_.Write(nullptr));
  });
  std::string received;
  for (;;) {
    buffer_.Clear();
    const int32_t n = reader_.Read(&buffer_);
    ASSERT_GE(n, 0);
    received += Text(buffer_);
    if (n == 0) break;
  }
  producer.join();
  std::string expected;
  for (int i = 0; i < kBlocks; ++i)
    expected += std::string(1 + i % 16, static_cast<char>('a' + i % 26));
  EXPECT_EQ(received, expected);
  reader_.Close();
  EXPECT_EQ(blocks_.Outstanding(), 0u);
}

TEST(KitBlockSourceTest, PreferredReadSizeFollowsTheFourthHook) {
  QueueReader reader(0, BlockQueue::kUnlimitedQueue, "a name longer than thirty-one characters");
  EXPECT_EQ(std::string(reader.name()).size(), 31u);
  EXPECT_EQ(reader.PreferredReadSize(), 1024u);
  EXPECT_EQ(reader.Hook1(), 1);
  class Live : public QueueReader {
   public:
    Live() : QueueReader(0, BlockQueue::kUnlimitedQueue, "live") {}
    int32_t Hook4() override { return 1; }
  } live;
  EXPECT_EQ(live.PreferredReadSize(), 88200u);
}

}  // namespace
}  // namespace logrum::kit
