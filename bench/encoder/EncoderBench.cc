// CPU of one archive's two encoders against the lame command line.
//
//   DefaultArchiveEncoders  the live and the skim encoder at the server's
//                           defaults (both 32 kbit/s 22050 Hz mono, from 44100 Hz
//                           stereo), fed as the capture source feeds them, against
//                           `lame` encoding the same PCM to the same two formats.
//                           cpu_ratio = encoders' CPU / lame's CPU (target <= 1.2).
//   Stereo128               x real time per core of one encoder at 128 kbit/s
//                           44100 Hz stereo.
//   ArchiveEncoders/0, /1   CPU of one archive's live and skim encoder at the
//                           configuration store's defaults (0) and at the broadcast
//                           setting (1), % of one core, and the LAME-bound limit:
//                           archives that this machine's cores could encode.
//                           archive_record_bench measures the same in its run.
// The material is programme-like (bench/encoder/ProgrammeLoad.h), as in
// archive_record_bench.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "External/Encoder/LiveEncoder.h"
#include "External/Encoder/SkimEncoder.h"
#include "Lib/Kit/MemBlock.h"
#include "bench/encoder/ProgrammeLoad.h"

namespace logrum::audenc {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kSeconds = 40;
constexpr uint32_t kPieceBytes = 36864;

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

const std::vector<int16_t>& SharedMaterial() {
  static const std::vector<int16_t> pcm = bench::ProgrammeMaterial(kSeconds);
  return pcm;
}

class NullReader : public kit::AudioSink {
 public:
  bool Write(kit::IBlock* block) override {
    if (block) bytes += block->GetDataLength();
    return true;
  }
  uint64_t bytes = 0;
};

// Feeds the material in capture-sized blocks, keeping the worker's queue short
// as a real-time source would.
template <typename Encoder>
void FeedAll(Encoder* encoder) {
  const auto& pcm = SharedMaterial();
  const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
  const size_t total = pcm.size() * 2;
  for (size_t at = 0; at < total; at += kPieceBytes) {
    const size_t n = std::min<size_t>(kPieceBytes, total - at);
    auto* block = new kit::MemBlock(kPieceBytes);
    std::memcpy(block->data(), bytes + at, n);
    block->set_data_length(static_cast<uint32_t>(n));
    block->set_flags(kit::kBlockFlagPcm);
    encoder->GetInputSink()->Write(block->block());
    block->Release();
    while (encoder->queued_frames() > 4 * kRate) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

double RunLameCli(const std::string& raw) {
  const double before = CpuSeconds(RUSAGE_CHILDREN);
  for (int i = 0; i < 2; ++i) {
    // -a: the raw input is stereo, mixed down to mono (with -m m lame would read it as mono).
    const std::string command = "lame --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian -a "
                                "--resample 22.05 -b 32 '" + raw + "' '" + raw + ".mp3' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return -1;
  }
  std::remove((raw + ".mp3").c_str());
  return CpuSeconds(RUSAGE_CHILDREN) - before;
}

void BM_DefaultArchiveEncoders(benchmark::State& state) {
  const auto& pcm = SharedMaterial();
  char dir_template[] = "/tmp/encoder-bench-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string raw = dir + "/in.raw";
  std::ofstream(raw, std::ios::binary)
      .write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));

  for (auto _ : state) {
    const double lame_cpu = RunLameCli(raw);

    LiveEncoderParams live_record{sizeof(LiveEncoderParams), kLiveEncoderKind, kRate, 2, kPieceBytes,
                                  32, 22050, 1, 104 * 38, 0, 0xFFFFFFFFu};
    SkimEncoderParams skim_record{};
    skim_record.cbSize = sizeof skim_record;
    skim_record.nKind = kSkimEncoderKind;
    skim_record.nInSampleRate = kRate;
    skim_record.nInChannels = 2;
    skim_record.cbInBlock = kPieceBytes;
    skim_record.nOffBitrateK = 32, skim_record.nOffSampleRate = 22050, skim_record.nOffChannels = 1;
    auto* live = new LiveEncoder(live_record);
    auto* skim = new SkimEncoder(skim_record);
    NullReader live_reader, skim_reader;
    if (!live->Open() || !skim->Open()) {
      state.SkipWithError("encoder did not open");
      break;
    }
    live->AddReader(&live_reader, 3);
    skim->AddReader(&skim_reader, 3);
    const double before = CpuSeconds(RUSAGE_SELF);
    // One capture source feeds both, as the feed thread does.
    const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
    const size_t total = pcm.size() * 2;
    for (size_t at = 0; at < total; at += kPieceBytes) {
      const size_t n = std::min<size_t>(kPieceBytes, total - at);
      auto* block = new kit::MemBlock(kPieceBytes);
      std::memcpy(block->data(), bytes + at, n);
      block->set_data_length(static_cast<uint32_t>(n));
      block->set_flags(kit::kBlockFlagPcm);
      live->GetInputSink()->Write(block->block());
      skim->GetInputSink()->Write(block->block());
      block->Release();
      while (live->queued_frames() > 4 * kRate || skim->queued_frames() > 4 * kRate)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    live->Close();
    skim->Close();
    const double ours_cpu = CpuSeconds(RUSAGE_SELF) - before;
    if (live->dropped_frames() + skim->dropped_frames() != 0) state.SkipWithError("audio dropped");
    live->Release();
    skim->Release();

    state.counters["lame_cli_cpu_s"] = lame_cpu;
    state.counters["encoders_cpu_s"] = ours_cpu;
    state.counters["cpu_ratio"] = ours_cpu / lame_cpu;
    state.counters["x_realtime_per_core_both"] = kSeconds / ours_cpu;
  }
  std::remove(raw.c_str());
  std::remove(dir.c_str());
}
BENCHMARK(BM_DefaultArchiveEncoders)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_Stereo128(benchmark::State& state) {
  for (auto _ : state) {
    LiveEncoderParams record{sizeof(LiveEncoderParams), kLiveEncoderKind, kRate, 2, kPieceBytes,
                             128, 44100, 2, 417 * 38, 0, 0xFFFFFFFFu};
    auto* live = new LiveEncoder(record);
    NullReader reader;
    if (!live->Open()) {
      state.SkipWithError("encoder did not open");
      break;
    }
    live->AddReader(&reader, 3);
    const double before = CpuSeconds(RUSAGE_SELF);
    FeedAll(live);
    live->Close();
    const double cpu = CpuSeconds(RUSAGE_SELF) - before;
    live->Release();
    state.counters["cpu_s"] = cpu;
    state.counters["x_realtime_per_core"] = kSeconds / cpu;
  }
}
BENCHMARK(BM_Stereo128)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_ArchiveEncoders(benchmark::State& state) {
  const bench::ArchiveSetting& setting =
      state.range(0) == 0 ? bench::kDefaultSetting : bench::kBroadcastSetting;
  state.SetLabel(setting.name);
  for (auto _ : state) {
    const double cpu = bench::MeasureEncoders(setting, SharedMaterial());
    if (cpu <= 0) {
      state.SkipWithError("encoder did not open or dropped audio");
      break;
    }
    state.counters["cpu_per_archive_pct"] = 100 * cpu;
    state.counters["lame_bound_limit"] = std::thread::hardware_concurrency() / cpu;
  }
}
BENCHMARK(BM_ArchiveEncoders)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace logrum::audenc

BENCHMARK_MAIN();
