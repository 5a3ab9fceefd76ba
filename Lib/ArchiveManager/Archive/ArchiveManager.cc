#include "Lib/ArchiveManager/Archive/ArchiveManager.h"

#include <cstring>

#include "Lib/ArchiveManager/Archive/ArchiveP.h"

namespace logrum::archive {

ArchiveManager::ArchiveManager() = default;

ArchiveManager::~ArchiveManager() {
  std::vector<CArchiveP*> archives;
  {
    kit::UniqueLock lock(mu_);
    unpinned_.wait(lock.native(), [this]() REQUIRES(mu_) { return pins_.empty(); });
    CollectArchives(root_, &archives);
    root_ = nullptr;
  }
  for (CArchiveP* archive : archives) delete archive;
}

void ArchiveManager::CollectArchives(Node* node, std::vector<CArchiveP*>* out) {
  for (; node != nullptr; node = node->next) {
    if ((node->flags & kEnds) && node->archive) out->push_back(node->archive);
    CollectArchives(node->child, out);
  }
}

ArchiveManager::Node* ArchiveManager::NewNode(char ch) {
  if (free_.empty()) {
    blocks_.push_back(std::make_unique<Node[]>(kNodeBlock));
    for (size_t i = kNodeBlock; i-- > 0;) free_.push_back(&blocks_.back()[i]);
  }
  Node* node = free_.back();
  free_.pop_back();
  *node = Node{};
  node->ch = ch;
  return node;
}

void ArchiveManager::FreeNode(Node* node) {
  *node = Node{};
  free_.push_back(node);
}

ArchiveManager::Node* ArchiveManager::FindNode(const char* name, Node*** link_out) const {
  Node* const* link = &root_;
  Node* node = nullptr;
  for (const char* p = name; *p; ++p) {
    node = *link;
    while (node != nullptr && static_cast<signed char>(node->ch) < static_cast<signed char>(*p)) {
      link = &node->next;
      node = node->next;
    }
    if (node == nullptr || node->ch != *p) return nullptr;
    if (p[1] == '\0') break;
    link = &node->child;
  }
  if (link_out) *link_out = const_cast<Node**>(link);
  return node;
}

void ArchiveManager::Walk(Node* node, char* buffer, size_t depth, EnumArchivesCallback callback,
                          void* context) {
  for (; node != nullptr; node = node->next) {
    buffer[depth] = node->ch;
    buffer[depth + 1] = '\0';
    if ((node->flags & kEnds) && node->archive) callback(buffer, node->archive->GetInterface(), context);
    if (node->child && depth + 1 < kMaxEnumDepth) Walk(node->child, buffer, depth + 1, callback, context);
  }
}

void ArchiveManager::EnumArchives(EnumArchivesCallback callback, void* context) {
  if (callback == nullptr) return;
  kit::MutexLock lock(mu_);
  char buffer[kMaxEnumDepth + 2];
  Walk(root_, buffer, 0, callback, context);
}

IArchive* ArchiveManager::FindArchive(const char* name) {
  if (name == nullptr || *name == '\0' || strnlen(name, kMaxNameLength + 1) > kMaxNameLength) {
    return nullptr;
  }
  kit::MutexLock lock(mu_);
  Node* node = FindNode(name, nullptr);
  if (node == nullptr || !(node->flags & kEnds) || node->archive == nullptr) return nullptr;
  return node->archive->GetInterface();
}

IArchive* ArchiveManager::CreateArchive(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  kit::MutexLock lock(mu_);
  Node* existing = FindNode(name, nullptr);
  if (existing && (existing->flags & kEnds)) return nullptr;
  auto* archive = new CArchiveP(name, this, &encoders_);
  // Insert, creating the missing nodes along the name in sibling order.
  Node** link = &root_;
  Node* node = nullptr;
  for (const char* p = name; *p; ++p) {
    while (*link != nullptr &&
           static_cast<signed char>((*link)->ch) < static_cast<signed char>(*p)) {
      link = &(*link)->next;
    }
    if (*link == nullptr || (*link)->ch != *p) {
      Node* fresh = NewNode(*p);
      fresh->next = *link;
      *link = fresh;
    }
    node = *link;
    link = &node->child;
  }
  node->flags |= kEnds;
  node->archive = archive;
  return archive->GetInterface();
}

void ArchiveManager::DeleteArchive(IArchive* archive_interface) {
  if (archive_interface == nullptr) return;
  CArchiveP* archive = CArchiveP::FromInterface(archive_interface);
  kit::UniqueLock lock(mu_);
  Node** link = nullptr;
  Node* node = FindNode(archive->GetName().c_str(), &link);
  if (node != nullptr && node->archive == archive) {
    if (node->child != nullptr) {
      node->flags &= static_cast<uint8_t>(~kEnds);
      node->archive = nullptr;
    } else {
      *link = node->next;
      FreeNode(node);
    }
  }
  // Unlinked, so no new use can begin; the uses under way end first.
  unpinned_.wait(lock.native(), [&]() REQUIRES(mu_) { return pins_.find(archive) == pins_.end(); });
  delete archive;
}

CArchiveP* ArchiveManager::Pin(const char* name, IArchive* expected) {
  if (name == nullptr || *name == '\0') return nullptr;
  kit::MutexLock lock(mu_);
  Node* node = FindNode(name, nullptr);
  if (node == nullptr || !(node->flags & kEnds) || node->archive == nullptr ||
      node->archive->GetInterface() != expected) {
    return nullptr;
  }
  ++pins_[node->archive];
  return node->archive;
}

void ArchiveManager::Unpin(CArchiveP* archive) {
  {
    kit::MutexLock lock(mu_);
    auto it = pins_.find(archive);
    if (it == pins_.end() || --it->second > 0) return;
    pins_.erase(it);
  }
  unpinned_.notify_all();
}

}  // namespace logrum::archive
