#include "App/Server/FtpTest.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Lib/FtpUpload/FtpSender.h"

namespace logrum::server {
namespace {
constexpr char kTestFileName[] = "ftptest.tmp";
constexpr char kTestFileText[] = "FTP test file.  Delete any time!";
}  // namespace

FtpTestResult RunFtpTest(const FtpTestParams& params, std::string* message, std::string* reason) {
  const char* tmp = std::getenv("TMPDIR");
  // A private folder of our own for the file: a fixed name straight in a
  // shared temporary folder could be a link planted by another user (which
  // the server, often root, would then overwrite), and two tests at once
  // would write and delete each other's file.
  std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/logrum2-ftptest-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    if (message != nullptr) message->clear();
    return FtpTestResult::kNoTestFile;
  }
  const std::string path = folder + "/" + kTestFileName;
  std::FILE* file = std::fopen(path.c_str(), "wbx");
  if (file == nullptr) {
    ::rmdir(folder.c_str());
    if (message != nullptr) message->clear();
    return FtpTestResult::kNoTestFile;
  }
  const bool written = std::fputs(kTestFileText, file) >= 0;
  if (std::fclose(file) != 0 || !written) {
    ::unlink(path.c_str());
    ::rmdir(folder.c_str());
    if (message != nullptr) message->clear();
    return FtpTestResult::kNoTestFile;
  }

  ftp::SendRequest request;
  request.local_file = path;
  request.host = params.server;
  request.port = params.port;
  request.user = params.user;
  request.password = params.password;
  request.remote_dir = params.folder;
  request.remote_name = kTestFileName;
  const platform::Status status = ftp::SendFile(request);
  const bool sent = status.ok();
  const std::string& error = status.message();
  ::unlink(path.c_str());
  ::rmdir(folder.c_str());
  if (message != nullptr) *message = sent ? kFtpTestSent : kFtpTestFailed;
  if (reason != nullptr) *reason = sent ? std::string() : error;
  return sent ? FtpTestResult::kSent : FtpTestResult::kFailed;
}

}  // namespace logrum::server
