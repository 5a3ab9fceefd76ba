// Audio for the web console: the level reports of an archive, taken from the
// meter the UI model hands the archive at its start; the live stream, taken
// from the archive service's own client protocol on loopback (the same
// service any remote client uses); and the recorded segments, read from the
// archive folder without writing to it.
//
// Thread safety: ConsoleLevelFeeds from any thread; the free functions from
// any thread (each call opens what it reads).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "App/Server/LevelMeter.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Platform/Status.h"
#include "Lib/Platform/UniqueFd.h"

namespace logrum::server {

// The silence alarm of one archive: on once every peak has stayed under the
// threshold for the set time, off with the first peak at or above it. Time
// is the recording clock (so an accelerated clock accelerates the alarm).
class SilenceWatch {
 public:
  enum class Change { kNone, kOn, kOff };
  SilenceWatch(double level_db, int seconds);
  Change Feed(int16_t minimum, int16_t maximum, int64_t now_us);
  bool on() const { return on_; }
  int threshold() const { return threshold_; }

 private:
  int threshold_;  // peak magnitude, in sample units
  int64_t hold_us_;
  int64_t quiet_since_us_ = -1;
  bool on_ = false;
};

// Hands on the level reports of the archives' meters (the level listeners
// the UI model gives each archive at its start). One thread looks at every
// followed meter each `kPollMs` and passes on a report whenever the meter has
// taken a new one, so the capture thread that fills a meter never waits for
// the console.
class ConsoleLevelFeeds {
 public:
  using OnLevel = std::function<void(const std::string& archive, int16_t minimum, int16_t maximum)>;
  using Meters = std::map<std::string, std::shared_ptr<const LevelMeter>>;
  static constexpr int kPollMs = 20;

  explicit ConsoleLevelFeeds(OnLevel on_level);
  ~ConsoleLevelFeeds();
  ConsoleLevelFeeds(const ConsoleLevelFeeds&) = delete;
  ConsoleLevelFeeds& operator=(const ConsoleLevelFeeds&) = delete;

  // Follows exactly the archives of `meters` (any thread).
  void Sync(Meters meters);
  void StopAll();

 private:
  void Run(std::stop_token stop);

  OnLevel on_level_;
  kit::Mutex mu_;
  std::condition_variable_any wake_;
  Meters meters_ GUARDED_BY(mu_);
  std::jthread thread_;
};

// ---- Recorded segments (read-only).
struct SegmentEntry {
  int64_t start = 0;  // linear time
  std::string time;   // "HH:MM:SS"
  uint32_t duration_ms = 0;
  bool skim = false;
};
// The segments of a local day from the archive's index, in start order (none
// when the archive has no index yet). kInvalidArgument for a day that does
// not exist.
platform::Status DaySegments(const std::string& folder, int year, int month, int day,
                             std::vector<SegmentEntry>* segments);

// The audio part of one finished segment: an open file and its length
// without the trailer.
class SegmentAudio {
 public:
  SegmentAudio() = default;
  ~SegmentAudio();
  SegmentAudio(const SegmentAudio&) = delete;
  SegmentAudio& operator=(const SegmentAudio&) = delete;
  // kNotFound for a segment that does not exist or is still being recorded.
  platform::Status Open(const std::string& folder, const std::string& ext, int64_t start);
  uint64_t size() const { return size_; }
  // Reads at most `length` bytes from `offset`, never past the audio part.
  size_t ReadAt(uint64_t offset, char* buffer, size_t length) const;

 private:
  platform::UniqueFd fd_;
  uint64_t size_ = 0;
};

// A range of local time across segments, as whole blocks of each.
struct ExportPiece {
  int64_t start = 0;  // the segment's linear start
  uint32_t offset_ms = 0;
  uint32_t length_ms = 0;
};
// "YYYY-MM-DDTHH:MM:SS" in local time to seconds since 1970.
bool ParseLocalTime(const std::string& text, int64_t* unix_seconds);
// The pieces of [from_unix, to_unix); none when the archive has no index yet.
platform::Status PlanExport(const std::string& folder, int64_t from_unix, int64_t to_unix,
                            std::vector<ExportPiece>* pieces);
// Writes the audio of the pieces in order; false when `write` refuses.
bool WriteExport(const std::string& folder, const std::string& ext,
                 const std::vector<ExportPiece>& pieces,
                 const std::function<bool(const char*, size_t)>& write);

// ---- The live stream: logs in as `user` (with the digest the server keeps),
// attaches to the archive and hands every block to `write` until it refuses,
// `stop` is set or the stream ends. Prepare checks everything but the stream
// itself, so that the HTTP answer can still be an error.
class LiveRelay {
 public:
  LiveRelay();
  ~LiveRelay();
  platform::Status Prepare(uint16_t port, const std::string& user, const std::string& digest,
                           const std::string& archive);
  void Run(const std::function<bool(const char*, size_t)>& write, const std::atomic<bool>& stop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace logrum::server
