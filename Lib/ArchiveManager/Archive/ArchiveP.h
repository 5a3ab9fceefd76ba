// CArchiveP: one recording channel of the archive service.
//
// Opening builds, in this order: the daily log file (a listener of the
// archive's event log), a live encoder (when LiveBitrateK is not 0) and a skim
// encoder from audenc.so, their subscriptions to the archive's audio source
// through audiosrc.so, the archive folder, and the storage manager with the
// recording thread and the segment database. Close undoes it in reverse.
// With RecordToDisk 0 no encoder exists and nothing is subscribed: the
// archive only serves what is on disk.
//
// Asynchronous open runs the open sequence on the archive's own "ArchiveP"
// thread, which then passes the recycler's storage-full flag to the skim
// encoder every 500 ms until Close. Close stops that thread first (waking it
// at once, and waiting for an open still in progress), and only then tears the
// parts down, so the thread never sees a part being destroyed.
//
// The network service (inside this library) reaches an open archive's parts
// through the accessors below: WithStorage runs a function on the storage
// manager while Close cannot destroy it; AddLiveReader/RemoveLiveReader attach
// a live listener's queue to the live encoder safely.
//
// Thread safety: Open, Close and Release from one host thread; the getters,
// Log and the accessors from any thread (the parts are guarded by a
// reader-writer lock that the open sequence and the teardown hold exclusively).
#pragma once

#include <atomic>
#include <climits>
#include <mutex>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>

#include "External/Encoder/include/Encoder.h"
#include "Lib/ArchiveManager/Archive/Bindings.h"
#include "Lib/ArchiveManager/Storage/StorageManager.h"
#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/Diagnostics/LogFile.h"
#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/EventLogMT.h"
#include "Lib/Kit/EventObject.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::archive {

class ArchiveDeleter;

class CArchiveP : public kit::AppThread, public IArchive {
 public:
  CArchiveP(const char* name, ArchiveDeleter* deleter, EncoderLibrary* encoders);
  ~CArchiveP() override;  // Close, then the event log and the log file end

  static CArchiveP* FromInterface(IArchive* archive) { return static_cast<CArchiveP*>(archive); }
  IArchive* GetInterface() { return this; }

  // IArchive
  void Release() override;
  bool Open(ArchiveOptions* options, SkimSwitch* skim_switch, audio::LevelListener* level_listener,
            bool async, ArchiveLogListener* listener) override;
  void Close() override;
  bool IsActive() override;
  double GetAverageKBPerSecond() override;
  double GetTotalStorageMB() override;
  double GetUsedStorageMB() override;
  int32_t GetFirstSegmentTime() override;
  int32_t GetLastSegmentTime() override;
  bool GetSkimState() override;
  void Log(const char* text) override;
  int32_t GetStatusText(char* buffer, uint32_t size) override;
  int32_t GetBackupWaitingCount() override;
  bool GetCounters(ArchiveCounters* counters) override;

  // What the archive has to say beyond its figures, for the host's status
  // display: one part per condition, joined by "; "; empty when all is well.
  std::string StatusText();

  // For the network service.
  const std::string& GetName() const { return name_; }
  kit::EventPoster* poster() { return event_log_.poster(); }
  // Runs fn on the open storage manager; false (fn not run) when there is none.
  bool WithStorage(const std::function<void(CStorageManager&)>& fn);
  // Folder and extension of the last open (empty before the first).
  std::string GetArchiveFolder();
  std::string GetArchiveExt();
  std::string GetSourceName();
  // The live stream: blocks of exactly GetLiveBlockSize() bytes, each
  // GetLiveBlockSamples() samples; 0 when there is no live encoder.
  uint32_t GetLiveBlockSize();
  uint32_t GetLiveBlockSamples();
  // A copy of the live encoder's parameter record; false when there is none.
  bool GetLiveParams(audenc::LiveEncoderParams* params);
  bool AddLiveReader(kit::AudioSink* reader);
  bool RemoveLiveReader(kit::AudioSink* reader);
  // Attached network connections (interlocked).
  int32_t AddClient() { return ++clients_; }
  int32_t RemoveClient() { return --clients_; }
  int32_t GetClientCount() const { return clients_.load(); }
  // Whether the source's capture device has failed and not come back yet.
  bool IsInputLost();

 protected:
  void Body() override;

 private:
  // The host's skim switch as the encoder's interface.
  class SkimSwitchBridge : public audenc::SkimSwitch {
   public:
    bool IsOn() override { return switch_ != nullptr && switch_->IsOn(); }
    bool IsRecordEnabled() override { return switch_ == nullptr || switch_->IsRecordEnabled(); }
    logrum::SkimSwitch* switch_ = nullptr;
  };
  // The event log's one listener: the log file (from the first open on) and
  // the caller's listener. A flush mark lets a teardown wait until what was
  // posted before it has reached the caller's listener, so an open's failure
  // message is not lost when the listener is removed right after.
  class Dispatcher : public kit::EventLogListener {
   public:
    static constexpr int32_t kFlushLevel = INT32_MIN;
    void Log(int32_t level, const char* text) override;
    void SetFileOn() {
      kit::MutexLock lock(mu);
      file_on = true;
    }
    void SetCaller(ArchiveLogListener* listener) {
      kit::MutexLock lock(mu);
      caller = listener;
    }
    diag::LogFile file;
    kit::EventObject flushed{true, false};

   private:
    kit::Mutex mu;
    bool file_on GUARDED_BY(mu) = false;
    ArchiveLogListener* caller GUARDED_BY(mu) = nullptr;
  };
  // Waits (at most 2 s) until the messages posted so far are delivered.
  void FlushEventLog();

  // The counters that are totals: those of the opens before (kept by the
  // teardown) plus those of the storage manager now open.
  struct Totals {
    uint64_t recorded_ms = 0;
    uint64_t dropped_ms = 0;
    uint64_t segments_written = 0;
    uint64_t segments_recycled = 0;
  };
  // Expects parts_mu_ to be held (shared is enough).
  Totals CurrentTotals() REQUIRES_SHARED(parts_mu_);

  // Both expect parts_mu_ to be held exclusively.
  bool OpenSequence(ArchiveOptions* options, SkimSwitch* skim_switch,
                    audio::LevelListener* level_listener) REQUIRES(parts_mu_);
  // The steps of the open sequence, in order. Those that can fail trace and
  // post why (OpenFailed) and return false; the caller then tears down.
  bool OpenLogFile(ArchiveOptions* options) REQUIRES(parts_mu_);
  bool CreateEncoders(ArchiveOptions* options, bool has_skim_switch) REQUIRES(parts_mu_);
  bool SubscribeEncoders(const char* source, audio::LevelListener* level_listener) REQUIRES(parts_mu_);
  void PrepareFolder(ArchiveOptions* options) REQUIRES(parts_mu_);
  void OpenStorage(ArchiveOptions* options, const char* source) REQUIRES(parts_mu_);
  // Writes the trace line (the message itself when empty) and posts the
  // message; returns false.
  bool OpenFailed(int32_t level, const std::string& message, const std::string& trace_line = {});
  void TearDown() REQUIRES(parts_mu_);
  void Post(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  ArchiveDeleter* const deleter_;
  EncoderLibrary* const encoders_;
  const std::string name_;

  kit::SharedMutex parts_mu_;
  std::unique_ptr<SourceBinding> live_binding_ GUARDED_BY(parts_mu_);
  std::unique_ptr<SourceBinding> skim_binding_ GUARDED_BY(parts_mu_);
  class InputWatch;                               // ArchiveP.cc
  std::unique_ptr<InputWatch> input_watch_ GUARDED_BY(parts_mu_);
  audenc::ILiveEncoder* live_encoder_ GUARDED_BY(parts_mu_) = nullptr;
  audenc::ISkimEncoder* skim_encoder_ GUARDED_BY(parts_mu_) = nullptr;
  std::unique_ptr<CStorageManager> storage_ GUARDED_BY(parts_mu_);
  SkimSwitchBridge skim_bridge_ GUARDED_BY(parts_mu_);
  std::string folder_ GUARDED_BY(parts_mu_);
  std::string ext_ GUARDED_BY(parts_mu_);
  std::string source_name_ GUARDED_BY(parts_mu_);
  uint32_t live_block_size_ GUARDED_BY(parts_mu_) = 0;
  uint32_t live_block_samples_ GUARDED_BY(parts_mu_) = 0;
  int32_t pre_delay_ GUARDED_BY(parts_mu_) = 0;
  bool record_to_disk_ GUARDED_BY(parts_mu_) = true;
  Totals closed_totals_ GUARDED_BY(parts_mu_);
  std::atomic<SkimSwitch*> skim_switch_{nullptr};

  kit::EventLogMT event_log_{512};
  Dispatcher dispatcher_;

  // Host thread only.
  ArchiveOptions* pending_options_ = nullptr;
  SkimSwitch* pending_switch_ = nullptr;
  audio::LevelListener* pending_level_ = nullptr;
  bool async_ = false;
  ArchiveLogListener* listener_ = nullptr;
  kit::EventObject wake_{true, false};

  std::atomic<int32_t> clients_{0};
};

}  // namespace logrum::archive
