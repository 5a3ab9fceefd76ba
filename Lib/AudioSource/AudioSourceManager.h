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
#include "Lib/Kit/Mutex.h"

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
    kit::MutexLock lock(mutex_);
    return ref_counts_[uDeviceIndex];
  }
  DeviceInfo device_info(uint32_t uDeviceIndex) const {
    kit::MutexLock lock(mutex_);
    return m_aDevInfo[uDeviceIndex];
  }
  CAudioSourceThread* capture_thread(uint32_t uDeviceIndex) const {
    kit::MutexLock lock(mutex_);
    return threads_[uDeviceIndex].get();
  }

 private:
  void StopDevice(uint32_t uDeviceIndex) REQUIRES(mutex_);
  bool IsActiveLocked(uint32_t uDeviceIndex) const REQUIRES(mutex_);
  // Takes the device's thread out of the table (mutex_ held by `lock`), stops it
  // with the lock released, and marks the device stopped again.
  // The analysis cannot follow a lock handed in by reference and let go inside,
  // so the body is not checked; callers are.
  void StopDeviceUnlocked(uint32_t uDeviceIndex, kit::UniqueLock& lock) REQUIRES(mutex_)
      NO_THREAD_SAFETY_ANALYSIS;

  mutable kit::Mutex mutex_;
  std::condition_variable stopped_;                             // a device's stop ended
  NameTree sources_ GUARDED_BY(mutex_){false};  // case-sensitive
  const uint32_t device_count_;
  std::vector<std::unique_ptr<CAudioSourceThread>> threads_ GUARDED_BY(mutex_);
  std::vector<DeviceInfo> m_aDevInfo GUARDED_BY(mutex_);
  std::vector<int32_t> ref_counts_ GUARDED_BY(mutex_);
  // Counts of each device's capture threads that have ended.
  std::vector<CaptureStats> retired_stats_ GUARDED_BY(mutex_);
  std::vector<bool> stopping_ GUARDED_BY(mutex_);
};

}  // namespace logrum::audio
