#include "bench/encoder/ProgrammeLoad.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <thread>

#include "External/Encoder/LiveEncoder.h"
#include "External/Encoder/SkimEncoder.h"
#include "Lib/Kit/MemBlock.h"

namespace logrum::bench {
namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

class Random {
 public:
  explicit Random(uint32_t seed) : state_(seed) {}
  double Uniform() {  // [0, 1)
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<double>(state_) / 4294967296.0;
  }
  double Noise() { return 2 * Uniform() - 1; }

 private:
  uint32_t state_;
};

// A two-pole resonator: speech formants.
class Resonator {
 public:
  double Run(double x, double hz, double bandwidth_hz) {
    const double r = std::exp(-std::numbers::pi * bandwidth_hz / kProgrammeRate);
    const double a1 = 2 * r * std::cos(kTwoPi * hz / kProgrammeRate);
    const double a2 = -r * r;
    const double y = (1 - r) * x + a1 * y1_ + a2 * y2_;
    y2_ = y1_;
    y1_ = y;
    return y;
  }

 private:
  double y1_ = 0, y2_ = 0;
};

// Twelve-tone steps of a pentatonic scale around A3.
double NoteHz(int step) {
  static const int kScale[] = {0, 2, 4, 7, 9, 12, 14, 16, 19, 21};
  return 220.0 * std::pow(2.0, kScale[step % 10] / 12.0);
}

}  // namespace

std::vector<int16_t> ProgrammeMaterial(double seconds) {
  const size_t frames = static_cast<size_t>(seconds * kProgrammeRate);
  std::vector<int16_t> pcm(frames * 2);
  Random random(20261210);
  constexpr int kVoices = 3, kPartials = 8;
  double phase[kVoices][kPartials] = {};
  double pitch[kVoices] = {220, 277, 330};
  double target[kVoices] = {220, 277, 330};
  double next_note_s = 0, burst = 0, burst_hp_prev = 0, kick_phase = 0, kick = 0;
  double voice_phase = 0, voice_pitch = 140, f1 = 500, f2 = 1500, syllable = 0;
  Resonator formant1, formant2, formant1r, formant2r;
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kProgrammeRate;
    const bool speech = static_cast<int>(t / 4.0) % 2 == 1;  // 4 s sections
    double left = 0, right = 0;
    if (!speech) {
      if (t >= next_note_s) {
        const int root = static_cast<int>(random.Uniform() * 6);
        target[0] = NoteHz(root + 5) * (random.Uniform() < 0.5 ? 1 : 2);
        target[1] = NoteHz(root + 2);
        target[2] = NoteHz(root);
        next_note_s = t + 0.2 + 0.4 * random.Uniform();
      }
      if (std::fmod(t, 0.5) < 1.0 / kProgrammeRate) {  // the beat
        burst = 0.5;
        kick = 0.8;
      }
      for (int v = 0; v < kVoices; ++v) {
        pitch[v] += (target[v] - pitch[v]) * 0.0008;  // a glide of a few ms
        double sum = 0;
        for (int k = 0; k < kPartials; ++k) {
          const double hz = pitch[v] * (k + 1) * (1 + 0.0007 * k * k);  // slightly inharmonic
          if (hz * 2 >= kProgrammeRate) continue;
          phase[v][k] = std::fmod(phase[v][k] + hz / kProgrammeRate, 1.0);
          sum += std::sin(kTwoPi * phase[v][k]) / std::pow(k + 1.0, 1.2);
        }
        const double vibrato = 1 + 0.1 * std::sin(kTwoPi * (3 + v) * t);
        const double pan = 0.2 + 0.3 * v;
        left += sum * vibrato * (1 - pan) * 0.18;
        right += sum * vibrato * pan * 0.18;
      }
      const double noise = random.Noise();
      const double high = noise - burst_hp_prev;  // first difference: bright
      burst_hp_prev = noise;
      kick_phase = std::fmod(kick_phase + (50 + 80 * kick) / kProgrammeRate, 1.0);
      const double drums = high * burst * 0.6 + std::sin(kTwoPi * kick_phase) * kick;
      burst *= 0.9994;  // about 40 ms
      kick *= 0.9997;
      left += drums * 0.5;
      right += drums * 0.45;
    } else {
      if (random.Uniform() < 1.0 / 8000) {
        f1 = 300 + 500 * random.Uniform();
        f2 = 900 + 1600 * random.Uniform();
        voice_pitch = 110 + 110 * random.Uniform();
      }
      // Syllables at about 4 Hz, with a pause now and then.
      syllable = std::fmod(syllable + (3.5 + std::sin(t)) / kProgrammeRate, 1.0);
      const double pause = std::fmod(t, 2.7) > 2.3 ? 0.05 : 1.0;
      const double envelope = std::pow(std::sin(std::numbers::pi * syllable), 2) * pause;
      voice_phase += voice_pitch / kProgrammeRate;
      const double pulse = voice_phase >= 1 ? 1.0 : 0.0;
      if (voice_phase >= 1) voice_phase -= 1;
      const double source = pulse * 6 + random.Noise() * 0.3;
      const double l = formant1.Run(source, f1, 90) * 1.2 + formant2.Run(source, f2, 150) * 0.8;
      const double r = formant1r.Run(source, f1 * 1.01, 90) * 1.2 + formant2r.Run(source, f2, 160) * 0.8;
      left = l * envelope * 1.6;
      right = r * envelope * 1.5;
    }
    pcm[2 * i] = static_cast<int16_t>(std::clamp(left * 12000, -32767.0, 32767.0));
    pcm[2 * i + 1] = static_cast<int16_t>(std::clamp(right * 12000, -32767.0, 32767.0));
  }
  return pcm;
}

bool WriteProgrammeWav(const std::string& path, const std::vector<int16_t>& pcm) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const uint32_t data_bytes = static_cast<uint32_t>(pcm.size() * 2);
  auto u32 = [&](uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    std::fwrite(b, 1, 4, file);
  };
  auto u16 = [&](uint16_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    std::fwrite(b, 1, 2, file);
  };
  std::fwrite("RIFF", 1, 4, file);
  u32(36 + data_bytes);
  std::fwrite("WAVEfmt ", 1, 8, file);
  u32(16);
  u16(1);  // PCM
  u16(2);
  u32(kProgrammeRate);
  u32(kProgrammeRate * 4);
  u16(4);
  u16(16);
  std::fwrite("data", 1, 4, file);
  u32(data_bytes);
  const bool ok = std::fwrite(pcm.data(), 2, pcm.size(), file) == pcm.size();
  return std::fclose(file) == 0 && ok;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

namespace {

class NullReader : public kit::AudioSink {
 public:
  bool Write(kit::IBlock*) override { return true; }
};

uint32_t LiveBlockBytes(const Layer3Setting& f) {
  // Whole layer 3 frames of about a second (the live block of LiveBlockDuration 0 is one frame;
  // the size does not change the encoding work).
  const uint32_t k = f.sample_rate >= 32000 ? 2000 : 1000;
  return k * f.bitrate_kbps * 72 / f.sample_rate;
}

}  // namespace

double MeasureEncoders(const ArchiveSetting& setting, const std::vector<int16_t>& pcm) {
  using audenc::LiveEncoder;
  using audenc::SkimEncoder;
  LiveEncoder* live = nullptr;
  if (setting.live.bitrate_kbps != 0) {
    audenc::LiveEncoderParams record{sizeof(audenc::LiveEncoderParams), audenc::kLiveEncoderKind,
                                     kProgrammeRate, 2, kCaptureBlockBytes,
                                     setting.live.bitrate_kbps, setting.live.sample_rate,
                                     setting.live.channels, LiveBlockBytes(setting.live), 0,
                                     0xFFFFFFFFu};
    live = new LiveEncoder(record);
  }
  audenc::SkimEncoderParams skim_record{};
  skim_record.cbSize = sizeof skim_record;
  skim_record.nKind = audenc::kSkimEncoderKind;
  skim_record.nInSampleRate = kProgrammeRate;
  skim_record.nInChannels = 2;
  skim_record.cbInBlock = kCaptureBlockBytes;
  skim_record.nOnBitrateK = skim_record.nOffBitrateK = setting.skim.bitrate_kbps;
  skim_record.nOnSampleRate = skim_record.nOffSampleRate = setting.skim.sample_rate;
  skim_record.nOnChannels = skim_record.nOffChannels = setting.skim.channels;
  auto* skim = new SkimEncoder(skim_record);
  NullReader live_reader, skim_reader;
  const bool opened = (live == nullptr || live->Open()) && skim->Open();
  double cpu = -1;
  if (opened) {
    if (live) live->AddReader(&live_reader, 3);
    skim->AddReader(&skim_reader, 3);
    const double before = ProcessCpuSeconds();
    const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
    const size_t total = pcm.size() * 2;
    kit::MemBlock* block = nullptr;
    for (size_t at = 0; at < total; at += kCaptureBlockBytes) {
      const size_t n = std::min<size_t>(kCaptureBlockBytes, total - at);
      block = new kit::MemBlock(kCaptureBlockBytes);
      std::memcpy(block->data(), bytes + at, n);
      block->set_data_length(static_cast<uint32_t>(n));
      block->set_flags(kit::kBlockFlagPcm);
      if (live) live->GetInputSink()->Write(block->block());
      skim->GetInputSink()->Write(block->block());
      block->Release();
      // A real-time source never runs far ahead of the encoders.
      while ((live && live->queued_frames() > 4 * kProgrammeRate) ||
             skim->queued_frames() > 4 * kProgrammeRate) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    while ((live && live->queued_frames() > 0) || skim->queued_frames() > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (live) live->Close();
    skim->Close();
    const double audio_seconds = static_cast<double>(pcm.size() / 2) / kProgrammeRate;
    cpu = (ProcessCpuSeconds() - before) / audio_seconds;
    if ((live && live->dropped_frames() != 0) || skim->dropped_frames() != 0) cpu = -1;
  }
  if (live) live->Release();
  skim->Release();
  return cpu;
}

}  // namespace logrum::bench
