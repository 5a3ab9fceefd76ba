// The capture thread of one device.
//
//   CAudioFeedThread    reads blocks of the block size from its reader, and hands each
//                       to the subscribed sinks: whole for a stereo device, or split into
//                       a left and a right copy for a split device. It is also the
//                       device's level target, fanning the peaks out to the listeners.
//   CAudioSourceThread  the feed thread of one defined device, with its WaveInSource.
//
// A device error does not end the thread: the sinks are told that the stream ended
// (Write(nullptr)), so what they record stops where the audio stopped, and the thread
// reopens the device with a back-off (kFirstReopenDelayMs doubling to
// kMaxReopenDelayMs, real time) until it comes back or the thread is closed. Audio then
// flows again to the same sinks: the time without input stays a gap, never filled in.
// The outage and its length go to the trace (unit kEvents).
//
// Every block carries the capture time of its first frame (IBlock::GetTimeUs), as the
// device stamped it, so the time of audio never depends on how late a thread after the
// device took it. Overruns are counted by the device's own thread; this thread puts them
// into words (trace unit kEvents), never the device's thread.
//
// Thread safety: Subscribe, Unsubscribe, Open and Close come from the source manager's
// (serialised) caller; the body runs on the thread; Levels comes from the device's
// callback. Each sink list and each listener list has its own lock; Levels never waits
// for a listener list's lock (it skips that report instead), and once Unsubscribe has
// returned the listener is not called again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Lib/AudioSource/AudioSinkManager.h"
#include "Lib/AudioSource/WaveInSource.h"
#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/MemBlock.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/ObjectPool.h"

namespace logrum::audio {

// Makes a left and a right block out of a stereo block: each frame (L, R) of `source`
// becomes (L, L) in `left` and (R, R) in `right`, at the same position. Both take the
// source's flags and its length rounded down to whole frames.
void SplitBlock(kit::MemBlock* source, kit::MemBlock* left, kit::MemBlock* right);

class CAudioFeedThread : public kit::CAppThread, public LevelTarget {
 public:
  static constexpr uint32_t kFirstReopenDelayMs = 250;
  static constexpr uint32_t kMaxReopenDelayMs = 5000;

  // Slot 1: the loop described in the class comment.
  void Body() override;
  // Slot 3.
  ~CAudioFeedThread() override;
  // Slot 4: asked before each read; false ends the loop. Default true.
  virtual bool ContinueHook();
  // Slot 5: sees each captured block before it goes out; false ends the loop. Default true.
  virtual bool BlockHook(kit::CPoolObject* block);

  // Adds a sink and a level listener (either may be null) to the channel's lists: the
  // right lists for the right channel of a split device, the main lists otherwise.
  // False for the both-channels selector on a split device, and when the listener is
  // already in its list (the sink is added even then).
  bool Subscribe(AudioSink* sink, LevelListener* listener, uint16_t channel, uint32_t mask);
  // Removes the sink (which is told with Write(nullptr)) and the listener from every list.
  void Unsubscribe(AudioSink* sink, LevelListener* listener);
  // Detaches the reader (waiting for a Read in progress), stops the thread (which sends
  // end of stream to its sinks) and releases the block pool.
  void Close();

  // The level interface.
  void Levels(int16_t sLeftMin, int16_t sLeftMax, int16_t sRightMin, int16_t sRightMax) override;

  size_t sink_count() const { return main_sinks_.count() + right_sinks_.count(); }
  // Device errors recovered from so far, and whether the input is lost now.
  uint32_t outages() const { return outages_.load(std::memory_order_acquire); }
  bool input_lost() const { return input_lost_.load(std::memory_order_acquire); }
  // Waits (real time) until input_lost() is `lost`; false on the time-out.
  bool WaitInputLost(bool lost, uint32_t timeout_ms);

 protected:
  explicit CAudioFeedThread(const char* name);
  // Takes `reader`, makes a pool of blocks of `cbPcmBlock` bytes and runs the thread.
  void Attach(uint32_t cbPcmBlock, WaveInSource* reader);
  // Tells the thread that Close is coming: a back-off or a reopen in progress gives up.
  void RequestClose();

  bool m_bSplitMono = false;

 private:
  // Hands a block to the sinks, split for a split device. False when no blocks are left
  // for the split.
  bool Deliver(kit::CPoolObject* block);
  // After a device error: ends the sinks' stream and reopens the device with a back-off.
  // False when the thread is to end instead.
  bool Recover(int error);
  void SetInputLost(bool lost);
  // Traces the overruns the device counted since the last call (feed thread).
  void ReportOverruns(const WaveInSource& reader);
  // Waits `ms` of real time; false at once when Close asks the thread to end.
  bool Pause(uint32_t ms);

  struct ListenerList {
    kit::Mutex mutex;
    std::vector<LevelListener*> listeners GUARDED_BY(mutex);
    bool Add(LevelListener* listener);
    void Remove(LevelListener* listener);
    void Call(int16_t minimum, int16_t maximum);
  };

  CAudioSinkManager main_sinks_;
  CAudioSinkManager right_sinks_;
  ListenerList main_listeners_;
  ListenerList right_listeners_;
  uint32_t cb_block_ = 0;
  std::mutex reader_mutex_;           // guards reader_ and every Read
  WaveInSource* reader_ = nullptr;
  kit::CBlockPool* pool_ = nullptr;   // one reference, the thread's
  kit::Mutex pause_mutex_;
  std::condition_variable pause_wake_;
  bool closing_ GUARDED_BY(pause_mutex_) = false;
  std::atomic<uint32_t> outages_{0};
  std::atomic<bool> input_lost_{false};
  uint64_t overruns_reported_ = 0;     // the feed thread's
  uint64_t frames_lost_reported_ = 0;  // the feed thread's
};

class CAudioSourceThread : public CAudioFeedThread {
 public:
  explicit CAudioSourceThread(const DeviceInfo& info);
  ~CAudioSourceThread() override;

  // Opens the device and starts the thread. False when the device cannot be opened.
  bool Open();
  // Stops the thread and closes the device: a read in progress ends at once.
  void Stop();

  const DeviceInfo& device_info() const { return m_DevInfo; }
  // The device's counters: of the source open now, or of the last one after Stop.
  platform::WaveInStats stats() const;

 private:
  DeviceInfo m_DevInfo;
  std::unique_ptr<WaveInSource> m_pSource;
  platform::WaveInStats stopped_stats_;
};

}  // namespace logrum::audio
