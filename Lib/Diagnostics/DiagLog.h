// The trace file library diaglog.so.
//
// A host loads diaglog.so by file name and calls its one export, "_6A7B31" (no
// arguments), which returns the process-wide TraceLogWriter. The writer appends
// text to "TraceLog/diaglog.log" in the folder of the host program's executable
// (the folder TraceLog is created when missing); several processes may append to
// the same file. The file is closed when diaglog.so is unloaded.
//
// Thread safety: Write may be called from any thread; each call is one write of
// the stream, under the stream's own lock.
#pragma once

#include <cstdio>
#include <string>

namespace logrum::diag {

inline constexpr const char kDiagLogFile[] = "diaglog.so";
inline constexpr const char kDiagLogEntry[] = "_6A7B31";

class TraceLogWriter {
 public:
  // Appends `text` unchanged (no time stamp, no line break) and flushes. Does
  // nothing when no file could be opened.
  virtual void Write(const char* text) = 0;

 protected:
  ~TraceLogWriter() = default;  // owned by the library, never deleted by hosts
};

using DiagLogEntry = TraceLogWriter* (*)();

// The writer itself, for the library and its tests.
class TraceLogFile final : public TraceLogWriter {
 public:
  // Opens <folder of executable_path>/TraceLog/diaglog.log. A path without a
  // folder ('/') opens nothing.
  explicit TraceLogFile(const std::string& executable_path);
  ~TraceLogFile();
  TraceLogFile(const TraceLogFile&) = delete;
  TraceLogFile& operator=(const TraceLogFile&) = delete;

  void Write(const char* text) override;

  bool is_open() const { return file_ != nullptr; }
  // The file's path, empty when there is none.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  FILE* file_ = nullptr;
};

}  // namespace logrum::diag
