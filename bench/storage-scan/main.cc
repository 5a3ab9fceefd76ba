// The file scanner's full scan over a year of 15-minute segments (35,040
// files in 365 day folders): the first scan into an empty database and a
// rescan with every row present, each against a plain walk of the same tree
// that opens every file and reads its last 109 bytes (the trailer).
// Targets: first scan <= 3x the plain walk, rescan <= 1.5x.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Segment/SegmentTrailer.h"
#include "Lib/ArchiveManager/Storage/DatabaseIndex.h"
#include "Lib/ArchiveManager/Storage/FileScanner.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/Platform/TimeZone.h"

namespace {

namespace fs = std::filesystem;
using namespace logrum::archive;

constexpr int kFiles = 35040;
constexpr size_t kAudioBytes = 4 * 417;  // small files: the trailer is what is read

std::string g_folder;

class NoBackup : public BackupQueue {
 public:
  void EnqueueBackup(const CZoneTime&) override { ++queued; }
  int queued = 0;
};

// Formats every message as the event log would, and keeps none.
class FormattingPoster : public logrum::kit::EventPoster {
 public:
  void Post(int32_t, const char* text) override { benchmark::DoNotOptimize(text); }
  void Format(int32_t, const char* format, va_list args) override {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    benchmark::DoNotOptimize(text);
  }
};

void MakeTree() {
  g_folder = (fs::temp_directory_path() / ("bench-storage-scan-" + std::to_string(::getpid()))).string();
  fs::remove_all(g_folder);
  CZoneTime t;
  t.Set(CZoneTime::BaseYear() - 1, 1, 1, 0, 0, 0, -1);
  std::vector<uint8_t> bytes(kAudioBytes + kTrailerSize, 0x5A);
  for (size_t i = 0; i < kAudioBytes; i += 417) {
    bytes[i] = 0xFF, bytes[i + 1] = 0xFB, bytes[i + 2] = 0x90, bytes[i + 3] = 0x44;
  }
  std::string day;
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = SegmentFileName(g_folder, t, ".mp3");
    const std::string parent = path.substr(0, path.rfind('/'));
    if (parent != day) {
      fs::create_directories(parent);
      day = parent;
    }
    SegmentTrailer trailer;
    trailer.source = "Studio A";
    trailer.size_bytes = kAudioBytes;
    trailer.start_time = t.ToPacked();
    trailer.duration_ms = 104;
    trailer.bitrate = 128;
    trailer.samplerate = 44100;
    trailer.channels = 2;
    EncodeTrailer(trailer, std::span<uint8_t, kTrailerSize>(bytes.data() + kAudioBytes, kTrailerSize));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
    ::close(fd);
    t.AddSeconds(900);
  }
}

// The baseline: every file opened, its size taken, its last 109 bytes read.
size_t PlainWalk(const std::string& folder) {
  size_t read = 0;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string path = folder + "/" + entry->d_name;
    if (entry->d_type == DT_DIR) {
      read += PlainWalk(path);
      continue;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info {};
    std::array<uint8_t, kTrailerSize> trailer;
    if (::fstat(fd, &info) == 0 && info.st_size >= static_cast<off_t>(kTrailerSize) &&
        ::pread(fd, trailer.data(), trailer.size(), info.st_size - kTrailerSize) ==
            static_cast<ssize_t>(trailer.size())) {
      read += trailer[kTrailerSize - 1] + 1;
    }
    ::close(fd);
  }
  ::closedir(dir);
  return read;
}

void BM_PlainWalk(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(PlainWalk(g_folder));
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void Scan(benchmark::State& state, bool fresh) {
  FormattingPoster poster;
  NoBackup backup;
  if (!fresh) {  // every row present before the first timed rescan
    AudioDatabaseSql db;
    if (!db.Open(g_folder).ok()) std::abort();
    DatabaseIndex index(&db);
    FileScanner(g_folder, ".mp3", &index, &backup, &poster, "Studio A", &index).FullScan();
  }
  for (auto _ : state) {
    state.PauseTiming();
    AudioDatabaseSql db;
    if (fresh) fs::remove(g_folder + "/archive.db3");
    if (!db.Open(g_folder).ok()) std::abort();
    DatabaseIndex index(&db);
    FileScanner scanner(g_folder, ".mp3", &index, &backup, &poster, "Studio A", &index);
    state.ResumeTiming();
    scanner.FullScan();
    state.PauseTiming();
    if (db.GetTotalKB() != kFiles * 2u) {
      std::fprintf(stderr, "scan indexed %u KiB, expected %u\n", db.GetTotalKB(), kFiles * 2u);
      std::abort();
    }
    db.Close();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_FirstScan(benchmark::State& state) { Scan(state, true); }
void BM_Rescan(benchmark::State& state) { Scan(state, false); }

BENCHMARK(BM_PlainWalk)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_FirstScan)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Rescan)->Unit(benchmark::kMillisecond)->Iterations(3);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      cpu_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    auto get = [&](const std::map<std::string, double>& from, const char* prefix) {
      for (const auto& [name, time] : from) {
        if (name.rfind(prefix, 0) == 0) return time;
      }
      return 0.0;
    };
    for (const auto* m : {&times_, &cpu_}) {
      const double walk = get(*m, "BM_PlainWalk"), first = get(*m, "BM_FirstScan"),
                   rescan = get(*m, "BM_Rescan");
      if (walk <= 0) continue;
      std::printf("%s: plain walk %.0f ms; first scan %.0f ms, ratio %.2f (target <= 3); "
                  "rescan %.0f ms, ratio %.2f (target <= 1.5)\n",
                  m == &times_ ? "real time" : "cpu time", walk, first, first / walk, rescan,
                  rescan / walk);
    }
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  logrum::platform::ReloadActiveZone();
  MakeTree();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  fs::remove_all(g_folder);
  return 0;
}
