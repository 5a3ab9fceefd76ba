// The FTP test against a real server (pyftpdlib on loopback).
#include "App/Server/FtpTest.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tests/support/FtpServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"

namespace logrum::server {
namespace {

namespace fs = std::filesystem;

TEST(FtpTestTest, SendsTheTestFileAndSaysHowItWent) {
  const logrum::testing::TempDir temp("ftptest");
  const std::string& root = temp.path();
  fs::create_directories(root + "/remote/up");
  fs::create_directories(root + "/tmp");
  ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
  logrum::testing::FtpServer::Options options;
  options.root = root + "/remote";
  options.port = logrum::testing::FreeLoopbackPort();
  logrum::testing::FtpServer server(options);
  ASSERT_TRUE(server.Start());

  FtpTestParams params{"127.0.0.1", options.port, "up", "station", "secret"};
  std::string message, reason;
  EXPECT_EQ(RunFtpTest(params, &message, &reason), FtpTestResult::kSent) << reason;
  EXPECT_EQ(message, "Successfully sent test file to FTP server!");
  std::ifstream in(root + "/remote/up/ftptest.tmp");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "FTP test file.  Delete any time!");
  EXPECT_TRUE(fs::is_empty(root + "/tmp"));  // the local file is gone again

  // A link planted under the old fixed name is neither followed nor removed.
  const std::string victim = root + "/victim";
  std::ofstream(victim) << "keep";
  fs::create_symlink(victim, root + "/tmp/ftptest.tmp");
  EXPECT_EQ(RunFtpTest(params, &message, &reason), FtpTestResult::kSent) << reason;
  std::ifstream kept(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
  fs::remove(root + "/tmp/ftptest.tmp");
  EXPECT_TRUE(fs::is_empty(root + "/tmp"));

  params.folder = "missing";
  EXPECT_EQ(RunFtpTest(params, &message, &reason), FtpTestResult::kFailed);
  EXPECT_EQ(message, "Unable to send test file to FTP server!");
  EXPECT_NE(reason.find("missing"), std::string::npos) << reason;
  params.folder.clear();
  params.password = "wrong";
  EXPECT_EQ(RunFtpTest(params, &message, &reason), FtpTestResult::kFailed);
  EXPECT_TRUE(fs::is_empty(root + "/tmp"));

  // No place for the test file: the test ends without a message.
  ::setenv("TMPDIR", (root + "/no-such-folder").c_str(), 1);
  EXPECT_EQ(RunFtpTest(params, &message, &reason), FtpTestResult::kNoTestFile);
  EXPECT_EQ(message, "");
  ::unsetenv("TMPDIR");
  server.Stop();
}

}  // namespace
}  // namespace logrum::server
