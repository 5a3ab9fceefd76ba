// The encoders as the archive service sees them: through audenc.so's entry
// point, fed with pooled PCM blocks, read through their readers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "External/Encoder/EncoderWorker.h"
#include "Lib/Kit/Layer3Format.h"
#include "External/Encoder/include/Encoder.h"
#include "External/Encoder/tests/DecodeUtil.h"
#include "Lib/Kit/MemBlock.h"

namespace logrum::audenc {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kPieceBytes = 36864;  // the server's capture block: 9216 stereo frames
constexpr uint32_t kPieceFrames = kPieceBytes / 4;

class Module {
 public:
  Module() {
    handle_ = dlopen(LOGRUM2_BUILD_DIR "/lib/audenc.so", RTLD_NOW | RTLD_LOCAL);
    if (handle_) entry_ = reinterpret_cast<EncoderEntryFn>(dlsym(handle_, kEncoderEntry));
  }
  ~Module() {
    if (handle_) dlclose(handle_);
  }
  EncoderEntryFn entry() const { return entry_; }

 private:
  void* handle_ = nullptr;
  EncoderEntryFn entry_ = nullptr;
};

Module& TheModule() {
  static Module module;
  return module;
}

// A reader that keeps a copy of every block it is given.
class CollectingReader : public kit::AudioSink {
 public:
  bool Write(kit::IBlock* block) override {
    std::lock_guard lock(mu_);
    if (!block) {
      ++ends_;
    } else {
      EXPECT_EQ(block->GetFlags(), kBlockFlagLayer3);
      blocks_.emplace_back(block->GetData(), block->GetData() + block->GetDataLength());
      times_.push_back(block->GetTimeUs());
    }
    return true;
  }
  std::vector<std::vector<uint8_t>> blocks() {
    std::lock_guard lock(mu_);
    return blocks_;
  }
  int ends() {
    std::lock_guard lock(mu_);
    return ends_;
  }
  std::vector<int64_t> times() {
    std::lock_guard lock(mu_);
    return times_;
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<uint8_t>> blocks_;
  std::vector<int64_t> times_;
  int ends_ = 0;
};

class ScriptedSwitch : public SkimSwitch {
 public:
  bool IsOn() override { return on.load(); }
  bool IsRecordEnabled() override { return enabled.load(); }
  std::atomic<bool> on{false}, enabled{true};
};

class RecordingLog : public EventPoster {
 public:
  void Post(int32_t level, const char* text) override {
    std::lock_guard lock(mu_);
    messages_.push_back(std::to_string(level) + " " + text);
  }
  void Format(int32_t level, const char* format, va_list args) override {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    Post(level, text);
  }
  std::vector<std::string> messages() {
    std::lock_guard lock(mu_);
    return messages_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> messages_;
};

// Writes one captured block of a continuous tone; `piece` numbers the blocks.
// `capture_us` is the capture time the block carries (0: none).
void WritePiece(kit::AudioSink* sink, size_t piece, int64_t capture_us = 0) {
  auto* block = new kit::MemBlock(kPieceBytes);
  const auto pcm = test::Sine(440.0, kRate, 2, kPieceFrames, 12000.0, piece * kPieceFrames);
  std::memcpy(block->data(), pcm.data(), kPieceBytes);
  block->set_data_length(kPieceBytes);
  block->set_flags(kit::kBlockFlagPcm);
  block->set_time_us(capture_us);
  EXPECT_TRUE(sink->Write(block->block()));
  block->Release();
}

LiveEncoderParams LiveRecord(uint32_t out_block) {
  return {sizeof(LiveEncoderParams), kLiveEncoderKind, kRate, 2, kPieceBytes, 32, 22050, 1,
          out_block, 0, 0xFFFFFFFFu};
}

SkimEncoderParams SkimRecord(SkimSwitch* skim_switch, EventPoster* log, uint32_t pre, uint32_t post) {
  SkimEncoderParams p{};
  p.cbSize = sizeof(SkimEncoderParams);
  p.nKind = kSkimEncoderKind;
  p.nInSampleRate = kRate;
  p.nInChannels = 2;
  p.cbInBlock = kPieceBytes;
  p.nOnBitrateK = 64, p.nOnSampleRate = 44100, p.nOnChannels = 2;
  p.nOffBitrateK = 32, p.nOffSampleRate = 22050, p.nOffChannels = 1;
  p.nPreDelayMs = pre;
  p.nPostDelayMs = post;
  p.pSkimSwitch = skim_switch;
  p.pEventLog = log;
  return p;
}

TEST(EncoderModuleTest, EntryAcceptsOnlyRecordsOfTheirKindsSize) {
  ASSERT_NE(TheModule().entry(), nullptr) << dlerror();
  const EncoderEntryFn entry = TheModule().entry();
  EXPECT_EQ(entry(nullptr), nullptr);
  LiveEncoderParams live = LiveRecord(104 * 38);
  SkimEncoderParams skim = SkimRecord(nullptr, nullptr, 0, 0);
  auto* live_encoder = static_cast<ILiveEncoder*>(entry(&live));
  auto* skim_encoder = static_cast<ISkimEncoder*>(entry(&skim));
  ASSERT_NE(live_encoder, nullptr);
  ASSERT_NE(skim_encoder, nullptr);
  EXPECT_EQ(live_encoder->GetParams()->cbOutBlock, 104u * 38);
  EXPECT_EQ(skim_encoder->GetParams()->nPreDelayMs, 0u);
  live_encoder->Release();
  skim_encoder->Release();

  LiveEncoderParams wrong_size = live;
  wrong_size.cbSize = 64;
  EXPECT_EQ(entry(&wrong_size), nullptr);
  SkimEncoderParams skim_as_live = skim;
  skim_as_live.nKind = kLiveEncoderKind;
  EXPECT_EQ(entry(&skim_as_live), nullptr);
  LiveEncoderParams other_kind = live;
  other_kind.nKind = 3;
  EXPECT_EQ(entry(&other_kind), nullptr);
}

TEST(EncoderModuleTest, OpenFailsForFormatsThatCannotBeWritten) {
  const EncoderEntryFn entry = TheModule().entry();
  ASSERT_NE(entry, nullptr);
  LiveEncoderParams odd_block = LiveRecord(105);  // not a whole number of 104-byte blocks
  auto* live = static_cast<ILiveEncoder*>(entry(&odd_block));
  ASSERT_NE(live, nullptr);
  EXPECT_FALSE(live->Open());
  live->Release();

  RecordingLog log;
  SkimEncoderParams bad = SkimRecord(nullptr, &log, 0, 0);
  bad.nOnBitrateK = 20;  // odd rates only below 32000 Hz
  auto* skim = static_cast<ISkimEncoder*>(entry(&bad));
  ASSERT_NE(skim, nullptr);
  EXPECT_FALSE(skim->Open());
  skim->Release();
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0].rfind("1 ERROR: Skim encoder: 20 kbit/s 44100 Hz stereo", 0), 0u)
      << log.messages()[0];
}

TEST(EncoderModuleTest, LiveBlocksHaveExactlyTheLiveBlockSize) {
  const EncoderEntryFn entry = TheModule().entry();
  ASSERT_NE(entry, nullptr);
  // One second of live audio: 38 frames of 26.1 ms.
  const uint32_t out_block = 104 * 38;
  LiveEncoderParams record = LiveRecord(out_block);
  auto* live = static_cast<ILiveEncoder*>(entry(&record));
  ASSERT_TRUE(live->Open());
  CollectingReader reader, ignored;
  EXPECT_TRUE(live->AddReader(&reader, 3));
  EXPECT_FALSE(live->AddReader(&reader, 3));
  EXPECT_TRUE(live->AddReader(&ignored, kit::kBlockFlagPcm));  // a mask without the layer 3 flag
  for (size_t i = 0; i < 30; ++i) WritePiece(live->GetInputSink(), i);
  live->Close();
  EXPECT_EQ(reader.ends(), 1);
  live->Release();

  const auto blocks = reader.blocks();
  EXPECT_TRUE(ignored.blocks().empty());
  ASSERT_EQ(blocks.size(), 30u * kPieceFrames / 2 / 576 / 38);
  std::vector<uint8_t> stream;
  for (const auto& block : blocks) {
    EXPECT_EQ(block.size(), out_block);
    stream.insert(stream.end(), block.begin(), block.end());
  }
  size_t frames = 0;
  std::string why;
  EXPECT_TRUE(test::CheckFrames(stream, {32, 22050, 1}, &frames, &why)) << why;
  const test::Decoded decoded = test::Decode(test::Decoder::kFfmpeg, stream);
  EXPECT_TRUE(decoded.ok) << decoded.errors;
  EXPECT_NEAR(test::ZeroCrossingHz(decoded.pcm, 1, 22050, 2000, decoded.pcm.size()), 440.0, 1.0);
}

struct SkimBlock {
  uint8_t state, channels;
  uint16_t bitrate, rate;
  size_t audio_bytes;
};

std::vector<SkimBlock> ParseSkimBlocks(const std::vector<std::vector<uint8_t>>& blocks) {
  std::vector<SkimBlock> result;
  for (const auto& b : blocks) {
    EXPECT_GE(b.size(), kSkimHeaderBytes);
    if (b.size() < kSkimHeaderBytes) continue;
    EXPECT_EQ(b[2] | b[3] | b[8] | b[9] | b[10] | b[11], 0);
    result.push_back({b[0], b[1], static_cast<uint16_t>(b[4] | b[5] << 8),
                      static_cast<uint16_t>(b[6] | b[7] << 8), b.size() - kSkimHeaderBytes});
  }
  return result;
}

// The states in order, with the audio bytes of each stretch.
std::vector<std::pair<int, size_t>> Stretches(const std::vector<SkimBlock>& blocks) {
  std::vector<std::pair<int, size_t>> result;
  for (const SkimBlock& b : blocks) {
    if (result.empty() || result.back().first != b.state) result.emplace_back(b.state, 0);
    result.back().second += b.audio_bytes;
  }
  return result;
}

TEST(EncoderModuleTest, SkimBlocksFollowTheSwitchWithDelays) {
  const EncoderEntryFn entry = TheModule().entry();
  ASSERT_NE(entry, nullptr);
  ScriptedSwitch skim_switch;
  RecordingLog log;
  SkimEncoderParams record = SkimRecord(&skim_switch, &log, 1000, 2000);
  auto* skim = static_cast<ISkimEncoder*>(entry(&record));
  ASSERT_TRUE(skim->Open());
  CollectingReader reader;
  ASSERT_TRUE(skim->AddReader(&reader, 3));
  // Written faster than real time: fewer pieces than the worker's 10 s queue.
  for (size_t i = 0; i < 45; ++i) {
    skim_switch.on = i >= 15 && i < 22;  // read when the block is written
    WritePiece(skim->GetInputSink(), i);
  }
  skim->Close();
  EXPECT_TRUE(skim->RemoveReader(&reader));
  skim->Release();

  const auto blocks = ParseSkimBlocks(reader.blocks());
  for (const SkimBlock& b : blocks) {
    if (b.state == kSkimStateOff) {
      EXPECT_EQ(b.channels, 1);
      EXPECT_EQ(b.bitrate, 32);
      EXPECT_EQ(b.rate, 22050);
      EXPECT_EQ(b.audio_bytes % 104, 0u);
    } else if (b.state == kSkimStateOn) {
      EXPECT_EQ(b.channels, 2);
      EXPECT_EQ(b.bitrate, 64);
      EXPECT_EQ(b.rate, 44100);
      EXPECT_EQ(b.audio_bytes % 208, 0u);
    }
  }
  // The switch closes at input frame 138240 and opens at 202752. Off until
  // 94464 (82 blocks: the first boundary after 138240 - 1 s), on to 291456
  // (171 blocks: the first after 202752 + 2 s), off to the end (107 blocks),
  // then closed.
  const std::vector<std::pair<int, size_t>> expected = {
      {kSkimStateOff, 82 * 104}, {kSkimStateOn, 171 * 208}, {kSkimStateOff, 107 * 104},
      {kSkimStateStopped, 0}};
  EXPECT_EQ(Stretches(blocks), expected);

  const auto messages = log.messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_NE(messages[0].find("2 INFO: Skim encoder: skim OFF at "), std::string::npos) << messages[0];
  EXPECT_NE(messages[1].find("skim ON at "), std::string::npos) << messages[1];
  EXPECT_NE(messages[1].find("64 kbit/s 44100 Hz stereo, input frame 94464"), std::string::npos)
      << messages[1];
  EXPECT_NE(messages[3].find("recording stopped at "), std::string::npos) << messages[3];
  EXPECT_NE(messages[3].find("(encoder closed)"), std::string::npos) << messages[3];
}

// Each skim block carries the capture time of the first input frame its
// audio holds: exact to the sample whatever the encoder holds back (LAME's
// delay, the pre-delay, the queue), and stepping with the input's own times
// when the clock steps between two captured blocks. The 12-byte header stays
// as it was. The closing block carries the end of the input.
TEST(EncoderModuleTest, SkimBlocksCarryTheCaptureTimeOfTheirFirstSample) {
  const EncoderEntryFn entry = TheModule().entry();
  ASSERT_NE(entry, nullptr);
  // Off only, 32 kbit/s 22050 Hz mono: each layer 3 block is 1152 input frames.
  SkimEncoderParams record = SkimRecord(nullptr, nullptr, 1000, 0);
  auto* skim = static_cast<ISkimEncoder*>(entry(&record));
  ASSERT_TRUE(skim->Open());
  CollectingReader reader;
  ASSERT_TRUE(skim->AddReader(&reader, 3));
  constexpr int64_t kT0 = 1'767'000'000'000'000;
  constexpr size_t kPieces = 40, kStepPiece = 20;
  constexpr int64_t kStepUs = 7200LL * 1000000;
  // When input frame p was captured.
  auto captured_us = [&](uint64_t p) {
    const uint64_t piece = p / kPieceFrames;
    const int64_t offset = static_cast<int64_t>(p % kPieceFrames) * 1000000 / kRate;
    return kT0 + (piece >= kStepPiece ? kStepUs : 0) +
           static_cast<int64_t>(piece * kPieceFrames) * 1000000 / kRate + offset;
  };
  for (size_t i = 0; i < kPieces; ++i) {
    WritePiece(skim->GetInputSink(), i, captured_us(i * kPieceFrames));
  }
  skim->Close();
  skim->Release();

  const auto blocks = ParseSkimBlocks(reader.blocks());
  const auto times = reader.times();
  ASSERT_EQ(blocks.size(), times.size());
  ASSERT_GE(blocks.size(), 3u);
  uint64_t frame = 0;
  bool stepped = false;
  for (size_t i = 0; i + 1 < blocks.size(); ++i) {
    ASSERT_EQ(blocks[i].state, kSkimStateOff) << i;
    EXPECT_NEAR(static_cast<double>(times[i]), static_cast<double>(captured_us(frame)), 2.0)
        << "block " << i << " from input frame " << frame;
    if (times[i] > kT0 + kStepUs) stepped = true;
    frame += blocks[i].audio_bytes / 104 * 1152;
  }
  EXPECT_TRUE(stepped);
  EXPECT_GE(frame, kPieces * kPieceFrames);
  EXPECT_EQ(blocks.back().state, kSkimStateStopped);
  EXPECT_NEAR(static_cast<double>(times.back()),
              static_cast<double>(captured_us(kPieces * kPieceFrames)), 2.0);
}

TEST(EncoderModuleTest, PausedScheduleAndFullStorageGiveStateStoppedAndResume) {
  const EncoderEntryFn entry = TheModule().entry();
  ASSERT_NE(entry, nullptr);
  ScriptedSwitch skim_switch;
  RecordingLog log;
  SkimEncoderParams record = SkimRecord(&skim_switch, &log, 0, 0);
  auto* skim = static_cast<ISkimEncoder*>(entry(&record));
  ASSERT_TRUE(skim->Open());
  CollectingReader reader;
  ASSERT_TRUE(skim->AddReader(&reader, 3));
  for (size_t i = 0; i < 20; ++i) {
    skim_switch.enabled = !(i >= 5 && i < 8);
    skim->SetStorageFull(i >= 12 && i < 15);
    WritePiece(skim->GetInputSink(), i);
  }
  skim->Close();
  skim->Release();
  // 9216 input frames are 8 off blocks of 104 bytes.
  const std::vector<std::pair<int, size_t>> expected = {
      {kSkimStateOff, 5 * 8 * 104}, {kSkimStateStopped, 0}, {kSkimStateOff, 4 * 8 * 104},
      {kSkimStateStopped, 0},       {kSkimStateOff, 5 * 8 * 104}, {kSkimStateStopped, 0}};
  EXPECT_EQ(Stretches(ParseSkimBlocks(reader.blocks())), expected);
  const auto messages = log.messages();
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_NE(messages[1].find("(schedule paused)"), std::string::npos) << messages[1];
  EXPECT_NE(messages[3].find("(storage full)"), std::string::npos) << messages[3];
}

// A worker whose encoding stalls: the feed thread is never held up, the blocks
// that do not fit are dropped, and the loss reaches the handler with its size.
TEST(EncoderWorkerTest, OverflowDropsAndReportsTheGap) {
  struct StallingHandler : EncoderWorker::Handler {
    std::mutex mu;
    std::condition_variable cv;
    bool entered = false, release = false;
    std::vector<std::pair<uint64_t, uint64_t>> processed, gaps;
    std::vector<std::string> ends;
    void Process(const InputItem& item, const int16_t*) override {
      std::unique_lock lock(mu);
      entered = true;
      cv.notify_all();
      cv.wait(lock, [this] { return release; });
      processed.emplace_back(item.position, item.frames);
    }
    void Gap(uint64_t position, uint64_t frames, int64_t) override {
      std::lock_guard lock(mu);
      gaps.emplace_back(position, frames);
    }
    void EndOfInput(const char* why, int64_t) override {
      std::lock_guard lock(mu);
      ends.emplace_back(why);
    }
  } handler;
  // Room for two blocks in the queue.
  EncoderWorker worker(&handler, "test", 2, 2 * kPieceFrames);
  ASSERT_TRUE(worker.Start());
  WritePiece(&worker, 0);
  {
    std::unique_lock lock(handler.mu);
    handler.cv.wait(lock, [&] { return handler.entered; });
  }
  for (size_t i = 1; i <= 5; ++i) WritePiece(&worker, i);  // 1, 2 queued; 3, 4, 5 dropped
  EXPECT_EQ(worker.dropped_frames(), 3u * kPieceFrames);
  WritePiece(&worker, 6);  // still full: dropped too
  {
    std::lock_guard lock(handler.mu);
    handler.release = true;
  }
  handler.cv.notify_all();
  worker.Stop();
  const std::vector<std::pair<uint64_t, uint64_t>> processed = {
      {0, kPieceFrames}, {kPieceFrames, kPieceFrames}, {2 * kPieceFrames, kPieceFrames}};
  EXPECT_EQ(handler.processed, processed);
  const std::vector<std::pair<uint64_t, uint64_t>> gaps = {{3 * kPieceFrames, 4 * kPieceFrames}};
  EXPECT_EQ(handler.gaps, gaps);
  EXPECT_EQ(handler.ends, std::vector<std::string>{"encoder closed"});
  EXPECT_FALSE(worker.Write(nullptr));  // stopped
}

}  // namespace
}  // namespace logrum::audenc
