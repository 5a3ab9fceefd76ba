// The input side shared by both encoders: the sink that the audio source
// writes to, a bounded queue, and the worker thread that encodes.
//
// The capture feed thread serves every archive on its source, so Write never
// waits for encoding: it takes a reference on the block, stamps it with its
// input position, its arrival time and (through Handler::Sample) whatever must
// be read at capture time, and queues it. When the queue already holds
// `max_queued_frames` of audio the block is dropped and counted; the next
// queued block carries the count, and the worker reports the gap
// (Handler::Gap) before it encodes that block. Nothing is dropped silently.
//
// Write(nullptr) (the source has stopped) reaches the worker as
// Handler::EndOfInput("source stopped"); Stop() encodes what is queued, calls
// EndOfInput("encoder closed") and ends the thread.
//
// Thread safety: Write on the feed thread; Start and Stop from the owner's
// thread; every Handler call except Sample runs on the worker thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "Lib/Kit/AudioSink.h"
#include "Lib/Kit/IBlock.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::audenc {

struct InputItem {
  kit::IBlock* block = nullptr;  // one reference held; null: end of input
  uint64_t position = 0;         // input frame of the block's first frame
  uint32_t frames = 0;
  int64_t wall_us = 0;           // arrival on the feed thread
  uint64_t dropped_before = 0;   // frames lost just before this block
  uint32_t sample = 0;           // Handler::Sample's reading
};

class EncoderWorker : public kit::AudioSink {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    // Feed thread: what to remember with the block (the skim switch reading).
    virtual uint32_t Sample() { return 0; }
    virtual void Process(const InputItem& item, const int16_t* pcm) = 0;
    virtual void Gap(uint64_t position, uint64_t frames, int64_t wall_us) = 0;
    virtual void EndOfInput(const char* why, int64_t wall_us) = 0;
  };

  EncoderWorker(Handler* handler, const char* thread_name, uint32_t input_channels,
                uint64_t max_queued_frames);
  ~EncoderWorker();  // Stop()

  bool Start();  // false if already started
  void Stop();   // idempotent

  bool Write(kit::IBlock* block) override;

  uint64_t dropped_frames() const;
  uint64_t queued_frames() const;  // waiting for the worker

 private:
  void Run();

  Handler* const handler_;
  const std::string thread_name_;
  const uint32_t frame_bytes_;
  const uint64_t max_queued_frames_;

  mutable kit::Mutex mu_;
  std::condition_variable wake_;
  std::deque<InputItem> queue_ GUARDED_BY(mu_);
  uint64_t queued_frames_ GUARDED_BY(mu_) = 0;
  uint64_t position_ GUARDED_BY(mu_) = 0;  // next input frame
  uint64_t dropping_ GUARDED_BY(mu_) = 0;  // dropped since the last queued block
  uint64_t dropped_total_ GUARDED_BY(mu_) = 0;
  bool accepting_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

}  // namespace logrum::audenc
