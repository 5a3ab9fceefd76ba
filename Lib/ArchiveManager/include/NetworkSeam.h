// Where the network service plugs into the archive service's server object.
//
// The server object (entry point object 1) owns one INetworkServer, made by
// CreateNetworkServer when the object is built. The network layer
// (Lib/ArchiveManager/Network) defines CreateNetworkServer; while it does not
// exist, the archive layer's fallback returns null and the server object's
// Open returns false.
//
// The network server reaches archives through the manager it is given:
// EnumArchives and FindArchive; inside the library an IArchive* converts to
// the archive object with CArchiveP::FromInterface
// (Lib/ArchiveManager/Archive/ArchiveP.h), which offers the storage manager
// (segment database, folder and extension) and the live encoder's readers.
//
// Thread safety: Open and Close from the host's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/Platform/Status.h"

namespace logrum::archive {

class INetworkServer {
 public:
  virtual ~INetworkServer() = default;
  // Creates the connection pool and listens on the port; an error naming the
  // port and the reason when the pool already exists or listening fails.
  virtual platform::Status Open(uint32_t port) = 0;
  // Stops listening, then ends the connections and the pool.
  virtual void Close() = 0;
  // Fills every field of `counters` but cbSize (totals since the first Open).
  virtual void GetCounters(ServerCounters* counters) = 0;
};

// Defined by the network layer; null when there is none.
std::unique_ptr<INetworkServer> CreateNetworkServer(IArchiveManager* manager);

}  // namespace logrum::archive
