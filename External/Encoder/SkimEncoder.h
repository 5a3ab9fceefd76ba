// The skim encoder: the recording side's encoder (ISkimEncoder).
//
// The input sink polls the skim switch, the schedule flag and the storage-full
// flag for every captured block on the feed thread and queues the block; the
// worker thread runs the SkimCore and sends each result to the readers as a
// block of the 12-byte skim header and whole layer 3 blocks. A change to state
// 255 is sent as a header-only block. Every block carries, beside its bytes
// (IBlock::GetTimeUs), the capture time of the first input frame its audio
// holds (of the change, for a header-only block); input blocks without a
// capture time count as captured just before they arrived. Every change of state is posted to the
// archive's event log with the time it takes effect.
//
// Thread safety: as ISkimEncoder (include/Encoder.h).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "External/Encoder/EncoderWorker.h"
#include "External/Encoder/ReaderList.h"
#include "External/Encoder/SkimCore.h"
#include "External/Encoder/include/Encoder.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::audenc {

class SkimEncoder final : public ISkimEncoder,
                          private EncoderWorker::Handler,
                          private SkimCore::Sink {
 public:
  explicit SkimEncoder(const SkimEncoderParams& params);

  void Release() override;
  bool Open() override;
  void Close() override;
  void SetStorageFull(bool bFull) override;
  kit::AudioSink* GetInputSink() override;
  bool AddReader(kit::AudioSink* reader, uint32_t dwMask) override;
  bool RemoveReader(kit::AudioSink* reader) override;
  const SkimEncoderParams* GetParams() override;
  uint64_t GetDroppedMs() override;

  uint64_t dropped_frames() const { return worker_.dropped_frames(); }
  uint64_t queued_frames() const { return worker_.queued_frames(); }
  uint64_t dropped_at_stop_frames() const { return worker_.dropped_at_stop_frames(); }

 private:
  ~SkimEncoder();

  // EncoderWorker::Handler
  uint32_t Sample() override;
  void Process(const InputItem& item, const int16_t* pcm) override;
  void Gap(uint64_t position, uint64_t frames, int64_t wall_us) override;
  void EndOfInput(const char* why, int64_t wall_us) override;
  // SkimCore::Sink
  void Audio(uint8_t state, const kit::AudioFormat& format, std::span<const uint8_t> data,
             int64_t time_us) override;
  void StateChanged(uint8_t state, const kit::AudioFormat& format, uint64_t position, int64_t wall_us,
                    const std::string& why) override;
  void Message(int32_t level, const std::string& text) override;

  const SkimEncoderParams params_;
  kit::Mutex open_mu_;  // serialises Open and Close
  bool open_ GUARDED_BY(open_mu_) = false;
  std::unique_ptr<SkimCore> core_;   // the worker thread's while open
  ReaderList readers_;
  EncoderWorker worker_;             // the input sink, for the encoder's whole life
  std::atomic<bool> storage_full_{false};
};

}  // namespace logrum::audenc
