#include "Lib/Platform/WaveInAlsa.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace logrum::platform {
namespace {

std::string AlsaError(const char* what, int err) {
  return std::string(what) + ": " + snd_strerror(err);
}

class AlsaStream : public WaveInStream {
 public:
  AlsaStream(snd_pcm_t* pcm, int wake_fd, const WaveFormat& format, snd_pcm_uframes_t buffer_size)
      : pcm_(pcm), wake_fd_(wake_fd), format_(format), buffer_size_(buffer_size) {
    int n = snd_pcm_poll_descriptors_count(pcm_);
    fds_.resize(static_cast<size_t>(n > 0 ? n : 0) + 1);
    int got = snd_pcm_poll_descriptors(pcm_, fds_.data(), static_cast<unsigned>(n > 0 ? n : 0));
    fds_.resize(static_cast<size_t>(got > 0 ? got : 0) + 1);
    fds_.back() = pollfd{wake_fd_, POLLIN, 0};
  }

  ~AlsaStream() override {
    snd_pcm_close(pcm_);
    close(wake_fd_);
  }

  int Start() override {
    snd_pcm_drop(pcm_);
    int err = snd_pcm_prepare(pcm_);
    if (err >= 0) err = snd_pcm_start(pcm_);
    if (err < 0) return kWaveInError;  // Start's result tells the caller
    return kWaveInOk;
  }

  void Stop() override {
    snd_pcm_drop(pcm_);
    interrupted_.store(false);
    uint64_t count;
    while (read(wake_fd_, &count, sizeof count) > 0) {
    }
  }

  void Interrupt() override {
    interrupted_.store(true);
    uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
  }

  long Read(int16_t* data, uint32_t frames, uint64_t* lost_frames) override {
    for (;;) {
      if (interrupted_.load()) return 0;
      snd_pcm_sframes_t r = snd_pcm_readi(pcm_, data, frames);
      if (r > 0) return static_cast<long>(r);
      if (r == 0 || r == -EAGAIN) {
        if (poll(fds_.data(), fds_.size(), -1) < 0 && errno != EINTR) return -kWaveInError;
        continue;
      }
      if (r == -EPIPE || r == -ESTRPIPE) {
        int64_t lost = 0;
        if (!Recover(static_cast<int>(r), &lost)) return -kWaveInError;
        *lost_frames += static_cast<uint64_t>(lost);
        continue;
      }
      // The capture thread does not write text; the failure goes out as its code.
      return -kWaveInError;
    }
  }

 private:
  // Restarts after an overrun or a suspend. What was in the ring when it overflowed is
  // discarded by the restart, and nothing was captured between the overflow and now:
  // both count as lost.
  bool Recover(int err, int64_t* lost) {
    snd_pcm_status_t* status;
    snd_pcm_status_alloca(&status);
    int64_t gap = static_cast<int64_t>(buffer_size_);
    if (snd_pcm_status(pcm_, status) >= 0) {
      snd_htimestamp_t trigger, now;
      snd_pcm_status_get_trigger_htstamp(status, &trigger);
      snd_pcm_status_get_htstamp(status, &now);
      snd_pcm_uframes_t avail = snd_pcm_status_get_avail(status);
      if (avail > 0) gap = static_cast<int64_t>(avail);
      if (trigger.tv_sec != 0 || trigger.tv_nsec != 0) {
        int64_t elapsed_ns = (static_cast<int64_t>(now.tv_sec) - trigger.tv_sec) * 1000000000 +
                             (now.tv_nsec - trigger.tv_nsec);
        if (elapsed_ns > 0) gap += elapsed_ns * format_.sample_rate / 1000000000;
      }
    }
    if (err == -ESTRPIPE) {
      int e;
      while ((e = snd_pcm_resume(pcm_)) == -EAGAIN) {
        pollfd wake{wake_fd_, POLLIN, 0};
        poll(&wake, 1, 100);  // the hardware is waking up; a stop must still get through
        if (interrupted_.load()) return true;
      }
    }
    int e = snd_pcm_prepare(pcm_);
    if (e >= 0) e = snd_pcm_start(pcm_);
    if (e < 0) return false;  // reported as a device error by the caller
    *lost = gap;
    return true;
  }

  snd_pcm_t* pcm_;
  int wake_fd_;
  WaveFormat format_;
  snd_pcm_uframes_t buffer_size_;
  std::vector<pollfd> fds_;
  std::atomic<bool> interrupted_{false};
};

}  // namespace

Status OpenAlsaStream(const std::string& pcm_name, const std::string& config_text,
                      const WaveFormat& format, std::unique_ptr<WaveInStream>* stream) {
  snd_pcm_t* pcm = nullptr;
  int err;
  if (config_text.empty()) {
    err = snd_pcm_open(&pcm, pcm_name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  } else {
    snd_config_t* top = nullptr;
    snd_input_t* in = nullptr;
    err = snd_config_top(&top);
    if (err >= 0) err = snd_input_buffer_open(&in, config_text.data(),
                                              static_cast<ssize_t>(config_text.size()));
    if (err >= 0) err = snd_config_load(top, in);
    if (in != nullptr) snd_input_close(in);
    if (err < 0) {
      if (top != nullptr) snd_config_delete(top);
      return Status::Error(Status::kInvalidArgument, AlsaError("ALSA configuration", err));
    }
    err = snd_pcm_open_lconf(&pcm, pcm_name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK,
                             top);
    snd_config_delete(top);
  }
  if (err < 0) {
    // ALSA's codes are negative errno values: busy, missing and refused stay apart.
    return Status::Error(CodeOfErrno(-err), AlsaError(("open " + pcm_name).c_str(), err));
  }

  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  unsigned rate = format.sample_rate;
  // About a second of ring and 50 ms periods: room for the consumer to be late without
  // an overrun, and short enough waits that a stop is prompt.
  unsigned buffer_time = 1000000, period_time = 50000;
  const char* step = "hw_params_any";
  err = snd_pcm_hw_params_any(pcm, hw);
  if (err >= 0) { step = "access"; err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED); }
  if (err >= 0) { step = "format S16_LE"; err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE); }
  if (err >= 0) { step = "channels"; err = snd_pcm_hw_params_set_channels(pcm, hw, format.channels); }
  if (err >= 0) { step = "resample"; err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1); }
  if (err >= 0) { step = "rate"; err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0); }
  if (err >= 0) { step = "buffer time"; err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_time, nullptr); }
  if (err >= 0) { step = "period time"; err = snd_pcm_hw_params_set_period_time_near(pcm, hw, &period_time, nullptr); }
  if (err >= 0) { step = "hw_params"; err = snd_pcm_hw_params(pcm, hw); }
  if (err < 0) {
    snd_pcm_close(pcm);
    return Status::Error(Status::kInvalidArgument,
                         AlsaError((pcm_name + ": cannot set " + step).c_str(), err));
  }
  snd_pcm_uframes_t buffer_size = 0, period_size = 0;
  snd_pcm_hw_params_get_buffer_size(hw, &buffer_size);
  snd_pcm_hw_params_get_period_size(hw, &period_size, nullptr);

  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  err = snd_pcm_sw_params_current(pcm, sw);
  if (err >= 0) err = snd_pcm_sw_params_set_avail_min(pcm, sw, period_size > 0 ? period_size : 1);
  if (err >= 0) err = snd_pcm_sw_params(pcm, sw);
  if (err < 0) {
    snd_pcm_close(pcm);
    return Status::Error(Status::kIoError,
                         AlsaError((pcm_name + ": cannot set software parameters").c_str(), err));
  }

  int wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd < 0) {
    snd_pcm_close(pcm);
    return ErrnoStatus(errno, "eventfd failed");
  }
  *stream = std::make_unique<AlsaStream>(pcm, wake_fd, format, buffer_size);
  return Status::Ok();
}

std::vector<WaveInDeviceEntry> EnumerateAlsaDevices() {
  std::vector<WaveInDeviceEntry> devices;
  int card = -1;
  while (snd_card_next(&card) >= 0 && card >= 0) {
    std::string hw = "hw:" + std::to_string(card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, hw.c_str(), 0) < 0) continue;
    snd_ctl_card_info_t* card_info;
    snd_ctl_card_info_alloca(&card_info);
    std::string card_name = hw;
    if (snd_ctl_card_info(ctl, card_info) >= 0) card_name = snd_ctl_card_info_get_name(card_info);
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) >= 0 && device >= 0) {
      snd_pcm_info_t* pcm_info;
      snd_pcm_info_alloca(&pcm_info);
      snd_pcm_info_set_device(pcm_info, static_cast<unsigned>(device));
      snd_pcm_info_set_subdevice(pcm_info, 0);
      snd_pcm_info_set_stream(pcm_info, SND_PCM_STREAM_CAPTURE);
      if (snd_ctl_pcm_info(ctl, pcm_info) < 0) continue;  // no capture on this device
      WaveInDeviceEntry entry;
      entry.name = card_name + ": " + snd_pcm_info_get_name(pcm_info);
      std::string pcm_name = "plughw:" + std::to_string(card) + "," + std::to_string(device);
      entry.open = [pcm_name](const WaveFormat& format, std::unique_ptr<WaveInStream>* stream) {
        return OpenAlsaStream(pcm_name, "", format, stream);
      };
      devices.push_back(std::move(entry));
    }
    snd_ctl_close(ctl);
  }
  return devices;
}

}  // namespace logrum::platform
