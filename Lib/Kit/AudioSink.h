// A subscriber that receives blocks: the audio capture library's subscriptions,
// the encoders' inputs and the queue readers of live listeners.
//
// Write(block) hands over a block; the sink takes its own reference (AddRef) if
// it keeps the block past the call. Write(nullptr) means that no more blocks
// will come for this subscription. A sink that returns false is removed by the
// feeder.
// Thread safety: Write is called on the feeder's thread; implementations say
// which other threads they touch.
#pragma once

#include "Lib/Kit/IBlock.h"

namespace logrum::kit {

class AudioSink {
 public:
  virtual bool Write(IBlock* block) = 0;

 protected:
  ~AudioSink() = default;
};

}  // namespace logrum::kit
