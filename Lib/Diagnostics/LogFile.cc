#include "Lib/Diagnostics/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "Lib/Platform/Clock.h"

namespace logrum::diag {
namespace {

namespace fs = std::filesystem;

constexpr size_t kDateLength = 10;  // YYYY-MM-DD
constexpr int64_t kRetrySeconds = 60;

int64_t FloorSeconds(int64_t unix_us) {
  return unix_us >= 0 ? unix_us / 1000000 : -((-unix_us + 999999) / 1000000);
}

// The local midnight that starts the day after `local`'s date.
int64_t NextMidnight(const platform::LocalTime& local, int64_t now_s) {
  const std::optional<int64_t> t =
      platform::LocalToUnixSeconds(local.year, local.month, local.day + 1, 0, 0, 0);
  // A zone whose day starts at a skipped or repeated hour still moves forward.
  if (!t || *t <= now_s) return now_s + 86400;
  return *t;
}

// Creation time where the file system keeps one, else the last write.
bool FileAge(const std::string& path, int64_t* seconds) {
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &stx) != 0) {
    return false;
  }
  if ((stx.stx_mask & STATX_BTIME) != 0) {
    *seconds = stx.stx_btime.tv_sec;
  } else if ((stx.stx_mask & STATX_MTIME) != 0) {
    *seconds = stx.stx_mtime.tv_sec;
  } else {
    return false;
  }
  return true;
}

}  // namespace

LogFile::~LogFile() { Close(); }

bool LogFile::Open(const char* prefix, const char* extension, const char* folder,
                   int days_to_keep) {
  std::lock_guard lock(mutex_);
  CloseStream();
  next_rotation_ = 0;
  std::error_code ec;
  if (folder != nullptr && *folder != '\0') fs::create_directories(folder, ec);  // checked below

  prefix_ = prefix != nullptr ? prefix : "";
  if (prefix_ == "stdout") {
    path_ = "stdout";
    folder_.clear();
    return Reopen(platform::DefaultClock().NowUs());
  }

  days_to_keep_ = days_to_keep == 0 ? 1 : days_to_keep;
  if (folder == nullptr) {
    fs::path current = fs::current_path(ec);
    if (ec) {
      path_.clear();
      return false;
    }
    folder_ = current.string();
  } else {
    folder_ = folder;
  }
  if (folder_.empty()) {
    path_.clear();
    return false;
  }
  if (folder_.back() != '/') folder_ += '/';

  if (extension == nullptr || *extension == '\0') {
    extension_ = ".log";
  } else {
    extension_ = extension[0] == '.' ? extension : std::string(".") + extension;
  }
  date_pos_ = folder_.size() + prefix_.size();
  path_ = folder_ + prefix_ + std::string(kDateLength, '0') + extension_;
  return Reopen(platform::DefaultClock().NowUs());
}

void LogFile::Log(int /*level*/, const char* text) {
  std::lock_guard lock(mutex_);
  int64_t now_us = platform::DefaultClock().NowUs();
  // No stream and nothing pending: closed, or never opened.
  if (stream_ == nullptr && next_rotation_ == 0) return;
  if (next_rotation_ != 0 && FloorSeconds(now_us) >= next_rotation_) {
    if (!Reopen(now_us)) {
      // Keep trying: losing the rest of the day's messages to one bad moment
      // (a full disk, a folder being remounted) is worse than a retry a minute.
      next_rotation_ = FloorSeconds(now_us) + kRetrySeconds;
      return;
    }
  }
  if (stream_ == nullptr) return;
  WriteLine(text, now_us);
}

void LogFile::Close() {
  std::lock_guard lock(mutex_);
  CloseStream();
  next_rotation_ = 0;
}

std::string LogFile::path() const {
  std::lock_guard lock(mutex_);
  return path_;
}

std::string LogFile::folder() const {
  std::lock_guard lock(mutex_);
  return folder_;
}

int64_t LogFile::next_rotation() const {
  std::lock_guard lock(mutex_);
  return next_rotation_;
}

bool LogFile::is_open() const {
  std::lock_guard lock(mutex_);
  return stream_ != nullptr;
}

void LogFile::CloseStream() {
  if (stream_ != nullptr && stream_ != stdout) std::fclose(stream_);
  stream_ = nullptr;
}

bool LogFile::Reopen(int64_t now_us) {
  CloseStream();
  if (path_ == "stdout") {
    stream_ = stdout;
    next_rotation_ = 0;
  } else {
    platform::LocalTime local = platform::ToLocalTime(now_us);
    char date[32];
    std::snprintf(date, sizeof date, "%4.4d-%2.2d-%2.2d", std::clamp(local.year, 0, 9999),
                  local.month, local.day);
    path_.replace(date_pos_, kDateLength, date, kDateLength);
    // The folder may have gone since the log was opened (an operator tidying up).
    std::error_code ec;
    fs::create_directories(folder_, ec);
    stream_ = std::fopen(path_.c_str(), "ae");
    if (stream_ == nullptr) return false;
    int64_t now_s = FloorSeconds(now_us);
    next_rotation_ = NextMidnight(local, now_s);
    if (days_to_keep_ >= 0) {
      Cleanup(next_rotation_ - static_cast<int64_t>(days_to_keep_) * 86400);
    }
  }
  WriteLine("INFO: Open log file", now_us);
  return true;
}

void LogFile::WriteLine(const char* text, int64_t now_us) {
  if (text == nullptr) text = "";
  if (text[0] == '~') {
    std::fputs(text + 1, stream_);
  } else {
    platform::LocalTime t = platform::ToLocalTime(now_us);
    std::fprintf(stream_, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d: %s", t.year, t.month, t.day, t.hour,
                 t.minute, t.second, text);
    size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stream_);
  }
  std::fflush(stream_);
}

// Only names this log makes itself: the prefix, a date, the extension. A looser
// "prefix*extension" would also take other files of a shared folder (with the
// default prefix and the current folder, "Log*.log" is anybody's).
bool LogFile::IsOwnFile(const std::string& name) const {
  if (name.size() != prefix_.size() + kDateLength + extension_.size()) return false;
  if (name.compare(0, prefix_.size(), prefix_) != 0) return false;
  if (name.compare(prefix_.size() + kDateLength, extension_.size(), extension_) != 0) return false;
  const char* date = name.c_str() + prefix_.size();
  for (size_t i = 0; i < kDateLength; ++i) {
    bool dash = i == 4 || i == 7;
    if (dash ? date[i] != '-' : !std::isdigit(static_cast<unsigned char>(date[i]))) return false;
  }
  return true;
}

void LogFile::Cleanup(int64_t cutoff) const {
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!IsOwnFile(name)) continue;
    // Never the file just opened, whatever its time says (a clock set far ahead).
    if (name == path_.substr(folder_.size())) continue;
    std::string path = it->path().string();
    std::error_code type_ec;
    if (!it->is_regular_file(type_ec)) continue;
    int64_t age = 0;
    if (FileAge(path, &age) && age < cutoff) {
      std::error_code remove_ec;
      fs::remove(path, remove_ec);  // errors are ignored: the next day tries again
    }
  }
}

}  // namespace logrum::diag
