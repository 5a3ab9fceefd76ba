#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "Lib/AudioSource/include/AudioSource.h"

namespace logrum::audio {
namespace {

TEST(AudioSourceModuleTest, ExportReturnsOneManager) {
  std::string path = std::string(LOGRUM2_BUILD_DIR) + "/lib/" + kAudioSourceLibrary;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto entry = reinterpret_cast<AudioSourceEntryFn>(dlsym(library, kAudioSourceEntry));
  ASSERT_NE(entry, nullptr);
  CAudioSourceManager* manager = entry();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(entry(), manager);
  EXPECT_GE(manager->GetNumDevices(), 0);
  DeviceInfo bad{};
  bad.uDeviceIndex = 0xFFFF;
  EXPECT_FALSE(manager->DefineDevice(&bad));
  EXPECT_EQ(dlclose(library), 0);
}

}  // namespace
}  // namespace logrum::audio
