// A character tree that maps names to 32-bit values: the source-name map.
//
// One node per character; a node's children are its first child and that child's
// siblings, kept in ascending order of their character. A node whose flag bit 0 is set
// ends a name and holds that name's value. Nodes are allocated sixteen at a time and
// reused through a free list; the blocks are released only by Clear.
//
// With `fold_case`, the letters A to Z compare as a to z. The source manager's map is
// case-sensitive: "Left" and "left" are two names.
//
// Thread safety: none; the owner serialises every call.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace logrum::audio {

class NameTree {
 public:
  explicit NameTree(bool fold_case);
  NameTree(const NameTree&) = delete;
  NameTree& operator=(const NameTree&) = delete;
  ~NameTree();

  // Maps `name` to `value`, replacing a value already there. An empty name is ignored.
  void Insert(std::string_view name, uint32_t value);
  // True and *value when `name` is mapped.
  bool Find(std::string_view name, uint32_t* value) const;
  // Unmaps `name`. False when it was not mapped.
  bool Remove(std::string_view name);
  // Unmaps everything and frees every node.
  void Clear();

  size_t allocated_nodes() const { return blocks_.size() * kBlockNodes; }

 private:
  static constexpr size_t kBlockNodes = 16;
  enum : uint8_t { kEndsName = 1, kFolded = 2 };
  struct Node {
    uint8_t flags = 0;
    char ch = 0;
    Node* next = nullptr;   // next sibling, ascending
    Node* child = nullptr;  // first child
    uint32_t value = 0;
  };

  char Key(char c, uint8_t* flags) const;
  Node* NewNode(char ch, uint8_t flags);
  void FreeNode(Node* node);

  bool fold_case_;
  Node* root_ = nullptr;  // first node of the top level
  Node* free_ = nullptr;  // free list, linked through `next`
  std::vector<std::unique_ptr<Node[]>> blocks_;
};

}  // namespace logrum::audio
