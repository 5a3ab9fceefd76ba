// The binding of ftpxfer.so: found by file name beside the archive core, it
// sends through the library to a real server; missing, every send fails and
// says why.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "Lib/ArchiveManager/Archive/Bindings.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;

TEST(FtpLibraryTest, SendsThroughTheLibraryOrFailsWhenItIsMissing) {
  const logrum::testing::TempDir temp("ftplib");
  const std::string& root = temp.path();
  fs::create_directories(root + "/remote");
  const std::string local = root + "/segment.mp3";
  std::ofstream(local, std::ios::binary) << "segment bytes";
  logrum::testing::FtpServer::Options options;
  options.root = root + "/remote";
  options.port = logrum::testing::FreeLoopbackPort();
  logrum::testing::FtpServer server(options);
  ASSERT_TRUE(server.Start());

  ftp::FtpSendRequest request{};
  request.cbSize = sizeof request;
  request.pszLocalFile = local.c_str();
  request.pszServer = "127.0.0.1";
  request.nPort = options.port;
  request.pszUser = "station";
  request.pszPassword = "secret";
  request.pszRemoteFile = "segment.mp3";
  platform::Status sent = FtpLibrary::Instance().SendFile(request);
  EXPECT_TRUE(sent.ok()) << sent.message();
  EXPECT_TRUE(fs::exists(root + "/remote/segment.mp3"));
  request.pszPassword = "wrong";
  sent = FtpLibrary::Instance().SendFile(request);
  EXPECT_FALSE(sent.ok());
  EXPECT_NE(sent.message().find("login"), std::string::npos) << sent.message();

  FtpLibrary missing("no-such-ftpxfer.so");
  request.pszPassword = "secret";
  request.pszRemoteFile = "other.mp3";
  for (int i = 0; i < 2; ++i) {
    sent = missing.SendFile(request);
    EXPECT_FALSE(sent.ok());
    EXPECT_NE(sent.message().find("the FTP library is not available"), std::string::npos)
        << sent.message();
    EXPECT_NE(sent.message().find("no-such-ftpxfer.so"), std::string::npos) << sent.message();
  }
  EXPECT_FALSE(fs::exists(root + "/remote/other.mp3"));
  server.Stop();
}

}  // namespace
}  // namespace logrum::archive
