// The input side shared by both encoders: the sink that the audio source
// writes to, a bounded queue, and the worker thread that encodes.
//
// The capture feed thread serves every archive on its source, so Write never
// waits for encoding: it takes a reference on the block, stamps it with its
// input position, its capture time (the block's own, IBlock::GetTimeUs), its
// arrival time and (through Handler::Sample) whatever must be read at capture
// time, and queues it. When the queue already holds
// `max_queued_frames` of audio the block is dropped and counted; the next
// queued block carries the count, and the worker reports the gap
// (Handler::Gap) before it encodes that block. Nothing is dropped silently.
//
// Write(nullptr) (the source has stopped) reaches the worker as
// Handler::EndOfInput("source stopped"); Stop() encodes what is queued, calls
// EndOfInput("encoder closed") and ends the thread.
//
// Stop with a drain time bounds how long that takes: an overloaded machine may
// hold many seconds of audio in the queues of hundreds of encoders, and a
// close must not wait for all of it. What is still queued when the drain time
// has passed (real time, Clock::TickMs) is dropped, counted with the other
// drops and reported as one gap (Handler::Gap) just before EndOfInput, so the
// stream still ends properly. Stop then returns within the drain time plus
// the encoding of the block in progress.
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
  int64_t capture_us = 0;        // capture of the block's first frame; 0 when not stamped
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

  static constexpr uint32_t kDrainAll = UINT32_MAX;

  bool Start();  // false if already started
  // Idempotent. Encodes what is queued for at most `drain_ms` of real time.
  void Stop(uint32_t drain_ms = kDrainAll);

  bool Write(kit::IBlock* block) override;

  uint64_t dropped_frames() const;
  uint64_t queued_frames() const;  // waiting for the worker
  // Of dropped_frames(): those left queued when a Stop's drain time ran out.
  uint64_t dropped_at_stop_frames() const;

 private:
  void Run();
  // Stopping and the drain time has run out: takes everything queued out of
  // the queue and counts it as dropped (dropping_ then covers it).
  std::deque<InputItem> DiscardAfterDeadlineLocked() REQUIRES(mu_);

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
  uint64_t drain_until_ms_ GUARDED_BY(mu_) = 0;  // TickMs deadline while stopping
  bool drain_bounded_ GUARDED_BY(mu_) = false;
  uint64_t dropped_at_stop_ GUARDED_BY(mu_) = 0;
  std::thread thread_;
};

}  // namespace logrum::audenc
