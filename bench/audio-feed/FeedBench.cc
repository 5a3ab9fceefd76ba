// Feed-thread time per captured block with 1, 8 and 32 subscribers, stereo and split.
//
// Each iteration is the feed thread's work for one block of 36864 bytes: take a block
// from the pool, copy the captured bytes in (what Read does), hand it to every sink
// (each sink takes and drops a reference, as a queue reader handing it on would), and
// release it; a split device also takes two more blocks and splits. The device itself
// is left out: its time is the platform's, not the feed thread's.
//
// Printed at the end: each case's time per block as a ratio of the one-subscriber
// stereo case measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Lib/AudioSource/AudioFeedThread.h"
#include "Lib/AudioSource/AudioSinkManager.h"
#include "Lib/Kit/ObjectPool.h"

namespace {

using logrum::audio::AudioSink;
using logrum::audio::CAudioSinkManager;
using logrum::audio::IBlock;

constexpr uint32_t kBlockBytes = 36864;

class HoldingSink : public AudioSink {
 public:
  bool Write(IBlock* block) override {
    if (block != nullptr) {
      block->AddRef();
      checksum_ += block->GetData()[0];
      block->Release();
    }
    return true;
  }
  uint64_t checksum_ = 0;
};

void FeedBlocks(benchmark::State& state, bool split) {
  const int subscribers = static_cast<int>(state.range(0));
  std::vector<HoldingSink> sinks(static_cast<size_t>(subscribers));
  CAudioSinkManager main_sinks, right_sinks;
  for (int i = 0; i < subscribers; ++i) {
    // A split device's subscribers are spread over its two sides.
    (split && i % 2 ? right_sinks : main_sinks).Add(&sinks[static_cast<size_t>(i)], 1);
  }
  std::vector<uint8_t> captured(kBlockBytes);
  for (size_t i = 0; i < captured.size(); ++i) captured[i] = static_cast<uint8_t>(i * 7);
  auto* pool = logrum::kit::CBlockPool::Create(kBlockBytes);
  for (auto _ : state) {
    auto* block = pool->GetBlock();
    block->set_flags(1);
    std::memcpy(block->data(), captured.data(), kBlockBytes);
    block->set_data_length(kBlockBytes);
    if (split) {
      auto* left = pool->GetBlock();
      auto* right = pool->GetBlock();
      logrum::audio::SplitBlock(block, left, right);
      main_sinks.FeedClients(left);
      right_sinks.FeedClients(right);
      left->Release();
      right->Release();
    } else {
      main_sinks.FeedClients(block);
    }
    block->Release();
  }
  pool->Release();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockBytes);
}

void BM_FeedStereo(benchmark::State& state) { FeedBlocks(state, false); }
void BM_FeedSplit(benchmark::State& state) { FeedBlocks(state, true); }

BENCHMARK(BM_FeedStereo)->Arg(1)->Arg(8)->Arg(32)->MinTime(0.2);
BENCHMARK(BM_FeedSplit)->Arg(1)->Arg(8)->Arg(32)->MinTime(0.2);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    auto base = times_.find("BM_FeedStereo/1/min_time:0.200");
    if (base == times_.end() || base->second <= 0) return;
    std::printf("\nFeed-thread time per %u-byte block (audio of one block: %.0f us at 44100 Hz),\n"
                "as a ratio of one stereo subscriber (%.2f us):\n",
                kBlockBytes, kBlockBytes / 4 * 1e6 / 44100, base->second / 1000.0);
    for (const auto& [name, time] : times_) {
      std::printf("  %-36s %8.2f us  x%.2f\n", name.c_str(), time / 1000.0, time / base->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
