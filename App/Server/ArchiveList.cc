#include "App/Server/ArchiveList.h"

#include "App/Server/ConfigText.h"
#include "App/Server/ScheduleStore.h"

namespace logrum::server {

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

ArchiveList::ArchiveList(platform::Registry* store, MessageSink* sink)
    : store_(store), sink_(sink) {}

platform::Registry* ArchiveList::Store() {
  if (store_ != nullptr) return store_;
  platform::Registry* store = nullptr;
  if (!platform::DefaultRegistry(&store).ok()) return nullptr;
  return store;
}

void ArchiveList::Load() {
  platform::Registry* store = Store();
  std::vector<std::string> names;
  if (store == nullptr ||
      !store->CreateKey(platform::RegRoot::kLocalMachine, ArchivesKeyPath(), kNewKeyClass).ok() ||
      !store->ListSubkeys(platform::RegRoot::kLocalMachine, ArchivesKeyPath(), &names).ok()) {
    ShowConfigMessage(sink_, kMsgRegistryAccess);
    return;
  }
  for (const std::string& name : names) {
    auto options = std::make_unique<ArchiveOptions>(store);
    options->RegisterDefaults();
    if (!options->Load(ArchiveKeyPath(name))) {
      ShowConfigMessage(sink_, kMsgArchiveOptions);
      continue;
    }
    LoadSchedule(store, ScheduleKeyPath(name), &options->schedule());
    options->set_name(name);
    Insert(std::move(options));
  }
}

bool ArchiveList::Save(std::string_view name) {
  ArchiveOptions* options = Find(name);
  platform::Registry* store = Store();
  // Values and schedule in one transaction: a failure leaves the key as it
  // was, never new values with an old schedule.
  bool ok = options != nullptr && store != nullptr &&
            store
                ->Update([&](platform::RegistryTxn& txn) {
                  platform::Status status =
                      options->values().SaveIn(txn, ArchiveKeyPath(options->name()));
                  if (!status.ok()) return status;
                  return SaveScheduleIn(txn, ScheduleKeyPath(options->name()), options->schedule());
                })
                .ok();
  if (!ok) ShowConfigMessage(sink_, kMsgRegistryAccess);
  return ok;
}

bool ArchiveList::Remove(std::string_view name) {
  auto it = archives_.find(FoldName(name));
  std::string key = ArchiveKeyPath(it != archives_.end() ? it->second->name() : std::string(name));
  if (it != archives_.end()) archives_.erase(it);
  platform::Registry* store = Store();
  if (store == nullptr) {
    ShowConfigMessage(sink_, kMsgRegistryAccess);
    return false;
  }
  platform::Status status = store->DeleteKey(platform::RegRoot::kLocalMachine, key);
  if (!status.ok() && !status.IsNotFound()) {
    ShowConfigMessage(sink_, kMsgRegistryAccess);
    return false;
  }
  return true;
}

ArchiveOptions* ArchiveList::Insert(std::unique_ptr<ArchiveOptions> options) {
  ArchiveOptions* raw = options.get();
  archives_[FoldName(options->name())] = std::move(options);
  return raw;
}

ArchiveOptions* ArchiveList::Find(std::string_view name) const {
  auto it = archives_.find(FoldName(name));
  return it == archives_.end() ? nullptr : it->second.get();
}

bool ArchiveList::IsFolderUsed(std::string_view folder, std::string_view except) const {
  for (const auto& [key, options] : archives_) {
    if (EqualsIgnoreCase(options->name(), except)) continue;
    if (options->String("ArchivePath") == folder) return true;
  }
  return false;
}

void ArchiveList::ForEach(const std::function<void(ArchiveOptions&)>& visit) const {
  for (const auto& [key, options] : archives_) visit(*options);
}

}  // namespace logrum::server
