// ArchiveManager: the name-keyed registry of the archives of this service.
//
// Names are kept in a character tree: one node per character, siblings in
// ascending (signed 8-bit) order, a flag on the node where a name ends, which
// also carries the archive. Names compare exactly, letter case included.
// Nodes come from blocks of 16 and go back to a free list; blocks are released
// with the manager. Deleting a name clears its end flag when the node has
// children and unlinks the node otherwise; the nodes above it stay.
//
// The manager also owns the binding to the encoder library, so that the
// library outlives every archive's encoders.
//
// The network service reaches archives from its connection threads; it pins
// an archive for each use, and deleting the archive (or the manager) waits
// until no use is left, so no connection ever runs on a freed archive.
//
// Thread safety: every operation takes the one lock. The EnumArchives callback
// runs under it and must not call back into the manager.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Lib/ArchiveManager/Archive/Bindings.h"
#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::archive {

class CArchiveP;

// The manager's second face, kept by each archive: how an archive is deleted.
class ArchiveDeleter {
 public:
  virtual void DeleteArchive(IArchive* archive) = 0;

 protected:
  ~ArchiveDeleter() = default;
};

class ArchiveManager : public IArchiveManager, public ArchiveDeleter {
 public:
  static constexpr size_t kMaxEnumDepth = 128;
  static constexpr size_t kMaxNameLength = 65535;

  ArchiveManager();
  ~ArchiveManager() override;  // deletes the archives still there
  ArchiveManager(const ArchiveManager&) = delete;
  ArchiveManager& operator=(const ArchiveManager&) = delete;

  void EnumArchives(EnumArchivesCallback callback, void* context) override;
  IArchive* FindArchive(const char* name) override;
  IArchive* CreateArchive(const char* name) override;
  void DeleteArchive(IArchive* archive) override;

  EncoderLibrary* encoders() { return &encoders_; }

  // The archive of `name`, if it is still `expected`, pinned until Unpin:
  // DeleteArchive waits for it. Null when the name now holds another
  // archive or none.
  CArchiveP* Pin(const char* name, IArchive* expected);
  void Unpin(CArchiveP* archive);

 private:
  struct Node {
    uint8_t flags = 0;  // bit 0: a name ends here
    char ch = 0;
    Node* next = nullptr;
    Node* child = nullptr;
    CArchiveP* archive = nullptr;
  };
  static constexpr uint8_t kEnds = 1;
  static constexpr size_t kNodeBlock = 16;

  Node* NewNode(char ch);
  void FreeNode(Node* node);
  // The node of the name, or null. *parent_link receives the link that points
  // to it (for unlinking).
  Node* FindNode(const char* name, Node*** link) const;
  void Walk(Node* node, char* buffer, size_t depth, EnumArchivesCallback callback, void* context);
  void CollectArchives(Node* node, std::vector<CArchiveP*>* out);

  EncoderLibrary encoders_;  // destroyed after the archives (see the destructor)
  kit::Mutex mu_;
  std::condition_variable unpinned_;
  std::map<CArchiveP*, uint32_t> pins_ GUARDED_BY(mu_);
  const bool case_sensitive_ = true;
  Node* root_ GUARDED_BY(mu_) = nullptr;  // first node of the top level
  std::vector<std::unique_ptr<Node[]>> blocks_;
  std::vector<Node*> free_;
};

}  // namespace logrum::archive
