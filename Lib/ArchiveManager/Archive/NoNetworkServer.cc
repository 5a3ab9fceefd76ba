// Built only while the network layer does not exist: no listener.
#include "Lib/ArchiveManager/include/NetworkSeam.h"

namespace logrum::archive {

std::unique_ptr<INetworkServer> CreateNetworkServer(IArchiveManager* /*manager*/) {
  return nullptr;
}

}  // namespace logrum::archive
