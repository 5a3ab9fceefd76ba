#include "External/TraceProvider/TraceSpec.h"

#include <gtest/gtest.h>

namespace logrum::traceprov {
namespace {

TEST(TraceSpecTest, SelectsChannelsByModuleAndUnit) {
  struct Case {
    const char* text;
    uint32_t channel;
    bool enabled;
  };
  const Case cases[] = {
      {"", 0x0A510001, false},
      {"all", 0x12340005, true},
      {"*", 0x00000000, true},
      {"0A51:*", 0x0A51FFFF, true},
      {"0a51", 0x0A510036, true},
      {"0A51", 0x0F700021, false},
      {"0F70:33", 0x0F700021, true},  // unit numbers are decimal
      {"0F70:33", 0x0F700033, false},
      {"0A51:1, 0F70:33", 0x0A510001, true},
      {"0A51:1 0F70:33", 0x0F700021, true},
      {"0A51:1,,0F70:33", 0x0A510002, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> rejected;
    TraceSpec spec = ParseTraceSpec(c.text, &rejected);
    EXPECT_EQ(spec.IsChannelEnabled(c.channel), c.enabled) << c.text << " " << std::hex << c.channel;
    EXPECT_TRUE(rejected.empty()) << c.text;
  }
}

TEST(TraceSpecTest, LeavesOutEntriesItCannotRead) {
  std::vector<std::string> rejected;
  TraceSpec spec = ParseTraceSpec("xyz,0A51:abc,12345:1,0A51:70000,0F70:33", &rejected);
  EXPECT_EQ(rejected.size(), 4u);
  EXPECT_FALSE(spec.all);
  EXPECT_TRUE(spec.modules.empty());
  EXPECT_EQ(spec.channels.size(), 1u);
  EXPECT_TRUE(spec.IsChannelEnabled(0x0F700021));
  EXPECT_NE(rejected[0].find("xyz"), std::string::npos);
}

}  // namespace
}  // namespace logrum::traceprov
