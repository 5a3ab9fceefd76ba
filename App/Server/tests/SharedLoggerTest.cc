#include "App/Server/SharedLogger.h"

#include <gtest/gtest.h>
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

TEST_F(SharedLoggerTest, The33rdWriteWaitsUntilTheReaderTakesOne) {
  auto reader = Make();
  auto writer = Make();
  ASSERT_TRUE(reader->Open(channel_.c_str(), true));
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  for (int i = 0; i < 32; ++i) writer->Printf("m%d", i);
  EXPECT_EQ(HeaderOf(*writer).waiting, 32u);

  auto blocked = std::async(std::launch::async, [&] { writer->Write("m32"); });
  // Only a lower bound: a slow machine can make this pass, never fail.
  EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(HeaderOf(*writer).sequence, 32u);

  std::string message;
  ASSERT_TRUE(reader->Read(&message, 1000));
  EXPECT_EQ(message, "m0");
  blocked.get();
  EXPECT_EQ(HeaderOf(*writer).sequence, 33u);
  // The 33rd message took the slot just freed; nothing unread was lost.
  for (int i = 1; i <= 32; ++i) {
    ASSERT_TRUE(reader->Read(&message, 1000));
    EXPECT_EQ(message, "m" + std::to_string(i));
  }
  EXPECT_FALSE(reader->Read(&message, 0));
}

TEST_F(SharedLoggerTest, CloseReleasesAWriterWaitingForRoom) {
  auto reader = Make();
  auto writer = Make();
  ASSERT_TRUE(reader->Open(channel_.c_str(), true));
  ASSERT_TRUE(writer->Open(channel_.c_str(), false));
  for (int i = 0; i < 32; ++i) writer->Write("x");
  auto blocked = std::async(std::launch::async, [&] { writer->Write("never"); });
  EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
  writer->Close();
  blocked.get();
  EXPECT_EQ(HeaderOf(*reader).waiting, 32u);
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
