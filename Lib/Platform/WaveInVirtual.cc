#include "Lib/Platform/WaveInVirtual.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numbers>
#include <stop_token>
#include <vector>

#include "Lib/Platform/DebugOutput.h"

namespace logrum::platform {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ParseFrequency(std::string_view text, double* hz) {
  std::string s(Trim(text));
  char* end = nullptr;
  double value = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || !(value > 0) || value > 1e6) return false;
  *hz = value;
  return true;
}

VirtualDeviceSpec ParseEntry(std::string_view entry) {
  VirtualDeviceSpec spec;
  size_t eq = entry.find('=');
  if (eq == std::string_view::npos || Trim(entry.substr(0, eq)).empty()) {
    spec.name = std::string(entry);
    spec.error = "expected NAME=KIND[:ARG], got \"" + std::string(entry) + "\"";
    return spec;
  }
  spec.name = std::string(Trim(entry.substr(0, eq)));
  std::string_view rest = Trim(entry.substr(eq + 1));
  size_t colon = rest.find(':');
  std::string_view kind = rest.substr(0, colon);
  std::string_view arg = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
  bool has_arg = colon != std::string_view::npos;
  if (kind == "tone") {
    size_t comma = arg.find(',');
    bool ok = ParseFrequency(arg.substr(0, comma), &spec.frequency_left);
    spec.frequency_right = spec.frequency_left;
    if (ok && comma != std::string_view::npos) {
      ok = ParseFrequency(arg.substr(comma + 1), &spec.frequency_right);
    }
    if (!ok) {
      spec.error = "tone needs a frequency in hertz (tone:HZ or tone:HZ,HZ), got \"" +
                   std::string(arg) + "\"";
      return spec;
    }
    spec.kind = VirtualDeviceSpec::Kind::kTone;
  } else if (kind == "silence") {
    if (has_arg) {
      spec.error = "silence takes no argument";
      return spec;
    }
    spec.kind = VirtualDeviceSpec::Kind::kSilence;
  } else if (kind == "file") {
    if (arg.empty()) {
      spec.error = "file needs a path (file:PATH)";
      return spec;
    }
    spec.path = std::string(arg);
    if (size_t at = arg.rfind('@'); at != std::string_view::npos && at > 0) {
      std::string number(arg.substr(at + 1));
      char* end = nullptr;
      const double seconds = std::strtod(number.c_str(), &end);
      if (!number.empty() && *end == '\0' && seconds >= 0 && seconds < 1e7) {
        spec.path = std::string(arg.substr(0, at));
        spec.start_seconds = seconds;
      }
    }
    spec.kind = VirtualDeviceSpec::Kind::kFile;
  } else {
    spec.error = "unknown kind \"" + std::string(kind) + "\" (expected tone, silence or file)";
  }
  return spec;
}

// Produces the device's audio, frame after frame, with no notion of time.
class Generator {
 public:
  virtual ~Generator() = default;
  virtual void Generate(int16_t* out, uint32_t frames) = 0;
  virtual void Skip(uint64_t frames) = 0;
};

class SilenceGenerator : public Generator {
 public:
  explicit SilenceGenerator(uint16_t channels) : channels_(channels) {}
  void Generate(int16_t* out, uint32_t frames) override {
    std::memset(out, 0, static_cast<size_t>(frames) * channels_ * sizeof(int16_t));
  }
  void Skip(uint64_t) override {}

 private:
  uint16_t channels_;
};

class ToneGenerator : public Generator {
 public:
  ToneGenerator(const VirtualDeviceSpec& spec, const WaveFormat& format)
      : channels_(format.channels),
        step_left_(spec.frequency_left / format.sample_rate),
        step_right_(spec.frequency_right / format.sample_rate) {}

  void Generate(int16_t* out, uint32_t frames) override {
    // -12 dBFS: 10^(-12/20) of full scale.
    static const double kAmplitude = 32767.0 * std::pow(10.0, -12.0 / 20.0);
    for (uint32_t i = 0; i < frames; ++i) {
      int16_t left = static_cast<int16_t>(
          std::lround(kAmplitude * std::sin(2 * std::numbers::pi * phase_left_)));
      int16_t right = static_cast<int16_t>(
          std::lround(kAmplitude * std::sin(2 * std::numbers::pi * phase_right_)));
      if (channels_ == 2) {
        *out++ = left;
        *out++ = right;
      } else {
        *out++ = left;
      }
      Advance(1);
    }
  }
  void Skip(uint64_t frames) override { Advance(frames); }

 private:
  void Advance(uint64_t frames) {
    // Phases stay in [0, 1) so that hours of tone keep full precision.
    phase_left_ = std::fmod(phase_left_ + step_left_ * static_cast<double>(frames), 1.0);
    phase_right_ = std::fmod(phase_right_ + step_right_ * static_cast<double>(frames), 1.0);
  }
  uint16_t channels_;
  double step_left_, step_right_;
  double phase_left_ = 0, phase_right_ = 0;
};

// Streams a file in a loop. The file is read in chunks on the device's thread, so an
// hour-long file costs no more memory than a short one.
class FileGenerator : public Generator {
 public:
  ~FileGenerator() override {
    if (file_ != nullptr) sf_close(file_);
  }

  Status Open(const std::string& path, double start_seconds, const WaveFormat& format) {
    SF_INFO info{};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (file_ == nullptr) {
      const Status::Code code =
          ::access(path.c_str(), F_OK) != 0 ? CodeOfErrno(errno) : Status::kCorrupt;
      return Status::Error(code,
                           "cannot read audio file \"" + path + "\": " + sf_strerror(nullptr));
    }
    if (info.frames <= 0 || info.channels <= 0 || info.samplerate <= 0) {
      return Status::Error(Status::kCorrupt, "audio file \"" + path + "\" holds no audio");
    }
    file_channels_ = info.channels;
    out_channels_ = format.channels;
    step_ = static_cast<double>(info.samplerate) / format.sample_rate;
    resample_ = info.samplerate != static_cast<int>(format.sample_rate);
    chunk_.resize(static_cast<size_t>(kChunkFrames) * file_channels_);
    const auto start = static_cast<sf_count_t>(start_seconds * info.samplerate) % info.frames;
    if (start > 0 && sf_seek(file_, start, SEEK_SET) < 0) {
      return Status::Error(Status::kCorrupt, "cannot seek in audio file \"" + path + "\"");
    }
    return Status::Ok();
  }

  void Generate(int16_t* out, uint32_t frames) override {
    for (uint32_t i = 0; i < frames; ++i) {
      int16_t l, r;
      if (!resample_) {
        Take(&l, &r);
      } else {
        // Linear interpolation between the two source frames around the position.
        while (position_ >= 1.0) {
          prev_l_ = next_l_;
          prev_r_ = next_r_;
          Take(&next_l_, &next_r_);
          position_ -= 1.0;
        }
        l = static_cast<int16_t>(std::lround(prev_l_ + (next_l_ - prev_l_) * position_));
        r = static_cast<int16_t>(std::lround(prev_r_ + (next_r_ - prev_r_) * position_));
        position_ += step_;
      }
      if (out_channels_ == 2) {
        *out++ = l;
        *out++ = r;
      } else {
        *out++ = static_cast<int16_t>((l + r) / 2);
      }
    }
  }

  void Skip(uint64_t frames) override {
    // Skipped time is rare (overruns); generating into scratch keeps the loop logic in one place.
    int16_t scratch[2 * 256];
    while (frames > 0) {
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(frames, 256));
      Generate(scratch, n);
      frames -= n;
    }
  }

 private:
  static constexpr int kChunkFrames = 4096;

  // The next source frame as a stereo pair, looping at the end of the file.
  void Take(int16_t* l, int16_t* r) {
    if (chunk_pos_ == chunk_len_) Refill();
    const int16_t* f = &chunk_[static_cast<size_t>(chunk_pos_) * file_channels_];
    *l = f[0];
    *r = file_channels_ >= 2 ? f[1] : f[0];
    ++chunk_pos_;
  }

  void Refill() {
    chunk_pos_ = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      sf_count_t n = sf_readf_short(file_, chunk_.data(), kChunkFrames);
      if (n > 0) {
        chunk_len_ = static_cast<int>(n);
        return;
      }
      sf_seek(file_, 0, SEEK_SET);
    }
    // The file became unreadable while playing: go on with silence rather than stop.
    std::fill(chunk_.begin(), chunk_.end(), 0);
    chunk_len_ = kChunkFrames;
  }

  SNDFILE* file_ = nullptr;
  int file_channels_ = 0;
  uint16_t out_channels_ = 2;
  std::vector<int16_t> chunk_;
  int chunk_pos_ = 0;
  int chunk_len_ = 0;
  bool resample_ = false;
  double step_ = 1.0;
  double position_ = 2.0;  // makes the first frame read the first two source frames
  int16_t prev_l_ = 0, prev_r_ = 0, next_l_ = 0, next_r_ = 0;
};

// The file whose presence unplugs the device; empty when it cannot be unplugged.
std::string UnplugPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || name.empty() || name.find('/') != std::string::npos) return {};
  return folder + "/" + name;
}

bool Unplugged(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

class VirtualStream : public WaveInStream {
 public:
  VirtualStream(std::unique_ptr<Generator> generator, const WaveFormat& format, Clock* clock,
                std::string unplug_path)
      : generator_(std::move(generator)),
        format_(format),
        clock_(clock),
        unplug_path_(std::move(unplug_path)) {}

  int Start() override {
    std::lock_guard lock(mutex_);
    interrupt_ = std::stop_source();
    origin_us_ = clock_->NowUs();
    produced_ = 0;
    return kWaveInOk;
  }

  void Stop() override {
    std::lock_guard lock(mutex_);
    interrupt_ = std::stop_source();
  }

  void Interrupt() override {
    std::lock_guard lock(mutex_);
    interrupt_.request_stop();
  }

  // Frame n is due at start + n / rate: that is when it was "captured", however late
  // the device's thread took it.
  int64_t LastReadStartUs() const override { return last_read_start_us_; }

  long Read(int16_t* data, uint32_t frames, uint64_t* lost_frames) override {
    std::stop_token token;
    {
      std::lock_guard lock(mutex_);
      token = interrupt_.get_token();
    }
    const int64_t rate = format_.sample_rate;
    const int64_t backlog = kVirtualBacklogSeconds * rate;
    for (;;) {
      if (token.stop_requested()) return 0;
      // Pulled out: what it had not delivered is gone with it, as with a real card.
      if (Unplugged(unplug_path_)) return -kWaveInError;
      int64_t elapsed_us = clock_->NowUs() - origin_us_;
      int64_t due = elapsed_us <= 0 ? 0 : elapsed_us / 1000000 * rate + elapsed_us % 1000000 * rate / 1000000;
      int64_t available = due - produced_;
      if (available > backlog) {
        uint64_t lost = static_cast<uint64_t>(available - backlog);
        generator_->Skip(lost);
        produced_ += static_cast<int64_t>(lost);
        *lost_frames += lost;
        available = backlog;
      }
      if (available >= frames) {
        generator_->Generate(data, frames);
        last_read_start_us_ = FrameUs(produced_);
        produced_ += frames;
        return frames;
      }
      // Wait for the moment the last requested frame is due (rounded up).
      int64_t end = produced_ + frames;
      int64_t at = origin_us_ + end / rate * 1000000 + (end % rate * 1000000 + rate - 1) / rate;
      if (!clock_->WaitUntil(at, token)) return 0;
    }
  }

 private:
  std::unique_ptr<Generator> generator_;
  WaveFormat format_;
  Clock* clock_;
  const std::string unplug_path_;
  std::mutex mutex_;  // guards interrupt_
  std::stop_source interrupt_;
  // Touched only by the device's thread.
  int64_t origin_us_ = 0;
  int64_t produced_ = 0;  // frames delivered or lost since Start
  int64_t last_read_start_us_ = 0;

  int64_t FrameUs(int64_t frame) const {
    const int64_t rate = format_.sample_rate;
    return origin_us_ + frame / rate * 1000000 + frame % rate * 1000000 / rate;
  }
};

std::vector<VirtualDeviceSpec> CachedSpecs() {
  static std::mutex mutex;
  static std::string last_text;
  static std::vector<VirtualDeviceSpec> last_specs;
  const char* env = std::getenv(kVirtualDevicesVariable);
  std::string text = env != nullptr ? env : "";
  std::lock_guard lock(mutex);
  if (text != last_text) {  // each distinct text is parsed, and its faults reported, once
    last_text = text;
    last_specs = ParseVirtualDevices(text);
    for (const auto& spec : last_specs) {
      if (spec.kind == VirtualDeviceSpec::Kind::kInvalid) {
        Warn("%s: virtual device \"%s\": %s", kVirtualDevicesVariable, spec.name.c_str(),
             spec.error.c_str());
      }
    }
  }
  return last_specs;
}

}  // namespace

std::vector<VirtualDeviceSpec> ParseVirtualDevices(std::string_view text) {
  std::vector<VirtualDeviceSpec> specs;
  while (!text.empty()) {
    size_t semi = text.find(';');
    std::string_view entry = Trim(text.substr(0, semi));
    text = semi == std::string_view::npos ? std::string_view{} : text.substr(semi + 1);
    if (!entry.empty()) specs.push_back(ParseEntry(entry));
  }
  return specs;
}

Status OpenVirtualStream(const VirtualDeviceSpec& spec, const WaveFormat& format, Clock* clock,
                         std::unique_ptr<WaveInStream>* stream, const std::string& unplug_folder) {
  const std::string unplug_path = UnplugPath(unplug_folder, spec.name);
  if (Unplugged(unplug_path)) return Status::Error(Status::kNotFound, "device unplugged");
  std::unique_ptr<Generator> generator;
  switch (spec.kind) {
    case VirtualDeviceSpec::Kind::kInvalid:
      return Status::Error(Status::kInvalidArgument, spec.error);
    case VirtualDeviceSpec::Kind::kSilence:
      generator = std::make_unique<SilenceGenerator>(format.channels);
      break;
    case VirtualDeviceSpec::Kind::kTone:
      if (spec.frequency_left * 2 >= format.sample_rate ||
          spec.frequency_right * 2 >= format.sample_rate) {
        return Status::Error(Status::kInvalidArgument,
                             "tone frequency must be below half the sample rate");
      }
      generator = std::make_unique<ToneGenerator>(spec, format);
      break;
    case VirtualDeviceSpec::Kind::kFile: {
      auto file = std::make_unique<FileGenerator>();
      if (Status status = file->Open(spec.path, spec.start_seconds, format); !status.ok()) {
        return status;
      }
      generator = std::move(file);
      break;
    }
  }
  *stream = std::make_unique<VirtualStream>(std::move(generator), format, clock, unplug_path);
  return Status::Ok();
}

std::vector<WaveInDeviceEntry> EnumerateVirtualDevices() {
  std::vector<WaveInDeviceEntry> devices;
  for (const VirtualDeviceSpec& spec : CachedSpecs()) {
    WaveInDeviceEntry entry;
    entry.name = spec.name;
    entry.open = [spec](const WaveFormat& format, std::unique_ptr<WaveInStream>* stream) {
      const char* unplug = std::getenv(kVirtualUnpluggedVariable);
      return OpenVirtualStream(spec, format, &DefaultClock(), stream,
                               unplug != nullptr ? unplug : "");
    };
    devices.push_back(std::move(entry));
  }
  return devices;
}

}  // namespace logrum::platform
