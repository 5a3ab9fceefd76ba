// CStorageManager: everything that keeps one archive's files, around its
// archive folder.
//
// It owns the segment database ("archive.db3" in the folder), the file
// scanner and the directory watcher and, for an archive that records to disk,
// the recording thread (ArchiveThread) and the recycle thread. The backup
// thread plugs in behind the BackupQueue adapter; its places in Open and Close
// are marked. Each part reaches the others through the adapters of
// StorageAdapters.h.
//
// Open, in this order, stopping at the first failure:
//   database, recording thread (record-to-disk only), backup thread, recycle
//   thread (record-to-disk only), file scanner, directory watcher.
// Close, in this order: watcher, scanner, recording thread, backup thread,
//   recycle thread, database. The destructor closes.
//
// A finished segment goes into the database (AddSegment) and then into the
// backup queue, through the segment-finished adapter.
//
// Thread safety: Open and Close from the archive's owner thread; the getters
// from any thread while the manager is open (the database serialises its
// callers, the file byte count is a momentary value).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "External/Encoder/include/Encoder.h"
#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Storage/ArchiveThread.h"
#include "Lib/ArchiveManager/Storage/BackupThread.h"
#include "Lib/ArchiveManager/Storage/DatabaseIndex.h"
#include "Lib/ArchiveManager/Storage/DirWatcher.h"
#include "Lib/ArchiveManager/Storage/FileScanner.h"
#include "Lib/ArchiveManager/Storage/RecycleThread.h"
#include "Lib/ArchiveManager/Storage/StorageAdapters.h"
#include "Lib/Kit/EventLogMT.h"

namespace logrum::archive {

struct StorageSettings {
  std::string folder;          // absolute archive folder
  std::string ext;             // segment extension, ".mp3"
  std::string source_name;
  std::string backup_string;   // backup destinations, "|"-separated
  FtpSender* ftp_sender = nullptr;  // FTP copies (ftpxfer.so); null: they fail
  BackupTiming backup_timing;
  uint32_t disk_space_kb = 0;  // quota, KB of 1000 bytes
  uint32_t max_days = 0;
  uint32_t recycle_period_ms = 0;
  bool erase = true;           // EraseBehavior flag: 1 = oldest segments may be deleted
  bool record_to_disk = true;
  int32_t max_time_adjust_sec = 0;
  int32_t segment_minutes = 60;
  bool segment_align = true;
};

class CStorageManager {
 public:
  // encoder: the archive's skim encoder (null when not recording); poster may be null.
  CStorageManager(audenc::ISkimEncoder* encoder, StorageSettings settings,
                  kit::EventPoster* poster);
  virtual ~CStorageManager();  // Close()
  CStorageManager(const CStorageManager&) = delete;
  CStorageManager& operator=(const CStorageManager&) = delete;

  bool Open();
  void Close();
  bool IsOpen() const { return open_; }

  // The segment database; usable while open (the network service reads the
  // index and the first and last times through it).
  AudioDatabaseSql* database() { return &database_; }
  const StorageSettings& settings() const { return settings_; }
  const std::string& folder() const { return settings_.folder; }
  const std::string& ext() const { return settings_.ext; }
  // Null for an archive that does not record to disk.
  ArchiveThread* recorder() { return recorder_.get(); }
  BackupThread* backup() { return backup_.get(); }
  // Segments waiting for their backup (queued or to be retried).
  uint32_t GetBackupWaitingCount() const { return backup_ ? backup_->GetWaitingCount() : 0; }

  double GetAverageKBPerSecond();
  // min(quota, free space of the folder's disk) in MB.
  double GetTotalStorageMB();
  // (database total KiB + bytes of the file being recorded / 1000) x 0.001.
  double GetUsedStorageMB();
  CZoneTime GetFirstTime();
  CZoneTime GetLastTime();
  uint32_t GetCurrentFileBytes() const;
  // The recycle thread's storage-full flag (false until recycling runs).
  bool IsStorageFull() const;
  // Free bytes of the folder's disk / 1000; 0 when unknown.
  uint64_t GetFreeSpaceKB() const;
  // Segments dropped from the index because their files could not be deleted.
  uint32_t GetUndeletableCount() const;
  // Null while not open, or for an archive that does not record (recycler).
  RecycleThread* recycler() { return recycler_.get(); }
  FileScanner* scanner() { return scanner_.get(); }
  // Segments the recording thread finished (and indexed) since construction.
  uint64_t GetSegmentsWritten() const { return segments_written_.load(std::memory_order_relaxed); }

 private:
  // Recording thread -> database, then the backup queue.
  class FinishedAdapter : public SegmentFinished {
   public:
    explicit FinishedAdapter(CStorageManager* owner) : owner_(owner) {}
    void OnSegmentFinished(const CZoneTime& start, uint32_t duration_ms, bool skim,
                           uint32_t size_bytes, const CZoneTime& end) override;

   private:
    CStorageManager* owner_;
  };
  // File scanner, segment-finished -> backup thread.
  class BackupAdapter : public BackupQueue {
   public:
    void EnqueueBackup(const CZoneTime& start) override;
    BackupQueue* target = nullptr;
  };

  // Directory watcher -> file scanner.
  class FileEventsAdapter : public FileEvents {
   public:
    explicit FileEventsAdapter(CStorageManager* owner) : owner_(owner) {}
    bool OnAdded(const char* path) override;
    bool OnRemoved(const char* path) override;
    bool OnModified(const char* path) override;
    bool OnRenamed(const char* old_path, const char* new_path) override;
    bool OnOverflow() override;
    bool OnUnknown(uint32_t action) override;

   private:
    CStorageManager* owner_;
  };
  void Post(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  const StorageSettings settings_;
  kit::EventPoster* const poster_;
  AudioDatabaseSql database_;
  FinishedAdapter finished_adapter_{this};
  DatabaseIndex index_adapter_{&database_};  // file scanner -> database
  BackupAdapter backup_adapter_;
  std::unique_ptr<ArchiveThread> recorder_;  // record-to-disk only
  std::unique_ptr<BackupThread> backup_;
  FileEventsAdapter file_events_adapter_{this};
  std::unique_ptr<RecycleThread> recycler_;  // record-to-disk only
  std::unique_ptr<FileScanner> scanner_;
  std::unique_ptr<DirWatcher> watcher_;
  bool open_ = false;
  std::atomic<uint64_t> segments_written_{0};
};

}  // namespace logrum::archive
