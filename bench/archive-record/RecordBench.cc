// Archives recording at once, in real time, from virtual tone devices, at the
// configuration store's default settings (44.1 kHz stereo capture, live
// encoder 32 kbit/s, continuous recording at 32 kbit/s 22.05 kHz mono).
//
// Each run opens N archives on N devices for kSeconds, closes them and reads
// back what was recorded. Counters:
//   cpu_per_archive_pct  process CPU (user + system) per archive, % of one core
//   cpu_ratio_to_1       that figure against the 1-archive run of the same process
//   recorded_s_per_archive  audio in each archive's index after the close (each
//                        archive is open a little longer than recording_s, the
//                        time that all of them record together)
//   dropped_ms           audio the encoders reported dropped, plus any shortfall of
//                        an archive's recorded duration against its time from open
//                        to close (beyond the pipeline's one-second allowance)
// The largest N with dropped_ms 0 is what this machine records in real time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"

namespace {

using logrum::IArchive;
using logrum::archive::AudioDatabaseSql;
using logrum::archive::CZoneTime;
using logrum::archive::testing::ArchiveHost;
using logrum::archive::testing::HostOptions;
using logrum::archive::testing::HostSkimSwitch;

constexpr int kMaxArchives = 64;
constexpr int kSeconds = 6;
double g_cpu_one = 0;

std::string Root() {
  static std::string root = [] {
    char pattern[] = "/tmp/logrum-record-bench-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  return root;
}

double CpuSeconds() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class DropCounter : public logrum::ArchiveLogListener {
 public:
  void Log(int32_t, const char* text) override {
    static const std::regex dropped(R"((\d+) ms of audio dropped)");
    std::cmatch m;
    if (text && std::regex_search(text, m, dropped)) {
      std::lock_guard lock(mu_);
      dropped_ms_ += std::stoll(m[1].str());
    }
  }
  long long dropped_ms() {
    std::lock_guard lock(mu_);
    return dropped_ms_;
  }

 private:
  std::mutex mu_;
  long long dropped_ms_ = 0;
};

bool CollectDuration(const CZoneTime&, uint32_t duration_ms, bool, void* context) {
  *static_cast<uint64_t*>(context) += duration_ms;
  return true;
}

void BM_RecordArchives(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  ArchiveHost host;
  std::string error;
  if (!host.Load(std::string(LOGRUM2_BUILD_DIR) + "/lib", &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    std::vector<std::unique_ptr<HostOptions>> options;
    HostSkimSwitch skim_switch;
    DropCounter drops;
    std::vector<IArchive*> archives;
    std::vector<std::chrono::steady_clock::time_point> opened_at, closed_at;
    const std::string run = Root() + "/run" + std::to_string(n);
    for (int i = 0; i < n; ++i) {
      const std::string source = "tone" + std::to_string(i);
      host.DefineSource(static_cast<uint32_t>(i), source.c_str());
      auto o = std::make_unique<HostOptions>();
      o->source_name = source;
      o->archive_path = run + "/a" + std::to_string(i);
      o->log_path = run + "/logs";
      o->log_prefix = "A" + std::to_string(i) + "-";
      IArchive* archive = host.manager()->CreateArchive(("A" + std::to_string(i)).c_str());
      archive->Open(o.get(), &skim_switch, nullptr, false, &drops);
      archives.push_back(archive);
      opened_at.push_back(std::chrono::steady_clock::now());
      options.push_back(std::move(o));
    }
    const auto begin = std::chrono::steady_clock::now();
    const double cpu_begin = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
    const double cpu = CpuSeconds() - cpu_begin;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (IArchive* archive : archives) {
      archive->Close();
      closed_at.push_back(std::chrono::steady_clock::now());
      archive->Release();
    }
    // What was recorded, from each archive's index.
    long long shortfall_ms = 0;
    uint64_t recorded_total_ms = 0;
    for (int i = 0; i < n; ++i) {
      AudioDatabaseSql db;
      uint64_t recorded_ms = 0;
      if (db.Open(run + "/a" + std::to_string(i)).ok()) {
        CZoneTime first = db.GetFirstTime(), last = db.GetLastTime();
        last.AddSeconds(3600);
        if (!db.GetIndex(first, last, CollectDuration, &recorded_ms).ok()) std::abort();
      }
      const double open_s =
          std::chrono::duration<double>(closed_at[i] - opened_at[i]).count();
      const long long missing = static_cast<long long>(open_s * 1000) - 1000 -
                                static_cast<long long>(recorded_ms);
      if (missing > 0) shortfall_ms += missing;
      recorded_total_ms += recorded_ms;
    }
    const double per_archive = 100.0 * cpu / elapsed / n;
    if (n == 1) g_cpu_one = per_archive;
    state.counters["cpu_per_archive_pct"] = per_archive;
    state.counters["cpu_ratio_to_1"] = g_cpu_one > 0 ? per_archive / g_cpu_one : 0;
    state.counters["recorded_s_per_archive"] = recorded_total_ms / 1000.0 / n;
    state.counters["recording_s"] = elapsed;
    state.counters["dropped_ms"] = static_cast<double>(drops.dropped_ms() + shortfall_ms);
    std::error_code ec;
    std::filesystem::remove_all(run, ec);
  }
}
BENCHMARK(BM_RecordArchives)->Arg(1)->Arg(8)->Arg(32)->Arg(64)->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  std::string devices;
  for (int i = 0; i < kMaxArchives; ++i) {
    devices += "tone" + std::to_string(i) + "=tone:" + std::to_string(300 + 50 * i) + ";";
  }
  setenv("LOGRUM2_VIRTUAL_DEVICES", devices.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(Root(), ec);
  return 0;
}
