#include "Lib/ArchiveManager/Storage/FileScanner.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Segment/SegmentRepair.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/Platform/ArchiveAttribute.h"
#include "Lib/Platform/Clock.h"

namespace logrum::archive {
namespace {

// How often (real time) the thread looks at the process clock for the end of
// the idle period; the clock may be a test's or an accelerated one, so a
// deadline in real time would not do.
constexpr auto kIdlePoll = std::chrono::milliseconds(200);

std::string WithoutTrailingSeparator(std::string folder) {
  while (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
  return folder;
}

std::string Dotted(const std::string& ext) {
  if (ext.empty() || ext.front() == '.') return ext;
  return "." + ext;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

FileScanner::FileScanner(std::string folder, std::string ext, SegmentIndex* index,
                         BackupQueue* backup, kit::EventPoster* poster, std::string source_name,
                         IndexBatch* batch)
    : AppThread("FileScannerThread", 5000, 0, false),
      folder_(WithoutTrailingSeparator(std::move(folder))),
      ext_(Dotted(ext)),
      index_(index),
      backup_(backup),
      poster_(poster),
      source_name_(std::move(source_name)),
      batch_(batch) {}

FileScanner::~FileScanner() { Stop(); }

void FileScanner::Post(int32_t level, const char* format, ...) {
  if (poster_ == nullptr) return;
  va_list args;
  va_start(args, format);
  poster_->Format(level, format, args);
  va_end(args);
}

bool FileScanner::Start() {
  if (started_) return true;
  Post(0, "INFO: Start file scanner.\n");
  {
    kit::MutexLock lock(mu_);
    stopped_ = false;
  }
  stopping_.store(false);
  rescan_.store(true);  // every start begins with a full scan, also a reopen
  started_ = true;
  Run();
  return true;
}

void FileScanner::Stop() {
  if (!started_) return;
  started_ = false;
  stopping_.store(true);  // a full scan in progress ends early
  {
    kit::MutexLock lock(mu_);
    stopped_ = true;
    queue_.clear();
  }
  cv_.notify_all();
  SetExit(0);
  Post(0, "INFO: Stop file scanner.\n");
}

void FileScanner::Enqueue(Message message) {
  {
    kit::MutexLock lock(mu_);
    if (stopped_) return;
    queue_.push_back(std::move(message));
  }
  cv_.notify_one();
}

void FileScanner::PostAdded(const std::string& path) { Enqueue({Kind::kAdded, path, {}}); }
void FileScanner::PostRemoved(const std::string& path) { Enqueue({Kind::kRemoved, path, {}}); }
void FileScanner::PostRenamed(const std::string& old_path, const std::string& new_path) {
  Enqueue({Kind::kRenamed, old_path, new_path});
}
void FileScanner::PostRescan() { Enqueue({Kind::kRescan, {}, {}}); }

void FileScanner::Bump(std::atomic<uint64_t>* counter) {
  {
    std::lock_guard lock(progress_mu_);
    counter->fetch_add(1, std::memory_order_acq_rel);
  }
  progress_cv_.notify_all();
}

bool FileScanner::WaitHandled(uint64_t count, uint32_t timeout_ms) {
  std::unique_lock lock(progress_mu_);
  return progress_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [&] { return MessagesHandled() >= count; });
}

bool FileScanner::WaitScans(uint64_t count, uint32_t timeout_ms) {
  std::unique_lock lock(progress_mu_);
  return progress_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [&] { return ScansDone() >= count; });
}

bool FileScanner::WaitIdleChecks(uint64_t count, uint32_t timeout_ms) {
  std::unique_lock lock(progress_mu_);
  return progress_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [&] { return IdleChecks() >= count; });
}

void FileScanner::Body() {
  platform::Clock& clock = platform::DefaultClock();
  if (rescan_.load()) FullScan();
  int64_t quiet_until = clock.NowUs() + int64_t{kIdlePeriodMs} * 1000;
  while (IsRunning()) {
    Message message;
    bool got = false;
    {
      kit::UniqueLock lock(mu_);
      cv_.wait_for(lock.native(), kIdlePoll,
                   [&]() REQUIRES(mu_) { return stopped_ || !queue_.empty(); });
      if (stopped_) break;
      if (!queue_.empty()) {
        message = std::move(queue_.front());
        queue_.pop_front();
        got = true;
      }
    }
    if (got) {
      Dispatch(message);
      quiet_until = clock.NowUs() + int64_t{kIdlePeriodMs} * 1000;
      Bump(&handled_);
      continue;
    }
    if (clock.NowUs() >= quiet_until) {
      if (rescan_.load()) FullScan();
      quiet_until = clock.NowUs() + int64_t{kIdlePeriodMs} * 1000;
    }
    Bump(&idle_checks_);
  }
}

void FileScanner::Dispatch(const Message& message) {
  switch (message.kind) {
    case Kind::kAdded:
      OnAdded(message.path);
      break;
    case Kind::kRemoved:
      OnRemoved(message.path);
      break;
    case Kind::kRenamed:
      OnRenamed(message.path, message.new_path);
      break;
    case Kind::kRescan:
      OnRescan();
      break;
  }
}

void FileScanner::OnAdded(const std::string& path) {
  if (HasSegmentExtension(path)) ProcessFile(path);
}

void FileScanner::OnRemoved(const std::string& path) {
  if (!HasSegmentExtension(path)) return;
  CZoneTime time;
  if (!SegmentTime(path, false, &time)) return;
  // A stray copy removed elsewhere, or a file replaced at once by another of
  // the same time (older and current name), must not take the row of a
  // segment that is still there.
  if (Exists(FindSegmentFile(folder_, time, ext_))) return;
  index_->DeleteSegment(time);
}

void FileScanner::OnRenamed(const std::string& old_path, const std::string& new_path) {
  OnRemoved(old_path);
  OnAdded(new_path);
}

void FileScanner::OnRescan() { rescan_.store(true); }

bool FileScanner::HasSegmentExtension(const std::string& path) const {
  if (ext_.empty()) return false;
  const size_t slash = path.rfind(kPathSeparator);
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  if (path.size() - name <= ext_.size()) return false;
  return strcasecmp(path.c_str() + path.size() - ext_.size(), ext_.c_str()) == 0;
}

bool FileScanner::SegmentTime(const std::string& path, bool report, CZoneTime* time) {
  const size_t slash = path.rfind(kPathSeparator);
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  const std::string_view stem(path.data() + name, path.size() - name - ext_.size());
  if (!ParseSegmentName(stem, false, time)) {
    if (report) Post(0, "ERROR: Invalid file name detected. File ignored! (%s)\n", path.c_str());
    return false;
  }
  // The day folder follows from the time alone ("%Y.%m.%d", as the names
  // are made); the name's own form (with or without the zone letter) does
  // not change it.
  char day[16];
  std::snprintf(day, sizeof day, "%04d.%02d.%02d", time->GetYear(), time->GetMonth(),
                time->GetDay());
  const size_t day_at = folder_.size() + 1;
  const bool in_day_folder = name == day_at + 11 && path.compare(0, folder_.size(), folder_) == 0 &&
                             path[folder_.size()] == kPathSeparator &&
                             path.compare(day_at, 10, day) == 0;
  if (!in_day_folder) {
    if (report) Post(0, "ERROR: File %s is in the wrong directory. Ignored!\n", path.c_str());
    return false;
  }
  return true;
}

bool FileScanner::ProcessFile(const std::string& path) {
  CZoneTime time;
  return ProcessFile(path, &time);
}

bool FileScanner::ProcessFile(const std::string& path, CZoneTime* segment_time) {
  if (!HasSegmentExtension(path)) return false;
  CZoneTime& time = *segment_time;
  if (!SegmentTime(path, true, &time)) return false;
  // Confirming comes first: at each open nearly every file has its row, and
  // MarkScanned finds and marks it in one statement. Only when it finds none
  // does the lookup tell a missing row from a failed update.
  if (index_->MarkScanned(time)) {
    Post(0, "INFO: File %s is already in the database. Updated.\n", path.c_str());
    return true;
  }
  if (index_->HasSegment(time)) {
    Post(0, "ERROR: File %s is already in the database. Update failed!\n", path.c_str());
    return false;
  }
  CArchiveFileRead reader(folder_, ext_);
  if (!reader.ReadInfo(path).ok()) {
    RepairInfo repair;
    switch (RepairSegment(path, time, source_name_, &repair)) {
      case RepairResult::kRepaired:
        Post(2, "INFO: Repaired segment %s: %d ms of audio.", path.c_str(),
             static_cast<int>(repair.duration_ms));
        break;
      case RepairResult::kHasTrailer:  // finished between the two looks
        break;
      case RepairResult::kBusy:
        // Still being recorded, which is no fault: its row comes from the
        // recorder when it is finished.
        Post(0, "INFO: File %s is being recorded.\n", path.c_str());
        return false;
      case RepairResult::kNoAudio:  // nothing to keep: left as it is
      case RepairResult::kFailed:
        Post(0, "ERROR: Unable to scan file %s. May be corrupted!\n", path.c_str());
        return false;
    }
    if (!reader.ReadInfo(path).ok()) {
      Post(0, "ERROR: Unable to scan file %s. May be corrupted!\n", path.c_str());
      return false;
    }
  }
  const bool added = index_->AddSegment(reader.GetStartTime(), reader.GetDurationMs(),
                                        reader.IsSkim(), reader.GetSizeBytes(),
                                        reader.GetEndTime());
  if (added) {
    Post(0, "INFO: File %s was added to database.\n", path.c_str());
  } else {
    Post(0, "ERROR: File %s could not be added to database!\n", path.c_str());
  }
  return added;
}

void FileScanner::Walk(const std::string& folder, uint64_t* batch_start_ms) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (!stopping_.load(std::memory_order_acquire)) {
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    std::string path = folder + kPathSeparator + name;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info {};
      if (::lstat(path.c_str(), &info) != 0) continue;
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      Walk(path, batch_start_ms);
      continue;
    }
    if (type != DT_REG || !HasSegmentExtension(path)) continue;
    CZoneTime time;
    if (ProcessFile(path, &time) && backup_ != nullptr && platform::HasArchiveAttribute(path)) {
      backup_->EnqueueBackup(time);
    }
    if (batch_ != nullptr) {
      const uint64_t now = platform::DefaultClock().TickMs();
      if (now - *batch_start_ms >= kBatchMs) {
        batch_->CommitBatch();
        batch_->BeginBatch();
        *batch_start_ms = now;
      }
    }
  }
  ::closedir(dir);
}

void FileScanner::FullScan() {
  rescan_.store(false);
  struct stat info {};
  if (::stat(folder_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    Bump(&scans_);
    return;
  }
  Post(0, "INFO: Start scanning path %s...\n", folder_.c_str());
  if (batch_ != nullptr) batch_->BeginBatch();
  index_->BeginScan();
  uint64_t batch_start_ms = platform::DefaultClock().TickMs();
  Walk(folder_, &batch_start_ms);
  // A scan cut short by the stop has not seen every file: sweeping would
  // drop rows of files that are still there.
  if (!stopping_.load(std::memory_order_acquire)) index_->EndScan();
  if (batch_ != nullptr) batch_->CommitBatch();
  Post(0, "INFO: End scanning path %s.\n", folder_.c_str());
  Bump(&scans_);
}

}  // namespace logrum::archive
