// ArchiveHost: loads archsvc.so and audiosrc.so by file name, as the server
// program does, and drives them: audio devices, archives, the server object.
//
//   ArchiveHost host;
//   if (!host.Load(lib_folder).ok()) ...             // folder holding the .so files
//   host.DefineSource(0, "Studio", 44100, 36864);    // device 0 as a stereo source
//   IArchive* a = host.manager()->CreateArchive("A");
//   a->Open(&options, &skim_switch, nullptr, true, &listener); ... a->Close(); a->Release();
//
// Unload (and the destructor) unloads archsvc.so first; its exit-time
// clean-up deletes any archive still there. Archives must not be used after.
//
// Thread safety: one thread drives the host.
#pragma once

#include <cstdint>
#include <string>

#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Platform/DynamicLibrary.h"
#include "Lib/Platform/Status.h"

namespace logrum::archive::testing {

class ArchiveHost {
 public:
  ArchiveHost() = default;
  ~ArchiveHost() { Unload(); }
  ArchiveHost(const ArchiveHost&) = delete;
  ArchiveHost& operator=(const ArchiveHost&) = delete;

  // Loads both libraries from `folder` and takes their objects.
  platform::Status Load(const std::string& folder);
  void Unload();

  IArchiveManager* manager() { return manager_; }
  IArchiveServer* server() { return server_; }
  audio::CAudioSourceManager* sources() { return sources_; }

  // Defines capture device `device` as one stereo source named `name`.
  bool DefineSource(uint32_t device, const char* name, int32_t sample_rate = 44100,
                    int32_t pcm_block = 36864);
  // Defines it as two mono sources.
  bool DefineSplitSources(uint32_t device, const char* left, const char* right,
                          int32_t sample_rate = 44100, int32_t pcm_block = 36864);

 private:
  platform::DynamicLibrary audiosrc_;
  platform::DynamicLibrary archsvc_;
  IArchiveManager* manager_ = nullptr;
  IArchiveServer* server_ = nullptr;
  audio::CAudioSourceManager* sources_ = nullptr;
};

}  // namespace logrum::archive::testing
