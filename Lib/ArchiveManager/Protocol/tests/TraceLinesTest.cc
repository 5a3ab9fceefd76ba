// The decoder's and encoder's trace lines, captured from the debug output.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Lib/ArchiveManager/Protocol/ClientEnc.h"
#include "Lib/ArchiveManager/Protocol/MemoryStream.h"
#include "Lib/ArchiveManager/Protocol/ServerDec.h"
#include "Lib/ArchiveManager/Protocol/ServerEnc.h"
#include "Lib/ArchiveManager/Protocol/tests/ProtocolTestUtil.h"

namespace logrum::protocol {
namespace {

// Debug output reads its switch once; set it before any test runs.
const bool kDebugOn = [] { return setenv("LOGRUM2_DEBUG", "1", 1) == 0; }();

TEST(TraceLinesTest, DecoderWritesEnterCallReturnPerMessage) {
  ASSERT_TRUE(kDebugOn);
  MemoryWriter wire;
  ServerEnc enc(&wire);
  ASSERT_TRUE(enc.Ping());
  ASSERT_TRUE(enc.RequestArchiveList(1));
  std::string bytes = wire.data();
  bytes += std::string("\x00\xFF\x20\x00\x00\x00", 6);  // an archive name of 32 bytes
  MemoryReader reader(bytes);
  WireRng dec;
  testing::RecordingHandler handler;
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(ServerDec::Dispatch(reader, dec, handler));
  handler.result = false;
  EXPECT_FALSE(ServerDec::Dispatch(reader, dec, handler));
  EXPECT_FALSE(ServerDec::Dispatch(reader, dec, handler));
  const std::string trace = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(trace,
            "ServerDec::HandlePing(): Enter\n"
            "ServerDec::HandlePing(): Call Ping()\n"
            "ServerDec::HandlePing(): Return OK\n"
            "ServerDec::HandleRequestArchiveList(): Enter\n"
            "ServerDec::HandleRequestArchiveList(): Call RequestArchiveList()\n"
            "ServerDec::HandleRequestArchiveList(): Return Error!\n"
            "ServerDec::HandleAttachToArchive(): Enter\n"
            "ServerDec::HandleAttachToArchive(): Return Error!\n");
}

TEST(TraceLinesTest, EncoderWritesOneLinePerMessage) {
  MemoryWriter wire;
  ClientEnc enc(&wire);
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(enc.Ping());
  EXPECT_TRUE(enc.ServerVersionResult(2, 5, 9, 250));
  const std::string trace = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(trace, "ClientEnc::Ping\nClientEnc::ServerVersionResult\n");
}

}  // namespace
}  // namespace logrum::protocol
