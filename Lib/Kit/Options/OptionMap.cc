#include "Lib/Kit/Options/OptionMap.h"

#include <utility>

namespace logrum::kit {

// ---- OptionValue --------------------------------------------------------------

uint32_t OptionValue::length() const {
  switch (type_) {
    case kInteger: return 4;
    case kString: return static_cast<uint32_t>(bytes_.size() + 1);
    case kBinary: return static_cast<uint32_t>(bytes_.size());
    default: return 0;
  }
}

void OptionValue::Clear() {
  if (owns_object_) delete object_;
  object_ = nullptr;
  owns_object_ = false;
  bytes_.clear();
  bytes_.shrink_to_fit();
  integer_ = 0;
  type_ = kNone;
}

void OptionValue::SetInteger(int32_t value) {
  Clear();
  type_ = kInteger;
  integer_ = value;
}

void OptionValue::SetString(std::string_view text) {
  std::string copy(text.substr(0, text.find('\0')));  // before Clear: text may be our own bytes
  Clear();
  type_ = kString;
  bytes_ = std::move(copy);
}

void OptionValue::SetBinary(std::string_view bytes) {
  std::string copy(bytes);
  Clear();
  type_ = kBinary;
  bytes_ = std::move(copy);
}

void OptionValue::SetObject(OptionObject* object, bool owns) {
  if (object == object_) {
    owns_object_ = owns;
    return;
  }
  Clear();
  type_ = kObject;
  object_ = object;
  owns_object_ = owns;
}

// ---- OptionMap ------------------------------------------------------------------

OptionMap::OptionMap(bool case_sensitive) : case_sensitive_(case_sensitive) { Clear(); }

void OptionMap::Clear() {
  nodes_.clear();
  nodes_.emplace_back();  // the root
  free_ = kNil;
  size_ = 0;
}

unsigned char OptionMap::Fold(char c) const {
  if (!case_sensitive_ && c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A' + 'a');
  return static_cast<unsigned char>(c);
}

uint32_t OptionMap::FindNode(std::string_view name) const {
  if (name.size() > kMaxName) return kNil;
  uint32_t node = 0;
  for (char c : name) {
    unsigned char want = Fold(c);
    uint32_t child = nodes_[node].child;
    while (child != kNil && nodes_[child].ch < want) child = nodes_[child].sibling;
    if (child == kNil || nodes_[child].ch != want) return kNil;
    node = child;
  }
  return node;
}

OptionValue* OptionMap::Find(std::string_view name) {
  uint32_t node = FindNode(name);
  if (node == kNil || (nodes_[node].flags & kEndsName) == 0) return nullptr;
  return nodes_[node].value.get();
}

const OptionValue* OptionMap::Find(std::string_view name) const {
  return const_cast<OptionMap*>(this)->Find(name);
}

OptionValue* OptionMap::FindPrefix(std::string_view prefix, bool unique, std::string* full_name) {
  uint32_t node = FindNode(prefix);
  if (node == kNil) return nullptr;
  std::string name;
  if (full_name != nullptr) {
    // Spell the prefix as stored.
    uint32_t walk = 0;
    for (char c : prefix) {
      unsigned char want = Fold(c);
      walk = nodes_[walk].child;
      while (nodes_[walk].ch != want) walk = nodes_[walk].sibling;
      const Node& n = nodes_[walk];
      name += static_cast<char>((n.flags & kFolded) ? n.ch - 'a' + 'A' : n.ch);
    }
  }
  bool followed = false;
  while ((nodes_[node].flags & kEndsName) == 0) {
    followed = true;
    node = nodes_[node].child;
    if (node == kNil) return nullptr;
    const Node& n = nodes_[node];
    if (unique && n.sibling != kNil) return nullptr;
    name += static_cast<char>((n.flags & kFolded) ? n.ch - 'a' + 'A' : n.ch);
  }
  if (unique && followed && nodes_[node].child != kNil) return nullptr;
  if (full_name != nullptr) *full_name = std::move(name);
  return nodes_[node].value.get();
}

uint32_t OptionMap::NewNode(unsigned char ch, uint8_t flags) {
  uint32_t index;
  if (free_ != kNil) {
    index = free_;
    free_ = nodes_[index].sibling;
    nodes_[index] = Node{};
  } else {
    index = static_cast<uint32_t>(nodes_.size());
    nodes_.emplace_back();
  }
  nodes_[index].ch = ch;
  nodes_[index].flags = flags;
  return index;
}

OptionValue* OptionMap::Insert(std::string_view name) {
  if (name.size() > kMaxName) return nullptr;
  uint32_t node = 0;
  for (char c : name) {
    unsigned char want = Fold(c);
    uint32_t prev = kNil;
    uint32_t child = nodes_[node].child;
    while (child != kNil && nodes_[child].ch < want) {
      prev = child;
      child = nodes_[child].sibling;
    }
    if (child != kNil && nodes_[child].ch == want) {
      node = child;
      continue;
    }
    uint32_t made = NewNode(want, want != static_cast<unsigned char>(c) ? kFolded : 0);
    nodes_[made].sibling = child;
    if (prev == kNil) {
      nodes_[node].child = made;
    } else {
      nodes_[prev].sibling = made;
    }
    node = made;
  }
  Node& end = nodes_[node];
  if ((end.flags & kEndsName) == 0) {
    end.flags |= kEndsName;
    end.value = std::make_unique<OptionValue>();
    ++size_;
  }
  return end.value.get();
}

bool OptionMap::Remove(std::string_view name) {
  if (name.size() > kMaxName) return false;
  std::vector<uint32_t> path{0};
  for (char c : name) {
    unsigned char want = Fold(c);
    uint32_t child = nodes_[path.back()].child;
    while (child != kNil && nodes_[child].ch < want) child = nodes_[child].sibling;
    if (child == kNil || nodes_[child].ch != want) return false;
    path.push_back(child);
  }
  Node& end = nodes_[path.back()];
  if ((end.flags & kEndsName) == 0) return false;
  end.flags &= static_cast<uint8_t>(~kEndsName);
  end.value.reset();
  --size_;
  // Drop the tail of nodes that now lead to no name.
  while (path.size() > 1) {
    uint32_t node = path.back();
    if (nodes_[node].child != kNil || (nodes_[node].flags & kEndsName) != 0) break;
    path.pop_back();
    uint32_t parent = path.back();
    if (nodes_[parent].child == node) {
      nodes_[parent].child = nodes_[node].sibling;
    } else {
      uint32_t prev = nodes_[parent].child;
      while (nodes_[prev].sibling != node) prev = nodes_[prev].sibling;
      nodes_[prev].sibling = nodes_[node].sibling;
    }
    nodes_[node] = Node{};
    nodes_[node].sibling = free_;
    free_ = node;
  }
  return true;
}

void OptionMap::Walk(const std::function<void(const std::string&, Node&)>& visit) const {
  // Depth first with an explicit stack: names may be far longer than a thread's stack allows.
  std::string name;
  if (nodes_[0].flags & kEndsName) visit(name, nodes_[0]);
  std::vector<uint32_t> stack;
  uint32_t node = nodes_[0].child;
  while (node != kNil || !stack.empty()) {
    if (node == kNil) {
      node = nodes_[stack.back()].sibling;
      stack.pop_back();
      name.pop_back();
      continue;
    }
    Node& n = nodes_[node];
    name += static_cast<char>((n.flags & kFolded) ? n.ch - 'a' + 'A' : n.ch);
    if (n.flags & kEndsName) visit(name, n);
    stack.push_back(node);
    node = n.child;
  }
}

void OptionMap::ForEach(const std::function<void(const std::string&, OptionValue&)>& visit) {
  Walk([&](const std::string& name, Node& node) { visit(name, *node.value); });
}

void OptionMap::ForEach(
    const std::function<void(const std::string&, const OptionValue&)>& visit) const {
  Walk([&](const std::string& name, Node& node) { visit(name, *node.value); });
}

}  // namespace logrum::kit
