// ftpxfer.so: the FTP sender behind two C exports (see include/FtpXfer.h).
// Nothing may escape an export: failures are results.
#include <algorithm>
#include <cstring>
#include <string>

#include "Lib/Diagnostics/Trace.h"
#include "Lib/FtpUpload/FtpSender.h"
#include "Lib/FtpUpload/include/FtpXfer.h"
#include "Lib/Platform/Export.h"

namespace {
// Registering the library's one channel binds the trace provider while the
// library loads; the sender writes no trace lines.
logrum::diag::TraceChannel g_channel(logrum::diag::kModuleFtpUpload, 33);

void CopyError(const std::string& text, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return;
  const size_t n = std::min<size_t>(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}
}  // namespace

LOGRUM_EXPORT bool FTPSendFile(const char* pszLocalFile, const char* pszServer, int32_t nPort,
                               const char* pszUser, const char* pszPassword,
                               const char* pszRemoteDir, const char* pszRemoteFile) {
  try {
    logrum::ftp::FtpSendRequest record{};
    record.cbSize = sizeof record;
    record.pszLocalFile = pszLocalFile;
    record.pszServer = pszServer;
    record.nPort = nPort;
    record.pszUser = pszUser;
    record.pszPassword = pszPassword;
    record.pszRemoteDir = pszRemoteDir;
    record.pszRemoteFile = pszRemoteFile;
    logrum::ftp::SendRequest request;
    return logrum::ftp::FromRecord(&record, &request) && logrum::ftp::SendFile(request).ok();
  } catch (...) {
    return false;
  }
}

LOGRUM_EXPORT bool FTPSendFileEx(const logrum::ftp::FtpSendRequest* pRequest, char* pszError,
                                 uint32_t cbError) {
  try {
    logrum::ftp::SendRequest request;
    if (!logrum::ftp::FromRecord(pRequest, &request)) {
      CopyError("bad request record", pszError, cbError);
      return false;
    }
    const logrum::platform::Status sent = logrum::ftp::SendFile(request);
    CopyError(sent.ok() ? std::string() : sent.message(), pszError, cbError);
    return sent.ok();
  } catch (...) {
    CopyError("unexpected failure", pszError, cbError);
    return false;
  }
}
