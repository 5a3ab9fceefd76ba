// The network service's faces (NetArchive.h) over the archive service's own
// archives and manager, and the server object's network server
// (NetworkSeam.h).
//
// An archive that the host deletes while clients are attached must not be
// reached through a stale pointer: every operation first pins the archive in
// the manager, by name, if the manager still holds the same archive (otherwise
// it answers as for a closed archive), and the manager does not delete a
// pinned archive until the operation has let it go.
//
// Thread safety: as NetArchive.h.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Lib/ArchiveManager/Network/NetArchive.h"
#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::archive {
class ArchiveManager;
class CArchiveP;
}

namespace logrum::network {

class ManagerAccess : public NetArchiveSource {
 public:
  // `manager` is the archive service's own (archive::ArchiveManager).
  explicit ManagerAccess(IArchiveManager* manager);
  ~ManagerAccess() override;

  void EnumArchives(const std::function<void(const char* name, NetArchive* archive)>& fn) override;
  NetArchive* FindArchive(const char* name) override;

  IArchiveManager* manager();

 private:
  class Archive;
  NetArchive* AccessFor(const char* name, IArchive* archive);

  archive::ArchiveManager* const manager_;
  kit::Mutex mu_;
  // One face per (name, archive); kept for the life of the server.
  std::map<std::pair<std::string, IArchive*>, std::unique_ptr<Archive>> faces_ GUARDED_BY(mu_);
};

}  // namespace logrum::network
