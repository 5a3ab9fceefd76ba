#include "App/Server/SharedLogger.h"

#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <vector>

namespace logrum::server {
namespace {

using namespace std::chrono_literals;

// Each test gets names of its own, so that tests may run in parallel and
// never meet the server program's real channel.
class SharedLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string tag = std::string(info->name()) + "_" + std::to_string(getpid());
    mapping_ = "LogrumTestMap_" + tag;
    channel_ = "LogrumTest_" + tag;
    SharedLogger::RemoveNames(mapping_, channel_);
  }
  void TearDown() override { SharedLogger::RemoveNames(mapping_, channel_); }

  std::unique_ptr<SharedLogger> Make() {
    auto logger = std::make_unique<SharedLogger>(SharedLogger::kSlotCount,
                                                 SharedLogger::kSlotLength, mapping_);
    EXPECT_TRUE(logger->mapped());
    return logger;
  }
  // The count of the channel's semaphore SUFFIX, or -1 when it cannot be read.
  int SemaphoreValue(const char* suffix) const {
    sem_t* sem = sem_open(("/" + channel_.substr(0, 60) + suffix).c_str(), 0);
    if (sem == SEM_FAILED) return -1;
    int value = -1;
    if (sem_getvalue(sem, &value) != 0) value = -1;
    sem_close(sem);
    return value;
  }
  static const SharedLogger::Header& HeaderOf(const SharedLogger& logger) {
    return *reinterpret_cast<const SharedLogger::Header*>(logger.region());
  }

  std::string mapping_;
  std::string channel_;
};

TEST_F(SharedLoggerTest, RegionIsCreatedZeroedWithTheFixedGeometry) {
  auto writer = Make();
  ASSERT_EQ(writer->region_size(), 16416u);
  std::vector<uint8_t> zeros(writer->region_size(), 0);
  EXPECT_EQ(std::memcmp(writer->region(), zeros.data(), zeros.size()), 0);
}

TEST_F(SharedLoggerTest, WithoutReaderAWriteChangesNothing) {
  auto writer = Make();
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  std::vector<uint8_t> before(writer->region(), writer->region() + writer->region_size());
  EXPECT_FALSE(writer->IsReaderPresent());
  writer->Write("nobody listens");
  writer->Printf("nor here %d", 42);
  EXPECT_EQ(std::memcmp(writer->region(), before.data(), before.size()), 0);
}

TEST_F(SharedLoggerTest, MessagesArriveInOrderAndLongOnesAreCutTo511) {
  auto reader = Make();
  auto writer = Make();
  ASSERT_TRUE(reader->Open(channel_.c_str(), true));
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  EXPECT_TRUE(writer->IsReaderPresent());

  std::string long_text;
  for (int i = 0; i < 600; ++i) long_text.push_back(static_cast<char>('a' + i % 26));
  writer->Write("first\n");
  writer->Write(long_text.c_str());
  writer->Printf("%s", long_text.c_str());

  std::string message;
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, "first\n");
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, long_text.substr(0, 511));
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, long_text.substr(0, 511));
  EXPECT_FALSE(reader->Read(&message, 0));

  const auto& h = HeaderOf(*writer);
  EXPECT_EQ(h.sequence, 3u);
  EXPECT_EQ(h.write_index, 3u);
  EXPECT_EQ(h.waiting, 0u);
}

// A viewer whose output stops (`logrum-logview | less`) must never hold up the
// server: with the ring full, messages are dropped and counted, and the viewer is
// told how many once it reads again. Nothing unread is overwritten.
TEST_F(SharedLoggerTest, AFullRingDropsMessagesWithACountInsteadOfWaiting) {
  auto reader = Make();
  auto writer = Make();
  ASSERT_TRUE(reader->Open(channel_.c_str(), true));
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  auto writes = std::async(std::launch::async, [&] {
    for (int i = 0; i < 40; ++i) writer->Printf("m%d", i);
  });
  ASSERT_EQ(writes.wait_for(30s), std::future_status::ready) << "a writer waited for the viewer";
  EXPECT_EQ(HeaderOf(*writer).waiting, 32u);
  EXPECT_EQ(HeaderOf(*writer).sequence, 32u);
  EXPECT_EQ(HeaderOf(*writer).dropped, 8u);
  EXPECT_EQ(writer->dropped(), 8u);

  std::string message;
  for (int i = 0; i < 32; ++i) {
    ASSERT_TRUE(reader->Read(&message, 1000));
    EXPECT_EQ(message, "m" + std::to_string(i));
  }
  writer->Write("after");
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, "SharedLogger: 8 messages dropped: the viewer did not keep up\n");
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, "after");
  EXPECT_FALSE(reader->Read(&message, 0));
}

// A holder that only stalled keeps its lock: a writer drops its message rather than
// take the lock over, and once the holder lets go the semaphore counts 1, not 2.
TEST_F(SharedLoggerTest, AStalledLockHolderIsNeitherWaitedForNorTakenOver) {
  auto reader = Make();
  auto writer = Make();
  ASSERT_TRUE(reader->Open(channel_.c_str(), true));
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  ASSERT_TRUE(reader->HoldLock(1000));
  auto write = std::async(std::launch::async, [&] { writer->Write("while held"); });
  ASSERT_EQ(write.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(writer->dropped(), 1u);
  EXPECT_EQ(writer->takeovers(), 0u);
  reader->ReleaseLock();
  EXPECT_EQ(SemaphoreValue("SLM"), 1);

  writer->Write("after");
  std::string message;
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, "SharedLogger: 1 messages dropped: the viewer did not keep up\n");
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, "after");
  EXPECT_EQ(HeaderOf(*writer).dropped, 1u);
  EXPECT_EQ(SemaphoreValue("SLM"), 1);
}

// A process that dies holding the lock leaves the semaphore taken; the next one
// carries on as its holder, and the count comes back to exactly 1.
TEST_F(SharedLoggerTest, ALockLeftByADeadProcessIsTakenOverOnce) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SharedLogger holder(SharedLogger::kSlotCount, SharedLogger::kSlotLength, mapping_);
    bool held = holder.Open(channel_.c_str(), false) && holder.HoldLock(1000);
    _exit(held ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(SemaphoreValue("SLM"), 0);

  auto reader = Make();
  auto writer = Make();
  ASSERT_TRUE(reader->Open(channel_.c_str(), true));
  EXPECT_EQ(reader->takeovers(), 1u);
  EXPECT_EQ(SemaphoreValue("SLM"), 1);
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  writer->Write("after");
  std::string message;
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, "after");
  EXPECT_EQ(writer->takeovers(), 0u);
  EXPECT_EQ(SemaphoreValue("SLM"), 1);
}

TEST_F(SharedLoggerTest, ASecondReaderIsRefusedWhileTheFirstIsAttached) {
  auto first = Make();
  auto second = Make();
  ASSERT_TRUE(first->Open(channel_.c_str(), true));
  EXPECT_FALSE(second->Open(channel_.c_str(), true));
  // A refused reader must not take the flag away from the attached one.
  EXPECT_TRUE(first->IsReaderPresent());
  first->Close();
  EXPECT_FALSE(first->IsReaderPresent());
  EXPECT_TRUE(second->Open(channel_.c_str(), true));
}

// A viewer that is killed never closes; its flag stays set. The next viewer
// can still attach, and writers never hang on a ring nobody empties.
TEST_F(SharedLoggerTest, ADeadReaderBlocksNeitherViewersNorWriters) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SharedLogger reader(SharedLogger::kSlotCount, SharedLogger::kSlotLength, mapping_);
    _exit(reader.Open(channel_.c_str(), true) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  auto writer = Make();
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  EXPECT_TRUE(writer->IsReaderPresent());
  for (int i = 0; i < 40; ++i) writer->Printf("m%d", i);  // returns: no live reader
  EXPECT_FALSE(writer->IsReaderPresent());
  EXPECT_EQ(HeaderOf(*writer).waiting, 32u);

  auto viewer = Make();
  ASSERT_TRUE(viewer->Open(channel_.c_str(), true));
  std::string message;
  ASSERT_TRUE(viewer->Read(&message, 1000));
  EXPECT_EQ(message, "m0");  // what the dead viewer left is still readable
}

TEST_F(SharedLoggerTest, ViewerProgramPrintsMessagesLive) {
  std::string command = std::string(LOGRUM2_BUILD_DIR) + "/bin/logrum-logview --mapping " +
                        mapping_ + " --channel " + channel_ + " --count 2";
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  char line[600];
  ASSERT_NE(fgets(line, sizeof line, out), nullptr);  // attached
  EXPECT_NE(std::strstr(line, "attached"), nullptr);

  auto writer = Make();
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  ASSERT_TRUE(writer->IsReaderPresent());
  writer->Write("Start Logrum Server.\n");
  writer->Printf("AD: Audio device '%s' found at winid %d. Norvane index=%d\n", "tone", 0, 0);
  std::string rest;
  while (fgets(line, sizeof line, out) != nullptr) rest += line;
  EXPECT_EQ(pclose(out), 0);
  EXPECT_EQ(rest, "Start Logrum Server.\nAD: Audio device 'tone' found at winid 0. Norvane index=0\n");
  // The viewer's Close leaves the channel with no reader.
  EXPECT_FALSE(writer->IsReaderPresent());
}

TEST_F(SharedLoggerTest, StartUpOpensTheProcessLogOrSaysWhyNot) {
  SharedLogger unusable(0, 0, mapping_);
  std::string shown;
  EXPECT_FALSE(StartDiagnosticLog(&unusable, [&](const char* text) { shown = text; }));
  EXPECT_EQ(shown, "Unable to open diagnostic module. Press OK to run program anyway.");
  EXPECT_EQ(DiagnosticLog(), nullptr);
  EXPECT_FALSE(DiagActive());
  DiagPrintf("goes nowhere %d", 1);
}

}  // namespace
}  // namespace logrum::server
