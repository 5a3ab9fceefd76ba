#include "Lib/FtpUpload/FtpSender.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>
#include <mutex>

namespace logrum::ftp {
namespace {

using platform::Status;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyCloser {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistCloser {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using Easy = std::unique_ptr<CURL, EasyCloser>;
using Slist = std::unique_ptr<curl_slist, SlistCloser>;
using File = std::unique_ptr<FILE, FileCloser>;

// Each path component escaped, the separators kept. A folder that starts at
// the server's root keeps its leading "/" as "%2F", so that it is not taken
// relative to the login folder.
std::string EscapePath(CURL* curl, const std::string& path) {
  std::string out;
  size_t begin = 0;
  if (!path.empty() && path[0] == '/') {
    out = "%2F";
    begin = 1;
  }
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    if (end > begin) {
      char* escaped = curl_easy_escape(curl, path.data() + begin, static_cast<int>(end - begin));
      if (escaped != nullptr) {
        if (!out.empty() && out.back() != '/' && out != "%2F") out += '/';
        out += escaped;
        curl_free(escaped);
      }
    }
    begin = end + 1;
  }
  return out;
}

std::string HostPart(const std::string& host) {
  // An IPv6 address needs brackets in a URL.
  return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

// Ends a call whose caller has set its abort flag.
int Progress(void* abort, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return __atomic_load_n(static_cast<const int32_t*>(abort), __ATOMIC_ACQUIRE) != 0 ? 1 : 0;
}

struct Attempt {
  CURLcode code = CURLE_OK;
  long reply = 0;
  bool uploaded = false;  // the STOR completed (only the rename may have failed)
};

// One connection: store `stored_name` in the folder, then run the commands
// of `after` (a leading "*" lets one fail without failing the call).
Attempt Store(const SendRequest& request, FILE* file, curl_off_t size,
              const std::string& stored_name, const std::vector<std::string>& after) {
  Attempt attempt;
  Easy curl(curl_easy_init());
  if (!curl) {
    attempt.code = CURLE_OUT_OF_MEMORY;
    return attempt;
  }
  std::rewind(file);
  CURL* c = curl.get();
  std::string path = request.remote_dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string url = "ftp://" + HostPart(request.host) + ":" +
                    std::to_string(request.port == 0 ? 21 : request.port & 0xFFFF) + "/";
  std::string escaped_dir = EscapePath(c, path);
  if (!escaped_dir.empty()) url += escaped_dir + (escaped_dir == "%2F" ? "" : "/");
  url += EscapePath(c, stored_name);

  Slist post;
  for (const std::string& command : after) {
    curl_slist* list = curl_slist_append(post.get(), command.c_str());
    if (list == nullptr) {
      attempt.code = CURLE_OUT_OF_MEMORY;
      return attempt;
    }
    post.release();
    post.reset(list);
  }

  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_USERNAME, request.user.c_str());
  curl_easy_setopt(c, CURLOPT_PASSWORD, request.password.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp");
  // Plain FTP in active mode: the server opens the data connection to us.
  // FTPS goes passive: a firewall cannot read the PORT command inside TLS
  // to let the server's connection in, and the libcurl of Debian 12 sends
  // an actively opened data connection without TLS (seen against
  // pyftpdlib: "wrong version number" on the server's side).
  if (!request.tls) curl_easy_setopt(c, CURLOPT_FTPPORT, "-");
  // One CWD with the whole folder, as a station's folder is entered.
  curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
  curl_easy_setopt(c, CURLOPT_TRANSFERTEXT, 0L);  // binary (TYPE I)
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_READDATA, file);
  curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, size);
  // No hang: connecting, every server reply, the server's connect-back and
  // the transfer itself each have a limit.
  const long stall_ms = static_cast<long>(request.stall_timeout_ms);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connect_timeout_ms));
  curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, std::max(1L, (stall_ms + 999) / 1000));
  curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, stall_ms);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, (stall_ms + 999) / 1000));
  if (request.tls) {
    // AUTH TLS on the control connection and PROT P on the data; a server
    // without TLS is refused rather than used in clear.
    curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(c, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, request.ca_file.c_str());
  }
  if (post) curl_easy_setopt(c, CURLOPT_POSTQUOTE, post.get());
  if (request.abort != nullptr) {
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<int32_t*>(request.abort));
  }

  attempt.code = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &attempt.reply);
  if (attempt.code == CURLE_QUOTE_ERROR) attempt.uploaded = true;
  return attempt;
}

std::string Describe(const SendRequest& request, const Attempt& attempt) {
  std::string text = curl_easy_strerror(attempt.code);
  if (attempt.code == CURLE_REMOTE_ACCESS_DENIED && !request.remote_dir.empty()) {
    text = "cannot change to folder '" + request.remote_dir + "'";
  } else if (attempt.code == CURLE_LOGIN_DENIED) {
    text = "login as '" + request.user + "' refused";
  } else if (attempt.code == CURLE_ABORTED_BY_CALLBACK) {
    text = "ended by the caller";
  } else if (attempt.code == CURLE_OPERATION_TIMEDOUT) {
    text = "no progress, gave up (timeout)";
  }
  if (attempt.reply > 0) text += " (server reply " + std::to_string(attempt.reply) + ")";
  return text;
}

}  // namespace

Status SendFile(const SendRequest& request) {
  if (request.host.empty()) return Status::Error(Status::kInvalidArgument, "no server given");
  if (request.remote_name.empty() || request.remote_name.find('/') != std::string::npos) {
    return Status::Error(Status::kInvalidArgument,
                         "bad remote file name '" + request.remote_name + "'");
  }
  File file(std::fopen(request.local_file.c_str(), "rb"));
  const Status::Code open_code = file ? Status::kInvalidArgument : platform::CodeOfErrno(errno);
  struct stat st;
  if (!file || ::fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Status::Error(open_code, "cannot read '" + request.local_file + "'");
  }
  GlobalInit();
  const std::string temporary = request.remote_name + ".part";
  Attempt attempt = Store(request, file.get(), st.st_size, temporary,
                          {"RNFR " + temporary, "RNTO " + request.remote_name});
  if (attempt.code == CURLE_OK) return Status::Ok();
  if (attempt.uploaded) {
    // The server took the data but refused the rename: store the file under
    // its name directly, and take the temporary copy away if it may.
    attempt = Store(request, file.get(), st.st_size, request.remote_name, {"*DELE " + temporary});
    if (attempt.code == CURLE_OK) return Status::Ok();
  }
  const bool refused =
      attempt.code == CURLE_LOGIN_DENIED || attempt.code == CURLE_REMOTE_ACCESS_DENIED;
  return Status::Error(refused ? Status::kAccessDenied : Status::kIoError,
                       request.host + ":" + std::to_string(request.port == 0 ? 21 : request.port) +
                           ": " + Describe(request, attempt));
}

bool FromRecord(const FtpSendRequest* record, SendRequest* request) {
  // Records of callers built before later fields existed are taken as far
  // as they go.
  if (record == nullptr || record->cbSize < offsetof(FtpSendRequest, pbAbort)) return false;
  auto text = [](const char* s) { return s != nullptr ? std::string(s) : std::string(); };
  request->local_file = text(record->pszLocalFile);
  request->host = text(record->pszServer);
  request->port = record->nPort;
  request->user = text(record->pszUser);
  request->password = text(record->pszPassword);
  request->remote_dir = text(record->pszRemoteDir);
  request->remote_name = text(record->pszRemoteFile);
  request->tls = record->bTls != 0;
  request->ca_file = text(record->pszCaFile);
  if (record->uConnectTimeoutMs != 0) request->connect_timeout_ms = record->uConnectTimeoutMs;
  if (record->uStallTimeoutMs != 0) request->stall_timeout_ms = record->uStallTimeoutMs;
  if (record->cbSize >= offsetof(FtpSendRequest, pbAbort) + sizeof record->pbAbort) {
    request->abort = record->pbAbort;
  }
  return true;
}

}  // namespace logrum::ftp
