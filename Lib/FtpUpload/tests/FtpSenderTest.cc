// The FTP sender against a real server (pyftpdlib on a loopback port): what
// arrives, what a failure leaves behind, and the reason it gives.
#include "Lib/FtpUpload/FtpSender.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "Lib/FtpUpload/include/FtpXfer.h"
#include "Lib/Platform/DynamicLibrary.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"

namespace logrum::ftp {
namespace {

namespace fs = std::filesystem;
using logrum::testing::FtpServer;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class FtpSenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    remote_ = root_ + "/remote";
    fs::create_directories(remote_ + "/backup");
    local_ = root_ + "/2010.03.04-05.06.07-S.mp3";
    // Binary content with every byte value and line ends that a text
    // transfer would change.
    std::mt19937 random(7);
    for (int i = 0; i < 300000; ++i) content_ += static_cast<char>(random() & 0xFF);
    content_ += "\r\n\n\r";
    std::ofstream(local_, std::ios::binary) << content_;
  }
  void TearDown() override { server_.reset(); }
  bool StartServer(bool tls = false, bool refuse_rename = false) {
    FtpServer::Options options;
    options.root = remote_;
    options.port = logrum::testing::FreeLoopbackPort();
    options.refuse_rename = refuse_rename;
    if (tls) options.tls_folder = root_ + "/tls";
    server_ = std::make_unique<FtpServer>(options);
    return server_->Start();
  }
  SendRequest Request(const std::string& dir = "backup") {
    SendRequest request;
    request.local_file = local_;
    request.host = "127.0.0.1";
    request.port = server_ ? server_->options().port : logrum::testing::FreeLoopbackPort();
    request.user = "station";
    request.password = "secret";
    request.remote_dir = dir;
    request.remote_name = fs::path(local_).filename();
    request.connect_timeout_ms = 5000;
    request.stall_timeout_ms = 5000;
    return request;
  }
  std::vector<std::string> RemoteFiles() {
    std::vector<std::string> files;
    for (auto& entry : fs::recursive_directory_iterator(remote_)) {
      if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), remote_));
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  logrum::testing::TempDir temp_{"ftp"};
  std::string root_ = temp_.path(), remote_, local_, content_;
  std::unique_ptr<FtpServer> server_;
};

TEST_F(FtpSenderTest, StoresTheFileByteForByteUnderItsNameInTheFolder) {
  ASSERT_TRUE(StartServer());
  platform::Status sent = SendFile(Request());
  ASSERT_TRUE(sent.ok()) << sent.message();
  EXPECT_EQ(RemoteFiles(), std::vector<std::string>{"backup/2010.03.04-05.06.07-S.mp3"});
  EXPECT_EQ(ReadAll(remote_ + "/backup/2010.03.04-05.06.07-S.mp3"), content_);

  // Sent again: replaced, not appended. An empty folder is the login folder;
  // a folder from the server's root is entered as such.
  sent = SendFile(Request());
  ASSERT_TRUE(sent.ok()) << sent.message();
  sent = SendFile(Request(""));
  ASSERT_TRUE(sent.ok()) << sent.message();
  fs::create_directories(remote_ + "/a b/c");
  sent = SendFile(Request("/a b/c/"));
  ASSERT_TRUE(sent.ok()) << sent.message();
  EXPECT_EQ(RemoteFiles(), (std::vector<std::string>{"2010.03.04-05.06.07-S.mp3",
                                                     "a b/c/2010.03.04-05.06.07-S.mp3",
                                                     "backup/2010.03.04-05.06.07-S.mp3"}));
  EXPECT_EQ(ReadAll(remote_ + "/backup/2010.03.04-05.06.07-S.mp3"), content_);
}

TEST_F(FtpSenderTest, RefusedRenameFallsBackToStoringUnderTheName) {
  ASSERT_TRUE(StartServer(false, true));
  platform::Status sent = SendFile(Request());
  ASSERT_TRUE(sent.ok()) << sent.message();
  EXPECT_EQ(RemoteFiles(), std::vector<std::string>{"backup/2010.03.04-05.06.07-S.mp3"});
  EXPECT_EQ(ReadAll(remote_ + "/backup/2010.03.04-05.06.07-S.mp3"), content_);
}

TEST_F(FtpSenderTest, FailuresSayWhyAndStoreNothing) {
  ASSERT_TRUE(StartServer());
  struct Case {
    const char* what;
    std::function<void(SendRequest*)> change;
    const char* reason;
  };
  const Case cases[] = {
      {"missing folder", [](SendRequest* r) { r->remote_dir = "nowhere"; }, "folder 'nowhere'"},
      {"wrong password", [](SendRequest* r) { r->password = "wrong"; }, "login as 'station'"},
      {"missing local file", [](SendRequest* r) { r->local_file += ".gone"; }, "cannot read"},
      {"no server", [](SendRequest* r) { r->port = logrum::testing::FreeLoopbackPort(); },
       "127.0.0.1:"},
      {"no host", [](SendRequest* r) { r->host.clear(); }, "no server"},
  };
  for (const Case& c : cases) {
    SendRequest request = Request();
    c.change(&request);
    platform::Status sent = SendFile(request);
    EXPECT_FALSE(sent.ok()) << c.what;
    EXPECT_NE(sent.message().find(c.reason), std::string::npos) << c.what << ": " << sent.message();
  }
  EXPECT_TRUE(RemoteFiles().empty());
}

TEST_F(FtpSenderTest, StalledServerEndsTheCallWithinItsTimeOut) {
  // Accepts connections (the kernel does) and never says a word.
  const logrum::testing::SilentListener listener;
  ASSERT_TRUE(listener.ok());

  SendRequest request = Request();
  request.port = listener.port();
  request.stall_timeout_ms = 1000;
  platform::Status sent;
  const auto began = std::chrono::steady_clock::now();
  sent = SendFile(request);
  EXPECT_FALSE(sent.ok());
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
  EXPECT_NE(sent.message().find("imeout"), std::string::npos) << sent.message();
}

TEST_F(FtpSenderTest, FtpsChecksTheCertificateAndRequiresTls) {
  ASSERT_TRUE(StartServer(true));
  platform::Status sent;
  SendRequest request = Request();
  request.tls = true;

  // The test's self-signed certificate is not one the system trusts.
  sent = SendFile(request);
  EXPECT_FALSE(sent.ok());
  EXPECT_TRUE(RemoteFiles().empty()) << sent.message();

  request.ca_file = server_->ca_file();
  sent = SendFile(request);
  ASSERT_TRUE(sent.ok()) << sent.message();
  EXPECT_EQ(ReadAll(remote_ + "/backup/2010.03.04-05.06.07-S.mp3"), content_);

  // The server wants TLS: plain FTP is refused.
  sent = SendFile(Request());
  EXPECT_FALSE(sent.ok());
}

TEST_F(FtpSenderTest, FtpsToAServerWithoutTlsSendsNothing) {
  ASSERT_TRUE(StartServer(false));
  SendRequest request = Request();
  request.tls = true;
  platform::Status sent = SendFile(request);
  EXPECT_FALSE(sent.ok());
  EXPECT_TRUE(RemoteFiles().empty()) << sent.message();
}

// ftpxfer.so bound by file name, as the archive service binds it.
TEST_F(FtpSenderTest, LibraryExportsSendTheSameWay) {
  ASSERT_TRUE(StartServer());
  platform::DynamicLibrary library;
  platform::Status status = library.Open(std::string(LOGRUM2_BUILD_DIR) + "/lib/" + kFtpLibrary);
  ASSERT_TRUE(status.ok()) << status.message();
  FtpSendFileFn send = nullptr;
  FtpSendFileExFn send_ex = nullptr;
  ASSERT_TRUE(library.Function(kFtpSendEntry, &send).ok());
  ASSERT_TRUE(library.Function(kFtpSendExEntry, &send_ex).ok());

  EXPECT_TRUE(send(local_.c_str(), "127.0.0.1", server_->options().port, "station", "secret",
                   nullptr, "plain.mp3"));
  EXPECT_EQ(ReadAll(remote_ + "/plain.mp3"), content_);
  EXPECT_FALSE(send(local_.c_str(), "127.0.0.1", server_->options().port, "station", "secret",
                    "nowhere", "plain.mp3"));

  FtpSendRequest record{};
  record.cbSize = sizeof record;
  record.pszLocalFile = local_.c_str();
  record.pszServer = "127.0.0.1";
  record.nPort = server_->options().port;
  record.pszUser = "station";
  record.pszPassword = "wrong";
  record.pszRemoteFile = "ex.mp3";
  char reason[256] = "unchanged";
  EXPECT_FALSE(send_ex(&record, reason, sizeof reason));
  EXPECT_NE(std::string(reason).find("login"), std::string::npos) << reason;
  record.pszPassword = "secret";
  EXPECT_TRUE(send_ex(&record, reason, sizeof reason));
  EXPECT_STREQ(reason, "");
  record.cbSize = 8;  // a record from a caller that does not know the fields
  EXPECT_FALSE(send_ex(&record, reason, sizeof reason));
}

}  // namespace
}  // namespace logrum::ftp
