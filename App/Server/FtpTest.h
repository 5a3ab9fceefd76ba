// The FTP test of the FTP server dialog: sends a small test file with the
// dialog's values, through the program's own copy of the FTP sender (the
// same code as ftpxfer.so), and says how it went.
//
// The test file "ftptest.tmp" ("FTP test file.  Delete any time!") is
// written in a new private folder inside the system's temporary folder
// ($TMPDIR, else /tmp), uploaded under its own name into the upload folder
// (the login folder when empty), and deleted again with its folder.
//
// Thread safety: any thread; the call blocks for as long as the upload takes
// (at most the sender's time-outs), so the console runs it off the UI thread.
#pragma once

#include <cstdint>
#include <string>

namespace logrum::server {

struct FtpTestParams {
  std::string server;
  int32_t port = 21;
  std::string folder;  // upload folder on the server; may be empty
  std::string user;
  std::string password;
};

enum class FtpTestResult {
  kSent,        // "Successfully sent test file to FTP server!"
  kFailed,      // "Unable to send test file to FTP server!"
  kNoTestFile,  // the local test file could not be written: no message
};

inline constexpr char kFtpTestSent[] = "Successfully sent test file to FTP server!";
inline constexpr char kFtpTestFailed[] = "Unable to send test file to FTP server!";

// Runs the test. *message gets the text to show (empty for kNoTestFile);
// *reason (may be null) the sender's reason of a failure, for the journal.
FtpTestResult RunFtpTest(const FtpTestParams& params, std::string* message, std::string* reason);

}  // namespace logrum::server
