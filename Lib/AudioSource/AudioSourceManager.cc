#include "Lib/AudioSource/AudioSourceManager.h"

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
      m_aThreads(device_count_),
      m_aDevInfo(device_count_),
      m_aRefCount(device_count_, 0) {}  // the records are value-initialised: all zero

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
  return uDeviceIndex < device_count_ && m_aThreads[uDeviceIndex] != nullptr;
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
  if (!NameOf(stored.szSourceLeft).empty()) m_mapSources.Remove(NameOf(stored.szSourceLeft));
  if (stored.bSplitMono && !NameOf(stored.szSourceRight).empty()) {
    m_mapSources.Remove(NameOf(stored.szSourceRight));
  }
  std::string_view left = NameOf(pDevInfo->szSourceLeft);
  std::string_view right = NameOf(pDevInfo->szSourceRight);
  uint32_t existing;
  if (m_mapSources.Find(left, &existing)) {
    AUDIO_TRACE(AudioUnit::kManager, "DefineDevice: Failed: Source '%s' exists!\n",
                std::string(left).c_str());
    return false;
  }
  if (pDevInfo->bSplitMono &&
      (m_mapSources.Find(right, &existing) || (!right.empty() && right == left))) {
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
    m_mapSources.Insert(left, Entry(index, kChannelStereo));
    return true;
  }
  AUDIO_TRACE(AudioUnit::kManager, "DefineDevice: Split mono: L='%s', R='%s'\n",
              std::string(left).c_str(), std::string(right).c_str());
  m_mapSources.Insert(left, Entry(index, kChannelLeft));
  m_mapSources.Insert(right, Entry(index, kChannelRight));
  return true;
}

bool AudioSourceManager::Subscribe(const char* pszSource, const SourceSubscription* pSubscription) {
  const char* name = pszSource != nullptr ? pszSource : "";
  AUDIO_TRACE(AudioUnit::kManager, "CAudioSourceManager.Subscribe(%s): \n", name);
  kit::MutexLock lock(mutex_);
  uint32_t entry = 0;
  if (*name == '\0' || !m_mapSources.Find(name, &entry)) {
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
  if (!m_aThreads[index]) {
    AUDIO_TRACE(AudioUnit::kManager, "Subscribe: Start device %d!\n", static_cast<int>(index));
    DumpDeviceInfo("m_aDevInfo", &m_aDevInfo[index]);
    auto thread = std::make_unique<CAudioSourceThread>(m_aDevInfo[index]);
    if (!thread->Open()) {
      AUDIO_TRACE(AudioUnit::kManager, "Subscribe: Unable to start device %d!\n",
                  static_cast<int>(index));
      return false;
    }
    m_aThreads[index] = std::move(thread);
  }
  ++m_aRefCount[index];
  AUDIO_TRACE(AudioUnit::kManager, "Subscribe: Device %d, Ref count=%d!\n",
              static_cast<int>(index), m_aRefCount[index]);
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
    m_aThreads[index]->Subscribe(pSubscription->pSink, pSubscription->pLevelListener,
                                 feed_channel, pSubscription->dwMask);
  }
  return true;
}

bool AudioSourceManager::Unsubscribe(const char* pszSource,
                                     const SourceSubscription* pSubscription) {
  kit::MutexLock lock(mutex_);
  uint32_t entry = 0;
  if (pszSource == nullptr || *pszSource == '\0' || !m_mapSources.Find(pszSource, &entry)) {
    return false;
  }
  const uint32_t index = entry & 0xFFFFu;
  if (index >= device_count_ || !m_aThreads[index]) return false;
  if (pSubscription != nullptr) {
    m_aThreads[index]->Unsubscribe(pSubscription->pSink, pSubscription->pLevelListener);
  }
  if (m_aRefCount[index] > 0) --m_aRefCount[index];
  if (m_aRefCount[index] < 1) StopDevice(index);
  return true;
}

void AudioSourceManager::StopDevice(uint32_t uDeviceIndex) {
  if (auto& thread = m_aThreads[uDeviceIndex]) {
    thread->Stop();
    thread.reset();
  }
}

void AudioSourceManager::RemoveAll() {
  kit::MutexLock lock(mutex_);
  m_mapSources.Clear();
  for (uint32_t i = 0; i < device_count_; ++i) {
    StopDevice(i);
    // With its thread gone the device has no subscribers: a count kept from before would
    // keep a later subscription's device running after its last subscriber left.
    m_aRefCount[i] = 0;
  }
}

}  // namespace logrum::audio
