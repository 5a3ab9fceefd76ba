#include "Lib/Kit/Options/RegistryKey.h"

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

platform::Registry* RegistryKey::Store() {
  if (store_ != nullptr) return store_;
  platform::Registry* store = nullptr;
  if (Status status = platform::DefaultRegistry(&store); !status.ok()) {
    Fail(status);
    return nullptr;
  }
  return store;
}

bool RegistryKey::Fail(const Status& status) {
  last_error_ = status.code();
  last_error_text_ = status.message();
  return false;
}

std::string RegistryKey::Join(std::string_view subkey) const {
  if (subkey.empty()) return path_;
  if (path_.empty()) return std::string(subkey);
  return path_ + "\\" + std::string(subkey);
}

bool RegistryKey::Open(std::string_view path, bool prefer_current_user) {
  open_ = false;
  RegRoot root = prefer_current_user ? RegRoot::kCurrentUser : RegRoot::kLocalMachine;
  if (StartsWithNoCase(path, "HKEY_CURRENT_USER\\")) {
    root = RegRoot::kCurrentUser;
    path.remove_prefix(18);
  } else if (StartsWithNoCase(path, "HKEY_LOCAL_MACHINE\\")) {
    root = RegRoot::kLocalMachine;
    path.remove_prefix(19);
  }
  platform::Registry* store = Store();
  if (store == nullptr) return false;
  if (Status status = store->CreateKey(root, path, kNewKeyClass); !status.ok()) {
    return Fail(status);
  }
  root_ = root;
  path_ = std::string(path);
  open_ = true;
  return true;
}

const char* RegistryKey::QueryString(std::string_view subkey, std::string_view value_name,
                                     const char* default_text) {
  if (!open_) {
    Fail(Status::Error(Status::kInvalidArgument, "no key is open"));
    return default_text;
  }
  platform::Registry* store = Store();
  if (store == nullptr) return default_text;
  std::string key = Join(subkey);
  platform::RegValue value;
  Status status = store->GetValue(root_, key, value_name, &value);
  if (!status.ok()) {
    Fail(status);
    return default_text;
  }
  if (value.type != platform::kRegString) {
    // The value is there but holds no text. The write-default flag repairs it.
    Fail(Status::Error(Status::kInvalidArgument, std::string(platform::RegRootName(root_)) + "\\" +
                                                     key + ": value \"" + std::string(value_name) +
                                                     "\" is " + platform::RegTypeName(value.type) +
                                                     ", not a string"));
    if (write_default_ && default_text != nullptr) {
      Status written = store->Update([&](RegistryTxn& txn) {
        // Only if it is still the value we could not read.
        platform::RegValue now;
        if (Status s = txn.GetValue(root_, key, value_name, &now); !s.ok()) return s;
        if (now.type == platform::kRegString) return Status::Ok();
        return txn.SetValue(root_, key, value_name, platform::kRegString, WithNul(default_text));
      });
      if (!written.ok()) Fail(written);
    }
    return default_text;
  }
  buffer_.assign(value.data.data(), value.data.size());
  buffer_.resize(buffer_.find('\0') == std::string::npos ? buffer_.size() : buffer_.find('\0'));
  return buffer_.c_str();
}

bool RegistryKey::WriteString(std::string_view subkey, std::string_view value_name,
                              std::string_view text) {
  if (!open_) return Fail(Status::Error(Status::kInvalidArgument, "no key is open"));
  platform::Registry* store = Store();
  if (store == nullptr) return false;
  std::string key = Join(subkey);
  Status status = store->Update([&](RegistryTxn& txn) {
    if (Status s = txn.CreateKey(root_, key, kNewKeyClass); !s.ok()) return s;
    return txn.SetValue(root_, key, value_name, platform::kRegString, WithNul(text));
  });
  if (!status.ok()) return Fail(status);
  return true;
}

}  // namespace logrum::kit
