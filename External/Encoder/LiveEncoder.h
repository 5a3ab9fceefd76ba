// The live encoder: one continuous layer 3 stream for live listeners
// (ILiveEncoder). Every block sent to the readers is exactly the record's
// output block size, a whole number of layer 3 blocks.
//
// Audio lost to an overloaded worker or a stopped source ends the running
// stream (its last block is completed with silence) and a new one starts with
// the next input, so the live blocks stay whole and decodable.
//
// Thread safety: as ILiveEncoder (include/Encoder.h).
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "External/Encoder/EncoderWorker.h"
#include "External/Encoder/Layer3Stream.h"
#include "External/Encoder/ReaderList.h"
#include "External/Encoder/include/Encoder.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::audenc {

class LiveEncoder final : public ILiveEncoder, private EncoderWorker::Handler {
 public:
  explicit LiveEncoder(const LiveEncoderParams& params);

  void Release() override;
  bool Open() override;
  void Close() override;
  kit::AudioSink* GetInputSink() override;
  bool AddReader(kit::AudioSink* reader, uint32_t dwMask) override;
  bool RemoveReader(kit::AudioSink* reader) override;
  const LiveEncoderParams* GetParams() override;

  uint64_t dropped_frames() const { return worker_.dropped_frames(); }
  uint64_t queued_frames() const { return worker_.queued_frames(); }

 private:
  ~LiveEncoder();

  void Process(const InputItem& item, const int16_t* pcm) override;
  void Gap(uint64_t position, uint64_t frames, int64_t wall_us) override;
  void EndOfInput(const char* why, int64_t wall_us) override;
  void EndStream();
  void SendWhole();

  const LiveEncoderParams params_;
  kit::AudioFormat format_;
  kit::Mutex open_mu_;  // serialises Open and Close
  bool open_ GUARDED_BY(open_mu_) = false;
  // The worker thread's while open:
  std::unique_ptr<Layer3Stream> stream_;
  std::vector<uint8_t> pending_;  // encoded bytes not yet a whole live block
  ReaderList readers_;
  EncoderWorker worker_;
};

}  // namespace logrum::audenc
