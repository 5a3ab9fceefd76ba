#include "Lib/Kit/Options/RegistryKey.h"

#include <algorithm>

namespace logrum::kit {
namespace {

using platform::RegistryTxn;
using platform::RegRoot;
using platform::Status;

constexpr char kNewKeyClass[] = "cls?";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return false;
  }
  return true;
}

std::string WithNul(std::string_view text) {
  std::string data(text.substr(0, text.find('\0')));
  data.push_back('\0');
  return data;
}

}  // namespace

RegistryKey::RegistryKey(bool write_default, platform::Registry* store)
    : write_default_(write_default), store_(store) {}

Status RegistryKey::Store(platform::Registry** store) {
  *store = store_;
  if (store_ != nullptr) return Status::Ok();
  return platform::DefaultRegistry(store);
}

std::string RegistryKey::Join(std::string_view subkey) const {
  if (subkey.empty()) return path_;
  if (path_.empty()) return std::string(subkey);
  return path_ + "\\" + std::string(subkey);
}

Status RegistryKey::Open(std::string_view path, bool prefer_current_user) {
  open_ = false;
  RegRoot root = prefer_current_user ? RegRoot::kCurrentUser : RegRoot::kLocalMachine;
  if (StartsWithNoCase(path, "HKEY_CURRENT_USER\\")) {
    root = RegRoot::kCurrentUser;
    path.remove_prefix(18);
  } else if (StartsWithNoCase(path, "HKEY_LOCAL_MACHINE\\")) {
    root = RegRoot::kLocalMachine;
    path.remove_prefix(19);
  }
  platform::Registry* store = nullptr;
  if (Status status = Store(&store); !status.ok()) return status;
  if (Status status = store->CreateKey(root, path, kNewKeyClass); !status.ok()) return status;
  root_ = root;
  path_ = std::string(path);
  open_ = true;
  return Status::Ok();
}

Status RegistryKey::QueryString(std::string_view subkey, std::string_view value_name,
                                const char* default_text, std::string* text) {
  *text = default_text != nullptr ? default_text : "";
  if (!open_) return Status::Error(Status::kInvalidArgument, "no key is open");
  platform::Registry* store = nullptr;
  if (Status status = Store(&store); !status.ok()) return status;
  std::string key = Join(subkey);
  platform::RegValue value;
  if (Status status = store->GetValue(root_, key, value_name, &value); !status.ok()) {
    return status;
  }
  if (value.type != platform::kRegString) {
    // The value is there but holds no text. The write-default flag repairs it.
    const Status unreadable = Status::Error(
        Status::kInvalidArgument, std::string(platform::RegRootName(root_)) + "\\" + key +
                                      ": value \"" + std::string(value_name) + "\" is " +
                                      platform::RegTypeName(value.type) + ", not a string");
    if (write_default_ && default_text != nullptr) {
      Status written = store->Update([&](RegistryTxn& txn) {
        // Only if it is still the value we could not read.
        platform::RegValue now;
        if (Status s = txn.GetValue(root_, key, value_name, &now); !s.ok()) return s;
        if (now.type == platform::kRegString) return Status::Ok();
        return txn.SetValue(root_, key, value_name, platform::kRegString, WithNul(default_text));
      });
      if (!written.ok()) return written;
    }
    return unreadable;
  }
  text->assign(value.data.data(), value.data.size());
  text->resize(std::min(text->size(), text->find('\0')));
  return Status::Ok();
}

Status RegistryKey::WriteString(std::string_view subkey, std::string_view value_name,
                                std::string_view text) {
  if (!open_) return Status::Error(Status::kInvalidArgument, "no key is open");
  platform::Registry* store = nullptr;
  if (Status status = Store(&store); !status.ok()) return status;
  std::string key = Join(subkey);
  Status status = store->Update([&](RegistryTxn& txn) {
    if (Status s = txn.CreateKey(root_, key, kNewKeyClass); !s.ok()) return s;
    return txn.SetValue(root_, key, value_name, platform::kRegString, WithNul(text));
  });
  return status;
}

}  // namespace logrum::kit
