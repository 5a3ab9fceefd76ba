#include "Lib/Kit/EventLogMT.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace logrum::kit {

namespace {
// The message block: a 32-bit level, then the NUL-terminated text.
constexpr uint32_t kLevelSize = sizeof(int32_t);
}  // namespace

void EventPoster::Printf(int32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Format(level, format, args);
  va_end(args);
}

EventLogMT::EventLogMT(uint32_t max_message_length)
    : AppThread("EventLogMT", 8192, 0, false),
      max_length_(max_message_length),
      pool_(CMemBlockFactory::Create(32, 32, 512, max_message_length + 5)),
      format_buffer_(max_message_length + 5) {}

EventLogMT::~EventLogMT() {
  Stop();
  pool_->Release();
}

bool EventLogMT::Start(bool flag) {
  {
    kit::MutexLock lock(post_mu_);
    start_flag_ = flag;
    accepting_ = true;
    queue_.Start();
  }
  Run();
  return true;
}

void EventLogMT::Stop() {
  {
    kit::MutexLock lock(post_mu_);
    if (accepting_) {
      accepting_ = false;
      // Every message posted before this point is delivered before the thread
      // ends: the end mark goes behind them.
      queue_.Put(nullptr);
    }
  }
  if (IsRunning()) SetExit(0);
  // Whatever is left (the thread had already ended on a null post) is dropped.
  queue_.Stop();
}

void EventLogMT::AddListener(EventLogListener* listener) {
  if (listener == nullptr) return;
  kit::MutexLock lock(listeners_mu_);
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
  listeners_.push_back(listener);
}

void EventLogMT::RemoveListener(EventLogListener* listener) {
  kit::MutexLock lock(listeners_mu_);
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void EventLogMT::Format(int32_t level, const char* format, va_list args) {
  kit::MutexLock lock(format_mu_);
  // vsnprintf cuts a longer text at the maximum length.
  std::vsnprintf(format_buffer_.data(), max_length_ + 1, format != nullptr ? format : "", args);
  Post(level, format_buffer_.data());
}

void EventLogMT::Post(int32_t level, const char* text) {
  kit::MutexLock lock(post_mu_);
  if (!accepting_) return;
  if (text == nullptr) {
    queue_.Put(nullptr);
    return;
  }
  MemBlock* message = pool_->GetBlock();
  if (message == nullptr) return;  // pool exhausted: the message is dropped
  const size_t length = std::min<size_t>(std::strlen(text), max_length_);
  std::memcpy(message->data(), &level, kLevelSize);
  std::memcpy(message->data() + kLevelSize, text, length);
  message->data()[kLevelSize + length] = '\0';
  message->set_data_length(static_cast<uint32_t>(length + 1 + kLevelSize));
  queue_.Put(message);
  message->Release();  // the queue holds its own reference
}

void EventLogMT::Body() {
  for (;;) {
    IBlock* entry = nullptr;
    if (!queue_.Get(&entry)) return;  // stopped
    if (entry == nullptr) return;     // the end mark
    Deliver(MemBlock::FromBlock(entry));
    entry->Release();
  }
}

void EventLogMT::Deliver(MemBlock* message) {
  int32_t level;
  std::memcpy(&level, message->data(), kLevelSize);
  const char* text = reinterpret_cast<const char*>(message->data() + kLevelSize);
  kit::MutexLock lock(listeners_mu_);
  for (EventLogListener* listener : listeners_) listener->Log(level, text);
}

}  // namespace logrum::kit
