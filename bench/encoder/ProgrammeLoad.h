// What the capacity benchmarks share: programme-like audio, the two archive
// settings they measure, and the CPU that one archive's two encoders need on
// that audio.
//
// The material stands for what a station's input carries, as far as the
// encoder's work goes: pure tones cost LAME much less than programme does.
// It alternates music (a melody and a chord of mixed partials gliding from
// note to note, with noise bursts on the beat) and speech-band sound (voiced
// pulses and noise through two moving formants, 300-3400 Hz, modulated at a
// syllable rate with pauses). It is deterministic: every run encodes the same.
//
// Thread safety: the functions may be called from any thread; MeasureEncoders
// wants the process otherwise idle, since it reads the process's CPU time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace logrum::bench {

inline constexpr uint32_t kProgrammeRate = 44100;
// The capture block of the server's defaults (44.1 kHz stereo).
inline constexpr uint32_t kCaptureBlockBytes = 36864;

// Interleaved 16-bit stereo at kProgrammeRate.
std::vector<int16_t> ProgrammeMaterial(double seconds);
// As a 16-bit stereo WAV file; false when it cannot be written.
bool WriteProgrammeWav(const std::string& path, const std::vector<int16_t>& pcm);

struct Layer3Setting {
  uint16_t bitrate_kbps;
  uint16_t sample_rate;
  uint8_t channels;
};

// One archive's encoders. With the skim switch off, the skim encoder records
// at its off format.
struct ArchiveSetting {
  const char* name;
  Layer3Setting live;  // bit rate 0: no live encoder
  Layer3Setting skim;
};

// The configuration store's defaults for a new archive: live 32 kbit/s
// 22.05 kHz mono, recording (skim off) 32 kbit/s 22.05 kHz mono.
inline constexpr ArchiveSetting kDefaultSetting{"default", {32, 22050, 1}, {32, 22050, 1}};
// The usual broadcast setting: recording at 128 kbit/s 44.1 kHz stereo, the live
// stream at its default.
inline constexpr ArchiveSetting kBroadcastSetting{"broadcast", {32, 22050, 1}, {128, 44100, 2}};

// CPU seconds that one archive's live and skim encoders spend per second of
// `pcm`, fed in capture-sized blocks as the capture source feeds them; -1 when an
// encoder does not open or drops audio.
double MeasureEncoders(const ArchiveSetting& setting, const std::vector<int16_t>& pcm);

// Process CPU time (user + system), seconds.
double ProcessCpuSeconds();

}  // namespace logrum::bench
