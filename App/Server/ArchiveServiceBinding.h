// The server program's binding of the archive service "archsvc.so": the
// library and its entry point, the server object, and each archive object
// seen through ArchiveBinding (ArchiveController.h).
//
// Thread safety: UI thread only. The archive objects' own threads never call
// back into this binding.
#pragma once

#include <memory>
#include <string>

#include "App/Server/ArchiveController.h"
#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/Platform/DynamicLibrary.h"
#include "Lib/Platform/Status.h"

namespace logrum::server {

// One archive object of the archive service. Destroying it releases the
// archive, which closes it first when it is open.
class ServiceArchive final : public ArchiveBinding {
 public:
  explicit ServiceArchive(logrum::IArchive* archive) : archive_(archive) {}
  ~ServiceArchive() override;
  ServiceArchive(const ServiceArchive&) = delete;
  ServiceArchive& operator=(const ServiceArchive&) = delete;

  // Opens asynchronously; `level_listener` is an audio::LevelListener or null.
  bool Open(logrum::ArchiveOptions* options, logrum::SkimSwitch* skim_switch,
            void* level_listener) override;
  void Close() override;
  bool IsActive() override;
  double GetTotalStorageMB() override;
  double GetUsedStorageMB() override;
  int32_t GetFirstSegmentTime() override;
  int32_t GetLastSegmentTime() override;
  void Log(const char* text) override;
  std::string GetStatusText() override;
  bool GetCounters(logrum::ArchiveCounters* counters) override;

 private:
  logrum::IArchive* archive_;
};

class ArchiveServiceBinding {
 public:
  ArchiveServiceBinding() = default;
  // Closes the server object and unloads the library (every archive must
  // have been released before).
  ~ArchiveServiceBinding();
  ArchiveServiceBinding(const ArchiveServiceBinding&) = delete;
  ArchiveServiceBinding& operator=(const ArchiveServiceBinding&) = delete;

  // Loads the library from the program's library folder and looks up its
  // entry point (not called yet). An error when either is missing.
  platform::Status Load();
  // Binds an entry point directly (tests).
  void set_entry(logrum::ArchiveServiceEntryFn entry) { entry_ = entry; }
  bool loaded() const { return entry_ != nullptr; }

  // The server object (entry point with 1); null without the library.
  logrum::IArchiveServer* Server();
  // A new archive object of this name (entry point with 2, then
  // CreateArchive); null without the library or when the name is refused.
  std::unique_ptr<ArchiveBinding> CreateArchive(const std::string& name);
  // Calls the server object's Close (once) and forgets it.
  void CloseServer();
  // CloseServer, then unloads the library.
  void Unload();

 private:
  platform::DynamicLibrary library_;
  logrum::ArchiveServiceEntryFn entry_ = nullptr;
  logrum::IArchiveServer* server_ = nullptr;
};

}  // namespace logrum::server
