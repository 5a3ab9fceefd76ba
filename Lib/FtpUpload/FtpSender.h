// The FTP sender on libcurl: the work behind ftpxfer.so's exports, and the
// copy that recserver links for its FTP test.
//
// One call, one connection: connect (with a time-out), log in, switch to
// active mode (the server connects back for the data; FTPS uses passive
// mode, see FtpSender.cc), change to the remote
// folder when one is given, store the file in binary under a temporary name
// ("<name>.part") and rename it to its name. A refused rename falls back to
// storing the file under its name directly. A transfer that makes no
// progress for the stall time-out ends with a failure.
//
// Errors are values: a Status with a reason naming the host and the step (from
// libcurl's result code and the server's last reply, never from libcurl's
// error buffer, which holds stray text even on success).
//
// Thread safety: any thread, any number of calls at once (no shared state
// after the one-time global initialisation of libcurl).
#pragma once

#include <cstdint>
#include <string>

#include "Lib/FtpUpload/include/FtpXfer.h"
#include "Lib/Platform/Status.h"

namespace logrum::ftp {

struct SendRequest {
  std::string local_file;
  std::string host;
  int32_t port = 0;  // 0: 21
  std::string user;
  std::string password;
  std::string remote_dir;   // empty: the login folder
  std::string remote_name;  // file name on the server
  bool tls = false;         // explicit TLS, required for control and data
  std::string ca_file;      // empty: the system's authorities
  uint32_t connect_timeout_ms = 20000;
  uint32_t stall_timeout_ms = 60000;
  // Null, or a flag another thread may set (atomically) to end the call
  // early (an archive that closes does not wait for a stalled server).
  const int32_t* abort = nullptr;
};

// Ok when the file is stored under remote_name; otherwise why not.
platform::Status SendFile(const SendRequest& request);

// The request of the C record (null strings become empty, 0 time-outs the
// defaults); false when the record is null or too short.
bool FromRecord(const FtpSendRequest* record, SendRequest* request);

}  // namespace logrum::ftp
