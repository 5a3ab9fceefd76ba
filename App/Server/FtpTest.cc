#include "App/Server/FtpTest.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Lib/FtpUpload/FtpSender.h"

namespace logrum::server {
namespace {
constexpr char kTestFileName[] = "ftptest.tmp";
constexpr char kTestFileText[] = "FTP test file.  Delete any time!";
}  // namespace

FtpTestResult RunFtpTest(const FtpTestParams& params, std::string* message, std::string* reason) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" +
                           kTestFileName;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    if (message != nullptr) message->clear();
    return FtpTestResult::kNoTestFile;
  }
  const bool written = std::fputs(kTestFileText, file) >= 0;
  if (std::fclose(file) != 0 || !written) {
    ::unlink(path.c_str());
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
  std::string error;
  const bool sent = ftp::SendFile(request, &error);
  ::unlink(path.c_str());
  if (message != nullptr) *message = sent ? kFtpTestSent : kFtpTestFailed;
  if (reason != nullptr) *reason = sent ? std::string() : error;
  return sent ? FtpTestResult::kSent : FtpTestResult::kFailed;
}

}  // namespace logrum::server
