// Capacity: how many archives this machine records in real time, against what
// its cores could encode at all.
//
// Every archive records programme-like audio (bench/encoder/ProgrammeLoad.h)
// from a `file:` virtual device of its own, each device starting at another
// offset of the material, so no two encoders see the same audio at once. Two
// settings: the configuration store's defaults, and the usual broadcast
// setting (recording at 128 kbit/s 44.1 kHz stereo, live stream at its default).
//
// For each setting the run first measures the CPU that one archive's two
// encoders need on the same material (as bench/encoder does); the LAME-bound
// limit is the number of cores divided by that. Then it searches N upward in
// steps: N archives open, record for a warm-up and a measuring window, and
// close. A step passes when nothing was dropped (the archives' own counters,
// which their status shows as "Audio dropped: N ms") and the audio written kept
// pace with the clock (at least 97% of the audio due in the window: an
// encoder that falls behind drops audio once its queue is full, which a short
// window would not yet show). The limit is the largest N that passed.
//
// Printed per step: cpu_per_archive_pct (process CPU per archive, % of one
// core), kept_pace, dropped_ms, the slowest Close, and the process's memory.
// At the end, per setting: the limit, the LAME-bound limit and their ratio,
// and the CPU per archive with and without the encoders' share.
//
//   archive_record_bench                 short search (a few minutes on a quiet
//                                        machine): from 60% of the LAME-bound limit
//                                        up in tenths of it (down, then up in
//                                        quarter steps, if that fails), 8 s windows
//   archive_record_bench --full          from a twentieth of it in twentieths,
//                                        30 s windows (long enough for an overload
//                                        of a quarter to overflow the encoders'
//                                        10 s queues and be counted as dropped)
//   --setting=default|broadcast          one setting only
//   --from=N --step=N --window=SECONDS   the search by hand
//   --at=N                               one step of N archives only (for profiling)
//
// The machine should be otherwise idle: the limit is a real-time figure, the
// LAME-bound limit a CPU-time one.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "bench/encoder/ProgrammeLoad.h"

namespace {

using logrum::IArchive;
using logrum::archive::testing::ArchiveHost;
using logrum::archive::testing::HostOptions;
using logrum::archive::testing::HostSkimSwitch;
using logrum::bench::ArchiveSetting;
using Clock = std::chrono::steady_clock;

constexpr int kMaxDevices = 1024;
constexpr double kMaterialSeconds = 60;
constexpr double kEncoderSeconds = 20;
constexpr double kWarmUpSeconds = 3;
constexpr double kKeptPaceNeeded = 0.97;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Resident memory of the process now and at its peak, MB.
void Memory(double* now_mb, double* peak_mb) {
  std::ifstream in("/proc/self/status");
  std::string line;
  *now_mb = *peak_mb = 0;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) *now_mb = std::atof(line.c_str() + 6) / 1024;
    if (line.rfind("VmHWM:", 0) == 0) *peak_mb = std::atof(line.c_str() + 6) / 1024;
  }
}

// Bytes per second of a layer 3 format: whole blocks of the block arithmetic.
double BytesPerSecond(const logrum::bench::Layer3Setting& f) {
  const bool high = f.sample_rate >= 32000;
  const uint32_t block = (high ? 2000u : 1000u) * f.bitrate_kbps * 72 / f.sample_rate;
  return static_cast<double>(block) * f.sample_rate / (high ? 1152 : 576);
}

uint64_t AudioBytesUnder(const std::string& folder) {
  uint64_t sum = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().extension() == ".mp3") sum += it->file_size(ec);
  }
  return sum;
}

// What the archives posted about audio lost at their close.
class CloseDropLog : public logrum::ArchiveLogListener {
 public:
  void Log(int32_t, const char* text) override {
    static const std::regex late(R"((\d+) ms of audio \(\d+ blocks\) could not be written in time)");
    std::cmatch m;
    if (text && std::regex_search(text, m, late)) {
      std::lock_guard lock(mu_);
      ms_ += std::stoll(m[1].str());
    }
  }
  long long ms() {
    std::lock_guard lock(mu_);
    return ms_;
  }

 private:
  std::mutex mu_;
  long long ms_ = 0;
};

long long StatusDroppedMs(IArchive* archive) {
  char text[1024];
  archive->GetStatusText(text, sizeof text);
  static const std::regex dropped(R"(Audio dropped: (\d+) ms)");
  std::cmatch m;
  return std::regex_search(text, m, dropped) ? std::stoll(m[1].str()) : 0;
}

struct StepResult {
  int n = 0;
  double cpu_per_archive = 0;  // fraction of one core
  double kept_pace = 0;
  long long dropped_ms = 0;
  long long close_dropped_ms = 0;
  double slowest_close_s = 0;
  double rss_mb = 0, peak_mb = 0;
  double heap_in_use_mb = 0;  // allocated and not freed, of what malloc holds
  bool passed() const { return dropped_ms == 0 && kept_pace >= kKeptPaceNeeded; }
};

StepResult RunStep(ArchiveHost* host, const ArchiveSetting& setting, int n, double window_s,
                   const std::string& root) {
  StepResult result;
  result.n = n;
  const std::string run = root + "/" + setting.name + std::to_string(n);
  std::vector<std::unique_ptr<HostOptions>> options;
  HostSkimSwitch skim_switch;  // off: the skim encoder records at its off format
  CloseDropLog close_log;
  std::vector<IArchive*> archives;
  for (int i = 0; i < n; ++i) {
    const std::string source = "p" + std::to_string(i);
    host->DefineSource(static_cast<uint32_t>(i), source.c_str());
    auto o = std::make_unique<HostOptions>();
    o->source_name = source;
    o->archive_path = run + "/a" + std::to_string(i);
    o->log_path = run + "/logs";
    o->log_prefix = "A" + std::to_string(i) + "-";
    o->live_bitrate_k = setting.live.bitrate_kbps;
    o->live_sample_rate = setting.live.sample_rate;
    o->live_channels = setting.live.channels;
    o->on_bitrate_k = o->off_bitrate_k = setting.skim.bitrate_kbps;
    o->on_sample_rate = o->off_sample_rate = setting.skim.sample_rate;
    o->on_channels = o->off_channels = setting.skim.channels;
    IArchive* archive = host->manager()->CreateArchive(("A" + std::to_string(i)).c_str());
    if (archive == nullptr || !archive->Open(o.get(), &skim_switch, nullptr, false, &close_log)) {
      std::fprintf(stderr, "archive %d did not open\n", i);
    }
    if (archive) archives.push_back(archive);
    options.push_back(std::move(o));
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));

  const auto begin = Clock::now();
  const double cpu_begin = logrum::bench::ProcessCpuSeconds();
  const uint64_t bytes_begin = AudioBytesUnder(run);
  std::this_thread::sleep_for(std::chrono::duration<double>(window_s));
  const double cpu = logrum::bench::ProcessCpuSeconds() - cpu_begin;
  const uint64_t bytes = AudioBytesUnder(run) - bytes_begin;
  const double elapsed = Seconds(Clock::now() - begin);
  for (IArchive* archive : archives) result.dropped_ms += StatusDroppedMs(archive);
  Memory(&result.rss_mb, &result.peak_mb);
  const struct mallinfo2 heap = mallinfo2();
  result.heap_in_use_mb = static_cast<double>(heap.uordblks + heap.hblkhd) / (1 << 20);

  // Closed side by side, as the server stops them.
  std::vector<double> close_s(archives.size());
  std::vector<std::thread> closing;
  for (size_t i = 0; i < archives.size(); ++i) {
    closing.emplace_back([&, i] {
      const auto at = Clock::now();
      archives[i]->Close();
      close_s[i] = Seconds(Clock::now() - at);
    });
  }
  for (auto& t : closing) t.join();
  for (IArchive* archive : archives) archive->Release();
  result.slowest_close_s = close_s.empty() ? 0 : *std::max_element(close_s.begin(), close_s.end());
  result.close_dropped_ms = close_log.ms();
  result.cpu_per_archive = cpu / elapsed / n;
  result.kept_pace = static_cast<double>(bytes) / (BytesPerSecond(setting.skim) * n * elapsed);
  std::error_code ec;
  std::filesystem::remove_all(run, ec);
  return result;
}

void PrintStep(const StepResult& r) {
  std::printf("  N=%-4d cpu_per_archive_pct=%6.2f kept_pace=%.3f dropped_ms=%-7lld "
              "slowest_close_s=%5.2f close_dropped_ms=%-6lld rss_mb=%7.1f heap_in_use_mb=%7.1f "
              "peak_rss_mb=%7.1f  %s\n",
              r.n, 100 * r.cpu_per_archive, r.kept_pace, r.dropped_ms, r.slowest_close_s,
              r.close_dropped_ms, r.rss_mb, r.heap_in_use_mb, r.peak_mb, r.passed() ? "ok" : "FAILS");
  std::fflush(stdout);
}

struct Options {
  bool full = false;
  std::string only;
  int from = 0, step = 0, at = 0;
  double window_s = 0;
};

void Search(ArchiveHost* host, const ArchiveSetting& setting, const Options& opt,
            const std::vector<int16_t>& material, const std::string& root) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const double encoders =
      logrum::bench::MeasureEncoders(setting, std::vector<int16_t>(
          material.begin(), material.begin() + static_cast<std::ptrdiff_t>(
                                                   kEncoderSeconds * logrum::bench::kProgrammeRate * 2)));
  if (encoders <= 0) {
    std::printf("%s: the encoders did not open\n", setting.name);
    return;
  }
  const double lame_bound = cores / encoders;
  const int step = opt.step > 0 ? opt.step
                                : std::max(1, static_cast<int>(std::lround(lame_bound / (opt.full ? 20 : 10))));
  int n = opt.from > 0 ? opt.from
                       : std::max(1, opt.full ? step : static_cast<int>(0.6 * lame_bound) / step * step);
  const double window = opt.window_s > 0 ? opt.window_s : (opt.full ? 30 : 8);
  std::printf("%s: encoders_cpu_per_archive_pct=%.2f cores=%u lame_bound_limit=%.1f "
              "(search from %d in steps of %d, %.0f s windows)\n",
              setting.name, 100 * encoders, cores, lame_bound, n, step, window);
  std::fflush(stdout);

  if (opt.at > 0) {
    PrintStep(RunStep(host, setting, opt.at, window, root));
    return;
  }
  StepResult best;
  StepResult first = RunStep(host, setting, n, window, root);
  PrintStep(first);
  if (first.passed()) {
    best = first;
    for (n += step; n <= kMaxDevices; n += step) {
      StepResult r = RunStep(host, setting, n, window, root);
      PrintStep(r);
      if (!r.passed()) break;
      best = r;
    }
  } else {
    // Below where the search meant to start: down in steps until one passes,
    // then up again in quarter steps towards the one that failed.
    int failed = n;
    for (n -= step; n >= 1; n -= step) {
      StepResult r = RunStep(host, setting, n, window, root);
      PrintStep(r);
      if (r.passed()) {
        best = r;
        break;
      }
      failed = n;
    }
    const int fine = std::max(1, step / 4);
    for (n = best.n + fine; best.n > 0 && n < failed; n += fine) {
      StepResult r = RunStep(host, setting, n, window, root);
      PrintStep(r);
      if (!r.passed()) break;
      best = r;
    }
  }
  std::printf("%s: limit=%d lame_bound_limit=%.1f ratio=%.2f cpu_per_archive_pct=%.2f "
              "(encoders %.2f, outside the encoders %.2f)\n\n",
              setting.name, best.n, lame_bound, best.n / lame_bound, 100 * best.cpu_per_archive,
              100 * encoders, 100 * (best.cpu_per_archive - encoders));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--full") opt.full = true;
    else if (arg.rfind("--setting=", 0) == 0) opt.only = arg.substr(10);
    else if (arg.rfind("--from=", 0) == 0) opt.from = std::atoi(arg.c_str() + 7);
    else if (arg.rfind("--step=", 0) == 0) opt.step = std::atoi(arg.c_str() + 7);
    else if (arg.rfind("--window=", 0) == 0) opt.window_s = std::atof(arg.c_str() + 9);
    else if (arg.rfind("--at=", 0) == 0) opt.at = std::atoi(arg.c_str() + 5);
    else {
      std::fprintf(stderr, "usage: %s [--full] [--setting=default|broadcast] [--from=N] "
                   "[--step=N] [--window=SECONDS] [--at=N]\n", argv[0]);
      return 2;
    }
  }
  char pattern[] = "/tmp/logrum-record-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::string root = pattern;
  const auto material = logrum::bench::ProgrammeMaterial(kMaterialSeconds);
  const std::string wav = root + "/programme.wav";
  if (!logrum::bench::WriteProgrammeWav(wav, material)) {
    std::fprintf(stderr, "cannot write %s\n", wav.c_str());
    return 1;
  }
  // Every device plays the material from its own place: 7.3 s apart, wrapping.
  std::string devices;
  for (int i = 0; i < kMaxDevices; ++i) {
    const double offset = std::fmod(i * 7.3, kMaterialSeconds);
    devices += "p" + std::to_string(i) + "=file:" + wav + "@" + std::to_string(offset) + ";";
  }
  setenv("LOGRUM2_VIRTUAL_DEVICES", devices.c_str(), 1);

  ArchiveHost host;
  if (const logrum::platform::Status loaded = host.Load(std::string(LOGRUM2_BUILD_DIR) + "/lib");
      !loaded.ok()) {
    std::fprintf(stderr, "%s\n", loaded.message().c_str());
    return 1;
  }
  for (const ArchiveSetting* setting : {&logrum::bench::kDefaultSetting,
                                        &logrum::bench::kBroadcastSetting}) {
    if (!opt.only.empty() && opt.only != setting->name) continue;
    Search(&host, *setting, opt, material, root);
  }
  host.Unload();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
