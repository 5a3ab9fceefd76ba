#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"

#include <cstring>

namespace logrum::archive::testing {

platform::Status ArchiveHost::Load(const std::string& folder) {
  using platform::Status;
  Unload();
  // The source library first: archsvc.so binds the same loaded copy, so the
  // devices defined here are the ones its archives subscribe to.
  audio::AudioSourceEntryFn source_entry = nullptr;
  ArchiveServiceEntryFn entry = nullptr;
  Status status = audiosrc_.Open(folder + "/" + audio::kAudioSourceLibrary);
  if (status.ok()) status = audiosrc_.Function(audio::kAudioSourceEntry, &source_entry);
  if (status.ok()) {
    sources_ = source_entry();
    status = archsvc_.Open(folder + "/" + kArchiveServiceLibrary);
  }
  if (status.ok()) status = archsvc_.Function(kArchiveServiceEntry, &entry);
  if (!status.ok()) return status;
  manager_ = static_cast<IArchiveManager*>(entry(kArchiveManagerObject));
  server_ = static_cast<IArchiveServer*>(entry(kArchiveServerObject));
  if (manager_ == nullptr || server_ == nullptr || sources_ == nullptr) {
    return Status::Error(Status::kIoError, "an entry point gave no object");
  }
  return Status::Ok();
}

void ArchiveHost::Unload() {
  manager_ = nullptr;
  server_ = nullptr;
  archsvc_.Close();
  if (sources_ != nullptr) sources_->RemoveAll();
  sources_ = nullptr;
  audiosrc_.Close();
}

namespace {
void CopyName(char* out, const char* name) {
  std::strncpy(out, name ? name : "", 63);
  out[63] = '\0';
}
}  // namespace

bool ArchiveHost::DefineSource(uint32_t device, const char* name, int32_t sample_rate,
                               int32_t pcm_block) {
  if (sources_ == nullptr) return false;
  audio::DeviceInfo info{};
  info.uDeviceIndex = device;
  info.nSampleRate = sample_rate;
  info.bSplitMono = 0;
  info.cbPcmBlock = pcm_block;
  CopyName(info.szSourceLeft, name);
  return sources_->DefineDevice(&info);
}

bool ArchiveHost::DefineSplitSources(uint32_t device, const char* left, const char* right,
                                     int32_t sample_rate, int32_t pcm_block) {
  if (sources_ == nullptr) return false;
  audio::DeviceInfo info{};
  info.uDeviceIndex = device;
  info.nSampleRate = sample_rate;
  info.bSplitMono = 1;
  info.cbPcmBlock = pcm_block;
  CopyName(info.szSourceLeft, left);
  CopyName(info.szSourceRight, right);
  return sources_->DefineDevice(&info);
}

}  // namespace logrum::archive::testing
