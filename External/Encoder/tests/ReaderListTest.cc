// The readers' block pool: a reader that fell behind held many blocks; once it
// has left, the pool gives them back instead of keeping them for good.
#include <gtest/gtest.h>

#include <vector>

#include "External/Encoder/ReaderList.h"
#include "Lib/Kit/QueueReader.h"

namespace logrum::audenc {
namespace {

TEST(ReaderListTest, PoolShrinksOnceASlowReaderHasLeft) {
  ReaderList list(836);
  kit::QueueReader quick(0, kit::BlockQueue::kUnlimitedQueue, "quick");
  kit::QueueReader slow(0, kit::BlockQueue::kUnlimitedQueue, "slow");
  quick.Open();
  slow.Open();
  ASSERT_TRUE(list.Add(&quick, 3));
  ASSERT_TRUE(list.Add(&slow, 3));
  const std::vector<uint8_t> bytes(836, 0x5A);
  kit::ByteBuffer buffer;
  buffer.Allocate(836);
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(list.Send({}, bytes, 0));
    buffer.Clear();
    ASSERT_EQ(quick.Read(&buffer), 836);  // the quick reader keeps up; the slow one reads nothing
  }
  EXPECT_GE(list.pool_stats().created, 200u);

  ASSERT_TRUE(list.Remove(&slow));
  slow.Close();
  const kit::PoolStats after = list.pool_stats();
  EXPECT_LE(after.free_count, ReaderList::kKeptFree);
  EXPECT_LE(after.created, ReaderList::kKeptFree + 2);

  // The pool still serves the reader that stayed.
  ASSERT_TRUE(list.Send({}, bytes, 0));
  buffer.Clear();
  EXPECT_EQ(quick.Read(&buffer), 836);
  quick.Close();
}

}  // namespace
}  // namespace logrum::audenc
