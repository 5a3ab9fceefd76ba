#include "App/Server/BootUnit.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace logrum::server {
namespace {

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  size_t begin = text.find_first_not_of(" \n");
  return begin == std::string::npos ? "" : text.substr(begin);
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

}  // namespace

std::string BootUnitMissingText() {
  return std::string("The systemd unit ") + kBootUnitName +
         " is not installed, so Logrum cannot start with the system. Install Logrum from its "
         "package (which installs the unit) to use this option.";
}

int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* output) {
  output->clear();
  if (argv.empty()) {
    *output = "no program given";
    return -1;
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *output = std::string("cannot make a pipe: ") + std::strerror(errno);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  // The server blocks its stop signals in every thread and ignores SIGPIPE;
  // the child must not inherit either.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipe_fds[1]);
  if (spawned != 0) {
    ::close(pipe_fds[0]);
    *output = argv[0] + " cannot be run: " + std::strerror(spawned);
    return -1;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool timed_out = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    pollfd readable{pipe_fds[0], POLLIN, 0};
    int ready = ::poll(&readable, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output->append(buffer, static_cast<size_t>(n));
  }
  ::close(pipe_fds[0]);
  if (timed_out) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) {
    *output =
        argv[0] + " did not answer within " + std::to_string((timeout_ms + 999) / 1000) + " s";
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SystemctlBootUnit::DefaultProgram() {
  const char* program = std::getenv("LOGRUM2_SYSTEMCTL");
  return program != nullptr && *program != '\0' ? program : "systemctl";
}

SystemctlBootUnit::SystemctlBootUnit(std::string program) : program_(std::move(program)) {}

platform::Status SystemctlBootUnit::Query(State* state) {
  const std::string unknown =
      "Unable to tell whether " + std::string(kBootUnitName) + " starts at boot: ";
  *state = State::kUnknown;
  std::string output;
  int status = RunProgram({program_, "is-enabled", kBootUnitName}, kSystemctlTimeoutMs, &output);
  if (status < 0) return platform::Status::Error(platform::Status::kIoError, unknown + output);
  const std::string word = Trim(FirstLine(output));
  // A unit file that is missing: "not-found" from newer systemctl, an error
  // naming the missing file from older ones.
  if (word == "not-found" || output.find("No such file or directory") != std::string::npos) {
    *state = State::kNotInstalled;
  } else if (word == "enabled" || word == "enabled-runtime" || word == "alias") {
    *state = State::kEnabled;
  } else if (word == "disabled" || word == "masked" || word == "masked-runtime" ||
             word == "linked" || word == "linked-runtime" || word == "indirect") {
    *state = State::kDisabled;
  } else if (status == 0) {
    *state = State::kEnabled;  // static, generated, ...: it starts with its target
  } else {
    return platform::Status::Error(
        platform::Status::kIoError,
        unknown + (Trim(output).empty() ? program_ + " failed" : Trim(output)));
  }
  return platform::Status::Ok();
}

platform::Status SystemctlBootUnit::Set(bool enabled) {
  std::string output;
  int status = RunProgram({program_, enabled ? "enable" : "disable", kBootUnitName},
                          kSystemctlTimeoutMs, &output);
  if (status == 0) return platform::Status::Ok();
  if (status > 0 && (output.find("does not exist") != std::string::npos ||
                     output.find("No such file or directory") != std::string::npos)) {
    return platform::Status::Error(platform::Status::kNotFound, BootUnitMissingText());
  }
  return platform::Status::Error(platform::Status::kIoError,
                                 std::string("Unable to ") + (enabled ? "enable " : "disable ") +
                                     kBootUnitName + ": " +
                                     (Trim(output).empty() ? program_ + " failed" : Trim(output)));
}

}  // namespace logrum::server
