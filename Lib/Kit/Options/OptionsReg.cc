#include "Lib/Kit/Options/OptionsReg.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "Lib/Platform/DebugOutput.h"

namespace logrum::kit {
namespace {

using platform::RegistryTxn;
using platform::RegValue;
using platform::Status;

constexpr char kNewKeyClass[] = "cls?";

// Trace text gathers into one buffer and leaves as whole lines.
class TraceLine {
 public:
  explicit TraceLine(bool on) : on_(on && platform::DebugOutputEnabled()) {}
  ~TraceLine() { Flush(); }
  void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!on_) return;
    char buffer[1056];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    text_ += buffer;
    if (!text_.empty() && text_.back() == '\n') Flush();
  }

 private:
  void Flush() {
    if (!text_.empty()) platform::DebugOutput(text_.c_str());
    text_.clear();
  }
  bool on_;
  std::string text_;
};

std::string LittleEndian(int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  return std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                     static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
}

int32_t FromLittleEndian(const std::string& bytes) {
  uint32_t v = static_cast<uint8_t>(bytes[0]) | static_cast<uint32_t>(static_cast<uint8_t>(bytes[1])) << 8 |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[2])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[3])) << 24;
  return static_cast<int32_t>(v);
}

}  // namespace

OptionsReg::OptionsReg(bool current_user, platform::Registry* store)
    : current_user_(current_user), store_(store) {}

Status OptionsReg::Store(platform::Registry** store) {
  *store = store_;
  if (store_ != nullptr) return Status::Ok();
  return platform::DefaultRegistry(store);
}

Status OptionsReg::Read(std::string_view key_path) {
  TraceLine trace(trace_);
  std::string path(key_path);
  trace.Add("OptionsReg.Read('%s'): ", path.c_str());
  platform::Registry* store = nullptr;
  if (Status status = Store(&store); !status.ok()) {
    trace.Add("Open failed!\n");
    return status;
  }
  // Everything is fetched in one snapshot before the map changes, so a failure
  // leaves the map as it was.
  std::vector<RegValue> values;
  platform::RegKeyInfo info;
  bool opened = false;
  Status status = store->View([&](RegistryTxn& txn) {
    Status s = txn.GetKeyInfo(root(), key_path, &info);
    if (!s.ok()) return s;
    opened = true;
    return txn.ListValues(root(), key_path, &values);
  });
  if (!status.ok()) {
    trace.Add(opened ? "GetKeyInfo failed!\n" : "Open failed!\n");
    return status;
  }
  trace.Add("%d values\n", static_cast<int>(values.size()));
  int index = 0;
  for (const RegValue& value : values) {
    const char* name = value.name.c_str();
    switch (value.type) {
      case platform::kRegString: {
        std::string_view text(value.data);
        text = text.substr(0, text.find('\0'));
        trace.Add(" %2.2d: STR '%s'='%.*s'\n", index, name, static_cast<int>(text.size()),
                  text.data());
        SetString(value.name, text);
        break;
      }
      case platform::kRegDword:
        if (value.data.size() == 4) {
          int32_t number = FromLittleEndian(value.data);
          trace.Add(" %2.2d: INT '%s'=%d\n", index, name, number);
          SetInteger(value.name, number);
          break;
        }
        trace.Add(" %2.2d: Unknown data type for '%s'!\n", index, name);
        break;
      case platform::kRegBinary:
        trace.Add(" %2.2d: BIN '%s'=%d bytes\n", index, name, static_cast<int>(value.data.size()));
        SetBinary(value.name, value.data);
        break;
      default:
        trace.Add(" %2.2d: Unknown data type for '%s'!\n", index, name);
        break;
    }
    ++index;
  }
  trace.Add("----\n");
  return Status::Ok();
}

Status OptionsReg::WriteTo(RegistryTxn& txn, std::string_view key_path,
                              std::string* unwritable) {
  unwritable->clear();
  bool exists = false;
  if (Status s = txn.KeyExists(root(), key_path, &exists); !s.ok()) return s;
  if (exists) {
    std::vector<RegValue> old;
    if (Status s = txn.ListValues(root(), key_path, &old); !s.ok()) return s;
    for (const RegValue& value : old) {
      if (Has(value.name)) continue;
      if (Status s = txn.DeleteValue(root(), key_path, value.name); !s.ok()) return s;
    }
  }
  if (Status s = txn.CreateKey(root(), key_path, kNewKeyClass); !s.ok()) return s;
  Status failed;
  map_.ForEach([&](const std::string& name, const OptionValue& value) {
    if (!failed.ok()) return;
    switch (value.type()) {
      case OptionValue::kInteger:
        failed = txn.SetValue(root(), key_path, name, platform::kRegDword,
                              LittleEndian(value.integer()));
        break;
      case OptionValue::kString: {
        std::string data = value.bytes();
        data.push_back('\0');
        failed = txn.SetValue(root(), key_path, name, platform::kRegString, data);
        break;
      }
      case OptionValue::kBinary:
        failed = txn.SetValue(root(), key_path, name, platform::kRegBinary, value.bytes());
        break;
      default:
        *unwritable += unwritable->empty() ? "'" : ", '";
        *unwritable += name + "'";
        break;
    }
  });
  return failed;
}

Status OptionsReg::Save(std::string_view key_path) {
  platform::Registry* store = nullptr;
  if (Status status = Store(&store); !status.ok()) return status;
  std::string unwritable;
  Status status =
      store->Update([&](RegistryTxn& txn) { return WriteTo(txn, key_path, &unwritable); });
  if (!status.ok()) return status;
  if (!unwritable.empty()) {
    return Status::Error(Status::kInvalidArgument,
                         "values without a storable type were not written: " + unwritable);
  }
  return Status::Ok();
}

Status OptionsReg::SaveIn(RegistryTxn& txn, std::string_view key_path) {
  std::string unwritable;
  Status status = WriteTo(txn, key_path, &unwritable);
  if (status.ok() && !unwritable.empty()) {
    status = Status::Error(Status::kInvalidArgument,
                              "values without a storable type: " + unwritable);
  }
  return status;
}

void OptionsReg::SetInteger(std::string_view name, int32_t value) {
  if (OptionValue* entry = map_.Insert(name)) entry->SetInteger(value);
}

void OptionsReg::SetString(std::string_view name, std::string_view text) {
  if (OptionValue* entry = map_.Insert(name)) entry->SetString(text);
}

void OptionsReg::SetBinary(std::string_view name, std::string_view bytes) {
  if (OptionValue* entry = map_.Insert(name)) entry->SetBinary(bytes);
}

void OptionsReg::SetObject(std::string_view name, OptionObject* object, bool owns) {
  if (OptionValue* entry = map_.Insert(name)) {
    entry->SetObject(object, owns);
  } else if (owns) {
    delete object;
  }
}

int32_t OptionsReg::GetInteger(std::string_view name) const {
  const OptionValue* entry = map_.Find(name);
  return entry != nullptr && entry->type() == OptionValue::kInteger ? entry->integer() : -1;
}

const char* OptionsReg::GetString(std::string_view name) const {
  const OptionValue* entry = map_.Find(name);
  return entry != nullptr && entry->type() == OptionValue::kString ? entry->bytes().c_str()
                                                                   : nullptr;
}

const std::string* OptionsReg::GetBinary(std::string_view name) const {
  const OptionValue* entry = map_.Find(name);
  return entry != nullptr && entry->type() == OptionValue::kBinary ? &entry->bytes() : nullptr;
}

}  // namespace logrum::kit
