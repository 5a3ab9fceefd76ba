#include "External/Encoder/EncoderWorker.h"

#include <pthread.h>

#include "Lib/Platform/Clock.h"

namespace logrum::audenc {

EncoderWorker::EncoderWorker(Handler* handler, const char* thread_name, uint32_t input_channels,
                             uint64_t max_queued_frames)
    : handler_(handler),
      thread_name_(thread_name),
      frame_bytes_(2 * input_channels),
      max_queued_frames_(max_queued_frames) {}

EncoderWorker::~EncoderWorker() { Stop(); }

bool EncoderWorker::Start() {
  kit::MutexLock lock(mu_);
  if (thread_.joinable()) return false;
  accepting_ = true;
  stopping_ = false;
  position_ = 0;
  dropping_ = 0;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void EncoderWorker::Stop(uint32_t drain_ms) {
  {
    kit::MutexLock lock(mu_);
    accepting_ = false;
    if (!stopping_) {
      stopping_ = true;
      drain_bounded_ = drain_ms != kDrainAll;
      drain_until_ms_ = platform::DefaultClock().TickMs() + (drain_bounded_ ? drain_ms : 0);
    }
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  // Nothing is left queued: the worker drains or discards the queue before it ends.
}

std::deque<InputItem> EncoderWorker::DiscardAfterDeadlineLocked() {
  std::deque<InputItem> discarded;
  if (!stopping_ || !drain_bounded_ || queue_.empty() ||
      platform::DefaultClock().TickMs() < drain_until_ms_) {
    return discarded;
  }
  discarded.swap(queue_);
  for (const InputItem& item : discarded) {
    // The queue runs up to position_ without holes, so the whole stretch,
    // with any gap already in front of these blocks, becomes one gap.
    dropping_ += item.dropped_before + item.frames;
    dropped_total_ += item.frames;
    dropped_at_stop_ += item.frames;
  }
  queued_frames_ = 0;
  return discarded;
}

bool EncoderWorker::Write(kit::IBlock* block) {
  const int64_t wall_us = platform::DefaultClock().NowUs();
  const uint32_t sample = block ? handler_->Sample() : 0;
  kit::UniqueLock lock(mu_);
  if (!accepting_) return false;
  if (!block) {
    queue_.push_back({nullptr, position_, 0, wall_us, 0, dropping_, 0});
    dropping_ = 0;
  } else {
    const uint32_t frames = block->GetDataLength() / frame_bytes_;
    if (frames == 0) return true;
    if (queued_frames_ + frames > max_queued_frames_) {
      dropping_ += frames;
      dropped_total_ += frames;
      position_ += frames;
      return true;
    }
    block->AddRef();
    queue_.push_back({block, position_, frames, wall_us, block->GetTimeUs(), dropping_, sample});
    dropping_ = 0;
    position_ += frames;
    queued_frames_ += frames;
  }
  lock.unlock();
  wake_.notify_one();
  return true;
}

uint64_t EncoderWorker::dropped_frames() const {
  kit::MutexLock lock(mu_);
  return dropped_total_;
}

uint64_t EncoderWorker::dropped_at_stop_frames() const {
  kit::MutexLock lock(mu_);
  return dropped_at_stop_;
}

uint64_t EncoderWorker::queued_frames() const {
  kit::MutexLock lock(mu_);
  return queued_frames_;
}

void EncoderWorker::Run() {
  pthread_setname_np(pthread_self(), thread_name_.substr(0, 15).c_str());
  for (;;) {
    kit::UniqueLock lock(mu_);
    wake_.wait(lock.native(), [this]() REQUIRES(mu_) { return !queue_.empty() || stopping_; });
    for (InputItem& item : DiscardAfterDeadlineLocked()) {
      // Back to the capture pool; its lock is never held while ours is taken.
      if (item.block) item.block->Release();
    }
    if (queue_.empty()) {
      // Stopping and drained. Blocks lost since the last queued one still count.
      const uint64_t lost = dropping_;
      const uint64_t at = position_ - lost;
      dropping_ = 0;
      lock.unlock();
      const int64_t wall_us = platform::DefaultClock().NowUs();
      try {
        if (lost > 0) handler_->Gap(at, lost, wall_us);
        handler_->EndOfInput("encoder closed", wall_us);
      } catch (...) {
      }
      return;
    }
    InputItem item = queue_.front();
    queue_.pop_front();
    queued_frames_ -= item.frames;
    lock.unlock();

    // Nothing may escape the worker: a failure costs this block, not the process.
    try {
      if (item.dropped_before > 0)
        handler_->Gap(item.position - item.dropped_before, item.dropped_before, item.wall_us);
      if (item.block)
        handler_->Process(item, reinterpret_cast<const int16_t*>(item.block->GetData()));
      else
        handler_->EndOfInput("source stopped", item.wall_us);
    } catch (...) {
    }
    if (item.block) item.block->Release();
  }
}

}  // namespace logrum::audenc
