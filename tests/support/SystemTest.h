// Helpers of the whole-system tests, which drive the built programs and
// libraries and look at what they leave behind: segment files, decoded audio,
// the output of a command, the process's memory. Header-only; the tests that
// set up a virtual station link logrum_platform.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Lib/Platform/Clock.h"
#include "Lib/Platform/TimeZone.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"

namespace logrum::testing {

// The process as a station with virtual devices: the local zone (TZ), the
// process clock (LOGRUM2_CLOCK) and the capture devices
// (LOGRUM2_VIRTUAL_DEVICES), all read before the first test runs.
inline void SetUpVirtualStation(const std::string& zone, const std::string& clock,
                                const std::string& devices) {
  ::setenv("TZ", zone.c_str(), 1);
  ::setenv("LOGRUM2_CLOCK", clock.c_str(), 1);
  ::setenv("LOGRUM2_VIRTUAL_DEVICES", devices.c_str(), 1);
  platform::ReloadActiveZone();
  platform::DefaultClock();
}

// The temporary folder of the whole test program, made on first use (its
// name taken from that call's `tag`) and removed when the program ends.
inline const std::string& ProgramFolder(std::string_view tag) {
  static const TempDir folder(tag);
  return folder.path();
}

// The process as a station recording a 10 s stereo tone (`left_hz` on the
// left, `right_hz` on the right) from the virtual file: device "Tone", with
// its state folder (LOGRUM2_HOME) in `home`, in UTC on `clock`.
inline void SetUpToneStation(const std::string& home, const std::string& clock, double left_hz,
                             double right_hz) {
  WriteToneWav(home + "/tone.wav", 10, left_hz, right_hz);
  ::setenv("LOGRUM2_HOME", home.c_str(), 1);
  SetUpVirtualStation("UTC0", clock, "Tone=file:" + home + "/tone.wav");
}

// Polls until `done` holds, for what a program leaves in files and has no
// event to wait on; false when `patience` runs out first.
inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::seconds patience = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The segment files below an archive folder (day folders included), in name order.
inline std::vector<std::string> SegmentFiles(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().extension() == ".mp3") files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct CommandRun {
  int status = -1;  // the exit status; -1 when it did not end normally
  std::string out;  // its standard output
};

// Runs a shell command line and collects its standard output.
inline CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Decodes a layer 3 file with ffmpeg into 16-bit samples of `channels`
// channels at `rate`; empty when ffmpeg fails.
inline std::vector<int16_t> DecodeWithFfmpeg(const std::string& mp3, int channels, int rate) {
  const std::string raw = mp3 + ".raw";
  const std::string command = "ffmpeg -v error -y -i " + mp3 + " -f s16le -ac " +
                              std::to_string(channels) + " -ar " + std::to_string(rate) + " " + raw;
  if (std::system(command.c_str()) != 0) return {};
  const std::string bytes = ReadFileText(raw);
  return std::vector<int16_t>(reinterpret_cast<const int16_t*>(bytes.data()),
                              reinterpret_cast<const int16_t*>(bytes.data()) + bytes.size() / 2);
}

// logrum-client of this build with `arguments` (quoted for the shell), its
// standard error written to `err_file`.
inline CommandRun RunLogrumClient(uint16_t port, const std::string& arguments,
                                  const std::string& err_file) {
  return RunCommand(std::string(LOGRUM2_BUILD_DIR) + "/bin/logrum-client --port " +
                    std::to_string(port) + " " + arguments + " 2>" + err_file);
}

// Resident memory in KiB of this process, or of process `pid`; -1 when it
// cannot be read (the process has ended).
inline long ResidentKiB(int pid = 0) {
  std::ifstream in(pid > 0 ? "/proc/" + std::to_string(pid) + "/status"
                           : std::string("/proc/self/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

}  // namespace logrum::testing
