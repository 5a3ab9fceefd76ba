// The archive service archsvc.so as its host (the server program) sees it.
// Header-only; include it without linking archsvc.so.
//
// The library exports one C function, _6A7B31 (int32 which) -> void*:
//   1  the server object (IArchiveServer), the network listener's owner;
//   2  the archive manager (IArchiveManager);
//   anything else: null.
// Both are built on the first call that asks for them and live until the
// library is unloaded; callers never delete them.
//
// An archive (IArchive) is created closed by CreateArchive, opened with Open
// (the host opens asynchronously and then polls IsActive), closed with Close,
// and ends with Release. The objects the host hands to Open (ArchiveOptions,
// SkimSwitch, LevelListener, the listener) stay the host's and must outlive
// the open archive.
//
// Binary contract: the virtual functions are declared in their fixed slot
// order, which is part of the interface between the libraries; never reorder,
// overload or add default arguments. Nothing here throws.
//
// Thread safety: the manager's operations from any thread (one lock; the
// EnumArchives callback runs under it and must not call the manager). An
// archive's Open, Close and Release from one host thread; its getters and Log
// from any thread.
#pragma once

#include <cstdint>

#include "Lib/ArchiveManager/include/ArchiveOptions.h"
#include "Lib/ArchiveManager/include/SkimSwitch.h"
#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Kit/EventLogMT.h"

namespace logrum {

// Receives the archive's event-log messages (level, text) on the log's thread.
using ArchiveLogListener = kit::EventLogListener;

// An archive's running figures for monitoring (IArchive::GetCounters). The
// caller sets cbSize to the size it knows; the archive fills no more than
// that and sets cbSize to what it filled, so either side may be the newer
// one. Fields are only ever appended. Totals count since the archive object
// was created, across its opens and closes; the rest are momentary.
struct ArchiveCounters {
  uint32_t cbSize;
  uint32_t dwReserved;           // 0
  uint64_t nRecordedMs;          // total: audio written into segment files
  uint64_t nDroppedMs;           // total: audio dropped because nothing could be written
  uint64_t nSegmentsWritten;     // total: segments finished and indexed
  uint64_t nSegmentsRecycled;    // total: segments deleted by recycling
  uint64_t cbUsed;               // the indexed segments and the open one, bytes
  uint64_t cbQuota;              // what the archive may use: min(quota, free disk), bytes
  uint64_t nBackupWaiting;       // segments waiting for their backup
  uint64_t nUndeletable;         // segments dropped from the index, their files not deletable
};
static_assert(sizeof(ArchiveCounters) == 72);

// The server object's figures (IArchiveServer::GetCounters), sized like
// ArchiveCounters. Connections by what they do right now.
struct ServerCounters {
  uint32_t cbSize;
  uint32_t dwReserved;           // 0
  uint64_t nAccepted;            // total: connections taken into service
  uint64_t nRefused;             // total: sockets closed at once (a connection cap)
  uint32_t nPlayback;            // now: playing archived audio
  uint32_t nLive;                // now: following a live stream
  uint32_t nStatus;              // now: following an archive's status
  uint32_t nOther;               // now: connected, none of the above
};
static_assert(sizeof(ServerCounters) == 40);

class IArchive {
 public:
  // 1: deletes the archive (closing it first) through its manager.
  virtual void Release() = 0;
  // 2: opens; with bAsync the open runs on the archive's own thread and true
  // comes back at once (watch IsActive). pListener (may be null) receives the
  // archive's messages from now until Close.
  virtual bool Open(ArchiveOptions* pOptions, SkimSwitch* pSkimSwitch,
                    audio::LevelListener* pLevelListener, bool bAsync,
                    ArchiveLogListener* pListener) = 0;
  // 3: stops recording and serving; harmless on a closed archive.
  virtual void Close() = 0;
  // 4: the archive's thread runs (asynchronous open succeeded or still opening).
  virtual bool IsActive() = 0;
  virtual double GetAverageKBPerSecond() = 0;   // 5
  virtual double GetTotalStorageMB() = 0;       // 6
  virtual double GetUsedStorageMB() = 0;        // 7
  virtual int32_t GetFirstSegmentTime() = 0;    // 8: seconds since 1970 (UTC), 0 when none
  virtual int32_t GetLastSegmentTime() = 0;     // 9
  virtual bool GetSkimState() = 0;              // 10
  // 11: posts the text to the archive's event log with level 6.
  virtual void Log(const char* pszText) = 0;
  // 12: what the archive reports beyond its figures (audio dropped, ...), for
  // the status display; empty when all is well. Copies it NUL-terminated into
  // the buffer, cut to fit, and returns its whole length.
  virtual int32_t GetStatusText(char* pszBuffer, uint32_t cbBuffer) = 0;
  // 13: segments waiting for their backup (queued, or refused by a
  // destination and to be retried); 0 while closed.
  virtual int32_t GetBackupWaitingCount() = 0;
  // 14: the archive's figures (see ArchiveCounters); false when pCounters is
  // null or its cbSize is below 8.
  virtual bool GetCounters(ArchiveCounters* pCounters) = 0;

 protected:
  ~IArchive() = default;
};

// Called once per archive by EnumArchives: (name, archive, context).
using EnumArchivesCallback = void (*)(const char* pszName, IArchive* pArchive, void* pContext);

class IArchiveManager {
 public:
  // 1: every archive, in ascending name order, under the manager's lock.
  virtual void EnumArchives(EnumArchivesCallback pCallback, void* pContext) = 0;
  // 2: the archive of exactly this name (letter case counts), or null.
  virtual IArchive* FindArchive(const char* pszName) = 0;
  // 3: a new closed archive, or null when the name is null, empty or in use.
  virtual IArchive* CreateArchive(const char* pszName) = 0;
  // 4: the library deletes the manager when it is unloaded.
  virtual ~IArchiveManager() = default;
};

class IArchiveServer {
 public:
  // 1: starts listening for clients on the port; false when already open or
  // the listener cannot start.
  virtual bool Open(uint32_t uPort) = 0;
  // 2: stops the listener and its connections.
  virtual void Close() = 0;
  // 3: the connection figures (see ServerCounters); zeros for what is now
  // while closed. False when pCounters is null or its cbSize is below 8.
  // From the host's thread, like Open and Close.
  virtual bool GetCounters(ServerCounters* pCounters) = 0;
  // 4: why the last Open failed ("cannot listen on port 9020: Address already
  // in use"), empty after a successful one. Copies it NUL-terminated into the
  // buffer, cut to fit, and returns its whole length.
  virtual int32_t GetOpenError(char* pszBuffer, uint32_t cbBuffer) = 0;

 protected:
  ~IArchiveServer() = default;
};

inline constexpr int32_t kArchiveServerObject = 1;
inline constexpr int32_t kArchiveManagerObject = 2;
inline constexpr char kArchiveServiceLibrary[] = "archsvc.so";
inline constexpr char kArchiveServiceEntry[] = "_6A7B31";
using ArchiveServiceEntryFn = void* (*)(int32_t which);

}  // namespace logrum
