#include "Lib/ArchiveManager/Storage/RecycleThread.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>

#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/Clock.h"

namespace logrum::archive {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
// A period of 0 would turn the thread into a busy loop over the database.
constexpr uint32_t kMinPeriodMs = 100;

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind(kPathSeparator);
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string WithoutTrailingSeparator(std::string folder) {
  while (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
  return folder;
}

}  // namespace

RecycleThread::RecycleThread(std::string folder, std::string ext, uint32_t quota_kb,
                             uint32_t max_days, uint32_t period_ms, bool erase_allowed,
                             AudioDatabaseSql* database,
                             std::function<uint32_t()> current_file_bytes,
                             kit::EventPoster* poster, platform::DiskSpace* disk)
    : AppThread("RecycleThread", 5000, 0, false),
      folder_(std::move(folder)),
      ext_(std::move(ext)),
      quota_kb_(quota_kb),
      max_days_(max_days),
      period_ms_(std::max(period_ms, kMinPeriodMs)),
      erase_allowed_(erase_allowed),
      database_(database),
      current_file_bytes_(std::move(current_file_bytes)),
      poster_(poster),
      disk_(disk != nullptr ? disk : &platform::RealDiskSpace()) {}

RecycleThread::~RecycleThread() { Stop(); }

void RecycleThread::Start() {
  if (started_) return;
  stop_ = std::stop_source();
  started_ = true;
  Run();
}

void RecycleThread::Stop() {
  if (!started_) return;
  started_ = false;
  stop_.request_stop();
  SetExit(0);
}

void RecycleThread::Post(int32_t level, const char* format, ...) {
  if (poster_ == nullptr) return;
  va_list args;
  va_start(args, format);
  poster_->Format(level, format, args);
  va_end(args);
}

std::optional<uint64_t> RecycleThread::FreeSpaceKB() const {
  uint64_t bytes = 0;
  if (!disk_->FreeBytes(folder_, &bytes)) return std::nullopt;
  return bytes / 1000;
}

uint64_t RecycleThread::UsedSpaceKB() const {
  const uint64_t recording = current_file_bytes_ ? current_file_bytes_() / 1000 : 0;
  return uint64_t{database_->GetTotalKB()} + recording;
}

bool RecycleThread::WaitPasses(uint64_t count, uint32_t timeout_ms) {
  std::unique_lock lock(passes_mu_);
  return passes_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return PassesDone() >= count; });
}

void RecycleThread::Body() {
  platform::Clock& clock = platform::DefaultClock();
  const std::stop_token stop = stop_.get_token();
  while (IsRunning() && !stop.stop_requested()) {
    RunPasses();
    {
      std::lock_guard lock(passes_mu_);
      passes_.fetch_add(1, std::memory_order_acq_rel);
    }
    passes_cv_.notify_all();
    const int64_t wake = clock.NowUs() + int64_t{period_ms_} * 1000;
    if (!clock.WaitUntil(wake, stop)) break;
  }
}

void RecycleThread::RunPasses() {
  {
    std::lock_guard lock(mu_);
    ++period_;
  }
  DeleteOldFilesBySize();
  DeleteOldFilesByDays();
}

bool RecycleThread::DeleteArchiveFile(const CZoneTime& start) {
  diag::DebugTrace("RecycleThread: DeleteArchiveFile()\n");
  const std::string path = FindSegmentFile(folder_, start, ext_);
  if (::unlink(path.c_str()) != 0) {
    if (errno != ENOENT) {
      diag::DebugTrace("ERROR: Unable to delete file '%s'!\n", path.c_str());
      Post(2, "ERROR: Unable to delete file '%s'!\n", path.c_str());
      return false;
    }
    // Removed by hand meanwhile: nothing is left to delete, only the row.
  } else {
    Post(0, "INFO: Deleted file '%s'!\n", path.c_str());
    diag::DebugTrace("Deleted file '%s'!\n", path.c_str());
  }
  // rmdir removes only an empty folder: a day folder holding anything else stays.
  const std::string day = ParentOf(path);
  if (!day.empty() && day != WithoutTrailingSeparator(folder_)) ::rmdir(day.c_str());
  return true;
}

bool RecycleThread::CountFailure(const CZoneTime& oldest, const std::string& path) {
  uint32_t count = 0;
  {
    std::lock_guard lock(mu_);
    if (!CZoneTime::IsSame(oldest, last_undeletable_)) {
      last_undeletable_ = oldest;
      failure_count_ = 0;
      failure_period_ = UINT64_MAX;
    }
    // Once per period, whichever pass tried it.
    if (failure_period_ != period_) {
      failure_period_ = period_;
      ++failure_count_;
    }
    count = failure_count_;
  }
  if (count <= static_cast<uint32_t>(kMaxDeleteFailures)) return false;
  given_up_.fetch_add(1, std::memory_order_acq_rel);
  database_->DeleteSegment(oldest);
  Post(2,
       "ERROR: Unable to delete file '%s'! Removed it from the archive database but it is still "
       "present on disk!\n",
       path.c_str());
  return true;
}

void RecycleThread::DeleteOldFilesBySize() {
  diag::DebugTrace("RecycleThread: DeleteOldFilesBySize()\n");
  CZoneTime previous;
  for (;;) {
    const std::optional<uint64_t> free_kb = FreeSpaceKB();
    if (UsedSpaceKB() < quota_kb_ && (!free_kb || *free_kb >= kMinFreeKB)) {
      SetFullBySize(false);
      return;
    }
    if (!erase_allowed_) {
      // Over the limit with nothing to be freed: stop, also while the segment
      // being recorded is the only one (it would otherwise grow on to its end).
      SetFullBySize(true);
      return;
    }
    const CZoneTime oldest = database_->GetFirstTime();
    if (oldest.IsNull() || CZoneTime::IsSame(oldest, previous)) {
      diag::DebugTrace("RecycleThread: No old files!\n");
      SetFullBySize(false);
      return;
    }
    previous = oldest;
    if (DeleteArchiveFile(oldest)) {
      database_->DeleteSegment(oldest);
      recycled_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    CountFailure(oldest, FindSegmentFile(folder_, oldest, ext_));
  }
}

void RecycleThread::DeleteOldFilesByDays() {
  if (max_days_ == 0 || max_days_ > kNoAgeLimitDays) return;
  const int64_t limit = int64_t{max_days_} * 86400;
  const CZoneTime now = CZoneTime::Now();
  CZoneTime oldest = database_->GetFirstTime();
  CZoneTime previous;
  // An empty database has no oldest segment: nothing is old enough.
  while (!oldest.IsNull() && CZoneTime::Difference(now, oldest) / kTicksPerSecond >= limit) {
    if (CZoneTime::IsSame(oldest, previous)) break;
    previous = oldest;
    if (!erase_allowed_) {
      storage_full_.store(true, std::memory_order_release);
      Post(2, "WARNING: Maximum storage reached! Recording was stopped!\n");
      return;
    }
    if (DeleteArchiveFile(oldest)) {
      database_->DeleteSegment(oldest);
      recycled_.fetch_add(1, std::memory_order_relaxed);
    } else if (CountFailure(oldest, FindSegmentFile(folder_, oldest, ext_))) {
      previous = CZoneTime();  // its row is gone: the next oldest is a new candidate
    }
    oldest = database_->GetFirstTime();
  }
  // Nothing is too old; a full quota found by the size pass still holds.
  storage_full_.store(full_by_size_.load(std::memory_order_acquire), std::memory_order_release);
}

void RecycleThread::SetFullBySize(bool full) {
  full_by_size_.store(full, std::memory_order_release);
  storage_full_.store(full, std::memory_order_release);
}

}  // namespace logrum::archive
