// The result of an operation inside our code: ok, or a code and a message that
// names what failed (the path, the device, the host) and why, ready to be shown
// to a station engineer as it stands.
//
// Failure policy: code inside the libraries returns a Status and lets the caller
// decide; at the fixed boundaries (exported functions, fixed-slot interfaces,
// the protocol) the Status is mapped to the result those have always given
// there (bool, null, -1, a code) and its message goes to the trace or event log.
//
// The codes are few on purpose: callers branch on what they can act on
// (missing, busy, refused, damaged) and otherwise show the message. Their
// numbers are the platform error numbers the configuration store has always
// reported through last_error(), and stay so.
//
// Thread safety: a plain value.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace logrum::platform {

class [[nodiscard]] Status {
 public:
  enum Code : uint32_t {
    kOk = 0,
    kNotFound = 2,          // no such file, key, value or device
    kInvalidArgument = 87,  // a malformed name, path, address or value
    kAccessDenied = 5,      // no permission to open, write or bind
    kCorrupt = 1015,        // the file is not what it should be; it was left as it is
    kBusy = 170,            // another user holds it (a lock, an address in use)
    kIoError = 1016,        // any other failure
  };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(Code code, std::string message) { return Status(code, std::move(message)); }

  bool ok() const { return code_ == kOk; }
  bool IsNotFound() const { return code_ == kNotFound; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  std::string ToString() const { return ok() ? "OK" : message_; }

 private:
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  Code code_ = kOk;
  std::string message_;
};

// The code for an errno value.
Status::Code CodeOfErrno(int error);

// "what: reason" with the code of `error` (an errno value), e.g.
// ErrnoStatus(errno, "cannot open /var/lib/logrum2/a.mp3").
Status ErrnoStatus(int error, const std::string& what);

}  // namespace logrum::platform
