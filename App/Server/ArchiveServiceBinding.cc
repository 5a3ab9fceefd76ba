#include "App/Server/ArchiveServiceBinding.h"

#include "App/Server/SharedLogger.h"

namespace logrum::server {
namespace {
const int kAnchor = 0;  // an address inside this program, to find its library folder
}

ServiceArchive::~ServiceArchive() {
  if (archive_ != nullptr) archive_->Release();
}

bool ServiceArchive::Open(logrum::ArchiveOptions* options, logrum::SkimSwitch* skim_switch,
                          void* level_listener) {
  return archive_->Open(options, skim_switch, static_cast<audio::LevelListener*>(level_listener),
                        true, nullptr);
}

void ServiceArchive::Close() { archive_->Close(); }
bool ServiceArchive::IsActive() { return archive_->IsActive(); }
double ServiceArchive::GetTotalStorageMB() { return archive_->GetTotalStorageMB(); }
double ServiceArchive::GetUsedStorageMB() { return archive_->GetUsedStorageMB(); }
int32_t ServiceArchive::GetFirstSegmentTime() { return archive_->GetFirstSegmentTime(); }
int32_t ServiceArchive::GetLastSegmentTime() { return archive_->GetLastSegmentTime(); }
void ServiceArchive::Log(const char* text) { archive_->Log(text); }

std::string ServiceArchive::GetStatusText() {
  char text[512];
  archive_->GetStatusText(text, sizeof text);
  return text;
}

bool ServiceArchive::GetCounters(logrum::ArchiveCounters* counters) {
  return archive_->GetCounters(counters);
}

ArchiveServiceBinding::~ArchiveServiceBinding() { Unload(); }

platform::Status ArchiveServiceBinding::Load() {
  platform::Status status = library_.OpenBeside(&kAnchor, logrum::kArchiveServiceLibrary);
  if (status.ok()) status = library_.Function(logrum::kArchiveServiceEntry, &entry_);
  return status;
}

logrum::IArchiveServer* ArchiveServiceBinding::Server() {
  if (server_ == nullptr && entry_ != nullptr) {
    server_ = static_cast<logrum::IArchiveServer*>(entry_(logrum::kArchiveServerObject));
  }
  return server_;
}

std::unique_ptr<ArchiveBinding> ArchiveServiceBinding::CreateArchive(const std::string& name) {
  if (entry_ == nullptr) return nullptr;
  auto* manager = static_cast<logrum::IArchiveManager*>(entry_(logrum::kArchiveManagerObject));
  if (manager == nullptr) return nullptr;
  logrum::IArchive* archive = manager->CreateArchive(name.c_str());
  if (archive == nullptr) {
    DiagPrintf("Unable to create archive object '%s'.\n", name.c_str());
    return nullptr;
  }
  return std::make_unique<ServiceArchive>(archive);
}

void ArchiveServiceBinding::CloseServer() {
  if (server_ != nullptr) server_->Close();
  server_ = nullptr;
}

void ArchiveServiceBinding::Unload() {
  CloseServer();
  entry_ = nullptr;
  library_.Close();
}

}  // namespace logrum::server
