// The audio source manager: capture devices defined as named sources, and the capture
// threads of the devices that have subscribers. See include/AudioSource.h for the
// contract its callers see.
//
// Thread safety: every operation may be called from any thread. DefineDevice,
// Subscribe, Unsubscribe, RemoveAll and IsDeviceActive are serialised by one lock:
// archives subscribe from their opening threads, the host unsubscribes from its own,
// and network connections subscribe level listeners from theirs, so counts, the
// start of a device by its first subscriber and its stop by the last one must not
// interleave. The lock is held while a device starts. A device's stop runs outside
// it, so that archives stopping side by side stop their devices side by side (under
// load each stop waits for its capture thread to be scheduled); while a device is
// stopping, a subscription that would start it again waits for the stop to end.
// Sinks and listeners are called on the capture threads and must not call back into
// the manager.
#pragma once

#include <cstdint>
#include <memory>
#include <condition_variable>
#include <mutex>
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
  bool GetCaptureStats(uint32_t uDeviceIndex, CaptureStats* pStats) override;

  // For tests and tools. A thread pointer stays valid only while nothing unsubscribes.
  uint32_t device_count() const { return device_count_; }
  int32_t ref_count(uint32_t uDeviceIndex) const {
    std::lock_guard lock(mutex_);
    return ref_counts_[uDeviceIndex];
  }
  DeviceInfo device_info(uint32_t uDeviceIndex) const {
    std::lock_guard lock(mutex_);
    return m_aDevInfo[uDeviceIndex];
  }
  CAudioSourceThread* capture_thread(uint32_t uDeviceIndex) const {
    std::lock_guard lock(mutex_);
    return threads_[uDeviceIndex].get();
  }

 private:
  void StopDevice(uint32_t uDeviceIndex);  // mutex_ held
  bool IsActiveLocked(uint32_t uDeviceIndex) const;
  // Takes the device's thread out of the table (mutex_ held by `lock`), stops it
  // with the lock released, and marks the device stopped again.
  void StopDeviceUnlocked(uint32_t uDeviceIndex, std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable stopped_;                             // a device's stop ended
  NameTree sources_{false};  // case-sensitive; guarded by mutex_
  const uint32_t device_count_;
  std::vector<std::unique_ptr<CAudioSourceThread>> threads_;  // guarded by mutex_
  std::vector<DeviceInfo> m_aDevInfo;                           // guarded by mutex_
  std::vector<int32_t> ref_counts_;                             // guarded by mutex_
  // Counts of each device's capture threads that have ended; guarded by mutex_.
  std::vector<CaptureStats> retired_stats_;
  std::vector<bool> stopping_;                                  // guarded by mutex_
};

}  // namespace logrum::audio
