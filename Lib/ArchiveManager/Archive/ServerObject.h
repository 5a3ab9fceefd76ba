// The archive service's server object: the owner of the network listener.
// Thread safety: Open, Close and GetCounters from the host's thread.
#pragma once

#include <memory>
#include <string>

#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/ArchiveManager/include/NetworkSeam.h"

namespace logrum::archive {

class ArchiveServerObject : public IArchiveServer {
 public:
  explicit ArchiveServerObject(IArchiveManager* manager);
  ~ArchiveServerObject();  // Close()

  bool Open(uint32_t port) override;
  void Close() override;
  bool GetCounters(ServerCounters* counters) override;
  int32_t GetOpenError(char* buffer, uint32_t size) override;

 private:
  std::unique_ptr<INetworkServer> network_;  // null until the network layer exists
  std::string open_error_;                   // host's thread, as Open
};

}  // namespace logrum::archive
