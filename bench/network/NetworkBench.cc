// Benchmarks of the network service over loopback, against an archive face
// held in memory (no recording):
//
//   ArchivedAudio       a 10-minute segment at 128 kbit/s played whole:
//                       time to the first AudioData and MB/s, against reading
//                       the same file directly (the baseline in this run).
//   LiveListeners/N     N clients follow one live stream of 128 kbit/s; the
//                       process CPU and resident memory per listener, against
//                       one listener, and the share of blocks received. The
//                       clients come from 127.0.0.2 on, 16 to an address (the
//                       cap per address), and the figures hold both ends.
//   SlowNeighbours      64 clients whose TCP window is shut (they read nothing)
//                       beside 64 healthy ones, during 21 s of stream at 5
//                       times its rate: the healthy ones must receive every
//                       block; the resident memory growth and the blocks the
//                       server holds show the stalled ones are bounded (10 s
//                       of stream each), and each is told with AudioError 4.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Network/NetArchive.h"
#include "Lib/ArchiveManager/Network/NetworkServer.h"
#include "Lib/ArchiveManager/Network/UserRights.h"
#include "Lib/ArchiveManager/Protocol/Client/ProtocolClient.h"
#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/Kit/Layer3Format.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Kit/MemBlock.h"
#include "Lib/Kit/ObjectPool.h"
#include "Lib/Kit/Options/OptionsReg.h"
#include "Lib/Kit/Options/RegistryKey.h"

namespace logrum::network {
namespace {

using Clock = std::chrono::steady_clock;

class BenchArchive : public NetArchive {
 public:
  std::string folder;
  LiveFormat live{128, 44100, 2, 836, 2304};

  bool IsActive() override { return true; }
  double GetUsedStorageMB() override { return 0; }
  double GetTotalStorageMB() override { return 0; }
  void AddClient() override {}
  void RemoveClient() override {}
  uint32_t GetClientCount() override { return 0; }
  bool ReadIndex(int64_t, int64_t, std::vector<IndexEntry>*) override { return true; }
  std::string GetFolder() override { return folder; }
  std::string GetExt() override { return ".mp3"; }
  bool RecordsToDisk() override { return false; }
  std::unique_ptr<LevelSubscription> SubscribeLevels(audio::LevelListener*) override {
    return nullptr;
  }
  bool GetLiveFormat(LiveFormat* format) override {
    *format = live;
    return true;
  }
  bool AddLiveReader(kit::AudioSink* reader) override {
    std::lock_guard lock(mu);
    readers.push_back(reader);
    return true;
  }
  bool RemoveLiveReader(kit::AudioSink* reader) override {
    std::lock_guard lock(mu);
    std::erase(readers, reader);
    return true;
  }
  size_t Readers() {
    std::lock_guard lock(mu);
    return readers.size();
  }
  // One block to every reader, as the live encoder's thread does.
  void Send(kit::CMemBlockFactory* pool) {
    kit::MemBlock* block = pool->GetBlock();
    std::memset(block->GetData(), 0x5A, live.block_size);
    block->set_data_length(live.block_size);
    {
      std::lock_guard lock(mu);
      for (kit::AudioSink* reader : readers) reader->Write(block);
    }
    block->Release();
  }

  std::mutex mu;
  std::vector<kit::AudioSink*> readers;
};

class BenchSource : public NetArchiveSource {
 public:
  BenchArchive archive;
  void EnumArchives(const std::function<void(const char*, NetArchive*)>& fn) override {
    fn("Bench", &archive);
  }
  NetArchive* FindArchive(const char* name) override {
    return std::strcmp(name, "Bench") == 0 ? &archive : nullptr;
  }
};

struct Fixture {
  Fixture() {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    char pattern[] = "/tmp/logrum-network-bench-XXXXXX";
    root = ::mkdtemp(pattern);
    source.archive.folder = root;
    if (!platform::Registry::Open(root + "/registry.db3", &store).ok()) std::abort();
    kit::RegistryKey users(false, store.get());
    if (!users.Open(kUsersKey, false).ok() || !users.WriteString("bench", "Password", "pw").ok()) {
      std::abort();
    }
    kit::OptionsReg rights(false, store.get());
    rights.SetInteger("Bench", kRightRecordings | kRightLive);
    if (!rights.Save(std::string(kUsersKey) + "\\bench\\ArchiveRights").ok()) std::abort();
    NetworkSettings settings;
    settings.store = store.get();
    settings.max_connections = 1100;
    // Long enough that the stalled clients of SlowNeighbours are still
    // connected when they read again (and are told), short of the client's.
    settings.send_timeout_ms = 60000;
    server = std::make_unique<NetworkServer>(&source, settings);
    if (!server->Open(0).ok()) std::abort();
  }
  ~Fixture() {
    server->Close();
    std::filesystem::remove_all(root);
  }
  // Client `index` connects from 127.0.0.2 on, 16 to an address.
  std::unique_ptr<protocol::ProtocolClient> Connect(int index = 0, uint32_t receive_buffer = 0) {
    auto client = std::make_unique<protocol::ProtocolClient>();
    protocol::ClientOptions options;
    options.local_address = "127.0.0." + std::to_string(2 + index / 16);
    options.receive_buffer = receive_buffer;
    options.answer_timeout_ms = 120000;
    if (!client->Connect("127.0.0.1", server->port(), options).ok()) std::abort();
    if (!client->Login("bench", "pw").ok() || !client->Attach("Bench").ok()) std::abort();
    return client;
  }
  std::string root;
  std::unique_ptr<platform::Registry> store;
  BenchSource source;
  std::unique_ptr<NetworkServer> server;
};

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ResidentMB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1e6;
}

class Counter : public protocol::AudioReceiver {
 public:
  bool OnAudioBegin(const protocol::AudioFormatInfo&) override { return true; }
  bool OnAudioData(const uint8_t*, size_t size) override {
    if (bytes == 0) first = Clock::now();
    bytes += size;
    ++blocks;
    return limit == 0 || blocks < limit;
  }
  Clock::time_point first;
  uint64_t bytes = 0;
  uint64_t blocks = 0;
  uint64_t limit = 0;
};

void ArchivedAudio(benchmark::State& state) {
  Fixture fixture;
  archive::CZoneTime start;
  archive::CZoneTime::Make(2026, 1, 2, 3, 0, 0, 0, &start);
  const kit::AudioFormat format{128, 44100, 2};
  const uint32_t block = kit::BlockSize(format);
  const uint64_t blocks = kit::BlocksCovering(format, 600000);
  {
    archive::CArchiveFileWrite writer(fixture.root, ".mp3", "Bench");
    platform::Status written = writer.Open(start, format, false);
    std::vector<uint8_t> data(block, 0x33);
    for (uint64_t i = 0; i < blocks && written.ok(); ++i) {
      written = writer.Write(data.data(), data.size());
    }
    if (written.ok()) written = writer.Close(start);
    if (!written.ok()) {
      state.SkipWithError(written.message().c_str());
      return;
    }
  }
  double direct_mbps = 0;
  {
    const auto t0 = Clock::now();
    archive::CArchiveFileRead reader(fixture.root, ".mp3");
    if (const platform::Status opened = reader.OpenAt(start, 0, 600000); !opened.ok()) {
      state.SkipWithError(opened.message().c_str());
      return;
    }
    std::vector<uint8_t> buffer(block);
    uint64_t bytes = 0;
    while (reader.Read(buffer.data(), block) == block) bytes += block;
    direct_mbps = bytes / 1e6 / std::chrono::duration<double>(Clock::now() - t0).count();
  }
  auto client = fixture.Connect();
  double first_ms = 0, mbps = 0;
  for (auto _ : state) {
    Counter counter;
    const auto t0 = Clock::now();
    if (!client->PlayArchive(start.ToLinear(), 0, 600000, counter).ok()) std::abort();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    first_ms = std::chrono::duration<double, std::milli>(counter.first - t0).count();
    mbps = counter.bytes / 1e6 / seconds;
  }
  state.counters["first_block_ms"] = first_ms;
  state.counters["MB_per_s"] = mbps;
  state.counters["direct_read_MB_per_s"] = direct_mbps;
  state.counters["ratio_to_direct"] = mbps / direct_mbps;
}
BENCHMARK(ArchivedAudio)->Unit(benchmark::kMillisecond)->Iterations(3);

double g_cpu_one = 0;

void LiveListeners(benchmark::State& state) {
  const int listeners = static_cast<int>(state.range(0));
  constexpr uint64_t kBlocks = 100;  // about 4.4 s of stream at 128 kbit/s
  Fixture fixture;
  kit::CMemBlockFactory* pool =
      kit::CMemBlockFactory::Create(64, 64, kit::kPoolUnlimited, fixture.source.archive.live.block_size);

  for (auto _ : state) {
    const double rss0 = ResidentMB();
    std::vector<std::unique_ptr<protocol::ProtocolClient>> clients;
    for (int i = 0; i < listeners; ++i) {
      clients.push_back(fixture.Connect(i));
    }
    std::vector<std::thread> threads;
    std::atomic<uint64_t> received{0};
    for (auto& client : clients) {
      threads.emplace_back([&client, &received] {
        Counter counter;
        counter.limit = kBlocks;
        client->PlayLive(counter);
        received += counter.blocks;
      });
    }
    while (fixture.source.archive.Readers() < static_cast<size_t>(listeners)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double rss1 = ResidentMB();
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    // Paced at ten times the stream's rate (26 ms blocks every 2.6 ms).
    for (uint64_t b = 0; b < kBlocks + 5; ++b) {
      fixture.source.archive.Send(pool);
      std::this_thread::sleep_until(t0 + std::chrono::microseconds(2612 * (b + 1)));
    }
    for (auto& thread : threads) thread.join();
    const double cpu = CpuSeconds() - cpu0;
    const double stream_s = kBlocks * 1152.0 / 44100.0;
    const double per_listener_pct = cpu / stream_s / listeners * 100;
    if (listeners == 1) g_cpu_one = per_listener_pct;
    state.counters["cpu_pct_of_core_per_listener_at_1x"] = per_listener_pct;
    state.counters["cpu_ratio_to_1"] = g_cpu_one > 0 ? per_listener_pct / g_cpu_one : 0;
    state.counters["rss_MB_per_listener"] = (rss1 - rss0) / listeners;
    state.counters["blocks_received_pct"] =
        100.0 * received.load() / (static_cast<double>(kBlocks) * listeners);
    clients.clear();
    fixture.server->WaitForActive(0, 30000);
  }
  pool->Release();
}
BENCHMARK(LiveListeners)->Arg(1)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

// Reads nothing until `resume` is set, then counts to the end of the stream.
class Stalled : public protocol::AudioReceiver {
 public:
  bool OnAudioBegin(const protocol::AudioFormatInfo&) override {
    ++begun;
    while (!resume.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
  }
  bool OnAudioData(const uint8_t*, size_t) override { return true; }
  static inline std::atomic<int> begun{0};
  static inline std::atomic<bool> resume{false};
};

void SlowNeighbours(benchmark::State& state) {
  constexpr int kEach = 64;
  constexpr uint64_t kBlocks = 800;  // 21 s of stream at 128 kbit/s, twice the limit
  Fixture fixture;
  BenchArchive& archive = fixture.source.archive;
  kit::CMemBlockFactory* pool =
      kit::CMemBlockFactory::Create(64, 64, kit::kPoolUnlimited, archive.live.block_size);
  for (auto _ : state) {
    Stalled::begun = 0;
    Stalled::resume = false;
    std::vector<std::unique_ptr<protocol::ProtocolClient>> stalled, healthy;
    for (int i = 0; i < kEach; ++i) stalled.push_back(fixture.Connect(i, 4096));
    std::vector<std::thread> threads;
    std::atomic<uint64_t> healthy_blocks{0};
    std::atomic<int> told{0}, dropped{0};
    for (auto& client : stalled) {
      threads.emplace_back([&client, &told, &dropped] {
        Stalled receiver;
        const protocol::ClientStatus status = client->PlayLive(receiver);
        // Told, or (a send that waited past its deadline) disconnected.
        if (status.result() == protocol::kAudioTooSlow) ++told;
        if (status.failed()) ++dropped;
      });
    }
    while (archive.Readers() < static_cast<size_t>(kEach) || Stalled::begun < kEach) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Shut their windows: blocks until the server's sends to them wait (the
    // kernel's send buffers take megabytes first) and their queues stay full.
    for (int b = 0; b < 20000; ++b) {
      archive.Send(pool);
      if (b % 16 != 15 || pool->Statistics().outstanding < 100) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      if (pool->Statistics().outstanding >= 100) break;
    }
    for (int i = 0; i < kEach; ++i) healthy.push_back(fixture.Connect(kEach + i));
    for (auto& client : healthy) {
      threads.emplace_back([&client, &healthy_blocks] {
        Counter counter;
        counter.limit = kBlocks;
        client->PlayLive(counter);
        healthy_blocks += counter.blocks;
      });
    }
    while (archive.Readers() < static_cast<size_t>(2 * kEach)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double rss0 = ResidentMB();
    uint32_t held_max = 0;
    const auto t0 = Clock::now();
    // At five times the stream's rate (26 ms blocks every 5.2 ms): a healthy
    // client may lag 2 s before it passes the limit.
    for (uint64_t b = 0; b < kBlocks; ++b) {
      archive.Send(pool);
      if (b % 100 == 99) held_max = std::max(held_max, pool->Statistics().outstanding);
      std::this_thread::sleep_until(t0 + std::chrono::microseconds(5224 * (b + 1)));
    }
    held_max = std::max(held_max, pool->Statistics().outstanding);
    const double rss1 = ResidentMB();
    // The healthy ones have every block by now or soon; then the stalled ones read on.
    while (healthy_blocks.load() < kBlocks * kEach &&
           Clock::now() - t0 < std::chrono::seconds(60)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const uint64_t healthy_received = healthy_blocks.load();
    Stalled::resume = true;
    for (auto& thread : threads) thread.join();
    state.counters["healthy_blocks_received_pct"] =
        100.0 * healthy_received / (static_cast<double>(kBlocks) * kEach);
    state.counters["stalled_told_AudioError4_pct"] = 100.0 * told.load() / kEach;
    state.counters["stalled_dropped_pct"] = 100.0 * dropped.load() / kEach;
    state.counters["rss_growth_MB_during_stream"] = rss1 - rss0;
    state.counters["blocks_held_max"] = held_max;
    // Every listener shares the same blocks: the server holds at most the
    // byte limit's worth (191 blocks), plus those being sent, for all of them.
    state.counters["blocks_limit_per_listener"] = 160000 / archive.live.block_size;
    stalled.clear();
    healthy.clear();
    fixture.server->WaitForActive(0, 30000);
  }
  pool->Release();
}
BENCHMARK(SlowNeighbours)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace logrum::network

BENCHMARK_MAIN();
