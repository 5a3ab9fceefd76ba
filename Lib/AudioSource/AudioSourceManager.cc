#include "Lib/AudioSource/AudioSourceManager.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "Lib/AudioSource/AudioTrace.h"
#include "Lib/Platform/WaveIn.h"

namespace logrum::audio {
namespace {

// A name field read safely: a record whose 64 characters carry no NUL gives its first 63.
std::string_view NameOf(const char (&field)[64]) {
  return std::string_view(field, strnlen(field, sizeof field - 1));
}

uint32_t Entry(uint32_t index, uint16_t channel) {
  return (index & 0xFFFFu) | static_cast<uint32_t>(channel) << 16;
}

}  // namespace

void DumpDeviceInfo(const char* label, const DeviceInfo* info) {
  if (info == nullptr) {
    AUDIO_TRACE(AudioUnit::kManager, "DumpDeviceInfo: NULL!\n");
    return;
  }
  if (!TraceWanted(AudioUnit::kManager, __LINE__)) return;
  std::string left(NameOf(info->szSourceLeft)), right(NameOf(info->szSourceRight));
  AUDIO_TRACE(AudioUnit::kManager, "DeviceInfo (%s @0x%lX):\n", label, Addr(info));
  AUDIO_TRACE(AudioUnit::kManager, "  uDeviceIndex =%d\n", static_cast<int>(info->uDeviceIndex));
  AUDIO_TRACE(AudioUnit::kManager, "  nSampleRate  =%d\n", info->nSampleRate);
  AUDIO_TRACE(AudioUnit::kManager, "  bSplitMono   =%s\n", info->bSplitMono ? "true" : "false");
  AUDIO_TRACE(AudioUnit::kManager, "  cbPcmBlock   =%d\n", info->cbPcmBlock);
  AUDIO_TRACE(AudioUnit::kManager, "  szSourceLeft ='%s'\n", left.c_str());
  AUDIO_TRACE(AudioUnit::kManager, "  szSourceRight='%s'\n", right.c_str());
}

AudioSourceManager::AudioSourceManager()
    : device_count_(static_cast<uint32_t>(platform::WaveInDeviceCount())),
      threads_(device_count_),
      m_aDevInfo(device_count_),
      ref_counts_(device_count_, 0),  // the records are value-initialised: all zero
      retired_stats_(device_count_),
      stopping_(device_count_, false) {}

AudioSourceManager::~AudioSourceManager() { RemoveAll(); }

int32_t AudioSourceManager::GetNumDevices() { return platform::WaveInDeviceCount(); }

uint32_t AudioSourceManager::GetDeviceName(uint32_t uDeviceIndex, char* pszBuffer,
                                           uint32_t cbBuffer) {
  std::string name;
  if (platform::WaveInDeviceName(uDeviceIndex, &name) != platform::kWaveInOk) return 0;
  if (pszBuffer != nullptr && cbBuffer > 0) {
    size_t n = std::min<size_t>(name.size(), cbBuffer - 1);
    std::memcpy(pszBuffer, name.data(), n);
    pszBuffer[n] = '\0';
  }
  return static_cast<uint32_t>(name.size() + 1);
}

bool AudioSourceManager::IsDeviceActive(uint32_t uDeviceIndex) {
  kit::MutexLock lock(mutex_);
  return IsActiveLocked(uDeviceIndex);
}

bool AudioSourceManager::IsActiveLocked(uint32_t uDeviceIndex) const {
  return uDeviceIndex < device_count_ && threads_[uDeviceIndex] != nullptr;
}

bool AudioSourceManager::DefineDevice(const DeviceInfo* pDevInfo) {
  if (pDevInfo == nullptr) {
    DumpDeviceInfo("pDevInfo", nullptr);
    return false;
  }
  const uint32_t index = pDevInfo->uDeviceIndex;
  AUDIO_TRACE(AudioUnit::kManager, "CAudioSourceManager.DefineDevice(%d)\n", static_cast<int>(index));
  kit::MutexLock lock(mutex_);
  if (index >= device_count_) {
    AUDIO_TRACE(AudioUnit::kManager, "DefineDevice: Failed: Invalid device index\n");
    return false;
  }
  if (IsActiveLocked(index)) {
    AUDIO_TRACE(AudioUnit::kManager, "DefineDevice: Failed: Device active!\n");
    return false;
  }
  // The device's own names go first, so that redefining it with the same names works.
  DeviceInfo& stored = m_aDevInfo[index];
  if (!NameOf(stored.szSourceLeft).empty()) sources_.Remove(NameOf(stored.szSourceLeft));
  if (stored.bSplitMono && !NameOf(stored.szSourceRight).empty()) {
    sources_.Remove(NameOf(stored.szSourceRight));
  }
  std::string_view left = NameOf(pDevInfo->szSourceLeft);
  std::string_view right = NameOf(pDevInfo->szSourceRight);
  uint32_t existing;
  if (sources_.Find(left, &existing)) {
    AUDIO_TRACE(AudioUnit::kManager, "DefineDevice: Failed: Source '%s' exists!\n",
                std::string(left).c_str());
    return false;
  }
  if (pDevInfo->bSplitMono &&
      (sources_.Find(right, &existing) || (!right.empty() && right == left))) {
    // Two sides with one name would leave the left side unreachable.
    AUDIO_TRACE(AudioUnit::kManager, "DefineDevice: Failed: Source '%s' exists!\n",
                std::string(right).c_str());
    return false;
  }
  std::memcpy(&stored, pDevInfo, sizeof(DeviceInfo));
  DumpDeviceInfo("pDevInfo", pDevInfo);
  DumpDeviceInfo("m_aDevInfo", &stored);
  if (!stored.bSplitMono) {
    AUDIO_TRACE(AudioUnit::kManager, "DefineDevice: Stereo='%s'\n", std::string(left).c_str());
    sources_.Insert(left, Entry(index, kChannelStereo));
    return true;
  }
  AUDIO_TRACE(AudioUnit::kManager, "DefineDevice: Split mono: L='%s', R='%s'\n",
              std::string(left).c_str(), std::string(right).c_str());
  sources_.Insert(left, Entry(index, kChannelLeft));
  sources_.Insert(right, Entry(index, kChannelRight));
  return true;
}

bool AudioSourceManager::Subscribe(const char* pszSource, const SourceSubscription* pSubscription) {
  const char* name = pszSource != nullptr ? pszSource : "";
  AUDIO_TRACE(AudioUnit::kManager, "CAudioSourceManager.Subscribe(%s): \n", name);
  kit::UniqueLock lock(mutex_);
  uint32_t entry = 0;
  if (*name == '\0' || !sources_.Find(name, &entry)) {
    AUDIO_TRACE(AudioUnit::kManager, "Subscribe: Source '%s' not found!\n", name);
    return false;
  }
  const uint32_t index = entry & 0xFFFFu;
  const uint16_t channel = static_cast<uint16_t>(entry >> 16);
  if (index >= device_count_) {
    AUDIO_TRACE(AudioUnit::kManager, "Subscribe: Source has a bad device ID (%d)!\n",
                static_cast<int>(index));
    return false;
  }
  // The device may not open again before its last stop has let it go.
  stopped_.wait(lock.native(), [&]() REQUIRES(mutex_) { return !stopping_[index]; });
  if (!threads_[index]) {
    AUDIO_TRACE(AudioUnit::kManager, "Subscribe: Start device %d!\n", static_cast<int>(index));
    DumpDeviceInfo("m_aDevInfo", &m_aDevInfo[index]);
    auto thread = std::make_unique<CAudioSourceThread>(m_aDevInfo[index]);
    if (!thread->Open()) {
      AUDIO_TRACE(AudioUnit::kManager, "Subscribe: Unable to start device %d!\n",
                  static_cast<int>(index));
      return false;
    }
    threads_[index] = std::move(thread);
  }
  ++ref_counts_[index];
  AUDIO_TRACE(AudioUnit::kManager, "Subscribe: Device %d, Ref count=%d!\n",
              static_cast<int>(index), ref_counts_[index]);
  uint16_t feed_channel;
  if (channel == kChannelLeft) {
    AUDIO_TRACE(AudioUnit::kManager, "Subscribe: SF_GET_LEFT_CHANNEL!\n");
    feed_channel = kChannelLeft;
  } else if (channel == kChannelRight) {
    AUDIO_TRACE(AudioUnit::kManager, "Subscribe: SF_GET_RIGHT_CHANNEL!\n");
    feed_channel = kChannelRight;
  } else {
    AUDIO_TRACE(AudioUnit::kManager, "Subscribe: CHANNELS=0!\n");
    feed_channel = kChannelStereo;
  }
  if (pSubscription != nullptr) {
    threads_[index]->Subscribe(pSubscription->pSink, pSubscription->pLevelListener,
                               feed_channel, pSubscription->dwMask);
  }
  return true;
}

bool AudioSourceManager::Unsubscribe(const char* pszSource,
                                     const SourceSubscription* pSubscription) {
  kit::UniqueLock lock(mutex_);
  uint32_t entry = 0;
  if (pszSource == nullptr || *pszSource == '\0' || !sources_.Find(pszSource, &entry)) {
    return false;
  }
  const uint32_t index = entry & 0xFFFFu;
  if (index >= device_count_ || !threads_[index]) return false;
  if (pSubscription != nullptr) {
    threads_[index]->Unsubscribe(pSubscription->pSink, pSubscription->pLevelListener);
  }
  if (ref_counts_[index] > 0) --ref_counts_[index];
  if (ref_counts_[index] < 1) StopDeviceUnlocked(index, lock);
  return true;
}

namespace {

// Adds what a capture thread counted to `sum`.
void AddThreadStats(const CAudioSourceThread& thread, CaptureStats* sum) {
  const platform::WaveInStats stats = thread.stats();
  const int32_t rate = thread.device_info().nSampleRate;
  sum->nFramesCaptured += stats.frames_captured;
  sum->nOverruns += stats.overruns;
  sum->nLostFrames += stats.frames_lost;
  if (rate > 0) sum->nLostMs += stats.frames_lost * 1000 / static_cast<uint64_t>(rate);
  sum->nOutages += thread.outages();
}

}  // namespace

void AudioSourceManager::StopDeviceUnlocked(uint32_t uDeviceIndex,
                                            kit::UniqueLock& lock) {
  std::unique_ptr<CAudioSourceThread> thread = std::move(threads_[uDeviceIndex]);
  if (!thread) return;
  // The counts so far are retired at once, so that GetCaptureStats never
  // sees them fall while the thread stops; what it counts meanwhile follows.
  CaptureStats before{};
  AddThreadStats(*thread, &before);
  AddThreadStats(*thread, &retired_stats_[uDeviceIndex]);
  stopping_[uDeviceIndex] = true;
  lock.unlock();
  thread->Stop();
  lock.lock();
  CaptureStats after{};
  AddThreadStats(*thread, &after);
  CaptureStats& retired = retired_stats_[uDeviceIndex];
  retired.nFramesCaptured += after.nFramesCaptured - before.nFramesCaptured;
  retired.nOverruns += after.nOverruns - before.nOverruns;
  retired.nLostFrames += after.nLostFrames - before.nLostFrames;
  retired.nLostMs += after.nLostMs - before.nLostMs;
  retired.nOutages += after.nOutages - before.nOutages;
  stopping_[uDeviceIndex] = false;
  stopped_.notify_all();
}

void AudioSourceManager::StopDevice(uint32_t uDeviceIndex) {
  if (auto& thread = threads_[uDeviceIndex]) {
    thread->Stop();
    AddThreadStats(*thread, &retired_stats_[uDeviceIndex]);
    thread.reset();
  }
}

bool AudioSourceManager::GetCaptureStats(uint32_t uDeviceIndex, CaptureStats* pStats) {
  if (pStats == nullptr) return false;
  kit::MutexLock lock(mutex_);
  if (uDeviceIndex >= device_count_) return false;
  CaptureStats stats = retired_stats_[uDeviceIndex];
  stats.bActive = 0;
  stats.bInputLost = 0;
  if (const auto& thread = threads_[uDeviceIndex]) {
    AddThreadStats(*thread, &stats);
    stats.bActive = 1;
    stats.bInputLost = thread->input_lost() ? 1 : 0;
  }
  *pStats = stats;
  return true;
}

void AudioSourceManager::RemoveAll() {
  kit::UniqueLock lock(mutex_);
  // Nothing may still be stopping once this returns (the library may be unloaded next).
  stopped_.wait(lock.native(), [&]() REQUIRES(mutex_) {
    return std::none_of(stopping_.begin(), stopping_.end(), [](bool b) { return b; });
  });
  sources_.Clear();
  for (uint32_t i = 0; i < device_count_; ++i) {
    StopDevice(i);
    // With its thread gone the device has no subscribers: a count kept from before would
    // keep a later subscription's device running after its last subscriber left.
    ref_counts_[i] = 0;
  }
}

}  // namespace logrum::audio
