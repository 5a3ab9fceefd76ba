#include "Lib/AudioSource/NameTree.h"

namespace logrum::audio {

NameTree::NameTree(bool fold_case) : fold_case_(fold_case) {}

NameTree::~NameTree() = default;

char NameTree::Key(char c, uint8_t* flags) const {
  if (fold_case_ && c >= 'A' && c <= 'Z') {
    if (flags != nullptr) *flags |= kFolded;
    return static_cast<char>(c - 'A' + 'a');
  }
  return c;
}

NameTree::Node* NameTree::NewNode(char ch, uint8_t flags) {
  if (free_ == nullptr) {
    blocks_.push_back(std::make_unique<Node[]>(kBlockNodes));
    Node* block = blocks_.back().get();
    for (size_t i = 0; i < kBlockNodes; ++i) FreeNode(&block[i]);
  }
  Node* node = free_;
  free_ = node->next;
  *node = Node{};
  node->ch = ch;
  node->flags = flags;
  return node;
}

void NameTree::FreeNode(Node* node) {
  *node = Node{};
  node->next = free_;
  free_ = node;
}

void NameTree::Insert(std::string_view name, uint32_t value) {
  if (name.empty()) return;
  Node** level = &root_;
  Node* node = nullptr;
  for (char c : name) {
    uint8_t folded = 0;
    char key = Key(c, &folded);
    Node** link = level;
    while (*link != nullptr && (*link)->ch < key) link = &(*link)->next;
    if (*link == nullptr || (*link)->ch != key) {
      Node* fresh = NewNode(key, folded);
      fresh->next = *link;
      *link = fresh;
    }
    node = *link;
    level = &node->child;
  }
  node->flags |= kEndsName;
  node->value = value;
}

bool NameTree::Find(std::string_view name, uint32_t* value) const {
  if (name.empty()) return false;
  const Node* level = root_;
  const Node* node = nullptr;
  for (char c : name) {
    char key = Key(c, nullptr);
    node = level;
    while (node != nullptr && node->ch < key) node = node->next;
    if (node == nullptr || node->ch != key) return false;
    level = node->child;
  }
  if (!(node->flags & kEndsName)) return false;
  *value = node->value;
  return true;
}

bool NameTree::Remove(std::string_view name) {
  if (name.empty()) return false;
  Node** link = &root_;
  Node** found = nullptr;
  for (char c : name) {
    char key = Key(c, nullptr);
    while (*link != nullptr && (*link)->ch < key) link = &(*link)->next;
    if (*link == nullptr || (*link)->ch != key) return false;
    found = link;
    link = &(*link)->child;
  }
  Node* node = *found;
  if (!(node->flags & kEndsName)) return false;
  if (node->child != nullptr) {
    node->flags &= static_cast<uint8_t>(~kEndsName);
  } else {
    // A leaf leaves its siblings' chain; the ancestors stay, as they may lead elsewhere.
    *found = node->next;
    FreeNode(node);
  }
  return true;
}

void NameTree::Clear() {
  root_ = nullptr;
  free_ = nullptr;
  blocks_.clear();
}

}  // namespace logrum::audio
