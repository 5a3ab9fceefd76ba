// The trace channels bound to the built traceprov.so. One binding per process,
// so this program sets the provider's variables before any channel exists.
#include "Lib/Diagnostics/Trace.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Lib/Diagnostics/TraceProvider.h"
#include "Lib/Platform/DynamicLibrary.h"
#include "tests/support/TempDir.h"

namespace logrum::diag {
namespace {

const std::string& TraceFile() {
  static const std::string path = [] {
    static const logrum::testing::TempDir temp("trace");
    std::string p = temp.Sub("trace.log");
    setenv("LOGRUM2_TRACE", "0A51:1,0F70:*", 1);
    setenv("LOGRUM2_TRACE_FILE", p.c_str(), 1);
    return p;
  }();
  return path;
}
// Before main, hence before the first channel of this program registers.
const bool kEnvironmentSet = !TraceFile().empty();
struct RemoveAtExit {
  ~RemoveAtExit() { std::remove(TraceFile().c_str()); }
} remove_at_exit;

std::string ReadTrace() {
  std::ifstream in(TraceFile());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kEnvironmentSet); }
};

// First in this file: before it no channel of this program has bound the provider.
TEST_F(TraceTest, PluginBindsTheProviderBesideItAndReleasesItWhenUnloaded) {
  const std::string provider_path = std::string(LOGRUM2_BUILD_DIR) + "/lib/traceprov.so";
  auto provider_loaded = [&] {
    void* handle = dlopen(provider_path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
  };
  bool loaded_before = provider_loaded();

  platform::DynamicLibrary user;
  platform::Status status = user.Open(std::string(LOGRUM2_BUILD_DIR) + "/lib/logrum_traceuser.so");
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_TRUE(provider_loaded()) << "registering the plug-in's channel loads the provider";
  void (*print)(const char*) = nullptr;
  status = user.Function("LogrumTraceUserPrint", &print);
  ASSERT_TRUE(status.ok()) << status.message();
  print("from the plug-in");
  user.Close();
  EXPECT_NE(ReadTrace().find("trace user: from the plug-in\n"), std::string::npos);
  if (!loaded_before) {
    EXPECT_FALSE(provider_loaded()) << "the provider outlived its last user";
  }
}

TEST_F(TraceTest, PluginWithoutProviderBesideItStaysSilent) {
  // A copy of the plug-in in a folder of its own: no traceprov.so there or in ../lib.
  const logrum::testing::TempDir temp("traceuser");
  const std::string folder = temp.MakeSub("plugins");
  std::filesystem::copy_file(std::string(LOGRUM2_BUILD_DIR) + "/lib/logrum_traceuser.so",
                             folder + "/logrum_traceuser.so",
                             std::filesystem::copy_options::overwrite_existing);
  platform::DynamicLibrary user;
  platform::Status status = user.Open(folder + "/logrum_traceuser.so");
  ASSERT_TRUE(status.ok()) << status.message();
  void (*print)(const char*) = nullptr;
  status = user.Function("LogrumTraceUserPrint", &print);
  ASSERT_TRUE(status.ok()) << status.message();
  print("unheard");
  user.Close();
  EXPECT_EQ(ReadTrace().find("unheard"), std::string::npos);
}

TEST_F(TraceTest, ChannelsEnabledByTheVariablePrintOthersStaySilent) {
  TraceChannel on(kModuleAudioSource, 1);
  TraceChannel off(kModuleAudioSource, 2);
  TraceChannel ftp(kModuleFtpUpload, 33);

  int evaluated = 0;
  LOGRUM_TRACE(on, "CAppThread::Run %s %d\n", "feed", ++evaluated);
  LOGRUM_TRACE(off, "hidden line %d\n", ++evaluated);
  LOGRUM_TRACE(ftp, "ftp line without a break");
  on.Print(__LINE__, "%s\n", std::string(2000, 'x').c_str());  // longer than the buffer
  off.AssertFailed(__LINE__);  // failed checks ignore the enable byte
  EXPECT_EQ(evaluated, 1) << "arguments of a disabled line must not be evaluated";

  EXPECT_TRUE(on.IsLineEnabled(__LINE__));
  EXPECT_FALSE(off.IsLineEnabled(__LINE__));
  EXPECT_EQ(on.id(), 0x0A510001u);

  std::string text = ReadTrace();
  EXPECT_NE(text.find("CAppThread::Run feed 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("ftp line without a break\n"), std::string::npos) << text;
  EXPECT_NE(text.find(std::string(2000, 'x') + "\n"), std::string::npos);
  EXPECT_NE(text.find("Assert failed!\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
}

TEST_F(TraceTest, ProviderExportsItsInterface) {
  platform::DynamicLibrary library;
  platform::Status status = library.Open(std::string(LOGRUM2_BUILD_DIR) + "/lib/traceprov.so");
  ASSERT_TRUE(status.ok()) << status.message();
  TraceProviderEntry entry = nullptr;
  TraceProviderExit exit = nullptr;
  status = library.Function(kTraceProviderEntry, &entry);
  ASSERT_TRUE(status.ok()) << status.message();
  status = library.Function(kTraceProviderExit, &exit);
  ASSERT_TRUE(status.ok()) << status.message();

  TraceProvider* provider = entry();
  ASSERT_NE(provider, nullptr);
  const volatile uint8_t* enabled = provider->RegisterChannel(0x0F700021);
  const volatile uint8_t* disabled = provider->RegisterChannel(0x0A510036);
  ASSERT_NE(enabled, nullptr);
  ASSERT_NE(disabled, nullptr);
  EXPECT_NE(*enabled, 0);
  EXPECT_EQ(*disabled, 0);
  EXPECT_EQ(provider->RegisterChannel(0x0F700021), enabled) << "one byte per channel";
  EXPECT_TRUE(provider->IsLineEnabled(0x0F700021, 10));
  provider->Print("direct %d %s\n", 7, "seven");
  EXPECT_NE(ReadTrace().find("direct 7 seven\n"), std::string::npos);
  exit();
}

}  // namespace
}  // namespace logrum::diag
