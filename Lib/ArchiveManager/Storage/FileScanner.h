// FileScanner: keeps the segment database in step with the segment files.
//
// At start it walks the whole archive folder (the full scan): every segment
// file found is confirmed in the index or added from its trailer, and rows
// whose files are gone are swept (mark and sweep through SegmentIndex). While
// the archive is open it takes messages from the directory watcher (added,
// removed, renamed, rescan) and updates the index for each. A rescan request
// (the watcher lost events) runs once the folder has been quiet for the idle
// period, 5 minutes on the process clock.
//
// A segment file is one whose extension is the archive's (letter case aside),
// whose name parses as a segment name and that lies in the day folder of that
// name. Files that finish their segment (the segment write lock is free) but
// have no trailer were cut by a crash: they are repaired (SegmentRepair.h) and
// then indexed, with "INFO: Repaired segment %s: %d ms of audio.". Files with
// the archive attribute are queued for backup by the full scan.
//
// A full scan runs inside transactions of the database (IndexBatch), committed
// every couple of seconds, so a year of segments is not a sync per file; rows
// the recorder adds meanwhile join them. A scan cut short by Stop sweeps
// nothing.
//
// Every message is posted at level 0, except the repair (level 2).
//
// Thread safety: Start and Stop from the owner's thread; the Post* calls from
// any thread (the watcher's). The processing runs on the scanner's thread only;
// FullScan and ProcessFile may be called directly on a scanner that is not
// started (benchmarks, tests).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "Lib/ArchiveManager/Storage/StorageAdapters.h"
#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/EventLogMT.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::archive {

class FileScanner : public kit::AppThread {
 public:
  static constexpr uint32_t kIdlePeriodMs = 300000;
  // Real time a full scan's transaction may stay open before it is committed
  // (each commit syncs the database to the disk).
  static constexpr uint64_t kBatchMs = 2000;

  // index must outlive the scanner; backup, poster and batch may be null.
  // source_name goes into the trailers of repaired segments.
  FileScanner(std::string folder, std::string ext, SegmentIndex* index, BackupQueue* backup,
              kit::EventPoster* poster, std::string source_name = {},
              IndexBatch* batch = nullptr);
  ~FileScanner() override;  // Stop()

  // Starts the thread, which begins with a full scan. Always true.
  bool Start();
  void Stop();

  // Queued for the scanner's thread; dropped while it is stopped.
  void PostAdded(const std::string& path);
  void PostRemoved(const std::string& path);
  void PostRenamed(const std::string& old_path, const std::string& new_path);
  void PostRescan();

  void FullScan();
  // Confirms or adds the segment at `path` (repairing a cut one); false when
  // it is no segment, lies in the wrong folder, cannot be read or indexed.
  bool ProcessFile(const std::string& path);

  const std::string& folder() const { return folder_; }
  bool RescanPending() const { return rescan_.load(std::memory_order_acquire); }

  // Progress, for tests: messages dealt with, full scans finished, and checks
  // of the idle period; each Wait* waits (real ms) for at least `count`.
  uint64_t MessagesHandled() const { return handled_.load(std::memory_order_acquire); }
  uint64_t ScansDone() const { return scans_.load(std::memory_order_acquire); }
  uint64_t IdleChecks() const { return idle_checks_.load(std::memory_order_acquire); }
  bool WaitHandled(uint64_t count, uint32_t timeout_ms);
  bool WaitScans(uint64_t count, uint32_t timeout_ms);
  bool WaitIdleChecks(uint64_t count, uint32_t timeout_ms);

 protected:
  void Body() override;

 private:
  enum class Kind { kAdded, kRemoved, kRenamed, kRescan };
  struct Message {
    Kind kind;
    std::string path;
    std::string new_path;
  };

  // As ProcessFile; *time is the segment's time once its name has parsed.
  bool ProcessFile(const std::string& path, CZoneTime* time);
  void Enqueue(Message message);
  void Dispatch(const Message& message);
  void OnAdded(const std::string& path);
  void OnRemoved(const std::string& path);
  void OnRenamed(const std::string& old_path, const std::string& new_path);
  void OnRescan();
  bool HasSegmentExtension(const std::string& path) const;
  // The segment time of a file in its right day folder; false otherwise.
  bool SegmentTime(const std::string& path, bool report, CZoneTime* time);
  void Walk(const std::string& folder, uint64_t* batch_start_ms);
  void Bump(std::atomic<uint64_t>* counter);
  void Post(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  const std::string folder_;  // without a trailing separator
  const std::string ext_;     // with its leading "."
  SegmentIndex* const index_;
  BackupQueue* const backup_;
  kit::EventPoster* const poster_;
  const std::string source_name_;
  IndexBatch* const batch_;
  std::atomic<bool> rescan_{true};

  kit::Mutex mu_;
  std::condition_variable cv_;
  std::deque<Message> queue_ GUARDED_BY(mu_);
  bool stopped_ GUARDED_BY(mu_) = true;
  bool started_ = false;       // owner's thread
  std::atomic<bool> stopping_{false};

  std::atomic<uint64_t> handled_{0};
  std::atomic<uint64_t> scans_{0};
  std::atomic<uint64_t> idle_checks_{0};
  std::mutex progress_mu_;
  std::condition_variable progress_cv_;
};

}  // namespace logrum::archive
