#include "App/Server/ConsoleAudio.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Protocol/Client/ProtocolClient.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Clock.h"

namespace logrum::server {

using archive::AudioDatabaseSql;
using archive::CArchiveFileRead;
using archive::CZoneTime;

SilenceWatch::SilenceWatch(double level_db, int seconds)
    : threshold_(static_cast<int>(std::lround(32768.0 * std::pow(10.0, level_db / 20.0)))),
      hold_us_(int64_t{seconds} * 1000000) {}

SilenceWatch::Change SilenceWatch::Feed(int16_t minimum, int16_t maximum, int64_t now_us) {
  const int peak = std::max(std::abs(int{minimum}), std::abs(int{maximum}));
  if (peak >= threshold_) {
    quiet_since_us_ = -1;
    if (!on_) return Change::kNone;
    on_ = false;
    return Change::kOff;
  }
  if (quiet_since_us_ < 0) quiet_since_us_ = now_us;
  if (!on_ && now_us - quiet_since_us_ >= hold_us_) {
    on_ = true;
    return Change::kOn;
  }
  return Change::kNone;
}

// ---- Level feeds.

ConsoleLevelFeeds::ConsoleLevelFeeds(OnLevel on_level)
    : on_level_(std::move(on_level)),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

ConsoleLevelFeeds::~ConsoleLevelFeeds() { StopAll(); }

void ConsoleLevelFeeds::Sync(Meters meters) {
  kit::MutexLock lock(mu_);
  meters_ = std::move(meters);
}

void ConsoleLevelFeeds::StopAll() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void ConsoleLevelFeeds::Run(std::stop_token stop) {
  // The report count each meter had when last looked at: only newer reports
  // are passed on, so an archive started again does not replay its last level.
  std::map<std::string, uint64_t> seen;
  while (!stop.stop_requested()) {
    Meters meters;
    {
      kit::UniqueLock lock(mu_);
      wake_.wait_for(lock.native(), stop, std::chrono::milliseconds(kPollMs), [] { return false; });
      meters = meters_;
    }
    for (auto it = seen.begin(); it != seen.end();) {
      it = meters.count(it->first) == 0 ? seen.erase(it) : std::next(it);
    }
    for (const auto& [name, meter] : meters) {
      if (meter == nullptr) continue;
      const LevelMeter::Peaks peaks = meter->Latest();
      auto [last, added] = seen.try_emplace(name, peaks.reports);
      if (added || peaks.reports == last->second) continue;
      last->second = peaks.reports;
      on_level_(name, peaks.minimum, peaks.maximum);
    }
  }
}

// ---- Segments.

namespace {

struct DayContext {
  std::vector<SegmentEntry>* segments;
};

bool AddEntry(const CZoneTime& start, uint32_t duration_ms, bool skim, void* context) {
  auto* segments = static_cast<std::vector<SegmentEntry>*>(context);
  SegmentEntry entry;
  entry.start = start.ToLinear();
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", start.GetHour(), start.GetMinute(),
                start.GetSecond());
  entry.time = text;
  entry.duration_ms = duration_ms;
  entry.skim = skim;
  segments->push_back(std::move(entry));
  return true;
}

// *opened false (and Ok) when the archive has no index.
platform::Status OpenIndex(const std::string& folder, AudioDatabaseSql* db, bool* opened) {
  *opened = false;
  std::error_code ec;
  // Opening would create a missing index: an archive that never recorded
  // simply has no segments.
  if (!std::filesystem::exists(std::filesystem::path(folder) / "archive.db3", ec)) {
    return platform::Status::Ok();
  }
  if (platform::Status status = db->Open(folder); !status.ok()) {
    return platform::Status::Error(platform::Status::kIoError,
                                   "cannot read the index of " + folder + ": " + status.message());
  }
  *opened = true;
  return platform::Status::Ok();
}

// kIoError whatever the store said: the day's answer tells a bad request
// (kInvalidArgument) from a server fault by the code.
platform::Status IndexError(const platform::Status& status) {
  return platform::Status::Error(platform::Status::kIoError,
                                 "cannot read the index: " + status.message());
}

}  // namespace

platform::Status DaySegments(const std::string& folder, int year, int month, int day,
                             std::vector<SegmentEntry>* segments) {
  segments->clear();
  CZoneTime from;
  if (!from.Set(year, month, day, 0, 0, 0, -1)) {
    return platform::Status::Error(platform::Status::kInvalidArgument, "no such day");
  }
  CZoneTime to = from;
  to.AddSeconds(86400);
  to.Set(to.GetYear(), to.GetMonth(), to.GetDay(), 0, 0, 0, -1);
  AudioDatabaseSql db;
  bool opened = false;
  if (platform::Status status = OpenIndex(folder, &db, &opened); !status.ok() || !opened) {
    return status;
  }
  platform::Status status = db.GetIndex(from, to, AddEntry, segments);
  db.Close();
  return status.ok() ? status : IndexError(status);
}

SegmentAudio::~SegmentAudio() = default;

platform::Status SegmentAudio::Open(const std::string& folder, const std::string& ext,
                                    int64_t start) {
  CZoneTime time;
  if (!time.FromLinear(start) || time.IsNull()) {
    return platform::Status::Error(platform::Status::kNotFound, "no such segment");
  }
  const std::string path = archive::FindSegmentFile(folder, time, ext);
  CArchiveFileRead reader(folder, ext);
  // A segment being recorded has no trailer yet (and its writer's lock):
  // only finished segments are served.
  if (const platform::Status read = reader.ReadTrailer(path); !read.ok()) {
    return platform::Status::Error(platform::Status::kNotFound,
                                   "segment not available: " + read.message());
  }
  size_ = reader.GetAudioBytes();
  reader.Close();
  fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd_.valid()) {
    return platform::Status::Error(platform::CodeOfErrno(errno), "cannot open " + path);
  }
  return platform::Status::Ok();
}

size_t SegmentAudio::ReadAt(uint64_t offset, char* buffer, size_t length) const {
  if (offset >= size_) return 0;
  length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
  ssize_t n = ::pread(fd_.get(), buffer, length, static_cast<off_t>(offset));
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool ParseLocalTime(const std::string& text, int64_t* unix_seconds) {
  int y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) {
    return false;
  }
  CZoneTime time;
  if (!time.Set(y, mo, d, h, mi, s, -1)) return false;
  *unix_seconds = time.ToUnixSeconds();
  return *unix_seconds >= 0;
}

platform::Status PlanExport(const std::string& folder, int64_t from_unix, int64_t to_unix,
                            std::vector<ExportPiece>* pieces) {
  pieces->clear();
  if (to_unix <= from_unix) {
    return platform::Status::Error(platform::Status::kInvalidArgument,
                                   "the end of the range must come after its start");
  }
  // A segment that began up to a day before the range may reach into it.
  CZoneTime from, to;
  if (!from.FromUnixSeconds(from_unix - 86400) || !to.FromUnixSeconds(to_unix)) {
    return platform::Status::Error(platform::Status::kInvalidArgument,
                                   "the range is out of bounds");
  }
  AudioDatabaseSql db;
  bool opened = false;
  if (platform::Status status = OpenIndex(folder, &db, &opened); !status.ok() || !opened) {
    return status;
  }
  std::vector<SegmentEntry> segments;
  if (platform::Status status = db.GetIndex(from, to, AddEntry, &segments); !status.ok()) {
    return IndexError(status);
  }
  const int64_t range_from_ms = from_unix * 1000;
  const int64_t range_to_ms = to_unix * 1000;
  for (const SegmentEntry& segment : segments) {
    const int64_t start_ms = CZoneTime::FromLinear64(segment.start).ToUnixSeconds() * 1000;
    const int64_t end_ms = start_ms + segment.duration_ms;
    if (end_ms <= range_from_ms || start_ms >= range_to_ms) continue;
    ExportPiece piece;
    piece.start = segment.start;
    piece.offset_ms = static_cast<uint32_t>(std::max<int64_t>(0, range_from_ms - start_ms));
    piece.length_ms =
        static_cast<uint32_t>(std::min(end_ms, range_to_ms) - start_ms - piece.offset_ms);
    if (piece.length_ms > 0) pieces->push_back(piece);
  }
  return platform::Status::Ok();
}

bool WriteExport(const std::string& folder, const std::string& ext,
                 const std::vector<ExportPiece>& pieces,
                 const std::function<bool(const char*, size_t)>& write) {
  std::vector<char> buffer(64 * 1024);
  for (const ExportPiece& piece : pieces) {
    CArchiveFileRead reader(folder, ext);
    // A segment that went away since the plan (recycled) is left out.
    if (!reader.OpenAt(CZoneTime::FromLinear64(piece.start), piece.offset_ms, piece.length_ms)
             .ok()) {
      continue;
    }
    for (;;) {
      size_t n = reader.Read(buffer.data(), buffer.size());
      if (n == 0) break;
      if (!write(buffer.data(), n)) return false;
    }
  }
  return true;
}

// ---- Live.

struct LiveRelay::Impl {
  protocol::ProtocolClient client;
};

LiveRelay::LiveRelay() : impl_(std::make_unique<Impl>()) {}
LiveRelay::~LiveRelay() = default;

platform::Status LiveRelay::Prepare(uint16_t port, const std::string& user,
                                    const std::string& digest, const std::string& archive) {
  protocol::ClientStatus status = impl_->client.Connect("127.0.0.1", port);
  if (status.ok()) status = impl_->client.Login(user, digest);
  if (status.ok()) status = impl_->client.Attach(archive);
  if (!status.ok()) return platform::Status::Error(platform::Status::kIoError, status.ToString());
  return platform::Status::Ok();
}

void LiveRelay::Run(const std::function<bool(const char*, size_t)>& write,
                    const std::atomic<bool>& stop) {
  class Receiver : public protocol::AudioReceiver {
   public:
    Receiver(const std::function<bool(const char*, size_t)>& write, const std::atomic<bool>& stop)
        : write_(write), stop_(stop) {}
    bool OnAudioBegin(const protocol::AudioFormatInfo&) override { return !stop_.load(); }
    bool OnAudioData(const uint8_t* data, size_t size) override {
      return !stop_.load() && write_(reinterpret_cast<const char*>(data), size);
    }

   private:
    const std::function<bool(const char*, size_t)>& write_;
    const std::atomic<bool>& stop_;
  } receiver(write, stop);
  impl_->client.PlayLive(receiver);
  impl_->client.Close();
}

}  // namespace logrum::server
