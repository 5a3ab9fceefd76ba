// The configured archives, loaded from Logrum2\Archives: one ArchiveOptions
// per subkey, keyed by archive name without regard to the case of A-Z and
// iterated in ascending order of the lower-cased names.
//
// Thread safety: none (UI thread).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "App/Server/ArchiveOptions.h"
#include "App/Server/ConfigKeys.h"
#include "Lib/Platform/Registry.h"

namespace logrum::server {

// The lower-cased form (A-Z only) under which names are compared.
std::string FoldName(std::string_view name);

class ArchiveList {
 public:
  // `store` null uses the process's store; `sink` null shows on standard error.
  ArchiveList(platform::Registry* store, MessageSink* sink);

  // Opens (creating) the Archives key and loads every archive in it. An archive
  // whose key cannot be read shows message 111 and is left out; an
  // unreachable store shows message 103 and loads nothing.
  void Load();
  // Saves one archive's values, then its schedule; message 103 on failure.
  bool Save(std::string_view name);
  // Forgets the archive and deletes its key with everything below it;
  // message 103 when the key cannot be deleted.
  bool Remove(std::string_view name);

  // Inserts (replacing an archive of the same name, which is deleted).
  ArchiveOptions* Insert(std::unique_ptr<ArchiveOptions> options);
  ArchiveOptions* Find(std::string_view name) const;
  // Whether an archive other than `except` records into `folder`.
  bool IsFolderUsed(std::string_view folder, std::string_view except) const;

  size_t size() const { return archives_.size(); }
  void ForEach(const std::function<void(ArchiveOptions&)>& visit) const;
  platform::Registry* store() const { return store_; }

 private:
  platform::Registry* Store();

  platform::Registry* store_;
  MessageSink* sink_;
  std::map<std::string, std::unique_ptr<ArchiveOptions>> archives_;  // by FoldName
};

}  // namespace logrum::server
