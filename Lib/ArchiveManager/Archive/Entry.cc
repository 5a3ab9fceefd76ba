// archsvc.so's one export. The two singletons live in one object that the
// library's exit-time clean-up destroys: the server object first, then the
// manager (which deletes any archive still there, and last the encoder
// library binding that the archives' encoders came from).
#include <memory>
#include <mutex>

#include "Lib/ArchiveManager/Archive/ArchiveManager.h"
#include "Lib/ArchiveManager/Archive/ServerObject.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/Export.h"

namespace logrum::archive {
namespace {

struct Service {
  ~Service() {
    server.reset();
    manager.reset();
  }
  std::mutex mu;
  std::unique_ptr<ArchiveManager> manager;
  std::unique_ptr<ArchiveServerObject> server;
};

Service& TheService() {
  static Service service;
  return service;
}

}  // namespace
}  // namespace logrum::archive

LOGRUM_EXPORT void* _6A7B31(int32_t which) {
  using namespace logrum::archive;
  try {
    Service& service = TheService();
    std::lock_guard lock(service.mu);
    switch (which) {
      case logrum::kArchiveServerObject:
        if (!service.manager) service.manager = std::make_unique<ArchiveManager>();
        if (!service.server) service.server = std::make_unique<ArchiveServerObject>(service.manager.get());
        return static_cast<logrum::IArchiveServer*>(service.server.get());
      case logrum::kArchiveManagerObject:
        if (!service.manager) service.manager = std::make_unique<ArchiveManager>();
        return static_cast<logrum::IArchiveManager*>(service.manager.get());
      default:
        return nullptr;
    }
  } catch (...) {
    logrum::diag::DebugTrace("archsvc: exception in the entry point\n");
    return nullptr;
  }
}
