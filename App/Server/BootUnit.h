// Starting the server with the machine. On Linux the server starts at boot
// when its systemd unit "logrum2.service" is enabled; the server options
// turn that on and off with `systemctl enable` and `systemctl disable`.
//
// BootUnit is the seam: the console asks it and never runs systemctl itself,
// so tests give it a fake (or point $LOGRUM2_SYSTEMCTL at a stand-in program)
// and never touch the machine's systemd.
//
// Thread safety: SystemctlBootUnit has no state of its own and may be called
// from any thread; each call runs systemctl and waits for it (at most
// kSystemctlTimeoutMs), so callers keep it off the UI thread.
#pragma once

#include <string>
#include <vector>

#include "Lib/Platform/Status.h"

namespace logrum::server {

inline constexpr char kBootUnitName[] = "logrum2.service";
inline constexpr int kSystemctlTimeoutMs = 20000;

// What the page shows when there is no unit to enable.
std::string BootUnitMissingText();

class BootUnit {
 public:
  enum class State { kEnabled, kDisabled, kNotInstalled, kUnknown };

  virtual ~BootUnit() = default;
  // Whether the unit starts at boot, in *state; kUnknown and an error when
  // that cannot be told.
  virtual platform::Status Query(State* state) = 0;
  // Enables or disables the unit; an error's message is the reason, as a
  // station engineer reads it.
  virtual platform::Status Set(bool enabled) = 0;
};

// The real one: runs `program` ("systemctl", or $LOGRUM2_SYSTEMCTL when set).
class SystemctlBootUnit final : public BootUnit {
 public:
  explicit SystemctlBootUnit(std::string program = DefaultProgram());
  platform::Status Query(State* state) override;
  platform::Status Set(bool enabled) override;

  static std::string DefaultProgram();

 private:
  std::string program_;
};

// Runs `argv` (argv[0] searched on PATH) with standard output and error
// captured together into *output, waiting at most `timeout_ms` before it is
// killed. The exit status, or -1 with *output telling why it did not run or
// did not end.
int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* output);

}  // namespace logrum::server
