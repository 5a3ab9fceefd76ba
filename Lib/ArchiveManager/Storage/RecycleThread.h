// RecycleThread: keeps a recording archive within its quota, the disk's free
// space and its age limit, oldest segments first.
//
// Every recycle period (on the process clock, so an accelerated clock
// recycles at the pace it records) it runs:
//   - the size pass: while used space (database total in KiB + bytes of the
//     file being recorded / 1000) reaches the quota (DiskSpaceToUseKB, KB) or
//     the free space of the archive folder's file system is below 72,000 KB,
//     the oldest segment goes, file and row; its day folder goes with it once
//     empty;
//   - the age pass (MaxDays 1 to 3650): segments whose start is at least
//     MaxDays x 86,400 s before now go the same way.
// With erasing not allowed (EraseBehavior) nothing is deleted: the
// storage-full flag is raised instead, which the archive hands to the skim
// encoder every 500 ms (recording stops with state 255 and resumes once the
// flag falls). The flag is up while either pass finds its limit exceeded: the
// age pass never lowers a flag that the size pass raised in the same period,
// or a full quota would stop recording for a moment only. It also rises when
// the segment being recorded alone fills the quota.
//
// A segment whose file cannot be deleted keeps its row and is tried again once
// per period; at the sixth failed period its row is dropped (the file stays on
// disk), the path is posted, and GetUndeletableCount() counts it. A file that
// is already gone counts as deleted. When the free space cannot be read
// (statvfs fails) only the quota is applied: an unknown figure never deletes
// recordings.
//
// Thread safety: Start and Stop from the owner's thread; the getters and
// RunPasses from any thread (the database serialises, the flag is atomic).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/EventLogMT.h"
#include "Lib/Platform/DiskSpace.h"

namespace logrum::archive {

class RecycleThread : public kit::AppThread {
 public:
  static constexpr uint64_t kMinFreeKB = 72000;
  static constexpr int kMaxDeleteFailures = 5;  // the sixth failure drops the row
  static constexpr uint32_t kNoAgeLimitDays = 3650;  // above it the age pass is off

  // current_file_bytes: the bytes of the segment being recorded (may be empty);
  // poster may be null; disk null means the real statvfs.
  RecycleThread(std::string folder, std::string ext, uint32_t quota_kb, uint32_t max_days,
                uint32_t period_ms, bool erase_allowed, AudioDatabaseSql* database,
                std::function<uint32_t()> current_file_bytes, kit::EventPoster* poster,
                platform::DiskSpace* disk = nullptr);
  ~RecycleThread() override;  // Stop()

  void Start();
  void Stop();

  bool IsStorageFull() const { return storage_full_.load(std::memory_order_acquire); }
  // Free bytes of the folder's file system / 1000; empty when it cannot be read.
  std::optional<uint64_t> FreeSpaceKB() const;
  // As FreeSpaceKB, 0 when unknown.
  uint64_t GetFreeSpaceKB() const { return FreeSpaceKB().value_or(0); }
  // Database total in KiB + bytes being recorded / 1000.
  uint64_t UsedSpaceKB() const;
  // Segments whose rows were dropped because their files could not be deleted.
  uint32_t GetUndeletableCount() const { return given_up_.load(std::memory_order_acquire); }
  // Segments recycled (file deleted, or found gone, and row removed) since construction.
  uint64_t GetRecycledCount() const { return recycled_.load(std::memory_order_relaxed); }

  // One period's work: the size pass, then the age pass. The thread calls it;
  // tests may call it directly on a thread that is not started.
  void RunPasses();
  void DeleteOldFilesBySize();
  void DeleteOldFilesByDays();
  bool DeleteArchiveFile(const CZoneTime& start);

  // Periods completed by the thread; waits (real ms) until at least `count`.
  uint64_t PassesDone() const { return passes_.load(std::memory_order_acquire); }
  bool WaitPasses(uint64_t count, uint32_t timeout_ms);

 protected:
  void Body() override;

 private:
  // A failed delete of `oldest`: counted once per period; true when its row
  // was dropped.
  bool CountFailure(const CZoneTime& oldest, const std::string& path);
  void SetFullBySize(bool full);
  void Post(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  const std::string folder_;
  const std::string ext_;
  const uint32_t quota_kb_;
  const uint32_t max_days_;
  const uint32_t period_ms_;
  const bool erase_allowed_;
  AudioDatabaseSql* const database_;
  const std::function<uint32_t()> current_file_bytes_;
  kit::EventPoster* const poster_;
  platform::DiskSpace* const disk_;
  std::atomic<bool> storage_full_{false};
  std::atomic<bool> full_by_size_{false};  // the size pass's verdict of this period

  std::mutex mu_;  // the failure bookkeeping; passes run on one thread at a time
  CZoneTime last_undeletable_;
  uint32_t failure_count_ = 0;
  uint64_t failure_period_ = UINT64_MAX;  // the period the last failure was counted in
  uint64_t period_ = 0;
  std::atomic<uint32_t> given_up_{0};
  std::atomic<uint64_t> recycled_{0};

  bool started_ = false;
  std::stop_source stop_;
  std::atomic<uint64_t> passes_{0};
  std::mutex passes_mu_;
  std::condition_variable passes_cv_;
};

}  // namespace logrum::archive
