#include "Lib/AudioSource/AudioFeedThread.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "Lib/AudioSource/AudioTrace.h"
#include "Lib/Kit/ByteBuffer.h"
#include "Lib/Platform/Clock.h"

namespace logrum::audio {

namespace {
constexpr uint32_t kFrameBytes = 4;  // 16-bit stereo
}

void SplitBlock(kit::MemBlock* source, kit::MemBlock* left, kit::MemBlock* right) {
  const uint32_t length = source->data_length();
  AUDIO_ASSERT(AudioUnit::kFeed, left->capacity() >= length && right->capacity() >= length);
  AUDIO_ASSERT(AudioUnit::kFeed, length % kFrameBytes == 0);
  uint32_t frames = std::min({length, left->capacity(), right->capacity()}) / kFrameBytes;
  AUDIO_TRACE(AudioUnit::kPerBlock, "AFT.SplitBlock(%d from %lX to (%lX,%lX)\n",
              static_cast<int>(frames), Addr(source->data()), Addr(left->data()),
              Addr(right->data()));
  const uint8_t* in = source->data();
  uint8_t* l = left->data();
  uint8_t* r = right->data();
  for (uint32_t i = 0; i < frames; ++i, in += 4, l += 4, r += 4) {
    std::memcpy(l, in, 2);
    std::memcpy(l + 2, in, 2);
    std::memcpy(r, in + 2, 2);
    std::memcpy(r + 2, in + 2, 2);
  }
  left->set_flags(source->GetFlags());
  right->set_flags(source->GetFlags());
  left->set_time_us(source->GetTimeUs());
  right->set_time_us(source->GetTimeUs());
  left->set_data_length(frames * kFrameBytes);
  right->set_data_length(frames * kFrameBytes);
}

bool CAudioFeedThread::ListenerList::Add(LevelListener* listener) {
  kit::MutexLock lock(mutex);
  if (std::find(listeners.begin(), listeners.end(), listener) != listeners.end()) return false;
  listeners.push_back(listener);
  return true;
}

void CAudioFeedThread::ListenerList::Remove(LevelListener* listener) {
  kit::MutexLock lock(mutex);
  listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
}

void CAudioFeedThread::ListenerList::Call(int16_t minimum, int16_t maximum) {
  // Called from the device's callback, which must not wait: while a subscriber is being
  // added or removed this one report is skipped (the next comes with the next buffer).
  if (!mutex.try_lock()) return;
  for (LevelListener* listener : listeners) {
    try {
      listener->OnLevel(minimum, maximum, 0);
    } catch (...) {  // the device's thread must go on for the other listeners
    }
  }
  mutex.unlock();
}

CAudioFeedThread::CAudioFeedThread(const char* name)
    : kit::CAppThread(name, 5000, 0, false) {}

CAudioFeedThread::~CAudioFeedThread() { Close(); }

bool CAudioFeedThread::ContinueHook() { return true; }

bool CAudioFeedThread::BlockHook(kit::CPoolObject*) { return true; }

void CAudioFeedThread::Levels(int16_t sLeftMin, int16_t sLeftMax, int16_t sRightMin,
                              int16_t sRightMax) {
  main_listeners_.Call(sLeftMin, sLeftMax);
  right_listeners_.Call(sRightMin, sRightMax);
}

bool CAudioFeedThread::Subscribe(AudioSink* sink, LevelListener* listener, uint16_t channel,
                                 uint32_t mask) {
  AUDIO_TRACE(AudioUnit::kFeed, "CAudioFeedThread::Subscribe(0x%X): m_bSplitMono=%s\n", mask,
              m_bSplitMono ? "true" : "false");
  CAudioSinkManager* sinks = &main_sinks_;
  ListenerList* listeners = &main_listeners_;
  if (m_bSplitMono && channel != kChannelLeft) {
    if (channel != kChannelRight) {
      AUDIO_TRACE(AudioUnit::kFeed, "CAudioFeedThread::Subscribe(0x%X): ERROR!\n", mask);
      return false;
    }
    AUDIO_TRACE(AudioUnit::kFeed, "CAudioFeedThread::Subscribe(0x%X): RIGHT\n", mask);
    sinks = &right_sinks_;
    listeners = &right_listeners_;
  } else {
    AUDIO_TRACE(AudioUnit::kFeed, "CAudioFeedThread::Subscribe(0x%X): LEFT\n", mask);
  }
  if (sink != nullptr) sinks->Add(sink, mask);
  if (listener != nullptr && !listeners->Add(listener)) return false;
  return true;
}

void CAudioFeedThread::Unsubscribe(AudioSink* sink, LevelListener* listener) {
  if (sink != nullptr) {
    main_sinks_.Remove(sink);
    right_sinks_.Remove(sink);
  }
  if (listener != nullptr) {
    main_listeners_.Remove(listener);
    right_listeners_.Remove(listener);
  }
}

void CAudioFeedThread::Attach(uint32_t cbPcmBlock, WaveInSource* reader) {
  {
    std::lock_guard lock(reader_mutex_);
    cb_block_ = cbPcmBlock;
    reader_ = reader;
  }
  {
    kit::MutexLock lock(pause_mutex_);
    closing_ = false;
    input_lost_.store(false, std::memory_order_release);
  }
  overruns_reported_ = 0;  // a new reader counts from 0
  frames_lost_reported_ = 0;
  if (pool_ != nullptr) pool_->Release();
  pool_ = kit::CBlockPool::Create(cbPcmBlock);
  Run();
}

void CAudioFeedThread::RequestClose() {
  {
    kit::MutexLock lock(pause_mutex_);  // a back-off in progress ends at once
    closing_ = true;
  }
  pause_wake_.notify_all();
}

void CAudioFeedThread::Close() {
  AUDIO_TRACE(AudioUnit::kFeed, "CAudioFeedThread::Close: Enter\n");
  RequestClose();
  {
    std::lock_guard lock(reader_mutex_);  // waits for a Read in progress
    reader_ = nullptr;
  }
  SetExit(0);
  if (pool_ != nullptr) {
    pool_->Release();
    pool_ = nullptr;
  }
  AUDIO_TRACE(AudioUnit::kFeed, "CAudioFeedThread::Close: Done!\n");
}

bool CAudioFeedThread::Deliver(kit::CPoolObject* block) {
  if (!m_bSplitMono) {
    main_sinks_.FeedClients(block);
    return true;
  }
  kit::CPoolObject* left = pool_->GetBlock();
  kit::CPoolObject* right = pool_->GetBlock();
  if (left == nullptr || right == nullptr) {
    if (left != nullptr) left->Release();
    if (right != nullptr) right->Release();
    return false;
  }
  AUDIO_TRACE(AudioUnit::kPerBlock, "AFT: SplitBlock %lX to (L=%lX, R=%lX)\n", Addr(block),
              Addr(left), Addr(right));
  SplitBlock(block, left, right);
  main_sinks_.FeedClients(left);
  right_sinks_.FeedClients(right);
  AUDIO_TRACE(AudioUnit::kPerBlock, "AFT: Release (L=%lX, R=%lX)\n", Addr(left), Addr(right));
  left->Release();
  right->Release();
  return true;
}

bool CAudioFeedThread::Pause(uint32_t ms) {
  kit::UniqueLock lock(pause_mutex_);
  return !pause_wake_.wait_for(lock.native(), std::chrono::milliseconds(ms),
                               [this]() REQUIRES(pause_mutex_) { return closing_; });
}

bool CAudioFeedThread::WaitInputLost(bool lost, uint32_t timeout_ms) {
  kit::UniqueLock lock(pause_mutex_);
  return pause_wake_.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms),
                              [&]() REQUIRES(pause_mutex_) { return input_lost() == lost; });
}

void CAudioFeedThread::SetInputLost(bool lost) {
  {
    kit::MutexLock lock(pause_mutex_);
    input_lost_.store(lost, std::memory_order_release);
  }
  pause_wake_.notify_all();
}

bool CAudioFeedThread::Recover(int error) {
  std::string device;
  {
    std::lock_guard lock(reader_mutex_);
    if (reader_ == nullptr) return false;
    device = reader_->device_name();
  }
  const int64_t lost_at_us = platform::DefaultClock().NowUs();
  AUDIO_TRACE(AudioUnit::kEvents,
              "audiosrc: capture device '%s' failed (%s): input lost, reopening\n",
              device.c_str(), platform::WaveInResultText(error));
  // What the sinks record ends here; the next block starts a new stream after the gap.
  main_sinks_.FeedClients(nullptr);
  if (m_bSplitMono) right_sinks_.FeedClients(nullptr);
  outages_.fetch_add(1, std::memory_order_acq_rel);
  SetInputLost(true);

  uint32_t delay_ms = kFirstReopenDelayMs;
  uint32_t attempts = 0;
  for (;;) {
    if (!Pause(delay_ms) || !IsRunning()) return false;
    ++attempts;
    {
      std::lock_guard lock(reader_mutex_);
      if (reader_ == nullptr) return false;
      // Failures are expected while the device is away; the attempts are counted
      // and reported once it is back.
      if (reader_->OpenCapture().ok()) break;
    }
    delay_ms = std::min(delay_ms * 2, kMaxReopenDelayMs);
  }
  {
    // A stop that came while the device reopened may have been undone by the open:
    // the thread must not go back to reading.
    kit::MutexLock lock(pause_mutex_);
    if (closing_) return false;
  }
  SetInputLost(false);
  const double seconds =
      static_cast<double>(platform::DefaultClock().NowUs() - lost_at_us) / 1e6;
  AUDIO_TRACE(AudioUnit::kEvents,
              "audiosrc: capture device '%s' is back after %.1f s without input (%u attempts)\n",
              device.c_str(), seconds, attempts);
  return true;
}

void CAudioFeedThread::ReportOverruns(const WaveInSource& reader) {
  // The device's thread only counts its overruns; they are put into words here, on
  // the feed thread, once for all that happened since the last read.
  const platform::WaveInStats stats = reader.stats();
  if (stats.overruns <= overruns_reported_) return;
  const uint64_t overruns = stats.overruns - overruns_reported_;
  const uint64_t frames = stats.frames_lost - frames_lost_reported_;
  overruns_reported_ = stats.overruns;
  frames_lost_reported_ = stats.frames_lost;
  AUDIO_TRACE(AudioUnit::kEvents,
              "audiosrc: capture device '%s': overrun, %llu frames (%.1f ms) of audio lost "
              "in %llu gaps\n",
              reader.device_name().c_str(), static_cast<unsigned long long>(frames),
              1000.0 * static_cast<double>(frames) / std::max<uint32_t>(reader.sample_rate(), 1),
              static_cast<unsigned long long>(overruns));
}

void CAudioFeedThread::Body() {
  if (pool_ == nullptr) return;
  AUDIO_TRACE(AudioUnit::kFeed, "AFT(%s): Enter driver!\n", name() ? name() : "");
  // Blocks carry whole frames only: with a block size that is not a multiple of the
  // frame, a frame cut in two would shift every later block by one channel.
  const uint32_t capacity = cb_block_ / kFrameBytes * kFrameBytes;
  kit::CPoolObject* block = nullptr;
  while (IsRunning()) {
    block = pool_->GetBlock();
    if (block == nullptr) break;
    AUDIO_TRACE(AudioUnit::kPerBlock, "AFT: %lX\n", Addr(block));
    block->set_flags(kit::kBlockFlagPcm);
    kit::ByteBuffer buffer;
    buffer.Attach(block->data(), std::min(capacity, block->capacity()), false);
    if (!ContinueHook()) break;
    int32_t read;
    int failure = 0;
    {
      std::lock_guard lock(reader_mutex_);
      if (reader_ == nullptr) break;
      read = reader_->Read(&buffer);
      if (read <= 0) failure = reader_->failed();
      block->set_time_us(reader_->read_time_us());
      ReportOverruns(*reader_);
    }
    AUDIO_TRACE(AudioUnit::kPerBlock, "AFT: Read %d to %lX\n", read, Addr(block));
    if (read <= 0 && failure != 0 && IsRunning()) {
      // The frames taken before the device failed are real audio: they go out first.
      const bool partial = buffer.data_length() > 0;
      block->set_data_length(buffer.data_length());
      if (partial && BlockHook(block)) Deliver(block);
      block->Release();
      block = nullptr;
      if (!Recover(failure)) break;
      continue;
    }
    if (read <= 0) break;
    block->set_data_length(buffer.data_length());
    if (!BlockHook(block)) break;
    if (!Deliver(block)) break;
    AUDIO_TRACE(AudioUnit::kPerBlock, "AFT: Release %lX\n", Addr(block));
    block->Release();
    block = nullptr;
  }
  if (block != nullptr) block->Release();
  // The pool itself is released by Close once the thread has ended; the blocks handed
  // out hold their own references to it.
  main_sinks_.FeedClients(nullptr);
  if (m_bSplitMono) right_sinks_.FeedClients(nullptr);
  AUDIO_TRACE(AudioUnit::kFeed, "AFT(%s): Exit driver!\n", name() ? name() : "");
}

CAudioSourceThread::CAudioSourceThread(const DeviceInfo& info)
    : CAudioFeedThread("CAudioSourceThread"), m_DevInfo(info) {
  m_bSplitMono = info.bSplitMono != 0;
}

CAudioSourceThread::~CAudioSourceThread() { Stop(); }

void CAudioSourceThread::Stop() {
  // Stopping the source first ends a read that waits for audio, so the stop is prompt
  // whatever the block size and however slow the clock. The close is asked for before,
  // so that a reopen after a device error cannot start the source again meanwhile.
  RequestClose();
  if (m_pSource) m_pSource->Stop();
  Close();
  if (m_pSource) {
    m_pSource->Close();
    stopped_stats_ = m_pSource->stats();  // what it counted outlives it
    m_pSource.reset();
  }
}

bool CAudioSourceThread::Open() {
  Stop();
  AUDIO_ASSERT(AudioUnit::kFeed, m_pSource == nullptr);
  // Copies first: the record is packed, so its fields cannot be bound to references.
  const int32_t rate = m_DevInfo.nSampleRate;
  const int32_t block = m_DevInfo.cbPcmBlock;
  const uint32_t device = m_DevInfo.uDeviceIndex;
  auto source = std::make_unique<WaveInSource>(
      device, static_cast<uint32_t>(std::max(rate, 0)), 2, 16,
      static_cast<uint32_t>(std::max(block, 0)), WaveInSource::kBufferCount, this);
  if (platform::Status status = source->OpenCapture(); !status.ok()) {
    AUDIO_TRACE(AudioUnit::kEvents, "audiosrc: capture device %u: %s\n", device,
                status.message().c_str());
    return false;
  }
  AUDIO_TRACE(AudioUnit::kFeed, "AudioSourceThread::Open(cb=%d,split=%s\n", m_DevInfo.cbPcmBlock,
              m_bSplitMono ? "Yes" : "No");
  m_pSource = std::move(source);
  Attach(static_cast<uint32_t>(m_DevInfo.cbPcmBlock), m_pSource.get());
  return true;
}

platform::WaveInStats CAudioSourceThread::stats() const {
  return m_pSource ? m_pSource->stats() : stopped_stats_;
}

}  // namespace logrum::audio
