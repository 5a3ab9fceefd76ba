// The server program's live diagnostic channel: a ring of text slots in named
// shared memory that a viewer (Tools/logrum-logview) reads while it runs.
//
// Region "SharedLogger" (POSIX shared memory "/SharedLogger"): a 32-byte header
// then slot_count slots of slot_length + 1 bytes, native little-endian:
//
//   offset size field
//        0    4 reader-present flag: non-zero while a reader is attached
//        4    4 messages waiting to be read
//        8    4 write index: slot of the next message, reduced modulo the slot count
//       12    4 read index: kept by the reader only
//       16    8 sequence number, one per message written
//       24    8 dropped: messages writers dropped because the ring was full or
//                 its lock was held (zero in a region no writer has dropped in)
//       32      slots: at most slot_length characters and a NUL each
//
// Named objects of a channel (the channel name cut to 60 characters, then a
// suffix), as POSIX named semaphores "/<channel><suffix>":
//   SLD  data event, auto-reset, created clear: messages are waiting
//   SLR  room event, auto-reset, created set: a slot is free
//   SLM  mutex over the header and the slots
// and SLRR, the reader marker, a shared-memory object that only a reader
// makes and holds locked (an open-file-description write lock) while it is
// attached. The lock, not the bare existence of the object, says a reader is
// there: the kernel drops it when a viewer dies, so a crashed viewer neither
// blocks the next one nor leaves writers waiting for room that never comes.
//
// Events are emulated on semaphores: "set" posts only while the count is 0, so
// the count stays 0 or 1, and every set happens while the mutex is held.
//
// The mutex SLM is a semaphore, and a process that dies holding it leaves it
// taken. So every process of ours first takes an open-file-description lock on
// the region (one byte past its end; the kernel drops it when its holder dies)
// and only then the semaphore. Whoever holds that lock and finds the semaphore
// taken knows that its holder died inside and carries on as the holder; its
// unlock gives the semaphore back once. A holder that is only stalled still has
// its lock, so nobody takes over from it, and the count never exceeds 1.
//
// A writer never waits for a viewer: when the ring is full (a viewer whose
// output is stopped, `logrum-logview | less`) or the lock is held longer than
// kWriterLockMs, the message is dropped and counted in the header's dropped
// field; once there is room again the viewer gets a line saying how many were
// dropped before the next message.
//
// When no reader is attached a write touches nothing (not even the sequence).
// The names are never unlinked by Close: other processes may still hold them.
// RemoveNames() exists for tests and tools that made private channels.
//
// Thread safety: one object may be used by any number of threads. Write never
// blocks for longer than kWriterLockMs; Read waits for messages. Open and Close
// wait for the calls in progress on the same object to return.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "Lib/Kit/Mutex.h"

namespace logrum::server {

class SharedLogger {
 public:
  static constexpr int kSlotCount = 32;
  static constexpr int kSlotLength = 511;
  static constexpr size_t kHeaderSize = 32;
  static constexpr const char* kMappingName = "SharedLogger";
  static constexpr const char* kChannelName = "Logrum2";
  // The longest a writer waits for the channel's lock; past it the message is dropped.
  static constexpr int kWriterLockMs = 10;

  struct Header {
    uint32_t reader_present;
    uint32_t waiting;
    uint32_t write_index;
    uint32_t read_index;
    uint64_t sequence;
    uint64_t dropped;
  };
  static_assert(sizeof(Header) == kHeaderSize);

  // Maps the region (creating and zeroing it when it does not exist yet).
  // When that fails the object is unusable and Open returns false.
  explicit SharedLogger(int slot_count = kSlotCount, int slot_length = kSlotLength,
                        std::string mapping_name = kMappingName);
  ~SharedLogger();
  SharedLogger(const SharedLogger&) = delete;
  SharedLogger& operator=(const SharedLogger&) = delete;

  // Closes what is open, then opens the channel's objects. As reader it also
  // takes the reader marker and fails when another live reader holds it.
  bool Open(const char* channel, bool as_reader);
  // Wakes every waiting Write or Read of this object and closes the objects.
  void Close();

  // Puts one message (cut to slot_length characters) into the ring. Does
  // nothing without a reader; drops it (counted) when the ring is full or the
  // lock cannot be had within kWriterLockMs.
  void Write(const char* text);
  // vsprintf-style into a buffer of slot_length + 1 characters, then Write.
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void VPrintf(const char* format, va_list args);

  // The reader-present flag, read without the mutex. Callers test it before
  // they format a message.
  bool IsReaderPresent() const;

  // Reader side: takes the oldest waiting message. Waits up to timeout_ms for
  // one; false on time-out, when not open as reader, or after Close.
  bool Read(std::string* message, int timeout_ms);

  // Messages this object dropped, and abandoned locks it took over.
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  uint64_t takeovers() const { return takeovers_.load(std::memory_order_relaxed); }
  // For tests and tools: holds the channel's lock as a stalled process would,
  // and gives it back.
  bool HoldLock(int timeout_ms) TRY_ACQUIRE(true, thread_lock_) { return LockMutex(timeout_ms); }
  void ReleaseLock() RELEASE(thread_lock_) { UnlockMutex(); }

  bool mapped() const { return view_ != nullptr; }
  bool is_open() const { return mutex_ != nullptr; }
  // The raw region, for viewers and tests; null when not mapped.
  const uint8_t* region() const { return view_; }
  size_t region_size() const { return map_size_; }

  // Unlinks the region and the channel's named objects.
  static void RemoveNames(const std::string& mapping_name, const std::string& channel);

 private:
  Header* header() const { return reinterpret_cast<Header*>(view_); }
  void CloseLocked();
  void WakeWaiters();
  // Takes the channel's lock, waiting at most timeout_ms. False when it could
  // not be had (a live holder keeps it).
  bool LockMutex(int timeout_ms) TRY_ACQUIRE(true, thread_lock_);
  void UnlockMutex() RELEASE(thread_lock_);
  bool LockRegion();  // tries once
  void UnlockRegion();
  bool ReaderAlive() const;
  std::string ObjectName(const char* suffix) const;

  // Mapping.
  int map_fd_ = -1;
  uint8_t* view_ = nullptr;
  size_t map_size_ = 0;
  // Geometry.
  int slot_count_;
  int slot_length_;
  std::vector<char*> slots_;
  // Channel objects; null (or -1) while not open.
  sem_t* mutex_ = nullptr;
  int reader_marker_fd_ = -1;
  sem_t* room_ = nullptr;
  sem_t* data_ = nullptr;
  std::atomic<bool> closing_{false};
  // Threads of this object share its file description, whose lock does not
  // keep them apart: they take this first.
  kit::TimedMutex thread_lock_;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> takeovers_{0};
  std::atomic<uint64_t> unrecorded_drops_{0};  // not yet in the header
  uint64_t unannounced_drops_ GUARDED_BY(thread_lock_) = 0;

  std::string mapping_name_;
  std::string channel_;
  // Held shared by Write/Read, exclusively by Open/Close, so that handles are
  // never closed under a call that uses them.
  mutable std::shared_mutex use_;
};

// The process-wide logger of the server program (null while none is open).
// The program sets it once at start-up and clears it before deleting it.
SharedLogger* DiagnosticLog();
void SetDiagnosticLog(SharedLogger* logger);
// Whether a viewer is attached to the process-wide logger.
bool DiagActive();
// Formats and writes only when a viewer is attached.
void DiagPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline constexpr char kDiagnosticOpenFailed[] =
    "Unable to open diagnostic module. Press OK to run program anyway.";

// The first step of start-up: opens `logger` as writer on the channel
// "Logrum2" and makes it the process-wide log, then logs "Start Logrum
// Server.". When that fails, `show` gets kDiagnosticOpenFailed, no log is set
// and false is returned; the program runs on without diagnostics.
bool StartDiagnosticLog(SharedLogger* logger, const std::function<void(const char*)>& show);

}  // namespace logrum::server
