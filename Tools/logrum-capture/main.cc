// logrum-capture: lists the capture devices, or records one through the audio capture
// library (audiosrc.so, loaded exactly as the server loads it) to a WAV file, printing
// the peak levels as it goes. Station engineers use it to check their inputs.
//
//   logrum-capture --list
//   logrum-capture DEVICE_INDEX SECONDS OUT.wav [--split left|right]
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Platform/DebugOutput.h"
#include "Lib/Platform/DynamicLibrary.h"

namespace {

using logrum::audio::AudioSink;
using logrum::audio::CaptureStats;
using logrum::audio::CAudioSourceManager;
using logrum::audio::DeviceInfo;
using logrum::audio::IBlock;
using logrum::audio::SourceSubscription;

constexpr int kSampleRate = 44100;
constexpr int kBlockBytes = 36864;

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

int Usage() {
  std::fprintf(stderr,
               "usage: logrum-capture --list\n"
               "       logrum-capture DEVICE_INDEX SECONDS OUT.wav [--split left|right]\n"
               "Records SECONDS of 16-bit stereo at 44100 Hz from capture device DEVICE_INDEX\n"
               "into OUT.wav. With --split, records one side of the input (in both channels).\n");
  return 2;
}

double Dbfs(int peak) {
  return peak <= 0 ? -INFINITY : 20.0 * std::log10(static_cast<double>(peak) / 32768.0);
}

// Writes the blocks to the file until it has the frames asked for, and keeps the peaks.
class WavSink : public AudioSink {
 public:
  WavSink(SNDFILE* file, uint64_t frames_wanted) : file_(file), wanted_(frames_wanted) {}

  bool Write(IBlock* block) override {
    std::lock_guard lock(mutex_);
    if (block == nullptr) {
      ended_ = true;
      changed_.notify_all();
      return true;
    }
    if (written_ >= wanted_) return true;
    const auto* s = reinterpret_cast<const int16_t*>(block->GetData());
    uint64_t frames = std::min<uint64_t>(block->GetDataLength() / 4, wanted_ - written_);
    for (uint64_t i = 0; i < frames; ++i) {
      peak_[0] = std::max(peak_[0], std::abs(static_cast<int>(s[2 * i])));
      peak_[1] = std::max(peak_[1], std::abs(static_cast<int>(s[2 * i + 1])));
    }
    if (sf_writef_short(file_, s, static_cast<sf_count_t>(frames)) !=
        static_cast<sf_count_t>(frames)) {
      write_failed_ = true;
      ended_ = true;
    }
    written_ += frames;
    changed_.notify_all();
    return !write_failed_;
  }

  // Waits up to `ms` for news; returns true once the recording is complete or over.
  bool Wait(int ms) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms));
    return written_ >= wanted_ || ended_;
  }

  // The peaks since the last call, and the frames written.
  void TakePeaks(int* left, int* right, uint64_t* written) {
    std::lock_guard lock(mutex_);
    *left = peak_[0];
    *right = peak_[1];
    peak_[0] = peak_[1] = 0;
    *written = written_;
  }
  bool ended() {
    std::lock_guard lock(mutex_);
    return ended_;
  }
  bool write_failed() {
    std::lock_guard lock(mutex_);
    return write_failed_;
  }
  uint64_t written() {
    std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  SNDFILE* file_;
  uint64_t wanted_;
  uint64_t written_ = 0;
  int peak_[2] = {0, 0};
  bool ended_ = false;
  bool write_failed_ = false;
};

bool ParseIndex(const char* text, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > max) return false;
  *value = v;
  return true;
}

int List(CAudioSourceManager* manager) {
  int32_t count = manager->GetNumDevices();
  if (count <= 0) {
    std::printf("No capture devices.\n");
    return 0;
  }
  for (int32_t i = 0; i < count; ++i) {
    char name[256];
    if (manager->GetDeviceName(static_cast<uint32_t>(i), name, sizeof name) == 0) {
      std::snprintf(name, sizeof name, "(unavailable)");
    }
    std::printf("%3d  %s\n", i, name);
  }
  return 0;
}

int Record(CAudioSourceManager* manager, int argc, char** argv) {
  long index = 0;
  if (!ParseIndex(argv[1], 0xFFFF, &index)) {
    std::fprintf(stderr, "logrum-capture: \"%s\" is not a device index\n", argv[1]);
    return 2;
  }
  char* end = nullptr;
  double seconds_f = std::strtod(argv[2], &end);
  if (end == argv[2] || *end != '\0' || !(seconds_f > 0) || seconds_f > 7 * 86400) {
    std::fprintf(stderr, "logrum-capture: \"%s\" is not a number of seconds\n", argv[2]);
    return 2;
  }
  const char* out = argv[3];
  int side = 0;  // 0 stereo, 1 left, 2 right
  if (argc == 6) {
    if (std::strcmp(argv[4], "--split") != 0) return Usage();
    if (std::strcmp(argv[5], "left") == 0) {
      side = 1;
    } else if (std::strcmp(argv[5], "right") == 0) {
      side = 2;
    } else {
      std::fprintf(stderr, "logrum-capture: --split takes left or right, not \"%s\"\n", argv[5]);
      return 2;
    }
  } else if (argc != 4) {
    return Usage();
  }
  int32_t count = manager->GetNumDevices();
  if (index >= count) {
    std::fprintf(stderr, "logrum-capture: no capture device %ld (there are %d; see --list)\n",
                 index, count);
    return 1;
  }

  DeviceInfo info{};
  info.uDeviceIndex = static_cast<uint32_t>(index);
  info.nSampleRate = kSampleRate;
  info.bSplitMono = side != 0;
  info.cbPcmBlock = kBlockBytes;
  std::snprintf(info.szSourceLeft, sizeof info.szSourceLeft, side ? "capture left" : "capture");
  std::snprintf(info.szSourceRight, sizeof info.szSourceRight, "capture right");
  if (!manager->DefineDevice(&info)) {
    std::fprintf(stderr, "logrum-capture: cannot define device %ld\n", index);
    return 1;
  }

  SF_INFO sf{};
  sf.samplerate = kSampleRate;
  sf.channels = 2;
  sf.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(out, SFM_WRITE, &sf);
  if (file == nullptr) {
    std::fprintf(stderr, "logrum-capture: cannot write \"%s\": %s\n", out, sf_strerror(nullptr));
    return 1;
  }
  const uint64_t wanted = static_cast<uint64_t>(std::llround(seconds_f * kSampleRate));
  WavSink sink(file, wanted);
  SourceSubscription subscription{&sink, logrum::kit::kBlockFlagPcm, nullptr};
  const char* source = side == 2 ? info.szSourceRight : info.szSourceLeft;
  char name[256] = "";
  manager->GetDeviceName(static_cast<uint32_t>(index), name, sizeof name);
  if (!manager->Subscribe(source, &subscription)) {
    std::fprintf(stderr, "logrum-capture: cannot start capture device %ld (%s)\n", index, name);
    sf_close(file);
    std::remove(out);
    return 1;
  }
  std::printf("Recording %.1f s from device %ld (%s)%s to %s\n", seconds_f, index, name,
              side == 1 ? ", left side" : side == 2 ? ", right side" : "", out);
  std::fflush(stdout);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  auto last_print = std::chrono::steady_clock::now();
  bool done = false;
  uint64_t overruns_told = 0, lost_ms_told = 0;
  while (!done && !g_interrupted) {
    done = sink.Wait(100);
    auto now = std::chrono::steady_clock::now();
    if (done || now - last_print >= std::chrono::milliseconds(500)) {
      last_print = now;
      CaptureStats stats{};
      if (manager->GetCaptureStats(static_cast<uint32_t>(index), &stats) &&
          stats.nOverruns > overruns_told) {
        std::fprintf(stderr, "logrum-capture: overrun: %llu ms of audio lost (%llu ms in all)\n",
                     static_cast<unsigned long long>(stats.nLostMs - lost_ms_told),
                     static_cast<unsigned long long>(stats.nLostMs));
        overruns_told = stats.nOverruns;
        lost_ms_told = stats.nLostMs;
      }
      int left, right;
      uint64_t written;
      sink.TakePeaks(&left, &right, &written);
      std::printf("%8.1f s   peak L %6.1f dBFS   R %6.1f dBFS\n",
                  static_cast<double>(written) / kSampleRate, Dbfs(left), Dbfs(right));
      std::fflush(stdout);
    }
  }
  manager->Unsubscribe(source, &subscription);
  sf_close(file);
  uint64_t written = sink.written();
  if (sink.write_failed()) {
    std::fprintf(stderr, "logrum-capture: writing \"%s\" failed\n", out);
    return 1;
  }
  if (written < wanted) {
    std::fprintf(stderr, "logrum-capture: %s after %.1f s of %.1f s\n",
                 g_interrupted ? "interrupted" : "the device stopped",
                 static_cast<double>(written) / kSampleRate, seconds_f);
    return 1;
  }
  std::printf("Wrote %llu frames to %s\n", static_cast<unsigned long long>(written), out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool list = argc == 2 && std::strcmp(argv[1], "--list") == 0;
  if (!list && argc != 4 && argc != 6) return Usage();
  logrum::platform::SendWarningsToStandardError("logrum-capture");

  logrum::platform::DynamicLibrary library;
  if (logrum::platform::Status status = library.OpenBeside(reinterpret_cast<const void*>(&Usage),
                                                           logrum::audio::kAudioSourceLibrary);
      !status.ok()) {
    std::fprintf(stderr, "logrum-capture: cannot load the audio capture library: %s\n",
                 status.message().c_str());
    return 1;
  }
  logrum::audio::AudioSourceEntryFn entry = nullptr;
  const logrum::platform::Status found = library.Function(logrum::audio::kAudioSourceEntry, &entry);
  CAudioSourceManager* manager = entry ? entry() : nullptr;
  if (manager == nullptr) {
    std::fprintf(stderr, "logrum-capture: the audio capture library offers no manager: %s\n",
                 found.message().c_str());
    return 1;
  }
  return list ? List(manager) : Record(manager, argc, argv);
}
