#include "App/Server/SharedLogger.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <mutex>

#include "Lib/Platform/DebugOutput.h"

namespace logrum::server {
namespace {

// A reader waits this long for the lock at a time, then looks whether it is closing.
constexpr int kReaderLockMs = 200;
// Opening sets the events under the lock; a writer goes on without them past this.
constexpr int kOpenLockMs = 500;
constexpr size_t kMaxChannelLength = 60;

int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

timespec DeadlineAfterMs(int ms) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

// Sets an emulated auto-reset event: the count never goes above 1.
void SetEvent(sem_t* event) {
  int value = 0;
  if (sem_getvalue(event, &value) == 0 && value <= 0) sem_post(event);
}

sem_t* OpenEvent(const std::string& name, unsigned initial) {
  sem_t* sem = sem_open(name.c_str(), O_CREAT, 0660, initial);
  return sem == SEM_FAILED ? nullptr : sem;
}

void CloseEvent(sem_t*& sem) {
  if (sem != nullptr) sem_close(sem);
  sem = nullptr;
}

std::string PosixName(const std::string& name) { return "/" + name; }

std::atomic<SharedLogger*> g_diagnostic_log{nullptr};

}  // namespace

SharedLogger::SharedLogger(int slot_count, int slot_length, std::string mapping_name)
    : slot_count_(slot_count), slot_length_(slot_length), mapping_name_(std::move(mapping_name)) {
  if (slot_count_ <= 0 || slot_length_ <= 0) return;
  map_size_ = static_cast<size_t>(slot_count_) * static_cast<size_t>(slot_length_ + 1) + kHeaderSize;
  const std::string name = PosixName(mapping_name_);
  // A new object is zero-filled by the kernel; an existing one keeps its
  // contents, so a viewer that attached first loses nothing.
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0660);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 ||
      (static_cast<size_t>(st.st_size) < map_size_ && ftruncate(fd, static_cast<off_t>(map_size_)) != 0)) {
    close(fd);
    return;
  }
  void* view = mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    close(fd);
    return;
  }
  map_fd_ = fd;
  view_ = static_cast<uint8_t*>(view);
  slots_.resize(static_cast<size_t>(slot_count_));
  for (int i = 0; i < slot_count_; ++i) {
    slots_[static_cast<size_t>(i)] = reinterpret_cast<char*>(
        view_ + kHeaderSize + static_cast<size_t>(i) * static_cast<size_t>(slot_length_ + 1));
  }
}

SharedLogger::~SharedLogger() {
  Close();
  if (view_ != nullptr) munmap(view_, map_size_);
  if (map_fd_ >= 0) close(map_fd_);
}

std::string SharedLogger::ObjectName(const char* suffix) const {
  return PosixName(channel_ + suffix);
}

bool SharedLogger::Open(const char* channel, bool as_reader) {
  WakeWaiters();
  std::unique_lock lock(use_);
  CloseLocked();
  if (view_ == nullptr || channel == nullptr) return false;
  channel_.assign(channel, strnlen(channel, kMaxChannelLength));

  data_ = OpenEvent(ObjectName("SLD"), 0);
  room_ = OpenEvent(ObjectName("SLR"), 1);
  mutex_ = OpenEvent(ObjectName("SLM"), 1);
  if (data_ == nullptr || room_ == nullptr || mutex_ == nullptr) {
    CloseLocked();
    return false;
  }
  if (as_reader) {
    int fd = shm_open(ObjectName("SLRR").c_str(), O_RDWR | O_CREAT, 0660);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &fl) != 0) {
      // Another viewer holds the marker.
      if (fd >= 0) close(fd);
      CloseLocked();
      return false;
    }
    reader_marker_fd_ = fd;
  }
  Header* h = header();
  closing_ = false;
  if (!LockMutex(kOpenLockMs)) {
    // A live process keeps the lock. A writer goes on (it never waits for room);
    // a reader needs the events right, so it gives up.
    if (!as_reader) return true;
    CloseLocked();
    return false;
  }
  if (as_reader) std::atomic_ref<uint32_t>(h->reader_present).store(1);
  if (h->waiting > 0) SetEvent(data_);
  if (h->waiting < static_cast<uint32_t>(slot_count_)) SetEvent(room_);
  UnlockMutex();
  return true;
}

void SharedLogger::Close() {
  WakeWaiters();
  std::unique_lock lock(use_);
  CloseLocked();
}

// Wakes this object's blocked Write and Read calls so that they return and
// release `use_`; each passes the wake-up on to the next one.
void SharedLogger::WakeWaiters() {
  closing_ = true;
  std::shared_lock lock(use_);
  if (room_ != nullptr) SetEvent(room_);
  if (data_ != nullptr) SetEvent(data_);
}

void SharedLogger::CloseLocked() {
  closing_ = true;
  CloseEvent(mutex_);
  if (reader_marker_fd_ >= 0) {
    if (view_ != nullptr) std::atomic_ref<uint32_t>(header()->reader_present).store(0);
    shm_unlink(ObjectName("SLRR").c_str());
    close(reader_marker_fd_);
    reader_marker_fd_ = -1;
    // A writer waiting for room wakes, finds no reader and gives up.
    if (data_ != nullptr) SetEvent(data_);
  }
  CloseEvent(data_);
  if (room_ != nullptr) SetEvent(room_);
  CloseEvent(room_);
}

// The region lock: one byte past the end of the region, on this object's own
// open file description.
bool SharedLogger::LockRegion() {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(map_size_);
  fl.l_len = 1;
  for (;;) {
    if (fcntl(map_fd_, F_OFD_SETLK, &fl) == 0) return true;
    if (errno == EINTR) continue;
    return false;
  }
}

void SharedLogger::UnlockRegion() {
  struct flock fl = {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(map_size_);
  fl.l_len = 1;
  fcntl(map_fd_, F_OFD_SETLK, &fl);
}

bool SharedLogger::LockMutex(int timeout_ms) {
  const int64_t deadline = MonotonicMs() + timeout_ms;
  if (!thread_lock_.try_lock_for(std::chrono::milliseconds(timeout_ms))) return false;
  // Polled, not waited on: a blocking lock request cannot be given a time-out,
  // and a writer must not wait on a stalled viewer.
  while (!LockRegion()) {
    if (MonotonicMs() >= deadline) {
      thread_lock_.unlock();
      return false;
    }
    timespec pause{0, 1000000};  // 1 ms
    nanosleep(&pause, nullptr);
  }
  while (sem_trywait(mutex_) != 0) {
    if (errno == EINTR) continue;
    // Nobody else holds the region lock, so the semaphore was left taken by a
    // process that died inside: carry on as its holder. The unlock gives it
    // back once.
    takeovers_.fetch_add(1, std::memory_order_relaxed);
    platform::DebugOutput("SharedLogger: taking over a lock left by a process that ended\n");
    break;
  }
  return true;
}

void SharedLogger::UnlockMutex() {
  sem_post(mutex_);
  UnlockRegion();
  thread_lock_.unlock();
}

bool SharedLogger::IsReaderPresent() const {
  if (view_ == nullptr) return false;
  return std::atomic_ref<uint32_t>(header()->reader_present).load(std::memory_order_relaxed) != 0;
}

bool SharedLogger::ReaderAlive() const {
  int fd = shm_open(ObjectName("SLRR").c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  struct flock fl = {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  bool alive = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return alive;
}

void SharedLogger::Write(const char* text) {
  if (view_ == nullptr || closing_ || !IsReaderPresent()) return;
  std::shared_lock lock(use_);
  if (mutex_ == nullptr || closing_ || !IsReaderPresent()) return;
  if (!LockMutex(kWriterLockMs)) {
    // The lock's holder is alive but stalled: the message is dropped, and the
    // header learns of it with the next write that gets the lock.
    dropped_.fetch_add(1, std::memory_order_relaxed);
    unrecorded_drops_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Header* h = header();
  if (!IsReaderPresent()) {
    // The reader left meanwhile: nothing is written without one.
    UnlockMutex();
    return;
  }
  const uint32_t count = static_cast<uint32_t>(slot_count_);
  const uint64_t earlier = unrecorded_drops_.exchange(0, std::memory_order_relaxed);
  h->dropped += earlier;
  unannounced_drops_ += earlier;
  if (h->waiting >= count) {
    // Full: the viewer is not reading (its output is stopped, or it died).
    dropped_.fetch_add(1, std::memory_order_relaxed);
    ++h->dropped;
    ++unannounced_drops_;
    // A viewer that died leaves its flag set; writers then stop formatting.
    if (!ReaderAlive()) std::atomic_ref<uint32_t>(h->reader_present).store(0);
    UnlockMutex();
    return;
  }
  auto put = [&](const char* message) {
    ++h->sequence;
    uint32_t index = h->write_index % count;
    char* slot = slots_[index];
    size_t length = message == nullptr ? 0 : strnlen(message, static_cast<size_t>(slot_length_));
    if (length > 0) std::memcpy(slot, message, length);
    slot[length] = '\0';
    h->write_index = index + 1;
    ++h->waiting;
  };
  if (unannounced_drops_ > 0 && count - h->waiting >= 2) {
    char notice[96];
    std::snprintf(notice, sizeof notice,
                  "SharedLogger: %llu messages dropped: the viewer did not keep up\n",
                  static_cast<unsigned long long>(unannounced_drops_));
    put(notice);
    unannounced_drops_ = 0;
  }
  put(text);
  if (h->waiting > 0) SetEvent(data_);
  if (h->waiting < count) SetEvent(room_);
  UnlockMutex();
}

void SharedLogger::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrintf(format, args);
  va_end(args);
}

void SharedLogger::VPrintf(const char* format, va_list args) {
  if (!IsReaderPresent()) return;
  std::vector<char> buffer(static_cast<size_t>(slot_length_) + 1);
  vsnprintf(buffer.data(), buffer.size(), format, args);
  Write(buffer.data());
}

bool SharedLogger::Read(std::string* message, int timeout_ms) {
  std::shared_lock lock(use_);
  if (reader_marker_fd_ < 0 || data_ == nullptr || closing_) return false;
  timespec deadline = DeadlineAfterMs(timeout_ms < 0 ? 0 : timeout_ms);
  Header* h = header();
  const uint32_t count = static_cast<uint32_t>(slot_count_);
  for (;;) {
    if (sem_clockwait(data_, CLOCK_MONOTONIC, &deadline) != 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (closing_) {
      SetEvent(data_);
      return false;
    }
    bool locked = false;
    while (!(locked = LockMutex(kReaderLockMs)) && !closing_) {
    }
    if (!locked) {
      SetEvent(data_);
      return false;
    }
    uint32_t waiting = h->waiting;
    if (waiting == 0) {
      UnlockMutex();
      continue;
    }
    // The oldest message sits `waiting` slots behind the write index; a
    // count beyond the ring (a damaged header) is taken as a full ring.
    if (waiting > count) waiting = count;
    uint32_t index = (h->write_index % count + count - waiting) % count;
    const char* slot = slots_[index];
    message->assign(slot, strnlen(slot, static_cast<size_t>(slot_length_)));
    h->read_index = index + 1;
    h->waiting = waiting - 1;
    if (h->waiting < count) SetEvent(room_);
    if (h->waiting > 0) SetEvent(data_);
    UnlockMutex();
    return true;
  }
}

void SharedLogger::RemoveNames(const std::string& mapping_name, const std::string& channel) {
  std::string cut = channel.substr(0, kMaxChannelLength);
  shm_unlink(PosixName(mapping_name).c_str());
  for (const char* suffix : {"SLD", "SLR", "SLM"}) sem_unlink(PosixName(cut + suffix).c_str());
  shm_unlink(PosixName(cut + "SLRR").c_str());
}

SharedLogger* DiagnosticLog() { return g_diagnostic_log.load(std::memory_order_acquire); }

void SetDiagnosticLog(SharedLogger* logger) {
  g_diagnostic_log.store(logger, std::memory_order_release);
}

bool DiagActive() {
  SharedLogger* log = DiagnosticLog();
  return log != nullptr && log->IsReaderPresent();
}

void DiagPrintf(const char* format, ...) {
  SharedLogger* log = DiagnosticLog();
  if (log == nullptr || !log->IsReaderPresent()) return;
  va_list args;
  va_start(args, format);
  log->VPrintf(format, args);
  va_end(args);
}

bool StartDiagnosticLog(SharedLogger* logger, const std::function<void(const char*)>& show) {
  if (logger == nullptr || !logger->Open(SharedLogger::kChannelName, /*as_reader=*/false)) {
    if (show) show(kDiagnosticOpenFailed);
    return false;
  }
  SetDiagnosticLog(logger);
  DiagPrintf("Start Logrum Server.\n");
  return true;
}

}  // namespace logrum::server
