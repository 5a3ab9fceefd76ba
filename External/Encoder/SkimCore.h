// The skim encoder's recording logic, apart from threads and blocks.
//
// Input arrives in pieces (one captured block each) together with what the
// skim switch, the schedule and the storage said when the piece arrived. The
// core holds back the last PreDelay of audio, so that when the switch closes
// the on format can begin PreDelay before it; the on format lasts PostDelay
// past the switch's release:
//
//   on at input position p  <=>  the switch was on at some position q with
//                                p - PostDelay <= q <= p + PreDelay
//
// Every piece's switch reading stands for the whole piece. The state of a
// released position is then
//   255 (stopped)  schedule paused, storage full, or the state's bit rate is 0;
//   1 (on) / 0 (off) otherwise.
// A change of state takes effect at the first block boundary of the running
// stream at or after the position where it falls (so no stream ends with
// silence); a stream that starts after a stopped stretch starts exactly there.
// A new stream is primed with the audio just before its start, so the old and
// the new stream join without a gap or a repeat when decoded.
//
// Positions count input frames from Open; dropped audio (Gap) advances them
// too. Output goes to a Sink: layer 3 data tagged with the state and format
// it belongs to, and the state changes themselves (with the wall time at
// which the change is heard in the recording).
//
// Time. Each piece comes with the capture time of its first frame, so the
// time of any input position is known to the sample: the piece's time plus
// the frames before the position. Each run of layer 3 blocks handed to the
// Sink carries the time of the first input frame its first block holds. The
// stream hides the encoder's delay (Layer3Stream: block k starts at input
// frame BlockStartFrame(k) of its stream), and the held-back pre-delay only
// delays when a block comes out, not the time it carries.
//
// Thread safety: none; the skim encoder's worker thread owns it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Lib/Kit/Layer3Format.h"
#include "External/Encoder/Layer3Stream.h"
#include "External/Encoder/include/Encoder.h"

namespace logrum::audenc {

struct SwitchSample {
  bool on = false;       // skim input active
  bool enabled = true;   // the schedule lets the archive record
  bool full = false;     // the storage is full
};

struct SkimConfig {
  uint32_t input_rate = 44100;
  uint32_t input_channels = 2;
  kit::AudioFormat on;   // bit rate 0: nothing recorded while on
  kit::AudioFormat off;  // bit rate 0: nothing recorded while off
  uint32_t pre_delay_ms = 0;
  uint32_t post_delay_ms = 0;
  // The most bytes one Sink::Audio call takes (whole blocks; at least one
  // block); 0: no limit. Each call carries its own time.
  uint32_t max_audio_bytes = 0;
};

class SkimCore {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    // Whole layer 3 blocks of the current stream, at most max_audio_bytes; the
    // first of them begins with the input frame captured at `time_us`. A state
    // change to 255 is told by StateChanged alone.
    virtual void Audio(uint8_t state, const kit::AudioFormat& format, std::span<const uint8_t> data,
                       int64_t time_us) = 0;
    // The state from input position `position` on; `wall_us` is when that
    // position was captured; `why` says what caused it.
    virtual void StateChanged(uint8_t state, const kit::AudioFormat& format, uint64_t position,
                              int64_t wall_us, const std::string& why) = 0;
    // A message for the archive's event log.
    virtual void Message(int32_t level, const std::string& text) = 0;
  };

  // Fails when a non-zero format cannot be written.
  static platform::Status Create(const SkimConfig& config, Sink* sink,
                                 std::unique_ptr<SkimCore>* core);

  // One captured piece of interleaved 16-bit PCM; `capture_us` is when its
  // first frame was captured.
  void Input(const int16_t* pcm, size_t frames, const SwitchSample& sample, int64_t capture_us);
  // `frames` input frames were lost before the next Input: everything held is
  // recorded, the stream ends (state 255) and a new one starts afterwards.
  void Gap(uint64_t frames, int64_t wall_us);
  // The input has ended (source stopped, encoder closing): records what is held
  // back, ends the stream and reports state 255 for `why`.
  void End(const std::string& why, int64_t wall_us);

  uint64_t position() const { return now_; }
  uint64_t released() const { return released_; }
  uint64_t pre_frames() const { return pre_frames_; }
  uint64_t post_frames() const { return post_frames_; }

 private:
  struct Piece {
    uint64_t begin, end;
    SwitchSample sample;
    int64_t begin_us;  // when `begin` was captured
  };
  enum : int { kNone = -1 };

  SkimCore(const SkimConfig& config, Sink* sink);
  uint8_t StateAt(uint64_t p, std::string* why) const;
  uint64_t NextChange(uint64_t p, uint64_t limit) const;
  int64_t WallAt(uint64_t p) const;
  const kit::AudioFormat& FormatOf(int state) const;
  void Release(uint64_t limit);
  void Begin(uint8_t state, uint64_t p, const std::string& why);
  bool Feed(uint64_t p, uint64_t frames);
  // Hands out_ (blocks from `first_block` of the current stream on) to the sink,
  // in runs of at most max_audio_bytes, each with its time.
  void EmitAudio(uint64_t first_block);
  void FinishStream();
  void Fail(const std::string& what);
  const int16_t* PcmAt(uint64_t p) const;
  void Trim();

  const SkimConfig config_;
  Sink* const sink_;
  const uint32_t channels_;
  uint64_t pre_frames_ = 0;
  uint64_t post_frames_ = 0;
  uint32_t history_frames_ = 0;  // kept before the release point for priming

  std::vector<int16_t> pcm_;  // input frames [pcm_begin_, now_)
  uint64_t pcm_begin_ = 0;
  uint64_t released_ = 0;     // frames before this have been given to a stream (or skipped)
  uint64_t now_ = 0;          // input frames seen (and lost)
  std::deque<Piece> pieces_;

  int state_ = kNone;
  std::unique_ptr<Layer3Stream> stream_;
  uint64_t stream_begin_ = 0;  // input position of the current stream's first frame
  bool closing_ = false;      // the stream is being run to its block end
  std::vector<uint8_t> out_;
};

}  // namespace logrum::audenc
