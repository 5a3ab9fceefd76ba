// The FTP upload library ftpxfer.so as the archive service sees it.
// Header-only; include it without linking the library.
//
// Two C exports, both stateless and callable from any thread at once:
//
//   FTPSendFile (local file, host, port, user, password, remote folder,
//                remote file name) -> bool
//     Sends one file: active mode, change to the remote folder when one is
//     given (its failure means nothing is sent), binary store. Port 0 means
//     21. True only when the file is stored on the server.
//
//   FTPSendFileEx (request, error buffer, its size) -> bool
//     The same with the choices of the request record below (explicit TLS,
//     a CA file, time-outs) and the reason of a failure in the buffer. A
//     binder that finds only FTPSendFile can still send plain FTP.
//
// Both connect with a time-out, end a transfer that makes no progress, and
// store under a temporary name that is renamed when the upload is complete,
// so a broken transfer never leaves a half file under the file's own name.
// When the server refuses the rename, the file is stored directly.
#pragma once

#include <cstdint>

namespace logrum::ftp {

// A plain record: only ever extended at the end; cbSize says how much of it
// the caller filled in.
struct FtpSendRequest {
  uint32_t cbSize;             // sizeof(FtpSendRequest)
  const char* pszLocalFile;
  const char* pszServer;
  int32_t nPort;               // 0: 21
  const char* pszUser;
  const char* pszPassword;
  const char* pszRemoteDir;    // null or empty: the login folder
  const char* pszRemoteFile;
  uint32_t bTls;               // explicit TLS (AUTH TLS) for control and data, required
  const char* pszCaFile;       // null: the system's certificate authorities
  uint32_t uConnectTimeoutMs;  // 0: the default (20 s)
  uint32_t uStallTimeoutMs;    // no progress for this long ends the call; 0: default (60 s)
  const int32_t* pbAbort;      // null, or a flag the caller may set from another
                               // thread: the call then ends within about a second
};

inline constexpr char kFtpLibrary[] = "ftpxfer.so";
inline constexpr char kFtpSendEntry[] = "FTPSendFile";
inline constexpr char kFtpSendExEntry[] = "FTPSendFileEx";

using FtpSendFileFn = bool (*)(const char* pszLocalFile, const char* pszServer, int32_t nPort,
                               const char* pszUser, const char* pszPassword,
                               const char* pszRemoteDir, const char* pszRemoteFile);
using FtpSendFileExFn = bool (*)(const FtpSendRequest* pRequest, char* pszError,
                                 uint32_t cbError);

}  // namespace logrum::ftp
