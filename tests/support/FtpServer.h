// A real FTP server for tests: tests/support/ftp_server.py (pyftpdlib) run
// under /usr/bin/python3 on a loopback port, started and stopped by the test.
// Header-only.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace logrum::testing {

class FtpServer {
 public:
  struct Options {
    std::string root;           // the user's home folder
    uint16_t port = 0;          // chosen by the test (FreeLoopbackPort)
    std::string user = "station";
    std::string password = "secret";
    std::string tls_folder;     // non-empty: FTPS, certificate written here
    bool refuse_rename = false;
  };

  explicit FtpServer(Options options) : options_(std::move(options)) {}
  ~FtpServer() { Stop(); }
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  // Starts the server and waits for its "ready" line; false when it did not come.
  bool Start() {
    Stop();
    int fds[2];
    if (::pipe(fds) != 0) return false;
    std::vector<std::string> args = {"/usr/bin/python3", std::string(LOGRUM2_SOURCE_DIR) + "/tests/support/ftp_server.py",
                                     "--root", options_.root, "--port", std::to_string(options_.port),
                                     "--user", options_.user, "--password", options_.password};
    if (!options_.tls_folder.empty()) {
      args.push_back("--tls");
      args.push_back(options_.tls_folder);
    }
    if (options_.refuse_rename) args.push_back("--refuse-rename");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    FILE* out = ::fdopen(fds[0], "r");
    char line[128] = {};
    const bool ready = out != nullptr && std::fgets(line, sizeof line, out) != nullptr &&
                       std::string(line).rfind("ready", 0) == 0;
    if (out != nullptr) std::fclose(out);
    if (!ready) Stop();
    return ready;
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  bool running() const { return pid_ > 0; }
  const Options& options() const { return options_; }
  std::string ca_file() const { return options_.tls_folder + "/cert.pem"; }

 private:
  Options options_;
  pid_t pid_ = -1;
};

}  // namespace logrum::testing
