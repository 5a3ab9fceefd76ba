#include "Lib/AudioSource/AudioSinkManager.h"

#include "Lib/AudioSource/AudioTrace.h"

namespace logrum::audio {

void CAudioSinkManager::Add(AudioSink* sink, uint32_t mask) {
  kit::MutexLock lock(mutex_);
  sinks_.push_back(SSinkData{sink, mask});
}

bool CAudioSinkManager::Remove(AudioSink* sink) {
  kit::MutexLock lock(mutex_);
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->pSink == sink) {
      sinks_.erase(it);
      sink->Write(nullptr);
      return true;
    }
  }
  return false;
}

void CAudioSinkManager::FeedClients(IBlock* block) {
  AUDIO_TRACE(AudioUnit::kPerBlock, "FeedClients: %d of %d\n",
              block ? static_cast<int>(block->GetDataLength()) : 0,
              block ? static_cast<int>(block->GetSize()) : 0);
  const uint32_t flags = block ? block->GetFlags() : 0;
  kit::MutexLock lock(mutex_);
  for (auto it = sinks_.begin(); it != sinks_.end();) {
    bool traced = TraceWanted(AudioUnit::kPerBlock, __LINE__);
    if (traced) TraceLine(AudioUnit::kPerBlock, __LINE__, "Sink: 0x%lX: ", Addr(&*it));
    bool keep = true;
    if (block == nullptr || (flags & it->dwMask) != 0) {
      if (traced) TraceLine(AudioUnit::kPerBlock, __LINE__, "Write! ");
      bool written;
      try {
        written = it->pSink->Write(block);
      } catch (...) {  // a subscriber's fault must not end the capture of the others
        written = false;
      }
      if (!written) {
        if (traced) {
          TraceLine(AudioUnit::kPerBlock, __LINE__, "Write Error: Remove SSinkData 0x%lX!",
                    Addr(&*it));
        }
        keep = false;
      }
    }
    if (traced) TraceLine(AudioUnit::kPerBlock, __LINE__, "\n");
    it = keep ? std::next(it) : sinks_.erase(it);
  }
}

size_t CAudioSinkManager::count() const {
  kit::MutexLock lock(mutex_);
  return sinks_.size();
}

}  // namespace logrum::audio
