// Sources that a thread reads from.
//
//   CEventSource  the base: a lock and two state words for subclasses; the
//                 constructor writes "CEventSource::CEventSource(): cs=0x%X,
//                 thread=0x%X" to its trace route.
//   BlockSource   the abstract byte source: the queue reader and the wave input
//                 source. Read fills a ByteBuffer and returns the bytes read, 0
//                 when the buffer has no room (or at an end-of-data mark), -1
//                 when the source is closed or stopped.
//
// Thread safety: as each implementation states; typically one reader thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "Lib/Kit/ByteBuffer.h"
#include "Lib/Kit/KitTrace.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::kit {

class CEventSource {
 public:
  CEventSource(const CEventSource&) = delete;
  CEventSource& operator=(const CEventSource&) = delete;
  virtual ~CEventSource();

 protected:
  // The archive service passes DebugTraceRoute(), the audio capture library CaptureTraceRoute().
  explicit CEventSource(const TraceRoute& route);

  RecursiveMutex cs_;
  uint32_t state_a_ = 0;
  uint32_t state_b_ = 0;
};

class BlockSource : public CEventSource {
 public:
  // Slots after the destructor, in this order.
  virtual void Close() = 0;
  virtual int32_t Open() = 0;  // 0 on success, else a platform error code
  virtual bool IsOpen() = 0;
  virtual int32_t Read(ByteBuffer* buffer) = 0;
  // Four optional hooks; their defaults return 1, 0, 0 and 0.
  virtual int32_t Hook1();
  virtual int32_t Hook2();
  virtual int32_t Hook3(int32_t argument);
  virtual int32_t Hook4();

  // 88200 bytes when Hook4() > 0, else 1024.
  uint32_t PreferredReadSize();

 protected:
  explicit BlockSource(const TraceRoute& route) : CEventSource(route) {}
};

}  // namespace logrum::kit
