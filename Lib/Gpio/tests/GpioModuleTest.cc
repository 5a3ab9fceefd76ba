// gpiolink.so as the server binds it: the six exports and the console's
// functions found by name, the message route for a configuration that cannot
// be opened, and a machine without cards.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Lib/Gpio/include/GpioConsole.h"
#include "Lib/Gpio/tests/TextServer.h"
#include "tests/support/TempDir.h"

namespace logrum::gpio {
namespace {

namespace fs = std::filesystem;

template <typename F>
F Find(void* library, const char* name) {
  return reinterpret_cast<F>(::dlsym(library, name));
}

std::vector<std::string>* g_messages = nullptr;

TEST(GpioModuleTest, ExportsWorkOnAMachineWithoutCardsAndReportAnUnusableStore) {
  const logrum::testing::TempDir temp("gpiolink");
  const std::string& root = temp.path();
  fs::create_directories(root + "/sys/bus/pci/devices");
  std::ofstream(root + "/file") << "not a folder";
  ::setenv("LOGRUM2_GPIO_SYSFS", (root + "/sys").c_str(), 1);
  ::setenv("LOGRUM2_HOME", (root + "/file/state").c_str(), 1);
  ::setenv("LOGRUM2_VIRTUAL_DEVICES", "Studio=tone:440", 1);

  void* library = ::dlopen(LOGRUM2_BUILD_DIR "/lib/gpiolink.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto open = Find<bool (*)(uint8_t*)>(library, "Open");
  auto close = Find<void (*)()>(library, "Close");
  auto show = Find<bool (*)(const char*, const char*)>(library, "ShowConfigDialog");
  auto open_device = Find<bool (*)(int32_t*, const char*, const char*, uint8_t*)>(library, "OpenDevice");
  auto state = Find<bool (*)(uint32_t, uint8_t*)>(library, "GetDeviceSwitchState");
  auto close_device = Find<void (*)(uint32_t)>(library, "CloseDevice");
  auto set_handler = Find<decltype(&GpioConsoleSetMessageHandler)>(library, "GpioConsoleSetMessageHandler");
  auto count = Find<decltype(&GpioConsoleSourceCount)>(library, "GpioConsoleSourceCount");
  auto source_name = Find<decltype(&GpioConsoleSourceName)>(library, "GpioConsoleSourceName");
  auto read_source = Find<decltype(&GpioConsoleReadSource)>(library, "GpioConsoleReadSource");
  auto read_input = Find<decltype(&GpioConsoleReadInput)>(library, "GpioConsoleReadInput");
  auto configure = Find<decltype(&GpioConsoleConfigure)>(library, "GpioConsoleConfigure");
  auto save = Find<decltype(&GpioConsoleSave)>(library, "GpioConsoleSave");
  auto test_rule = Find<decltype(&GpioConsoleTestRule)>(library, "GpioConsoleTestRule");
  for (void* f : {(void*)open, (void*)close, (void*)show, (void*)open_device, (void*)state,
                  (void*)close_device, (void*)set_handler, (void*)count, (void*)source_name,
                  (void*)read_source, (void*)read_input, (void*)configure, (void*)save,
                  (void*)test_rule}) {
    ASSERT_NE(f, nullptr);
  }

  // The state folder cannot be made: the key cannot be opened.
  std::vector<std::string> messages;
  g_messages = &messages;
  set_handler([](void*, const char* text) { g_messages->push_back(text); }, nullptr);
  uint8_t available = 0;
  EXPECT_FALSE(open(&available));
  EXPECT_EQ(available, 1);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0],
            "Error: Unable to open registry key Software\\Norvane Systems\\Logrum\\NorvaneGPIO!");

  // A usable state folder and no card: nothing fails, inputs 1-4 read off.
  ::setenv("LOGRUM2_HOME", (root + "/state").c_str(), 1);
  messages.clear();
  ASSERT_TRUE(open(nullptr));
  EXPECT_TRUE(messages.empty()) << messages[0];
  int32_t handle = -1;
  uint8_t valid = 0xFF, bits = 0xFF;
  ASSERT_TRUE(open_device(&handle, "Studio", "Studio=tone:440", &valid));
  EXPECT_EQ(valid, 0);
  ASSERT_TRUE(state(static_cast<uint32_t>(handle), &bits));
  EXPECT_EQ(bits, 0);

  testing::TextServer server;
  GpioInputInfo info{};
  std::snprintf(info.szHostAddress, sizeof info.szHostAddress, "%s", server.address().c_str());
  std::snprintf(info.szOnPattern, sizeof info.szOnPattern, "MIC ON");
  std::snprintf(info.szOffPattern, sizeof info.szOffPattern, "MIC OFF");
  info.bActive = 1;
  char error[128] = "unchanged";
  ASSERT_TRUE(configure("Studio=tone:440", 5, &info, error, sizeof error)) << error;
  ASSERT_TRUE(server.WaitForClients(1));
  EXPECT_FALSE(configure("Studio=tone:440", 9, &info, error, sizeof error));
  EXPECT_STREQ(error, "logical inputs are numbered 5 to 8");
  ASSERT_TRUE(save());
  EXPECT_TRUE(fs::exists(root + "/state/registry.db3"));
  EXPECT_TRUE(fs::exists(root + "/state/NorvaneCardManager.log"));

  EXPECT_EQ(count(), 1);
  char name[8];
  ASSERT_TRUE(source_name(0, name, sizeof name));
  EXPECT_STREQ(name, "Studio=");  // cut to the buffer, still terminated
  EXPECT_FALSE(source_name(1, name, sizeof name));
  ASSERT_TRUE(read_source("STUDIO=TONE:440", &valid, nullptr));
  EXPECT_EQ(valid, 0x08);
  GpioInputInfo live{};
  ASSERT_TRUE(read_input("Studio=tone:440", 5, &live));
  EXPECT_STREQ(live.szOnPattern, "MIC ON");
  EXPECT_EQ(live.bActive, 1);

  char result[128];
  test_rule("ON", "AIR", 0, "on air", result, sizeof result);
  EXPECT_STREQ(result, "both!!!");
  test_rule("a**", "b", 0, "a", result, sizeof result);
  EXPECT_STREQ(result, "Error: Unable to parse the ON pattern! Please check the string and try again.");

  EXPECT_TRUE(show(nullptr, "Studio=tone:440"));
  close_device(static_cast<uint32_t>(handle));
  close();
  close();
  set_handler(nullptr, nullptr);
  ::dlclose(library);
  ::unsetenv("LOGRUM2_GPIO_SYSFS");
  ::unsetenv("LOGRUM2_HOME");
  ::unsetenv("LOGRUM2_VIRTUAL_DEVICES");
}

}  // namespace
}  // namespace logrum::gpio
