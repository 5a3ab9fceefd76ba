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
  std::string error;
  EXPECT_TRUE(FtpLibrary::Instance().SendFile(request, &error)) << error;
  EXPECT_TRUE(fs::exists(root + "/remote/segment.mp3"));
  request.pszPassword = "wrong";
  EXPECT_FALSE(FtpLibrary::Instance().SendFile(request, &error));
  EXPECT_NE(error.find("login"), std::string::npos) << error;

  FtpLibrary missing("no-such-ftpxfer.so");
  request.pszPassword = "secret";
  request.pszRemoteFile = "other.mp3";
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(missing.SendFile(request, &error));
    EXPECT_NE(error.find("the FTP library is not available"), std::string::npos) << error;
    EXPECT_NE(error.find("no-such-ftpxfer.so"), std::string::npos) << error;
  }
  EXPECT_FALSE(fs::exists(root + "/remote/other.mp3"));
  server.Stop();
}

}  // namespace
}  // namespace logrum::archive
