#include "Lib/ArchiveManager/Storage/BackupThread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <filesystem>

#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/Platform/ArchiveAttribute.h"
#include "Lib/Platform/Clock.h"

namespace logrum::archive {
namespace {

constexpr std::string_view kFolderScheme = "folder://";
constexpr std::string_view kFtpScheme = "ftp://";
constexpr std::string_view kFtpsScheme = "ftps://";
// While a retry is pending the thread looks at the clock at least this often
// (real time), so that a clock that jumps ahead is noticed.
constexpr auto kRetryPoll = std::chrono::milliseconds(250);

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

uint16_t CrcUpdate(uint16_t state, uint8_t byte) {
  for (int i = 0; i < 8; ++i) {
    state = ((state ^ byte) & 1) != 0 ? static_cast<uint16_t>((state >> 1) ^ 0xA001)
                                      : static_cast<uint16_t>(state >> 1);
    byte >>= 1;
  }
  return state;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

std::string ErrorText(int error) { return std::strerror(error); }

// Writes all of `data`, through short writes and interruptions.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::vector<std::string> SplitBackupString(std::string_view text) {
  std::vector<std::string> out;
  size_t begin = 0;
  for (;;) {
    const size_t bar = text.find('|', begin);
    std::string piece(text.substr(begin, bar == std::string_view::npos ? text.npos : bar - begin));
    if (!piece.empty() && piece.back() == '\\') piece.pop_back();
    if (bar == std::string_view::npos) {
      if (!piece.empty()) out.push_back(std::move(piece));
      return out;
    }
    out.push_back(std::move(piece));
    begin = bar + 1;
  }
}

bool ParseFtpDestination(std::string_view d, FtpDestination* out) {
  FtpDestination result;
  if (StartsWith(d, kFtpsScheme)) {
    result.tls = true;
    d.remove_prefix(kFtpsScheme.size());
  } else if (StartsWith(d, kFtpScheme)) {
    d.remove_prefix(kFtpScheme.size());
  } else {
    return false;
  }
  const size_t colon = d.find(':');
  if (colon == d.npos) return false;
  const size_t at = d.find('@', colon + 1);
  if (at == d.npos) return false;
  const size_t port_colon = d.find(':', at + 1);
  if (port_colon == d.npos) return false;
  const size_t slash = d.find('/', port_colon + 1);
  if (slash == d.npos) return false;
  result.user = d.substr(0, colon);
  result.scrambled_password = d.substr(colon + 1, at - colon - 1);
  result.host = d.substr(at + 1, port_colon - at - 1);
  int64_t port = 0;
  for (size_t i = port_colon + 1; i < d.size() && d[i] >= '0' && d[i] <= '9'; ++i) {
    port = port * 10 + (d[i] - '0');
    if (port > 65535) return false;
  }
  result.port = port == 0 ? 21 : static_cast<int32_t>(port);
  result.folder = d.substr(slash + 1);
  *out = std::move(result);
  return true;
}

std::string UnscramblePassword(std::string_view text, std::string_view key) {
  std::string out;
  if (text.empty() || text.size() % 2 != 0) return out;
  const size_t n = text.size() / 2;
  uint16_t state = 0xA5;
  for (char k : key) state = CrcUpdate(state, static_cast<uint8_t>(k));
  size_t position = key.empty() ? 0 : n % key.size();
  for (size_t i = 0; i < n; ++i) {
    const int c = HexValue(text[2 * i]) + 16 * HexValue(text[2 * i + 1]);
    uint8_t p = static_cast<uint8_t>(c ^ (state & 0xFF));
    if (!key.empty()) {
      if (position >= key.size()) position = 0;
      p = static_cast<uint8_t>(p ^ static_cast<uint8_t>(key[position]));
      ++position;
    }
    state = CrcUpdate(state, p);
    out.push_back(static_cast<char>(p));
  }
  return out;
}

std::string ScramblePassword(std::string_view password, std::string_view key) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  uint16_t state = 0xA5;
  for (char k : key) state = CrcUpdate(state, static_cast<uint8_t>(k));
  size_t position = key.empty() ? 0 : password.size() % key.size();
  for (char plain : password) {
    uint8_t c = static_cast<uint8_t>(static_cast<uint8_t>(plain) ^ (state & 0xFF));
    if (!key.empty()) {
      if (position >= key.size()) position = 0;
      c = static_cast<uint8_t>(c ^ static_cast<uint8_t>(key[position]));
      ++position;
    }
    state = CrcUpdate(state, static_cast<uint8_t>(plain));
    out.push_back(kDigits[c & 0xF]);
    out.push_back(kDigits[c >> 4]);
  }
  return out;
}

std::string DisplayDestination(std::string_view d) {
  size_t begin;
  if (StartsWith(d, kFtpsScheme)) {
    begin = kFtpsScheme.size();
  } else if (StartsWith(d, kFtpScheme)) {
    begin = kFtpScheme.size();
  } else {
    return std::string(d);
  }
  const size_t colon = d.find(':', begin);
  const size_t at = colon == d.npos ? d.npos : d.find('@', colon + 1);
  if (at == d.npos) return std::string(d);
  return std::string(d.substr(0, colon + 1)) + "****" + std::string(d.substr(at));
}

BackupThread::BackupThread(std::string folder, std::string ext, std::string_view backup_string,
                           AudioDatabaseSql* /*database*/, kit::EventPoster* poster,
                           FtpSender* ftp, BackupTiming timing)
    : kit::AppThread("BackupThread", 5000, 0, false),
      folder_(std::move(folder)),
      ext_(!ext.empty() && ext[0] != '.' ? "." + ext : ext),
      poster_(poster),
      ftp_(ftp),
      timing_(std::move(timing)),
      destinations_(SplitBackupString(backup_string)) {
  for (const std::string& text : destinations_) {
    Destination d;
    d.text = text;
    if (StartsWith(text, kFolderScheme)) {
      d.kind = Kind::kFolder;
      d.folder = text.substr(kFolderScheme.size());
    } else if (ParseFtpDestination(text, &d.ftp)) {
      d.kind = Kind::kFtp;
      d.password = UnscramblePassword(d.ftp.scrambled_password, d.ftp.user);
    }
    parsed_.push_back(std::move(d));
  }
}

BackupThread::~BackupThread() { Stop(); }

void BackupThread::Post(int32_t level, const char* format, ...) {
  if (poster_ == nullptr) return;
  va_list args;
  va_start(args, format);
  poster_->Format(level, format, args);
  va_end(args);
}

void BackupThread::EnqueueBackup(const CZoneTime& start) {
  {
    kit::MutexLock lock(mu_);
    if (stopped_) return;
    queue_.push_back(start);
  }
  UpdateCount();
  cv_.notify_all();
}

void BackupThread::Start() {
  {
    kit::MutexLock lock(mu_);
    stopped_ = false;
  }
  __atomic_store_n(&abort_, 0, __ATOMIC_RELEASE);
  Run();
}

void BackupThread::Stop() {
  {
    kit::MutexLock lock(mu_);
    stopped_ = true;
  }
  __atomic_store_n(&abort_, 1, __ATOMIC_RELEASE);
  cv_.notify_all();
  if (HasThread()) SetExit(0);
  kit::MutexLock lock(mu_);
  queue_.clear();
}

void BackupThread::Wake() {
  {
    kit::MutexLock lock(mu_);
    wake_ = true;
  }
  cv_.notify_all();
}

bool BackupThread::WaitHandled(uint64_t count, int timeout_ms) {
  std::unique_lock lock(handled_mu_);
  return handled_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return handled() >= count; });
}

void BackupThread::MarkHandled() {
  {
    std::lock_guard lock(handled_mu_);
    handled_.fetch_add(1, std::memory_order_acq_rel);
  }
  handled_cv_.notify_all();
}

void BackupThread::UpdateCount() {
  size_t queued;
  {
    kit::MutexLock lock(mu_);
    queued = queue_.size();
  }
  // waiting_ belongs to the thread; other callers see its last published size.
  waiting_count_.store(static_cast<uint32_t>(queued + waiting_size_.load()),
                       std::memory_order_release);
}

void BackupThread::Body() {
  Post(3, "INFO: Begin backup thread!");
  for (;;) {
    CZoneTime time;
    bool have_new = false;
    {
      kit::UniqueLock lock(mu_);
      for (;;) {
        if (stopped_ || !IsRunning()) break;
        if (!queue_.empty()) {
          time = queue_.front();
          queue_.pop_front();
          have_new = true;
          break;
        }
        const int64_t next = NextRetryUs();
        if (next == INT64_MAX) {
          cv_.wait(lock.native(),
                   [&]() REQUIRES(mu_) { return stopped_ || wake_ || !queue_.empty(); });
          wake_ = false;
          continue;
        }
        const int64_t now = platform::DefaultClock().NowUs();
        if (now >= next) break;
        const auto left = std::chrono::microseconds(next - now);
        cv_.wait_for(lock.native(), std::min<std::chrono::microseconds>(left, kRetryPoll),
                     [&]() REQUIRES(mu_) { return stopped_ || wake_ || !queue_.empty(); });
        wake_ = false;
      }
      if (stopped_ || !IsRunning()) break;
    }
    if (have_new) {
      BackUpNew(time);
    } else if (!RetryOne()) {
      continue;
    }
    waiting_size_.store(waiting_.size(), std::memory_order_release);
    UpdateCount();
    MarkHandled();
  }
  size_t left;
  {
    kit::MutexLock lock(mu_);
    left = waiting_.size() + queue_.size();
  }
  if (left != 0) {
    Post(2, "WARNING: %u segment(s) not backed up at close; they keep their archive attribute.\n",
         static_cast<unsigned>(left));
  }
  waiting_.clear();
  waiting_size_.store(0, std::memory_order_release);
  UpdateCount();
  Post(3, "INFO: Exit backup thread!\n");
}

bool BackupThread::Locate(const CZoneTime& time, std::string* path, std::string* relative) {
  *path = FindSegmentFile(folder_, time, ext_);
  struct stat st;
  if (::stat(path->c_str(), &st) != 0) {
    Post(3, "ERROR: File '%s' was not found!\n", path->c_str());
    return false;
  }
  std::string folder = folder_;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (path->size() <= folder.size() + 1 || path->compare(0, folder.size(), folder) != 0) {
    return false;
  }
  *relative = path->substr(folder.size() + 1);
  return true;
}

bool BackupThread::IsQueuedFor(size_t index) const {
  return std::any_of(waiting_.begin(), waiting_.end(),
                     [&](const Waiting& w) { return w.pending[index]; });
}

void BackupThread::BackUpNew(const CZoneTime& time) {
  std::string path, relative;
  if (!Locate(time, &path, &relative)) return;
  if (parsed_.empty()) return;
  Waiting waiting{time, std::vector<bool>(parsed_.size(), false), false};
  bool all_copied = true;
  bool any_pending = false;
  for (size_t i = 0; i < parsed_.size(); ++i) {
    if (parsed_[i].kind == Kind::kBad) {
      CopyTo(i, path, relative);  // fails, and says so where it can
      all_copied = false;
      waiting.kept = true;
      continue;
    }
    // Behind the segments already waiting for this destination, in order;
    // otherwise tried once now.
    const bool behind = IsQueuedFor(i);
    if (!behind && CopyTo(i, path, relative)) {
      Succeeded(i);
      continue;
    }
    if (!behind) Failed(i);
    waiting.pending[i] = true;
    all_copied = false;
    any_pending = true;
  }
  if (any_pending) {
    waiting_.push_back(std::move(waiting));
  } else {
    Finished(path, all_copied);
  }
}

int64_t BackupThread::NextRetryUs() const {
  int64_t next = INT64_MAX;
  for (size_t i = 0; i < parsed_.size(); ++i) {
    if (!IsQueuedFor(i)) continue;
    const Destination& d = parsed_[i];
    next = std::min(next, d.failing ? d.next_try_us : 0);
  }
  return next;
}

bool BackupThread::RetryOne() {
  const int64_t now = platform::DefaultClock().NowUs();
  for (size_t i = 0; i < parsed_.size(); ++i) {
    Destination& d = parsed_[i];
    auto it = std::find_if(waiting_.begin(), waiting_.end(),
                           [&](const Waiting& w) { return w.pending[i]; });
    if (it == waiting_.end()) continue;
    // A clock set back must not push a retry further than its delay.
    if (d.failing && d.next_try_us - now > d.delay_us) d.next_try_us = now + d.delay_us;
    if (d.failing && now < d.next_try_us) continue;
    std::string path, relative;
    if (!Locate(it->time, &path, &relative)) {
      waiting_.erase(it);  // recycled meanwhile: nothing left to copy
      return true;
    }
    if (!CopyTo(i, path, relative)) {
      Failed(i);
      return true;
    }
    Succeeded(i);
    it->pending[i] = false;
    if (std::none_of(it->pending.begin(), it->pending.end(), [](bool p) { return p; })) {
      const bool all_copied = !it->kept;
      waiting_.erase(it);
      Finished(path, all_copied);
    }
    return true;
  }
  return false;
}

void BackupThread::Succeeded(size_t index) {
  Destination& d = parsed_[index];
  if (!d.failing) return;
  d.failing = false;
  d.delay_us = 0;
  Post(2, "INFO: Backup to '%s' works again.\n", DisplayDestination(d.text).c_str());
}

void BackupThread::Failed(size_t index) {
  // A copy cut short by the archive's close says nothing about the
  // destination; the close reports what is left.
  if (__atomic_load_n(&abort_, __ATOMIC_ACQUIRE) != 0) return;
  Destination& d = parsed_[index];
  if (!d.failing) {
    d.failing = true;
    d.delay_us = timing_.first_retry_us;
    Post(2, "WARNING: Backup to '%s' is failing! Segments wait and are retried.\n",
         DisplayDestination(d.text).c_str());
  } else {
    d.delay_us = std::min(d.delay_us * 2, timing_.max_retry_us);
  }
  d.next_try_us = platform::DefaultClock().NowUs() + d.delay_us;
}

void BackupThread::Finished(const std::string& path, bool all_copied) {
  if (!all_copied) return;
  if (!platform::ClearArchiveAttribute(path)) {
    Post(3, "ERROR: Unable to clear the archive attribute of '%s'! '%s'!\n", path.c_str(),
         ErrorText(errno).c_str());
  }
}

bool BackupThread::CopyTo(size_t index, const std::string& path, const std::string& relative) {
  const Destination& d = parsed_[index];
  switch (d.kind) {
    case Kind::kFolder:
      return CopyToFolder(d, path, relative);
    case Kind::kFtp:
      return CopyToFtp(d, path, relative);
    case Kind::kBad:
      if (StartsWith(d.text, kFtpScheme) || StartsWith(d.text, kFtpsScheme)) {
        Post(3, "ERROR: Unable to parse FTP string '%s'!\n", DisplayDestination(d.text).c_str());
      } else {
        Post(3, "ERROR: Unknown backup destination '%s'!\n", d.text.c_str());
      }
      return false;
  }
  return false;
}

bool BackupThread::CopyToFolder(const Destination& d, const std::string& path,
                                const std::string& relative) {
  namespace fs = std::filesystem;
  std::string base = d.folder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string target = base + "/" + relative;
  const std::string target_folder = fs::path(target).parent_path().string();
  std::error_code ec;
  fs::create_directories(target_folder, ec);
  if (ec) {
    Post(3, "ERROR: CreateDirectory(%s) failed! '%s'!\n", target_folder.c_str(),
         ec.message().c_str());
  }
  Post(3, "INFO: Backup '%s' -> '%s'!\n", relative.c_str(), d.text.c_str());

  // Written under a temporary name and synced before it takes the segment's
  // name: a backup disk that is pulled or full keeps no half segment.
  const std::string temporary = target + ".part";
  std::string failure;
  const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int out = -1;
  if (in < 0) {
    failure = ErrorText(errno) + ": " + path;
  } else if ((out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) <
             0) {
    failure = ErrorText(errno) + ": " + temporary;
  } else {
    std::vector<char> buffer(1 << 16);
    for (;;) {
      const ssize_t n = ::read(in, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failure = ErrorText(errno) + ": " + path;
        break;
      }
      if (n == 0) break;
      if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
        failure = ErrorText(errno) + ": " + temporary;
        break;
      }
    }
    if (failure.empty() && ::fsync(out) != 0) failure = ErrorText(errno) + ": " + temporary;
  }
  if (out >= 0 && ::close(out) != 0 && failure.empty()) {
    failure = ErrorText(errno) + ": " + temporary;
  }
  if (in >= 0) ::close(in);
  if (failure.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) {
    failure = ErrorText(errno) + ": " + target;
  }
  if (!failure.empty()) {
    ::unlink(temporary.c_str());
    Post(3, "ERROR: CopyFile failed! '%s'!\n", failure.c_str());
    return false;
  }
  // The new name lasts only once its folder is on the disk too.
  const int dir = ::open(target_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool BackupThread::CopyToFtp(const Destination& d, const std::string& path,
                             const std::string& relative) {
  const FtpDestination& f = d.ftp;
  // The password never reaches the log.
  Post(3, "INFO: %s%s:****@%s:%d/%s!\n", f.tls ? "ftps://" : "ftp://", f.user.c_str(),
       f.host.c_str(), static_cast<int>(f.port), f.folder.c_str());
  const std::string name = std::filesystem::path(path).filename().string();
  ftp::FtpSendRequest request{};
  request.cbSize = sizeof request;
  request.pszLocalFile = path.c_str();
  request.pszServer = f.host.c_str();
  request.nPort = f.port;
  request.pszUser = f.user.c_str();
  request.pszPassword = d.password.c_str();
  request.pszRemoteDir = f.folder.c_str();
  request.pszRemoteFile = name.c_str();
  request.bTls = f.tls ? 1 : 0;
  request.pszCaFile = timing_.ca_file.empty() ? nullptr : timing_.ca_file.c_str();
  request.uConnectTimeoutMs = timing_.connect_timeout_ms;
  request.uStallTimeoutMs = timing_.stall_timeout_ms;
  request.pbAbort = &abort_;
  platform::Status sent = platform::Status::Error(platform::Status::kNotFound,
                                                  "the FTP library is not available");
  if (ftp_ != nullptr) sent = ftp_->SendFile(request);
  if (sent.ok()) return true;
  if (__atomic_load_n(&abort_, __ATOMIC_ACQUIRE) != 0) return false;  // closing
  Post(3, "ERROR: FTP upload of '%s' to '%s' failed! %s\n", relative.c_str(),
       DisplayDestination(d.text).c_str(), sent.message().c_str());
  return false;
}

}  // namespace logrum::archive
