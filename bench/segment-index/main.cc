// GetIndex over a year of 15-minute segments (35,040 rows): one day and the
// whole year, each against the bare SQLite walk of the same rows as baseline.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/Platform/TimeZone.h"

namespace {

namespace fs = std::filesystem;
using logrum::archive::AudioDatabaseSql;
using logrum::archive::CZoneTime;

constexpr int kRows = 35040;

struct Archive {
  fs::path dir;
  AudioDatabaseSql db;
  CZoneTime year_start, year_end, day_start, day_end;
};

Archive* g_archive = nullptr;

CZoneTime Time(int y, int mo, int d) {
  CZoneTime t;
  t.Set(y, mo, d, 0, 0, 0, -1);
  return t;
}

void Fill(Archive* a) {
  a->dir = fs::temp_directory_path() / ("bench-segment-index-" + std::to_string(::getpid()));
  fs::remove_all(a->dir);
  fs::create_directories(a->dir);
  const int year = CZoneTime::BaseYear() - 1;
  a->year_start = Time(year, 1, 1);
  a->year_end = Time(year + 1, 1, 1);
  a->day_start = Time(year, 7, 15);
  a->day_end = Time(year, 7, 16);
  if (!a->db.Open(a->dir.string()).ok()) std::abort();
  a->db.Close();
  sqlite3* db = nullptr;
  sqlite3_open((a->dir / "archive.db3").c_str(), &db);
  sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "insert into segments(starttime,durationmsec,sizebytes,sizekb,tnextfile,skim,"
                     "filenametime,scanned) values(?,900000,14400000,14063,?,?,?,1)",
                     -1, &insert, nullptr);
  CZoneTime t = a->year_start;
  for (int i = 0; i < kRows; ++i) {
    CZoneTime next = t;
    next.AddSeconds(900);
    sqlite3_bind_int64(insert, 1, t.ToLinear());
    sqlite3_bind_int64(insert, 2, next.ToLinear());
    sqlite3_bind_int(insert, 3, i % 7 == 0);
    sqlite3_bind_int64(insert, 4, t.ToLinear());
    sqlite3_step(insert);
    sqlite3_reset(insert);
    t = next;
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (!a->db.Open(a->dir.string()).ok()) std::abort();
}

bool Count(const CZoneTime& start, uint32_t duration_ms, bool skim, void* context) {
  benchmark::DoNotOptimize(start);
  *static_cast<int64_t*>(context) += duration_ms + (skim ? 1 : 0);
  return true;
}

void GetIndex(benchmark::State& state, const CZoneTime& from, const CZoneTime& to) {
  int64_t rows = 0;
  for (auto _ : state) {
    int64_t sum = 0;
    if (!g_archive->db.GetIndex(from, to, &Count, &sum).ok()) std::abort();
    benchmark::DoNotOptimize(sum);
    ++rows;
  }
  state.SetItemsProcessed(rows);
}

// The same statement walked with SQLite alone: what GetIndex adds is the rest.
void RawSelect(benchmark::State& state, const CZoneTime& from, const CZoneTime& to) {
  sqlite3* db = nullptr;
  sqlite3_open((g_archive->dir / "archive.db3").c_str(), &db);
  char sql[200];
  std::snprintf(sql, sizeof sql,
                "select starttime,durationmsec,skim from segments where starttime>=%" PRId64
                " and starttime<%" PRId64 " order by starttime",
                from.ToLinear(), to.ToLinear());
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    int64_t sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      sum += sqlite3_column_int64(stmt, 0) + sqlite3_column_int(stmt, 1) + sqlite3_column_int(stmt, 2);
    }
    sqlite3_finalize(stmt);
    benchmark::DoNotOptimize(sum);
  }
  sqlite3_close(db);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      times_[run.benchmark_name()] = run.GetAdjustedRealTime();  // in the run's time unit (us)
      cpu_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    auto get = [&](const std::string& name) {
      auto it = times_.find(name);
      return it == times_.end() ? 0.0 : it->second;
    };
    auto cpu = [&](const std::string& name) {
      auto it = cpu_.find(name);
      return it == cpu_.end() ? 0.0 : it->second;
    };
    for (const char* span : {"Day", "Year"}) {
      const std::string ours_name = std::string("BM_GetIndex") + span;
      const std::string raw_name = std::string("BM_RawSelect") + span;
      const double ours = get(ours_name), raw = get(raw_name);
      if (ours > 0 && raw > 0) {
        std::printf(
            "GetIndex %-4s: %9.1f us (cpu %9.1f us), bare SQLite walk %9.1f us (cpu %9.1f us), "
            "ratio %.2f (target: %s)\n",
            span, ours, cpu(ours_name), raw, cpu(raw_name), ours / raw,
            span[0] == 'D' ? "< 1000 us" : "< 30000 us");
      }
    }
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> cpu_;
};

}  // namespace

static void BM_GetIndexDay(benchmark::State& s) { GetIndex(s, g_archive->day_start, g_archive->day_end); }
static void BM_RawSelectDay(benchmark::State& s) { RawSelect(s, g_archive->day_start, g_archive->day_end); }
static void BM_GetIndexYear(benchmark::State& s) { GetIndex(s, g_archive->year_start, g_archive->year_end); }
static void BM_RawSelectYear(benchmark::State& s) { RawSelect(s, g_archive->year_start, g_archive->year_end); }
BENCHMARK(BM_GetIndexDay)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawSelectDay)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetIndexYear)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawSelectYear)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  // A zone with daylight rules, so every row goes through the daylight test.
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  logrum::platform::ReloadActiveZone();
  Archive archive;
  g_archive = &archive;
  Fill(&archive);
  int64_t rows = 0;
  if (!archive.db.GetIndex(archive.year_start, archive.year_end, &Count, &rows).ok()) std::abort();
  int64_t day = 0;
  if (!archive.db.GetIndex(archive.day_start, archive.day_end, &Count, &day).ok()) std::abort();
  std::printf("rows in the year: %d, rows in the day: %" PRId64 "\n", kRows, day / 900000);

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  archive.db.Close();
  fs::remove_all(archive.dir);
  return 0;
}
