// The asynchronous event log: messages are (level, text) pairs posted from any
// thread and delivered, in the order posted, to every listener on the log's own
// thread (the archive's daily log file is such a listener).
//
//   Start(flag)           begins delivery (posts made before Start are dropped).
//   Post / Format         queue one message (EventPoster face).
//   Stop()                refuses further posts, delivers what was posted before
//                         the stop, and waits until the log's thread has ended.
//   Add/RemoveListener    the listener list; a listener is in it at most once.
// Posting a null text ends the log's thread when it reaches that entry.
// A message longer than the maximum length is cut. When the message pool is
// exhausted (512 messages waiting) further messages are dropped.
//
// Ownership: listeners stay their owners'; remove one before destroying it.
// Thread safety: every operation from any thread. Listeners run on the log's
// thread under the listener lock: a listener must not add or remove listeners
// nor call Stop.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/BlockQueue.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/ObjectPool.h"

namespace logrum::kit {

// Receives the messages of an EventLogMT on the log's thread.
class EventLogListener {
 public:
  virtual void Log(int32_t level, const char* text) = 0;

 protected:
  ~EventLogListener() = default;
};

// The posting face of the event log, handed to whatever reports messages.
class EventPoster {
 public:
  // Slots in this order.
  virtual void Post(int32_t level, const char* text) = 0;
  virtual void Format(int32_t level, const char* format, va_list args) = 0;

  // printf-style convenience over Format.
  void Printf(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

 protected:
  ~EventPoster() = default;
};

class EventLogMT : public AppThread, public EventPoster {
 public:
  // The archive passes 512.
  explicit EventLogMT(uint32_t max_message_length);
  ~EventLogMT() override;  // Stop()

  // Always true. The flag is kept for the caller and not otherwise used.
  bool Start(bool flag);
  void Stop();

  void AddListener(EventLogListener* listener);
  void RemoveListener(EventLogListener* listener);

  void Post(int32_t level, const char* text) override;
  void Format(int32_t level, const char* format, va_list args) override;

  EventPoster* poster() { return this; }
  bool start_flag() const { return start_flag_; }
  uint32_t max_message_length() const { return max_length_; }
  PoolStats PoolStatistics() { return pool_->Statistics(); }

 protected:
  void Body() override;

 private:
  void Deliver(MemBlock* message);

  const uint32_t max_length_;
  Mutex listeners_mu_;
  std::vector<EventLogListener*> listeners_ GUARDED_BY(listeners_mu_);
  CMemBlockFactory* pool_;
  Mutex post_mu_;           // orders posts against Stop
  bool accepting_ GUARDED_BY(post_mu_) = false;
  bool start_flag_ = false;
  BlockQueue queue_{0, BlockQueue::kUnlimitedQueue};
  Mutex format_mu_;
  std::vector<char> format_buffer_ GUARDED_BY(format_mu_);
};

}  // namespace logrum::kit
