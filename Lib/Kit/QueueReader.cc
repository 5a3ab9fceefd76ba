#include "Lib/Kit/QueueReader.h"

#include <algorithm>

namespace logrum::kit {

namespace {
constexpr size_t kMaxName = 31;
constexpr TraceUnit kUnit = TraceUnit::kEventSource;

unsigned long Addr(const void* p) {
  return reinterpret_cast<unsigned long>(p);
}
}  // namespace

QueueReader::QueueReader(uint32_t lower_threshold, uint32_t upper_limit, const char* name)
    : BlockSource(DebugTraceRoute()),
      queue_(lower_threshold, upper_limit),
      name_(name != nullptr ? name : "") {
  if (name_.size() > kMaxName) name_.resize(kMaxName);
}

QueueReader::~QueueReader() {
  Close();
  kit::MutexLock lock(current_mu_);
  if (current_ != nullptr) current_->Release();
  current_ = nullptr;
}

int32_t QueueReader::Open() {
  kit::MutexLock lock(current_mu_);
  open_.store(true, std::memory_order_release);
  pending_end_ = false;
  queue_.Start();
  return 0;
}

void QueueReader::Close() {
  {
    kit::MutexLock lock(current_mu_);
    if (!open_.load(std::memory_order_acquire)) return;
    open_.store(false, std::memory_order_release);
  }
  // Wakes a Read waiting for an entry and releases everything queued.
  queue_.Stop();
  kit::MutexLock lock(current_mu_);
  if (current_ != nullptr) current_->Release();
  current_ = nullptr;
  current_left_ = 0;
  current_offset_ = 0;
  pending_end_ = false;
}

bool QueueReader::IsOpen() {
  return open_.load(std::memory_order_acquire);
}

bool QueueReader::Write(IBlock* block) {
  if (block != nullptr) {
    DebugTraceRoute().Write(kUnit, __LINE__, "QR-%s: AddRef %lX\n", name_.c_str(), Addr(block));
    last_length_.store(block->GetDataLength(), std::memory_order_relaxed);
  }
  // The queue takes its own reference and counts the queued bytes.
  return queue_.Put(block);
}

int32_t QueueReader::Read(ByteBuffer* buffer) {
  if (!open_.load(std::memory_order_acquire)) return -1;
  if (buffer->FreeSpace() == 0) return 0;
  int32_t result = 0;
  kit::UniqueLock lock(current_mu_);
  if (pending_end_) {
    pending_end_ = false;
    return 0;
  }
  for (;;) {
    if (current_ != nullptr && current_left_ > 0) {
      const uint32_t n = buffer->Append(current_->GetData() + current_offset_, current_left_);
      current_offset_ += n;
      current_left_ -= n;
      result += static_cast<int32_t>(n);
      if (buffer->FreeSpace() == 0) return result;
    }
    if (current_ != nullptr) {
      const auto& route = DebugTraceRoute();
      route.Write(kUnit, __LINE__, "QR-%s: Release %lX (ptr=%lX, data=%d)\n", name_.c_str(),
                  Addr(current_), Addr(current_->GetData()),
                  static_cast<int>(current_->GetDataLength()));
      current_->Release();
      current_ = nullptr;
    }
    lock.unlock();
    IBlock* entry = nullptr;
    const bool taken = queue_.Get(&entry);
    lock.lock();
    if (!taken) return -1;
    if (!open_.load(std::memory_order_acquire)) {
      if (entry != nullptr) entry->Release();
      return -1;
    }
    if (entry == nullptr) {
      // The end of the data. Bytes already read in this call are reported first;
      // the next Read then reports the end.
      if (result > 0) {
        pending_end_ = true;
        return result;
      }
      return 0;
    }
    current_ = entry;
    current_offset_ = 0;
    current_left_ = entry->GetDataLength();
    DebugTraceRoute().Write(kUnit, __LINE__, "QR-%s: Get %lX (ptr=%lX, data=%d)\n", name_.c_str(),
                            Addr(entry), Addr(entry->GetData()),
                            static_cast<int>(entry->GetDataLength()));
  }
}

}  // namespace logrum::kit
