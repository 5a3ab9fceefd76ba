#include "App/Server/SharedLogger.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "Lib/Platform/DebugOutput.h"

namespace logrum::server {
namespace {

// How long a blocked writer waits between checks that its reader still lives.
constexpr int kRoomPollMs = 250;
// The mutex guards a few loads and a memcpy; a holder that keeps it this long
// has died inside the critical section, and its lock is taken over.
constexpr int kMutexStaleMs = 2000;
constexpr size_t kMaxChannelLength = 60;

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
  if (!LockMutex()) {
    CloseLocked();
    return false;
  }
  Header* h = header();
  if (as_reader) std::atomic_ref<uint32_t>(h->reader_present).store(1);
  closing_ = false;
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

bool SharedLogger::LockMutex() {
  for (;;) {
    timespec deadline = DeadlineAfterMs(kMutexStaleMs);
    if (sem_clockwait(mutex_, CLOCK_MONOTONIC, &deadline) == 0) return true;
    if (errno == EINTR) continue;
    if (errno == ETIMEDOUT) {
      platform::DebugOutput("SharedLogger: taking over a lock left by a stopped process\n");
      return true;
    }
    return false;
  }
}

void SharedLogger::UnlockMutex() { sem_post(mutex_); }

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

// Waits for the room event. False when closing, or when the reader has gone
// (a reader that died leaves its flag set; it is cleared here).
bool SharedLogger::WaitRoom() {
  for (;;) {
    timespec deadline = DeadlineAfterMs(kRoomPollMs);
    if (sem_clockwait(room_, CLOCK_MONOTONIC, &deadline) == 0) {
      if (closing_) {
        SetEvent(room_);
        return false;
      }
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != ETIMEDOUT || closing_ || !IsReaderPresent()) return false;
    if (!ReaderAlive()) {
      if (LockMutex()) {
        if (!ReaderAlive()) std::atomic_ref<uint32_t>(header()->reader_present).store(0);
        UnlockMutex();
      }
      return false;
    }
  }
}

void SharedLogger::Write(const char* text) {
  if (view_ == nullptr || closing_ || !IsReaderPresent()) return;
  std::shared_lock lock(use_);
  if (mutex_ == nullptr || closing_ || !IsReaderPresent()) return;
  Header* h = header();
  for (;;) {
    if (!WaitRoom() || !LockMutex()) return;
    if (!IsReaderPresent()) {
      // The reader left while we waited: nothing is written without one.
      UnlockMutex();
      return;
    }
    // A spurious wake (a Close elsewhere sets the room event) must not
    // overwrite a message that was not read yet.
    if (h->waiting < static_cast<uint32_t>(slot_count_)) break;
    UnlockMutex();
  }
  ++h->sequence;
  uint32_t index = h->write_index % static_cast<uint32_t>(slot_count_);
  char* slot = slots_[index];
  size_t length = text == nullptr ? 0 : strnlen(text, static_cast<size_t>(slot_length_));
  if (length > 0) std::memcpy(slot, text, length);
  slot[length] = '\0';
  h->write_index = index + 1;
  ++h->waiting;
  if (h->waiting > 0) SetEvent(data_);
  if (h->waiting < static_cast<uint32_t>(slot_count_)) SetEvent(room_);
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
    if (!LockMutex()) return false;
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
