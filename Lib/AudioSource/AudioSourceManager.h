// The audio source manager: capture devices defined as named sources, and the capture
// threads of the devices that have subscribers. See include/AudioSource.h for the
// contract its callers see.
//
// Thread safety: none of its own. Callers serialise DefineDevice, Subscribe,
// Unsubscribe and RemoveAll; the capture threads lock their own lists.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Lib/AudioSource/AudioFeedThread.h"
#include "Lib/AudioSource/NameTree.h"
#include "Lib/AudioSource/include/AudioSource.h"

namespace logrum::audio {

// Writes the record to the trace, one line a field ("DumpDeviceInfo: NULL!" for null).
void DumpDeviceInfo(const char* label, const DeviceInfo* info);

class AudioSourceManager final : public CAudioSourceManager {
 public:
  AudioSourceManager();
  ~AudioSourceManager() override;

  int32_t GetNumDevices() override;
  uint32_t GetDeviceName(uint32_t uDeviceIndex, char* pszBuffer, uint32_t cbBuffer) override;
  bool IsDeviceActive(uint32_t uDeviceIndex) override;
  bool DefineDevice(const DeviceInfo* pDevInfo) override;
  bool Subscribe(const char* pszSource, const SourceSubscription* pSubscription) override;
  bool Unsubscribe(const char* pszSource, const SourceSubscription* pSubscription) override;
  void RemoveAll() override;

  // For tests and tools.
  uint32_t device_count() const { return device_count_; }
  int32_t ref_count(uint32_t uDeviceIndex) const { return m_aRefCount[uDeviceIndex]; }
  const DeviceInfo& device_info(uint32_t uDeviceIndex) const { return m_aDevInfo[uDeviceIndex]; }
  CAudioSourceThread* capture_thread(uint32_t uDeviceIndex) const {
    return m_aThreads[uDeviceIndex].get();
  }

 private:
  void StopDevice(uint32_t uDeviceIndex);

  NameTree m_mapSources{false};  // case-sensitive
  uint32_t device_count_;
  std::vector<std::unique_ptr<CAudioSourceThread>> m_aThreads;
  std::vector<DeviceInfo> m_aDevInfo;
  std::vector<int32_t> m_aRefCount;
};

}  // namespace logrum::audio
