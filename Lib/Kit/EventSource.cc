#include "Lib/Kit/EventSource.h"

namespace logrum::kit {

CEventSource::CEventSource(const TraceRoute& route) {
  route.Write(TraceUnit::kEventSource, __LINE__,
              "CEventSource::CEventSource(): cs=0x%lX, thread=0x%X\n",
              reinterpret_cast<unsigned long>(&cs_), CurrentThreadId());
}

CEventSource::~CEventSource() = default;

int32_t BlockSource::Hook1() {
  return 1;
}
int32_t BlockSource::Hook2() {
  return 0;
}
int32_t BlockSource::Hook3(int32_t) {
  return 0;
}
int32_t BlockSource::Hook4() {
  return 0;
}

uint32_t BlockSource::PreferredReadSize() {
  return Hook4() > 0 ? 88200u : 1024u;
}

}  // namespace logrum::kit
