// The network service's faces (NetArchive.h) over the archive service's own
// archives and manager, and the server object's network server
// (NetworkSeam.h).
//
// An archive that the host deletes while clients are attached must not be
// reached through a stale pointer: every operation first checks, by name,
// that the manager still holds the same archive, and otherwise answers as for
// a closed archive.
//
// Thread safety: as NetArchive.h.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Lib/ArchiveManager/Network/NetArchive.h"
#include "Lib/ArchiveManager/include/ArchiveService.h"

namespace logrum::archive {
class CArchiveP;
}

namespace logrum::network {

class ManagerAccess : public NetArchiveSource {
 public:
  explicit ManagerAccess(IArchiveManager* manager) : manager_(manager) {}
  ~ManagerAccess() override;

  void EnumArchives(const std::function<void(const char* name, NetArchive* archive)>& fn) override;
  NetArchive* FindArchive(const char* name) override;

  IArchiveManager* manager() { return manager_; }

 private:
  class Archive;
  NetArchive* AccessFor(const char* name, IArchive* archive);

  IArchiveManager* const manager_;
  std::mutex mu_;
  // One face per (name, archive); kept for the life of the server.
  std::map<std::pair<std::string, IArchive*>, std::unique_ptr<Archive>> faces_;  // guarded by mu_
};

}  // namespace logrum::network
