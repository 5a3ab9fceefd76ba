// ArchiveThread: the recording thread of one archive.
//
// It takes the skim encoder's blocks (12-byte header, then layer 3 audio) from
// its own queue and writes the audio into segment files. Each block's time is
// the capture time it carries (IBlock::GetTimeUs: when the first sample it
// holds was captured, on the process clock); a block without one is stamped
// with the wall-clock time when it is handed over (process clock, minus the
// encoder's pre-delay in whole seconds). A segment ends, and the next begins at the time of the block that
// ended it, when:
//   - the block's time reaches the segment end (NextBoundary),
//   - the daylight flag differs from the previous block's,
//   - the clock stepped by more than MaxTimeAdjustSec between two blocks,
//   - the skim state of the blocks changes (a new file at the current time).
// State 255 (encoder closed) closes the segment without opening another.
// Every closed segment is reported once to the SegmentFinished sink.
//
// So the times of segments are those of the audio in them: a recording
// thread or an encoder that stalls for longer than MaxTimeAdjustSec (a slow
// fdatasync, a busy disk, an overloaded machine) neither splits the segment
// nor makes the next one start late, and a segment begun after a wait starts
// at the time of its first block. A real step of the clock still shows as a
// step between the capture times of two blocks, and splits.
//
// A segment never replaces an existing file: when the name for a start time
// is taken (the clock was set back over earlier recordings), the start moves
// on by a second until the name is free, and the move is posted.
//
// Failures never end recording: a segment that cannot be created or a write
// that fails is posted once ("ERROR: Unable to open file!", "ERROR: Write to
// file failed!") and then retried with a back-off (0.1 s doubling to 5 s) while
// the encoder's blocks wait in the backlog; the block that failed is kept and
// written as soon as a file takes it. When writes into one file keep failing
// for 30 s the waiting block is tried in a new segment (once per block).
// The backlog holds at most kBacklogMs of audio: during a longer outage the
// oldest blocks are dropped (posted once when it begins, and with the
// milliseconds lost when recording resumes, in a new segment at the gap).
//
// Durability: the open segment's data is synced to the disk (fdatasync) at
// least every kSyncIntervalMs of real time while blocks arrive, and on close.
// As often, the thread checks that the segment's file is still there: a file
// removed while it is written (its day folder deleted by hand) would take
// everything written after with it, so recording moves to a new segment.
//
// Stop drains what the encoder queued before its reader was removed, so the
// last segment holds every block handed over, but only for kStopDrainMs of
// real time: an overloaded machine may hold minutes of audio in the backlog,
// and stopping must not wait for it. What is left at the deadline is dropped,
// posted with its length and counted in DroppedMs(); the segment is finished
// with its trailer as it stands. A retry in progress is given up at Stop (the
// blocks not written are counted in the exit message and in DroppedMs()).
//
// Thread safety: Start and Stop from the owner's thread; GetCurrentFileBytes
// and the counters from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "External/Encoder/include/Encoder.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/ArchiveManager/Storage/RecordingBacklog.h"
#include "Lib/ArchiveManager/Storage/SegmentFinished.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/AudioSink.h"
#include "Lib/Kit/EventLogMT.h"
#include "Lib/Kit/EventObject.h"
#include "Lib/Platform/Status.h"

namespace logrum::archive {

class ArchiveThread : public kit::AppThread {
 public:
  static constexpr uint32_t kSyncIntervalMs = 2000;
  // What the backlog keeps while nothing can be written: 5 minutes of audio,
  // and at most this many blocks and this much block memory, so that hundreds
  // of archives behind at once stay within the machine's memory.
  static constexpr uint32_t kBacklogMs = 5 * 60 * 1000;
  static constexpr uint32_t kBacklogBlocks = 4096;
  static constexpr uint64_t kBacklogBytes = 8u << 20;
  // How far a start moves on to find a free segment name before the open fails.
  static constexpr int kMaxNameMoves = 3600;
  // Real time that Stop gives the thread to write what is queued.
  static constexpr uint32_t kStopDrainMs = 1500;

  // encoder may be null (Start then refuses); finished and poster may be null.
  // segment_minutes below 1 counts as 1.
  ArchiveThread(audenc::ISkimEncoder* encoder, std::string folder, std::string ext,
                std::string_view source_name, SegmentFinished* finished,
                kit::EventPoster* poster, int32_t max_time_adjust_sec, int32_t segment_minutes,
                bool align);
  ~ArchiveThread() override;  // Stop()

  // False without an encoder. Starts the queue, adds it as the encoder's reader
  // (mask 3) and starts the thread.
  bool Start();
  // Detaches from the encoder, writes what was queued, stops the thread and
  // closes the open segment with a null end time. Harmless when not started.
  void Stop();

  // Audio bytes in the open segment (a momentary value for display).
  uint32_t GetCurrentFileBytes() const { return writer_.GetByteCount(); }

  // The end of a segment that starts at `start` (see the .cc for alignment).
  static CZoneTime NextBoundary(const CZoneTime& start, int32_t segment_minutes, bool align);

  // Blocks taken from the queue and dealt with (written, or not needing a
  // write); waits until at least `count` or the time-out (real ms) passes.
  uint64_t BlocksHandled() const { return handled_.load(std::memory_order_acquire); }
  bool WaitHandled(uint64_t count, uint32_t timeout_ms);
  // Audio lost since Start, in ms: dropped by the skim encoder (it could not
  // keep up), dropped from the backlog (nothing could be written), and not
  // written by Stop's deadline. The archive's status shows this figure.
  uint64_t DroppedMs() const;
  // What waits in the backlog now: audio, and the memory of its blocks.
  double BacklogMs() const { return backlog_.QueuedMs(); }
  // Audio written into segment files since Start.
  uint64_t RecordedMs() const { return recorded_ns_.load(std::memory_order_relaxed) / 1000000; }
  uint64_t BacklogBytes() const { return backlog_.QueuedBytes(); }
  // Back-off of the retries, for tests.
  void SetRetryDelays(uint32_t first_ms, uint32_t max_ms) {
    retry_first_ms_ = first_ms;
    retry_max_ms_ = max_ms;
  }
  // Stop's drain time, for tests (0: what is queued at Stop is dropped).
  void SetStopDrainMs(uint32_t ms) { stop_drain_ms_ = ms; }

 protected:
  void Body() override;

 private:
  // Puts the encoder's blocks, stamped, into the backlog; end marks are not
  // forwarded.
  class QueueSink : public kit::AudioSink {
   public:
    explicit QueueSink(ArchiveThread* owner) : owner_(owner) {}
    bool Write(kit::IBlock* block) override;

   private:
    ArchiveThread* owner_;
  };

  // Reason bits of a split (SplitReasons), as the reason line shows them.
  static constexpr uint32_t kSplitEndOfSegment = 0x1;
  static constexpr uint32_t kSplitDaylight = 0x2;
  static constexpr uint32_t kSplitClockBack = 0x4;
  static constexpr uint32_t kSplitClockForward = 0x8;
  static constexpr uint32_t kSplitAudioDropped = 0x10;

  // What the loop carries from one block to the next.
  struct Segmenting {
    uint8_t prev_state = audenc::kSkimStateStopped;
    CZoneTime prev;  // the previous block's time
    kit::AudioFormat format;
    bool skim = false;
  };

  CZoneTime CurrentTime() const;
  // The block's capture time as a local time; CurrentTime() for a block that
  // carries none.
  CZoneTime BlockTime(kit::IBlock* block) const;
  // Records one block: opens, splits and writes as its state, time and the
  // gap in front of it ask. False when recording must stop (Stop gave up a retry).
  bool RecordBlock(const RecordingBacklog::Entry& entry, Segmenting* seg);
  // Why a block at `now` after one at `prev` starts a new segment: the reason
  // bits (0: it does not), with their texts appended to *text.
  uint32_t SplitReasons(const CZoneTime& now, const CZoneTime& prev, uint64_t gap_ms,
                        bool new_segment, std::string* text) const;
  // Posts "Open new file ... (why)" and opens the next segment at t (its end
  // follows from the start it gets), retrying until Stop.
  bool RollSegment(const CZoneTime& t, const kit::AudioFormat& format, bool skim, const char* why);
  // Whether a file for a segment starting at t exists.
  bool NameTaken(const CZoneTime& t) const;
  // Opens the segment at t, or at the first free second after it; sets the
  // segment end from the start it got.
  platform::Status OpenFile(CZoneTime t, const kit::AudioFormat& format, bool skim);
  void CloseFile(const CZoneTime& end);
  // Retries OpenFile with a back-off until it succeeds or Stop is asked.
  bool OpenFileRetrying(const CZoneTime& t, const kit::AudioFormat& format, bool skim);
  // Writes the block's audio, retrying (and moving to a new segment that
  // starts at `time`, the block's own) on failure.
  bool WriteRetrying(const uint8_t* data, uint32_t length, const kit::AudioFormat& format, bool skim,
                     const CZoneTime& time);
  // Whether the open segment's file still exists at its name.
  bool SegmentFileIsThere() const;
  // Waits for the back-off; false when Stop was asked meanwhile.
  bool BackOff(uint32_t* delay_ms);
  void MarkHandled();
  // Whether Stop was asked and its drain time has run out.
  bool StopDeadlinePassed() const;
  // Takes every entry up to Stop's mark out of the backlog unwritten (and
  // `first`, already taken, when not null), counts it as dropped; returns the
  // blocks, adds their audio to *ms and the backlog's gaps in front of them
  // (counted already) to *backlog_gap_ms.
  uint64_t DiscardUntilStopMark(kit::IBlock* first, double* ms, uint64_t* backlog_gap_ms);
  // Stop's drain time is over at `entry`: drops it and the rest, and posts it.
  void DropAtStopDeadline(const RecordingBacklog::Entry& entry);
  void Post(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  std::string NameFor(const CZoneTime& t) const;

  audenc::ISkimEncoder* const encoder_;
  const std::string folder_;
  const std::string ext_;
  CArchiveFileWrite writer_;
  kit::EventPoster* const poster_;
  RecordingBacklog backlog_{kBacklogMs, kBacklogBlocks, kBacklogBytes};
  QueueSink sink_{this};
  SegmentFinished* const finished_;
  CZoneTime segment_end_;
  const int32_t max_time_adjust_sec_;
  const int32_t segment_minutes_;
  const bool align_;

  bool started_ = false;             // owner's thread only
  kit::EventObject stop_event_{true, false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> dropping_{false};  // the backlog drops audio; not yet reported
  bool reported_ = false;            // the open segment was reported already (recording thread)
  uint64_t last_sync_ms_ = 0;        // recording thread
  uint32_t retry_first_ms_ = 100;
  uint32_t retry_max_ms_ = 5000;
  uint32_t stop_drain_ms_ = kStopDrainMs;
  std::atomic<uint64_t> stop_drain_until_ms_{0};  // TickMs; set by Stop before stopping_
  std::atomic<uint64_t> not_written_ms_{0};       // lost at Stop
  std::atomic<uint64_t> handled_{0};
  std::atomic<uint64_t> recorded_ns_{0};  // nanoseconds: blocks of 26.12... ms add up exactly enough
  std::mutex handled_mu_;
  std::condition_variable handled_cv_;
};

}  // namespace logrum::archive
