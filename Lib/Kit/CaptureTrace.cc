// The audio capture library's variants: its trace channels for the kit's
// units, the CAppThread flavor and the CBlockPool. The channels are static
// objects so that they register while the library is loaded, before any kit
// object of the library can trace. Everything that refers to them lives in
// this file, so that only a program that uses a capture variant links it (and
// binds the trace provider); the archive service does not.
#include <cstdio>

#include "Lib/Diagnostics/Trace.h"
#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/KitTrace.h"
#include "Lib/Kit/ObjectPool.h"

namespace logrum::kit {
namespace {

diag::TraceChannel g_thread_channel(diag::kModuleAudioSource,
                                    static_cast<uint16_t>(TraceUnit::kThread));
diag::TraceChannel g_source_channel(diag::kModuleAudioSource,
                                    static_cast<uint16_t>(TraceUnit::kEventSource));
diag::TraceChannel g_reset_channel(diag::kModuleAudioSource,
                                   static_cast<uint16_t>(TraceUnit::kBlockReset));
diag::TraceChannel g_pool_channel(diag::kModuleAudioSource,
                                  static_cast<uint16_t>(TraceUnit::kPoolObject));

const diag::TraceChannel& ChannelOf(TraceUnit unit) {
  switch (unit) {
    case TraceUnit::kThread:
      return g_thread_channel;
    case TraceUnit::kEventSource:
      return g_source_channel;
    case TraceUnit::kBlockReset:
      return g_reset_channel;
    case TraceUnit::kPoolObject:
      break;
  }
  return g_pool_channel;
}

class CaptureRoute final : public TraceRoute {
 public:
  bool IsLineEnabled(TraceUnit unit, int source_line) const override {
    return ChannelOf(unit).IsLineEnabled(source_line);
  }
  void WriteV(TraceUnit unit, int source_line, const char* format, va_list args) const override {
    // The channel takes a format and values; the kit hands it the finished line.
    char line[1056];
    std::vsnprintf(line, sizeof line, format, args);
    ChannelOf(unit).Print(source_line, "%s", line);
  }
  void AssertFailed(TraceUnit unit, int source_line) const override {
    ChannelOf(unit).AssertFailed(source_line);
  }
};

}  // namespace

const TraceRoute& CaptureTraceRoute() {
  static const CaptureRoute route;
  return route;
}

const ThreadFlavor& CaptureThreadFlavor() {
  static const ThreadFlavor flavor{
      &CaptureTraceRoute(),        "CAppThread::~CAppThread! %s\n",
      "CAppThread::OnExit() %s\n", "CAppThread::Run(): Already running! Call SetExit() first!\n",
      /*full_name=*/true,
      /*assert_checks=*/true};
  return flavor;
}

CBlockPool::CBlockPool(uint32_t block_size) : CMemBlockFactory(0, 1, kPoolUnlimited, block_size) {}

CBlockPool* CBlockPool::Create(uint32_t block_size) {
  return new CBlockPool(block_size);
}

const char* CBlockPool::ClassName() const {
  return "CBlockPool";
}

PoolObject* CBlockPool::CreateObject() {
  return new CPoolObject(item_size());
}

}  // namespace logrum::kit
