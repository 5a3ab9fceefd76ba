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
  std::string error;
  ASSERT_TRUE(SendFile(Request(), &error)) << error;
  EXPECT_EQ(RemoteFiles(), std::vector<std::string>{"backup/2010.03.04-05.06.07-S.mp3"});
  EXPECT_EQ(ReadAll(remote_ + "/backup/2010.03.04-05.06.07-S.mp3"), content_);

  // Sent again: replaced, not appended. An empty folder is the login folder;
  // a folder from the server's root is entered as such.
  ASSERT_TRUE(SendFile(Request(), &error)) << error;
  ASSERT_TRUE(SendFile(Request(""), &error)) << error;
  fs::create_directories(remote_ + "/a b/c");
  ASSERT_TRUE(SendFile(Request("/a b/c/"), &error)) << error;
  EXPECT_EQ(RemoteFiles(), (std::vector<std::string>{"2010.03.04-05.06.07-S.mp3",
                                                     "a b/c/2010.03.04-05.06.07-S.mp3",
                                                     "backup/2010.03.04-05.06.07-S.mp3"}));
  EXPECT_EQ(ReadAll(remote_ + "/backup/2010.03.04-05.06.07-S.mp3"), content_);
}

TEST_F(FtpSenderTest, RefusedRenameFallsBackToStoringUnderTheName) {
  ASSERT_TRUE(StartServer(false, true));
  std::string error;
  ASSERT_TRUE(SendFile(Request(), &error)) << error;
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
    std::string error;
    EXPECT_FALSE(SendFile(request, &error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
  }
  EXPECT_TRUE(RemoteFiles().empty());
}

TEST_F(FtpSenderTest, StalledServerEndsTheCallWithinItsTimeOut) {
  // Accepts connections (the kernel does) and never says a word.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

  SendRequest request = Request();
  request.port = ntohs(address.sin_port);
  request.stall_timeout_ms = 1000;
  std::string error;
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendFile(request, &error));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
  EXPECT_NE(error.find("imeout"), std::string::npos) << error;
  ::close(listener);
}

TEST_F(FtpSenderTest, FtpsChecksTheCertificateAndRequiresTls) {
  ASSERT_TRUE(StartServer(true));
  std::string error;
  SendRequest request = Request();
  request.tls = true;

  // The test's self-signed certificate is not one the system trusts.
  EXPECT_FALSE(SendFile(request, &error));
  EXPECT_TRUE(RemoteFiles().empty()) << error;

  request.ca_file = server_->ca_file();
  ASSERT_TRUE(SendFile(request, &error)) << error;
  EXPECT_EQ(ReadAll(remote_ + "/backup/2010.03.04-05.06.07-S.mp3"), content_);

  // The server wants TLS: plain FTP is refused.
  EXPECT_FALSE(SendFile(Request(), &error));
}

TEST_F(FtpSenderTest, FtpsToAServerWithoutTlsSendsNothing) {
  ASSERT_TRUE(StartServer(false));
  SendRequest request = Request();
  request.tls = true;
  std::string error;
  EXPECT_FALSE(SendFile(request, &error));
  EXPECT_TRUE(RemoteFiles().empty()) << error;
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
