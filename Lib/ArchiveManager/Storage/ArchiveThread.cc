#include "Lib/ArchiveManager/Storage/ArchiveThread.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "Lib/Kit/Layer3Format.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Time/TimeFormat.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/Clock.h"

namespace logrum::archive {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr uint32_t kHeaderBytes = audenc::kSkimHeaderBytes;
constexpr uint8_t kStateClosed = audenc::kSkimStateStopped;
// Real time for which writes into one file may fail before the waiting block
// is tried in a new segment (once). Shorter failures (a full disk that the
// recycler frees) are waited out in the same file, which keeps its trailer.
constexpr uint64_t kWriteFailureMoveMs = 30000;

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// "%x" of a time into the 31 characters the reason texts allow.
struct TimeText {
  explicit TimeText(const CZoneTime& t) {
    if (Format(t, "%x", text, sizeof text) < 0) text[0] = '\0';
  }
  char text[32];
};

// Releases the block it holds when it goes out of scope.
class BlockRef {
 public:
  explicit BlockRef(kit::IBlock* block) : block_(block) {}
  ~BlockRef() {
    if (block_) block_->Release();
  }
  BlockRef(const BlockRef&) = delete;
  BlockRef& operator=(const BlockRef&) = delete;

 private:
  kit::IBlock* block_;
};

}  // namespace

bool ArchiveThread::QueueSink::Write(kit::IBlock* block) {
  // The encoder ends each reader's stream with a null; the recording thread
  // learns its end from Stop, which queues its own mark after the last block.
  if (block == nullptr) return true;
  double dropped_ms = 0;
  if (!owner_->backlog_.Put(block, owner_->BlockTime(block), &dropped_ms)) return false;
  if (dropped_ms > 0 && !owner_->dropping_.exchange(true)) {
    owner_->Post(2,
                 "WARNING: Nothing could be written and the backlog is full: dropping the "
                 "oldest audio waiting to be recorded!\n");
  }
  return true;
}

ArchiveThread::ArchiveThread(audenc::ISkimEncoder* encoder, std::string folder, std::string ext,
                             std::string_view source_name, SegmentFinished* finished,
                             kit::EventPoster* poster, int32_t max_time_adjust_sec,
                             int32_t segment_minutes, bool align)
    : AppThread("ArchiveThread", 5000, 0, false),
      encoder_(encoder),
      folder_(folder),
      ext_(ext),
      writer_(std::move(folder), std::move(ext), source_name),
      poster_(poster),
      finished_(finished),
      max_time_adjust_sec_(max_time_adjust_sec),
      // A zero size would end every segment at its own start.
      segment_minutes_(std::max<int32_t>(segment_minutes, 1)),
      align_(align) {}

ArchiveThread::~ArchiveThread() { Stop(); }

bool ArchiveThread::Start() {
  if (encoder_ == nullptr || started_) return false;
  stopping_.store(false);
  stop_event_.Reset();
  dropping_.store(false);
  backlog_.Start();
  encoder_->AddReader(&sink_, 3);
  started_ = true;
  Run();
  return true;
}

void ArchiveThread::Stop() {
  if (started_) {
    started_ = false;
    // The drain time counts from here.
    stop_drain_until_ms_.store(platform::DefaultClock().TickMs() + stop_drain_ms_);
    stopping_.store(true);
    // After RemoveReader the encoder writes no more; the mark behind its last
    // block lets the thread write everything that was handed over.
    encoder_->RemoveReader(&sink_);
    backlog_.Put(nullptr, CZoneTime());
    stop_event_.Set();  // a retry in progress gives up
    SetExit(0);
    backlog_.Stop();
  }
  CloseFile(CZoneTime());
}

CZoneTime ArchiveThread::NextBoundary(const CZoneTime& start, int32_t segment_minutes, bool align) {
  const int64_t step = static_cast<int64_t>(std::max<int32_t>(segment_minutes, 1)) * 60;
  CZoneTime boundary = start;
  if (!align) {
    boundary.AddSeconds(step);
    return boundary;
  }
  // Whole multiples of the segment size from local midnight (same daylight
  // flag), and never less than a minute after the start.
  boundary.SetHour(0);
  boundary.SetMinute(0);
  boundary.SetSecond(0);
  while (CZoneTime::Difference(boundary, start) < 60 * kTicksPerSecond) {
    if (!boundary.AddSeconds(step)) break;
  }
  return boundary;
}

bool ArchiveThread::WaitHandled(uint64_t count, uint32_t timeout_ms) {
  std::unique_lock lock(handled_mu_);
  return handled_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return BlocksHandled() >= count; });
}

uint64_t ArchiveThread::DroppedMs() const {
  const uint64_t encoder_ms = encoder_ != nullptr ? encoder_->GetDroppedMs() : 0;
  return backlog_.DroppedMs() + not_written_ms_.load() + encoder_ms;
}

bool ArchiveThread::StopDeadlinePassed() const {
  return stopping_.load() && platform::DefaultClock().TickMs() >= stop_drain_until_ms_.load();
}

uint64_t ArchiveThread::DiscardUntilStopMark(kit::IBlock* first, double* ms,
                                             uint64_t* backlog_gap_ms) {
  uint64_t blocks = 0;
  double discarded_ms = 0;
  if (first != nullptr) {
    discarded_ms += RecordingBacklog::AudioMsOf(first);
    first->Release();
    ++blocks;
  }
  for (RecordingBacklog::Entry rest; backlog_.Get(&rest) && rest.block != nullptr;) {
    *backlog_gap_ms += rest.dropped_ms;
    discarded_ms += RecordingBacklog::AudioMsOf(rest.block);
    rest.block->Release();
    ++blocks;
  }
  not_written_ms_.fetch_add(static_cast<uint64_t>(std::llround(discarded_ms)));
  *ms += discarded_ms;
  return blocks;
}

void ArchiveThread::DropAtStopDeadline(const RecordingBacklog::Entry& entry) {
  double late_ms = 0;
  uint64_t gap_ms = entry.dropped_ms;
  const uint64_t blocks = DiscardUntilStopMark(entry.block, &late_ms, &gap_ms);
  if (gap_ms > 0) {
    // Counted when the backlog dropped it; said here, since no block follows it.
    Post(2, "WARNING: %llu ms of audio were dropped while nothing could be written!\n",
         static_cast<unsigned long long>(gap_ms));
  }
  Post(2, "WARNING: Recording stopped: %llu ms of audio (%llu blocks) could not be written "
       "in time and were dropped!\n", static_cast<unsigned long long>(std::llround(late_ms)),
       static_cast<unsigned long long>(blocks));
}

void ArchiveThread::MarkHandled() {
  {
    std::lock_guard lock(handled_mu_);
    handled_.fetch_add(1, std::memory_order_acq_rel);
  }
  handled_cv_.notify_all();
}

void ArchiveThread::Post(int32_t level, const char* format, ...) {
  if (poster_ == nullptr) return;
  va_list args;
  va_start(args, format);
  poster_->Format(level, format, args);
  va_end(args);
}

std::string ArchiveThread::NameFor(const CZoneTime& t) const {
  return FindSegmentFile(folder_, t, ext_);
}

CZoneTime ArchiveThread::CurrentTime() const {
  CZoneTime now = CZoneTime::Now();
  const audenc::SkimEncoderParams* params = encoder_ ? encoder_->GetParams() : nullptr;
  const int64_t pre_delay_s = params ? static_cast<int64_t>(params->nPreDelayMs / 1000) : 0;
  if (pre_delay_s != 0) now.AddSeconds(-pre_delay_s);
  return now;
}

CZoneTime ArchiveThread::BlockTime(kit::IBlock* block) const {
  const int64_t capture_us = block->GetTimeUs();
  if (capture_us == 0) return CurrentTime();
  // The time the audio was captured: the encoder's delays are already out of it.
  const platform::LocalTime local = platform::ToLocalTime(capture_us);
  CZoneTime t;
  if (!t.Set(local.year, local.month, local.day, local.hour, local.minute, local.second,
             local.daylight ? 1 : 0)) {
    return CurrentTime();
  }
  return t;
}

bool ArchiveThread::NameTaken(const CZoneTime& t) const {
  struct stat info {};
  return ::stat(NameFor(t).c_str(), &info) == 0;
}

platform::Status ArchiveThread::OpenFile(CZoneTime t, const kit::AudioFormat& format, bool skim) {
  diag::DebugTrace("AT::OpenFile!\n");
  // Two segments never share a start time, and a new one never takes the
  // name of a file already there (the clock was set back over it): its start
  // moves on by a second until the name is free.
  if (writer_.IsOpen() && CZoneTime::IsSame(t, writer_.GetStartTime())) t.AddSeconds(1);
  const CZoneTime wanted = t;
  int moves = 0;
  while (moves < kMaxNameMoves && NameTaken(t)) {
    t.AddSeconds(1);
    ++moves;
  }
  if (writer_.IsOpen()) CloseFile(t);
  if (platform::Status opened = writer_.Open(t, format, skim); !opened.ok()) {
    diag::DebugTrace("AT::OpenFile: %s\n", opened.message().c_str());
    return opened;
  }
  if (moves > 0) {
    Post(2, "WARNING: Segment file '%s' already exists! The new segment starts at %s instead.\n",
         NameFor(wanted).c_str(), TimeText(t).text);
  }
  segment_end_ = NextBoundary(t, segment_minutes_, align_);
  reported_ = false;
  last_sync_ms_ = platform::DefaultClock().TickMs();
  Post(2, "INFO: Open file '%s'\n", writer_.GetFileName().c_str());
  return platform::Status::Ok();
}

void ArchiveThread::CloseFile(const CZoneTime& end) {
  if (!writer_.IsOpen()) return;
  const CZoneTime start = writer_.GetStartTime();
  const uint32_t bytes = writer_.GetByteCount();
  const uint32_t duration_ms = DurationMsOfBytes(writer_.GetFormat(), bytes);
  const bool skim = writer_.IsSkim();
  const std::string name = writer_.GetFileName();
  const bool closed = writer_.Close(end).ok();
  if (!closed) {
    // The writer keeps the file open; the next segment's open drops it. The
    // audio stays on disk, and the report below keeps it in the index.
    Post(2, "ERROR: Unable to write the trailer of '%s'!\n", name.c_str());
  }
  if (!reported_ && finished_ != nullptr) {
    finished_->OnSegmentFinished(start, duration_ms, skim, bytes, end);
  }
  reported_ = !closed;
}

bool ArchiveThread::SegmentFileIsThere() const {
  struct stat info {};
  return ::stat(writer_.GetFileName().c_str(), &info) == 0;
}

bool ArchiveThread::BackOff(uint32_t* delay_ms) {
  if (stop_event_.Wait(*delay_ms)) return false;
  *delay_ms = std::min(*delay_ms * 2, std::max(retry_max_ms_, retry_first_ms_));
  return !stopping_.load();
}

bool ArchiveThread::OpenFileRetrying(const CZoneTime& t, const kit::AudioFormat& format, bool skim) {
  uint32_t delay = retry_first_ms_;
  for (int attempt = 0;; ++attempt) {
    platform::Status opened = OpenFile(t, format, skim);
    if (opened.ok()) {
      if (attempt > 0) {
        Post(2, "INFO: Recording resumed after %d failed attempts to open a file.\n", attempt);
      }
      return true;
    }
    if (attempt == 0) {
      Post(2, "ERROR: Unable to open file!\n");
      Post(2, "ERROR: %s (retrying)\n", opened.message().c_str());
    }
    if (!BackOff(&delay)) return false;
  }
}

bool ArchiveThread::WriteRetrying(const uint8_t* data, uint32_t length, const kit::AudioFormat& format,
                                  bool skim, const CZoneTime& time) {
  uint32_t delay = retry_first_ms_;
  int failures = 0;
  bool moved = false;
  uint64_t first_failure_ms = 0;
  for (;;) {
    if (!writer_.IsOpen() && !OpenFileRetrying(time, format, skim)) return false;
    platform::Status written = writer_.Write(data, length);
    if (written.ok()) {
      if (const uint32_t block = BlockSize(format); block > 0) {
        recorded_ns_.fetch_add(uint64_t{length} / block * FramesPerBlock(format) *
                                   SamplesPerFrame(format) * 1000000000 / format.samplerate,
                               std::memory_order_relaxed);
      }
      if (failures > 0) Post(2, "INFO: Write to file succeeded after %d failures.\n", failures);
      return true;
    }
    const uint64_t tick = platform::DefaultClock().TickMs();
    if (failures == 0) {
      Post(2, "ERROR: Write to file failed!\n");
      Post(2, "ERROR: %s (retrying)\n", written.message().c_str());
      first_failure_ms = tick;
    }
    ++failures;
    if (!moved && tick - first_failure_ms >= kWriteFailureMoveMs) {
      moved = true;
      // A new file may take what this one refuses (a file removed or damaged
      // under us). It starts with the waiting block, so at that block's time,
      // not at the time of the move.
      if (!RollSegment(time, format, skim, "write failed")) return false;
      continue;
    }
    if (!BackOff(&delay)) return false;
  }
}

uint32_t ArchiveThread::SplitReasons(const CZoneTime& now, const CZoneTime& prev,
                                     uint64_t gap_ms, bool new_segment,
                                     std::string* text) const {
  int64_t diff = 0;
  bool daylight_changed = false;
  if (!prev.IsNull()) {
    diff = CZoneTime::Difference(now, prev) / kTicksPerSecond;
    daylight_changed = now.IsDaylight() != prev.IsDaylight();
  }
  uint32_t reasons = 0;
  char line[160];
  if (!segment_end_.IsNull() && CZoneTime::Difference(now, segment_end_) >= 0) {
    reasons |= kSplitEndOfSegment;
    std::snprintf(line, sizeof line, "end_block: end=%s, now=%s | ", TimeText(segment_end_).text,
                  TimeText(now).text);
    *text += line;
  }
  if (daylight_changed) {
    reasons |= kSplitDaylight;
    std::snprintf(line, sizeof line, "dst_change: prev=%s, now=%s",
                  prev.IsDaylight() ? "ON" : "OFF", now.IsDaylight() ? "ON" : "OFF");
    *text += line;
  }
  const TimeText prev_text(prev);
  const char* prev_text_or_null = prev.IsNull() ? "<0>" : prev_text.text;
  if (diff < -static_cast<int64_t>(max_time_adjust_sec_)) {
    reasons |= kSplitClockBack;
    std::snprintf(line, sizeof line, "clock_change_back: prev=%s, now=%s, diff=%d, max=%d |",
                  prev_text_or_null, TimeText(now).text, static_cast<int>(diff),
                  max_time_adjust_sec_);
    *text += line;
  }
  if (diff > static_cast<int64_t>(max_time_adjust_sec_)) {
    reasons |= kSplitClockForward;
    std::snprintf(line, sizeof line, "clock_change_fwd: prev=%s, now=%s, diff=%d, max=%d |",
                  prev_text_or_null, TimeText(now).text, static_cast<int>(diff),
                  max_time_adjust_sec_);
    *text += line;
  }
  if (gap_ms > 0 && !new_segment) {
    reasons |= kSplitAudioDropped;
    std::snprintf(line, sizeof line, "audio_dropped: %llu ms |",
                  static_cast<unsigned long long>(gap_ms));
    *text += line;
  }
  return reasons;
}

bool ArchiveThread::RollSegment(const CZoneTime& t, const kit::AudioFormat& format, bool skim,
                                const char* why) {
  Post(2, "INFO: Open new file %s. (%s)\n", NameFor(t).c_str(), why);
  // OpenFile also sets the segment end from the start the new file got.
  return OpenFileRetrying(t, format, skim);
}

bool ArchiveThread::RecordBlock(const RecordingBacklog::Entry& entry, Segmenting* seg) {
  // Audio dropped in front of this block is a gap: the block goes into a new
  // segment that starts at its own time.
  const uint64_t gap_ms = entry.dropped_ms;
  if (gap_ms > 0) {
    dropping_.store(false);
    Post(2, "WARNING: %llu ms of audio were dropped while nothing could be written!\n",
         static_cast<unsigned long long>(gap_ms));
  }
  const uint8_t* data = entry.block->GetData();
  const uint32_t length = entry.block->GetDataLength();
  if (data == nullptr || length < kHeaderBytes) return true;
  const uint8_t state = data[0];
  seg->format.channels = data[1];
  seg->format.bitrate = ReadLe16(data + 4);
  seg->format.samplerate = ReadLe16(data + 6);
  const CZoneTime now = entry.time;
  bool new_segment = false;

  if (state != seg->prev_state) {
    diag::DebugTrace("AT::Driver: State changed! flags=%d\n", state);
    seg->prev_state = state;
    if (state == kStateClosed) {
      diag::DebugTrace("AT::Driver: Encoder closed! flags=%d\n", state);
      Post(2, "INFO: Close file %s. (encoder closed)\n", writer_.GetFileName().c_str());
      CloseFile(CZoneTime());
      return true;
    }
    seg->skim = state != 0;
    diag::DebugTrace("AT::Driver: OpenFile! flags=%d, bSkim=%s\n", state,
                     seg->skim ? "true" : "false");
    if (!RollSegment(now, seg->format, seg->skim, seg->skim ? "skim ON" : "skim OFF")) {
      return false;
    }
    seg->prev = now;
    new_segment = true;
  }
  // Nothing is recorded while the encoder is closed; no segment is opened
  // for its blocks either.
  if (state == kStateClosed) return true;

  std::string reason_text;
  const uint32_t reasons = SplitReasons(now, seg->prev, gap_ms, new_segment, &reason_text);
  if (reasons != 0) {
    Post(2, "INFO: Open new file %s. (Reason below)\n", NameFor(now).c_str());
    Post(2, "INFO: Reason[0x%X]: %s\n", reasons, reason_text.c_str());
    if (!OpenFileRetrying(now, seg->format, seg->skim)) return false;
  }
  seg->prev = now;
  if (length == kHeaderBytes) return true;  // drives the reasons, writes nothing

  if (platform::DefaultClock().TickMs() - last_sync_ms_ >= kSyncIntervalMs && writer_.IsOpen() &&
      !SegmentFileIsThere()) {
    // Removed under us (its day folder deleted by hand): what it held is
    // gone with it, but recording goes on in a new segment from now.
    Post(2, "ERROR: Segment file '%s' was removed while recording!\n",
         writer_.GetFileName().c_str());
    reported_ = true;  // no index row for a file that is gone
    if (!RollSegment(now, seg->format, seg->skim, "file removed")) return false;
  }
  if (!WriteRetrying(data + kHeaderBytes, length - kHeaderBytes, seg->format, seg->skim, now)) {
    return false;
  }
  const uint64_t tick = platform::DefaultClock().TickMs();
  if (tick - last_sync_ms_ >= kSyncIntervalMs) {
    // A sync that fails now is tried again at the next interval; the write
    // itself went through, so recording goes on.
    if (platform::Status synced = writer_.Sync(); !synced.ok()) {
      diag::DebugTrace("AT::Sync: %s\n", synced.message().c_str());
    }
    last_sync_ms_ = tick;
  }
  return true;
}

void ArchiveThread::Body() {
  Post(2, "INFO: Begin archive thread!\n");
  if (encoder_ == nullptr) {
    Post(2, "ERROR: No skim encoder!\n");
    return;
  }
  Segmenting seg;
  uint64_t not_written = 0;
  for (;;) {
    RecordingBacklog::Entry entry;
    if (!backlog_.Get(&entry)) {
      diag::DebugTrace("AT: ERROR: Queue returned no block!\n");
      break;
    }
    if (entry.block == nullptr) break;  // Stop's mark: everything before it was written
    if (StopDeadlinePassed()) {
      DropAtStopDeadline(entry);
      break;
    }
    BlockRef hold(entry.block);
    if (!RecordBlock(entry, &seg)) {
      ++not_written;
      break;
    }
    MarkHandled();
  }
  if (not_written > 0) {
    // A retry given up at Stop: the rest waits in front of Stop's mark.
    double lost_ms = 0;
    uint64_t gap_ms = 0;
    not_written += DiscardUntilStopMark(nullptr, &lost_ms, &gap_ms);
    Post(2, "ERROR: Recording stopped with %llu blocks not written!\n",
         static_cast<unsigned long long>(not_written));
  }
  Post(2, "INFO: Exit archive thread!\n");
}

}  // namespace logrum::archive
