#include "Lib/ArchiveManager/Storage/StorageManager.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdarg>

#include "Lib/ArchiveManager/Time/TimeFormat.h"

namespace logrum::archive {

CStorageManager::CStorageManager(audenc::ISkimEncoder* encoder, StorageSettings settings,
                                 kit::EventPoster* poster)
    : settings_(std::move(settings)), poster_(poster) {
  if (settings_.record_to_disk) {
    recorder_ = std::make_unique<ArchiveThread>(
        encoder, settings_.folder, settings_.ext, settings_.source_name, &finished_adapter_,
        poster_, settings_.max_time_adjust_sec, settings_.segment_minutes, settings_.segment_align);
  }
  backup_ = std::make_unique<BackupThread>(settings_.folder, settings_.ext,
                                           settings_.backup_string, &database_, poster_,
                                           settings_.ftp_sender, settings_.backup_timing);
  backup_adapter_.target = backup_.get();
  if (settings_.record_to_disk) {
    recycler_ = std::make_unique<RecycleThread>(
        settings_.folder, settings_.ext, settings_.disk_space_kb, settings_.max_days,
        settings_.recycle_period_ms, settings_.erase, &database_,
        [this] { return GetCurrentFileBytes(); }, poster_);
  }
  scanner_ = std::make_unique<FileScanner>(settings_.folder, settings_.ext, &index_adapter_,
                                           &backup_adapter_, poster_, settings_.source_name,
                                           &index_adapter_);
  watcher_ = std::make_unique<DirWatcher>();
}

CStorageManager::~CStorageManager() { Close(); }

void CStorageManager::Post(int32_t level, const char* format, ...) {
  if (poster_ == nullptr) return;
  va_list args;
  va_start(args, format);
  poster_->Format(level, format, args);
  va_end(args);
}

bool CStorageManager::Open() {
  if (open_) return true;
  if (platform::Status status = database_.Open(settings_.folder); !status.ok()) {
    Post(1, "ERROR: %s\n", status.message().c_str());
    return false;
  }
  const std::string notice = database_.TakeNotice();
  if (!notice.empty()) Post(1, "WARNING: %s\n", notice.c_str());
  open_ = true;  // Close undoes whatever of the steps below has run
  if (recorder_ && !recorder_->Start()) return false;
  // Backup thread start.
  backup_->Start();
  if (recycler_) recycler_->Start();
  scanner_->Start();
  if (!watcher_->Start(settings_.folder, &file_events_adapter_)) {
    Post(1, "ERROR: Unable to watch the archive folder '%s'!\n", settings_.folder.c_str());
    return false;
  }
  return true;
}

void CStorageManager::Close() {
  if (!open_) return;
  watcher_->Stop();
  scanner_->Stop();
  if (recorder_) recorder_->Stop();
  backup_->Stop();
  if (recycler_) recycler_->Stop();
  database_.Close();
  open_ = false;
}

void CStorageManager::FinishedAdapter::OnSegmentFinished(const CZoneTime& start,
                                                         uint32_t duration_ms, bool skim,
                                                         uint32_t size_bytes,
                                                         const CZoneTime& end) {
  // A null end (segment closed by the encoder or by the stop) is stored as 0.
  if (platform::Status status =
          owner_->database_.AddSegment(start, duration_ms, skim, size_bytes, end);
      !status.ok()) {
    char text[40];
    if (Format(start, "%x", text, sizeof text) < 0) text[0] = '\0';
    owner_->Post(2, "WARNING: Unable to add segment %s to the database! %s\n", text,
                 status.message().c_str());
  }
  owner_->segments_written_.fetch_add(1, std::memory_order_relaxed);
  owner_->backup_adapter_.EnqueueBackup(start);
}

void CStorageManager::BackupAdapter::EnqueueBackup(const CZoneTime& start) {
  if (target != nullptr) target->EnqueueBackup(start);
}

double CStorageManager::GetAverageKBPerSecond() {
  return open_ ? database_.GetAverageKBPerSecond() : 0.0;
}

uint64_t CStorageManager::GetFreeSpaceKB() const {
  struct statvfs info {};
  if (::statvfs(settings_.folder.c_str(), &info) != 0) return 0;
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize / 1000;
}

double CStorageManager::GetTotalStorageMB() {
  const uint64_t total_kb = std::min<uint64_t>(settings_.disk_space_kb, GetFreeSpaceKB());
  return static_cast<double>(total_kb) * 0.001;
}

double CStorageManager::GetUsedStorageMB() {
  const uint64_t used_kb =
      static_cast<uint64_t>(open_ ? database_.GetTotalKB() : 0) + GetCurrentFileBytes() / 1000;
  return static_cast<double>(used_kb) * 0.001;
}

CZoneTime CStorageManager::GetFirstTime() { return open_ ? database_.GetFirstTime() : CZoneTime(); }
CZoneTime CStorageManager::GetLastTime() { return open_ ? database_.GetLastTime() : CZoneTime(); }

uint32_t CStorageManager::GetCurrentFileBytes() const {
  return recorder_ ? recorder_->GetCurrentFileBytes() : 0;
}

bool CStorageManager::IsStorageFull() const { return recycler_ && recycler_->IsStorageFull(); }

uint32_t CStorageManager::GetUndeletableCount() const {
  return recycler_ ? recycler_->GetUndeletableCount() : 0;
}

bool CStorageManager::FileEventsAdapter::OnAdded(const char* path) {
  owner_->scanner_->PostAdded(path);
  return true;
}

bool CStorageManager::FileEventsAdapter::OnRemoved(const char* path) {
  owner_->scanner_->PostRemoved(path);
  return true;
}

bool CStorageManager::FileEventsAdapter::OnModified(const char* /*path*/) { return true; }

bool CStorageManager::FileEventsAdapter::OnRenamed(const char* old_path, const char* new_path) {
  owner_->scanner_->PostRenamed(old_path, new_path);
  return true;
}

bool CStorageManager::FileEventsAdapter::OnOverflow() {
  owner_->scanner_->PostRescan();
  return true;
}

bool CStorageManager::FileEventsAdapter::OnUnknown(uint32_t /*action*/) {
  owner_->scanner_->PostRescan();
  return true;
}

}  // namespace logrum::archive
