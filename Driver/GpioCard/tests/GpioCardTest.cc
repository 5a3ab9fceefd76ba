// Card access on a fake sysfs tree: the scan (identifiers, order, at most four
// cards), the request bounds and status values, and the service's device names.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "Driver/GpioCard/include/GpioCard.h"
#include "Driver/GpioCard/tests/FakeSysfs.h"

namespace logrum::gpiocard {
namespace {

using testing::FakeSysfs;

struct Request {
  uint32_t code;
  uint32_t offset;
  uint32_t in_size;
  uint32_t out_size;
  uint32_t status;
  uint32_t transferred;
};

class GpioCardTest : public ::testing::Test {
 protected:
  uint32_t Load(std::unique_ptr<CardDriver>* driver) {
    return CardDriver::Load(sys_.root(), parameters_, driver, &why_);
  }
  uint32_t Ask(CardDriver& driver, const Request& r, uint32_t value = 0, uint8_t* out = nullptr) {
    uint8_t in[16] = {};
    std::memcpy(in, &r.offset, 4);
    std::memcpy(in + 4, &value, 4);
    uint8_t buffer[16] = {};
    uint32_t transferred = 99;
    uint32_t status = driver.DeviceIoControl(0, r.code, in, r.in_size, out ? out : buffer,
                                             r.out_size, &transferred);
    EXPECT_EQ(transferred, r.transferred) << std::hex << r.code << " at " << std::dec << r.offset;
    return status;
  }

  FakeSysfs sys_;
  DriverParameters parameters_;
  std::string why_;
};

TEST_F(GpioCardTest, FindsUpToFourCardsInBusOrderByAllFourIdentifiers) {
  sys_.AddDevice("0000:00:1f.3", 0x8086, 0x2668);             // another sound chip
  sys_.AddDevice("0000:05:00.0", 0x1013, 0x6005, 0x1013, 0x6005);  // the chip on another maker's card
  sys_.AddDevice("0000:05:01.0", 0x1013, 0x6005, 0x5E71, 0x0001);  // the maker's other subsystem
  sys_.AddDevice("0000:07:02.1");
  sys_.AddDevice("0000:03:00.0");
  sys_.AddDevice("0000:0a:00.0");
  sys_.AddDevice("0000:04:0c.0");
  sys_.AddDevice("0000:0b:00.0");  // a fifth card is ignored

  std::unique_ptr<CardDriver> driver;
  ASSERT_EQ(Load(&driver), kStatusSuccess) << why_;
  ASSERT_EQ(driver->card_count(), 4);
  const char* expected[] = {"0000:03:00.0", "0000:04:0c.0", "0000:07:02.1", "0000:0a:00.0"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(driver->card(i).path, sys_.Folder(expected[i]));
    EXPECT_EQ(driver->card(i).index, i);
  }
  EXPECT_EQ(driver->card(1).bus, 4u);
  EXPECT_EQ(driver->card(1).slot, 0x0Cu);
  EXPECT_EQ(driver->card(2).slot, 2u | 1u << 5);
  EXPECT_EQ(driver->card(0).window0_base, 0xFEB00000u);
  EXPECT_EQ(driver->card(0).window1_base, 0xFEA00000u);
  EXPECT_EQ(driver->card(0).device_name, "\\Device\\NORVANEDev");
  EXPECT_EQ(driver->card(3).link_name, "\\DosDevices\\NORVANEDev3");
}

TEST_F(GpioCardTest, NoCardOrAnUnusableWindowFailsTheLoad) {
  std::unique_ptr<CardDriver> driver;
  EXPECT_EQ(Load(&driver), kStatusNoSuchDevice);
  EXPECT_EQ(driver, nullptr);
  EXPECT_NE(why_.find("1013:6005"), std::string::npos) << why_;

  sys_.AddDevice("0000:02:00.0", 0x1013, 0x6005, 0x5E71, 0x7D19, /*window_size=*/1024);
  EXPECT_EQ(Load(&driver), kStatusDeviceError);
  EXPECT_NE(why_.find("resource0: shorter than 4096"), std::string::npos) << why_;
}

TEST_F(GpioCardTest, RequestsKeepTheirBoundsAndStatusValues) {
  sys_.AddDevice("0000:03:00.0");
  std::unique_ptr<CardDriver> driver;
  ASSERT_EQ(Load(&driver), kStatusSuccess) << why_;
  const Request requests[] = {
      {kIoctlReadWindow0, 4092, 4, 4, kStatusSuccess, 4},
      {kIoctlReadWindow0, 4093, 4, 4, kStatusAccessViolation, 0},
      {kIoctlReadWindow0, 4096, 4, 4, kStatusAccessViolation, 0},
      {kIoctlReadWindow0, 0x482, 4, 4, kStatusAccessViolation, 0},   // misaligned
      {kIoctlReadWindow1, 0, 5, 4, kStatusInvalidParameter, 0},      // input not 4 bytes
      {kIoctlReadWindow1, 0, 4, 2, kStatusInvalidParameter, 0},      // output too small
      {kIoctlReadWindow1, 8000, 5, 4, kStatusAccessViolation, 0},    // range before length
      {kIoctlWriteWindow0, 0x480, 8, 0, kStatusSuccess, 0},
      {kIoctlWriteWindow0, 0x480, 7, 0, kStatusInvalidParameter, 0},
      {kIoctlWriteWindow1, 4096, 8, 0, kStatusAccessViolation, 0},
      {kIoctlReadConfig, 250, 4, 4, kStatusSuccess, 4},
      {kIoctlReadConfig, 253, 4, 4, kStatusInvalidParameter, 0},
      {kIoctlReadConfig, 0, 8, 4, kStatusInvalidParameter, 0},
      {kIoctlWriteConfig, 0x44, 9, 4, kStatusInvalidParameter, 0},
      {kIoctlReadPort, 4, 4, 1, kStatusAccessViolation, 0},        // offset == IoPortCount
      {kIoctlReadPort, 1, 5, 1, kStatusInvalidParameter, 0},
      {kIoctlWritePort, 3, 4, 0, kStatusInvalidParameter, 0},       // no byte to write
      {0x9C486410, 0, 4, 4, kStatusNotImplemented, 0},
  };
  for (const Request& r : requests) {
    EXPECT_EQ(Ask(*driver, r), r.status) << std::hex << r.code << " at " << std::dec << r.offset;
  }
}

TEST_F(GpioCardTest, RegistersConfigurationAndPortsReachTheirFiles) {
  sys_.AddDevice("0000:03:00.0");
  const std::string card = "0000:03:00.0";
  std::string ports = sys_.root() + "/port";
  std::ofstream(ports) << std::string(0x210, '\x5A');
  parameters_.port_file = ports;
  std::unique_ptr<CardDriver> driver;
  ASSERT_EQ(Load(&driver), kStatusSuccess) << why_;

  sys_.WriteRegister(card, 0, 0x480, 0x123456E0);
  uint8_t out[4] = {};
  ASSERT_EQ(Ask(*driver, {kIoctlReadWindow0, 0x480, 4, 4, kStatusSuccess, 4}, 0, out),
            kStatusSuccess);
  EXPECT_EQ(out[0], 0xE0);
  EXPECT_EQ(out[3], 0x12);
  // Every request set the control bit first.
  EXPECT_EQ(sys_.ReadRegister(card, 0, kControlRegister) & kControlBit, kControlBit);

  EXPECT_EQ(Ask(*driver, {kIoctlWriteWindow1, 0x10, 8, 0, kStatusSuccess, 0}, 0xCAFEF00D),
            kStatusSuccess);
  EXPECT_EQ(sys_.ReadRegister(card, 1, 0x10), 0xCAFEF00Du);

  // The dword at 248 holds the bytes 248..251 of the fake configuration.
  ASSERT_EQ(Ask(*driver, {kIoctlReadConfig, 250, 4, 4, kStatusSuccess, 4}, 0, out),
            kStatusSuccess);
  EXPECT_EQ(out[0], 248);
  EXPECT_EQ(out[3], 251);
  EXPECT_EQ(Ask(*driver, {kIoctlWriteConfig, 0x44, 8, 4, kStatusSuccess, 4}, 0xA1B2C3D4),
            kStatusSuccess);
  ASSERT_EQ(Ask(*driver, {kIoctlReadConfig, 0x44, 4, 4, kStatusSuccess, 4}, 0, out),
            kStatusSuccess);
  EXPECT_EQ(out[0], 0xD4);
  EXPECT_EQ(out[3], 0xA1);

  ASSERT_EQ(Ask(*driver, {kIoctlWritePort, 2, 5, 0, kStatusSuccess, 0}, 0x77), kStatusSuccess);
  ASSERT_EQ(Ask(*driver, {kIoctlReadPort, 2, 4, 1, kStatusSuccess, 1}, 0, out), kStatusSuccess);
  EXPECT_EQ(out[0], 0x77);
  std::ifstream in(ports, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes[0x202], '\x77');
  EXPECT_EQ(bytes[0x201], '\x5A');
}

TEST_F(GpioCardTest, ConfigurationSpaceThatReadsShortIsAnAccessViolation) {
  // Without root the kernel shows only the first 64 bytes of the space.
  sys_.AddDevice("0000:03:00.0", 0x1013, 0x6005, 0x5E71, 0x7D19, 4096, /*config_size=*/64);
  std::unique_ptr<CardDriver> driver;
  ASSERT_EQ(Load(&driver), kStatusSuccess) << why_;
  EXPECT_EQ(Ask(*driver, {kIoctlReadConfig, 0, 4, 4, kStatusAccessViolation, 0}),
            kStatusAccessViolation);
}

TEST_F(GpioCardTest, ServiceStartsOnceAndOpensItsDevicesByName) {
  sys_.AddDevice("0000:03:00.0");
  sys_.AddDevice("0000:04:00.0");
  uint32_t status = 0;
  ASSERT_EQ(CardService::Start(sys_.root(), parameters_, &status, &why_), 0) << why_;
  EXPECT_EQ(CardService::Start(sys_.root(), parameters_, &status, &why_), -1);
  EXPECT_EQ(UserDeviceName(0), "\\\\.\\NORVANEDEV");
  EXPECT_EQ(UserDeviceName(1), "\\\\.\\NORVANEDEV1");

  std::string error;
  uintptr_t first = CardService::OpenDevice("\\\\.\\NORVANEDEV", &error);
  uintptr_t second = CardService::OpenDevice("\\\\.\\norvanedev1", &error);
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_EQ(CardService::OpenDevice("\\\\.\\NORVANEDEV2", &error), 0u);
  EXPECT_EQ(error, "No such file or directory");

  sys_.WriteRegister("0000:04:00.0", 0, 0x480, 0xA0);
  uint32_t offset = 0x480, value = 0, transferred = 0;
  EXPECT_TRUE(CardService::DeviceIoControl(second, kIoctlReadWindow0, &offset, 4, &value, 4,
                                           &transferred, &status));
  EXPECT_EQ(value, 0xA0u);

  // A handle keeps its card past the stop, until it is closed.
  EXPECT_TRUE(CardService::Stop());
  EXPECT_TRUE(CardService::DeviceIoControl(second, kIoctlReadWindow0, &offset, 4, &value, 4,
                                           &transferred, &status));
  EXPECT_TRUE(CardService::CloseDevice(first));
  EXPECT_TRUE(CardService::CloseDevice(second));
  EXPECT_FALSE(CardService::CloseDevice(second));
  EXPECT_FALSE(CardService::DeviceIoControl(second, kIoctlReadWindow0, &offset, 4, &value, 4,
                                            &transferred, &status));
  EXPECT_FALSE(CardService::IsRunning());
  EXPECT_EQ(CardService::Start(sys_.root() + "/nothing", parameters_, &status, &why_), -2);
  EXPECT_EQ(status, kStatusNoSuchDevice);
}

}  // namespace
}  // namespace logrum::gpiocard
