// An event that threads wait on: manual- or auto-reset, set, reset, wait with
// a time-out. Embedded by value in the thread and queue classes.
//
// Thread safety: every operation may be called from any thread at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Lib/Kit/Mutex.h"

namespace logrum::kit {

// Wait without time-out.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class EventObject {
 public:
  // manual_reset: a signalled event stays signalled until Reset. Otherwise one
  // successful Wait consumes the signal.
  EventObject(bool manual_reset, bool initial_state);
  EventObject(const EventObject&) = delete;
  EventObject& operator=(const EventObject&) = delete;
  virtual ~EventObject();

  void Set();
  void Reset();
  // True only when the event was signalled; false on time-out (milliseconds,
  // kInfinite waits for ever).
  bool Wait(uint32_t timeout_ms);
  // The current state without waiting or consuming it.
  bool IsSet() const;

 private:
  const bool manual_reset_;
  mutable Mutex mu_;
  std::condition_variable cv_;
  bool signalled_;
};

}  // namespace logrum::kit
