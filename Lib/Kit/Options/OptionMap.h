// Typed values and the character-tree name map that holds them.
//
// OptionMap is a trie with one node per character; siblings are kept in
// ascending order of the character as compared. Without case sensitivity the
// letters A-Z are folded to lower case before every comparison, and each node
// remembers whether its character was folded, so a name comes back in the
// spelling it was first stored with (names sharing a prefix share its first
// spelling). Enumeration visits names in ascending order of their compared
// characters (as unsigned bytes), a name before the names that extend it.
//
// Thread safety: none; a map belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace logrum::kit {

// An object that a map entry may point at (the map may own it).
class OptionObject {
 public:
  virtual ~OptionObject() = default;
};

// One typed value. Setting a value first releases what it held.
class OptionValue {
 public:
  enum Type : uint32_t { kNone = 0, kInteger = 1, kString = 2, kBinary = 3, kObject = 4 };

  OptionValue() = default;
  ~OptionValue() { Clear(); }
  OptionValue(const OptionValue&) = delete;
  OptionValue& operator=(const OptionValue&) = delete;

  Type type() const { return type_; }
  int32_t integer() const { return type_ == kInteger ? integer_ : 0; }
  // A string's text (without its terminating NUL) or a binary value's bytes.
  const std::string& bytes() const { return bytes_; }
  // Length as stored: a string counts its terminating NUL.
  uint32_t length() const;
  OptionObject* object() const { return object_; }
  bool owns_object() const { return owns_object_; }

  void SetInteger(int32_t value);
  // The text ends at its first NUL, if it holds one.
  void SetString(std::string_view text);
  void SetBinary(std::string_view bytes);
  void SetObject(OptionObject* object, bool owns);
  void Clear();

 private:
  Type type_ = kNone;
  int32_t integer_ = 0;
  std::string bytes_;
  OptionObject* object_ = nullptr;
  bool owns_object_ = false;
};

class OptionMap {
 public:
  static constexpr size_t kMaxName = 65535;

  // case_sensitive false: A-Z compare equal to a-z.
  explicit OptionMap(bool case_sensitive = false);
  OptionMap(const OptionMap&) = delete;
  OptionMap& operator=(const OptionMap&) = delete;

  // The value stored under exactly this name, or null.
  OptionValue* Find(std::string_view name);
  const OptionValue* Find(std::string_view name) const;

  // The entry `prefix` names, or else the first name that extends it, following
  // the first child at each step. `unique` refuses a prefix that is shared: it
  // fails when a node on that path has a sibling or the name found has a child.
  // *full_name (optional) receives the name found, in its stored spelling.
  OptionValue* FindPrefix(std::string_view prefix, bool unique, std::string* full_name = nullptr);

  // Creates the entry when missing (its value of type kNone) and returns its
  // value; an existing value is returned unchanged. Null for a name longer than kMaxName.
  OptionValue* Insert(std::string_view name);

  // Removes the entry; nodes no other name uses are dropped, so the name may
  // later come back in another spelling. False when missing.
  bool Remove(std::string_view name);

  void Clear();
  size_t size() const { return size_; }
  bool case_sensitive() const { return case_sensitive_; }

  // Visits every entry in enumeration order with its stored spelling. The
  // visitor must not insert or remove entries.
  void ForEach(const std::function<void(const std::string& name, OptionValue& value)>& visit);
  void ForEach(const std::function<void(const std::string& name, const OptionValue& value)>& visit) const;

 private:
  static constexpr uint32_t kNil = 0xffffffff;
  static constexpr uint8_t kEndsName = 1;
  static constexpr uint8_t kFolded = 2;
  struct Node {
    uint8_t flags = 0;
    unsigned char ch = 0;  // as compared
    uint32_t sibling = kNil;
    uint32_t child = kNil;
    std::unique_ptr<OptionValue> value;
  };

  unsigned char Fold(char c) const;
  uint32_t FindNode(std::string_view name) const;  // kNil when missing
  uint32_t NewNode(unsigned char ch, uint8_t flags);
  void Walk(const std::function<void(const std::string&, Node&)>& visit) const;

  bool case_sensitive_;
  size_t size_ = 0;
  mutable std::vector<Node> nodes_;  // nodes_[0] is the root: it holds the empty name
  uint32_t free_ = kNil;             // spare nodes, linked through `sibling`
};

}  // namespace logrum::kit
