// Daily log files of an archive.
//
// A LogFile writes one file a day, named <folder>/<prefix><YYYY-MM-DD><extension>
// after the local date on which the file was opened, and switches to a new file
// on the first line written at or after the next local midnight. Each line is
// "YYYY-MM-DD hh:mm:ss: " (local time when written) followed by the text and a
// line break unless the text already ends with one; a text that begins with '~'
// is written as it stands after that character, with no time stamp and no break.
// The stream is flushed after every line.
//
// Whenever a file is opened, files of this log (same prefix, a date, same
// extension) whose creation time (modification time where the file system keeps
// none) lies more than `days_to_keep` days before the next midnight are deleted.
//
// Time comes from the process clock (Lib/Platform/Clock.h) and its zone (TZ).
//
// The prefix "stdout" writes to the process's standard output instead of a file.
//
// Thread safety: all members may be called from any thread; lines are written
// one at a time. Log() is meant to be the listener operation of an event log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace logrum::diag {

class LogFile {
 public:
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens today's file in `folder` (created with its missing parents; null means
  // the current directory), closing any file open before. `extension` gets a '.'
  // in front if it has none; null or empty means ".log". `days_to_keep` 0 counts
  // as 1; a negative value keeps every file. Returns false when the folder or the
  // file cannot be made; path() then names what was tried.
  bool Open(const char* prefix, const char* extension, const char* folder, int days_to_keep);

  // Writes one line (see above); `level` is not used. Does nothing while closed.
  // If today's file cannot be opened at a rotation, lines are dropped and the
  // rotation is tried again a minute later.
  void Log(int level, const char* text);

  // Closes the file (never the standard output). Idempotent.
  void Close();

  // The current (or last tried) file path, "stdout" for the standard output.
  std::string path() const;
  // The folder, ending in '/'.
  std::string folder() const;
  // The moment (seconds since 1970) of the next switch to a new file; 0 for none.
  int64_t next_rotation() const;
  bool is_open() const;

 private:
  bool Reopen(int64_t now_us);
  void CloseStream();
  void WriteLine(const char* text, int64_t now_us);
  void Cleanup(int64_t cutoff) const;
  bool IsOwnFile(const std::string& name) const;

  mutable std::mutex mutex_;
  std::string folder_;     // ends in '/'
  std::string prefix_;
  std::string extension_;  // with its dot
  std::string path_;
  size_t date_pos_ = 0;    // where the 10-character date stands in path_
  FILE* stream_ = nullptr;
  int64_t next_rotation_ = 0;
  int days_to_keep_ = -1;
};

}  // namespace logrum::diag
