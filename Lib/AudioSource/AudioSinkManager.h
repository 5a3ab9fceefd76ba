// CAudioSinkManager: the list of sinks of one channel of a capture device, and the
// fan-out of each captured block to them.
//
// Thread safety: every member may be called from any thread; the list is changed and
// walked under one lock, and sinks are called with that lock held, so a sink must not
// subscribe or unsubscribe from inside Write.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::audio {

struct SSinkData {
  AudioSink* pSink;
  uint32_t dwMask;  // the block flags this sink wants
};

class CAudioSinkManager {
 public:
  CAudioSinkManager() = default;
  CAudioSinkManager(const CAudioSinkManager&) = delete;
  CAudioSinkManager& operator=(const CAudioSinkManager&) = delete;

  // Appends (sink, mask) at the tail. The same sink may be added twice: it then
  // receives every block twice.
  void Add(AudioSink* sink, uint32_t mask);
  // Removes the first entry of `sink`, then tells the sink (Write(nullptr)) that no
  // more blocks will come. False when the sink was not in the list.
  bool Remove(AudioSink* sink);
  // Hands `block` to every sink whose mask shares a bit with the block's flags, in list
  // order; null (end of stream) goes to every sink. A sink whose Write fails is removed.
  void FeedClients(IBlock* block);

  size_t count() const;

 private:
  mutable kit::Mutex mutex_;
  std::list<SSinkData> sinks_ GUARDED_BY(mutex_);
};

}  // namespace logrum::audio
