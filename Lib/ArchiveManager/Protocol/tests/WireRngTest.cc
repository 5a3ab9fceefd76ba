#include "Lib/ArchiveManager/Protocol/WireRng.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace logrum::protocol {
namespace {

// The generator written out the long way, in 64-bit arithmetic, as a check of
// the 32-bit implementation.
struct ReferenceRng {
  uint64_t x = 0;
  uint64_t t[31] = {};
  uint32_t Next() {
    const uint64_t x1 = (4096 * x + 150889) % 714025;
    const uint64_t x2 = (4096 * x1 + 150889) % 714025;
    x = x2;
    return static_cast<uint32_t>((x1 & 0xFFFF) << 16 | (x2 & 0xFFFF));
  }
  void Seed(uint32_t s) {
    x = s % 714025;
    for (auto& slot : t) slot = Next();
  }
  uint32_t Draw() {
    const uint32_t v = Next();
    const uint32_t r = static_cast<uint32_t>(t[v % 31]);
    t[v % 31] = v;
    return r;
  }
};

TEST(WireRngTest, MatchesTheGeneratorDefinitionForSeveralSeeds) {
  {
    WireRng fresh;
    ReferenceRng ref;
    ref.Seed(0);
    // A new generator is the same as one seeded with 0.
    WireRng g;
    g.Seed(0);
    EXPECT_EQ(fresh, g);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(fresh.Draw(), ref.Draw()) << i;
  }
  for (uint32_t seed : {1u, 714024u, 714025u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
    WireRng g;
    ReferenceRng ref;
    g.Seed(seed);
    ref.Seed(seed);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(g.Draw(), ref.Draw()) << seed << " draw " << i;
  }
}

TEST(WireRngTest, ApplyConsumesOneDrawPerWordPlusOneAndIsItsOwnInverse) {
  for (size_t n = 0; n <= 13; ++n) {
    WireRng g, counter;
    g.Seed(42);
    counter.Seed(42);
    std::vector<uint8_t> plain(n), scrambled(n);
    for (size_t i = 0; i < n; ++i) plain[i] = static_cast<uint8_t>(i * 37 + 1);
    g.Apply(scrambled.data(), plain.data(), n);
    // Expected keystream bytes, drawn by hand.
    std::vector<uint8_t> expected(n);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const uint32_t r = counter.Draw();
      for (int b = 0; b < 4; ++b) expected[i + b] = plain[i + b] ^ static_cast<uint8_t>(r >> (8 * b));
    }
    const uint32_t tail = counter.Draw();
    for (int b = 0; i < n; ++i, ++b) expected[i] = plain[i] ^ static_cast<uint8_t>(tail >> (8 * b));
    EXPECT_EQ(scrambled, expected) << n;
    EXPECT_EQ(g, counter) << "bytes " << n << " must take " << n / 4 + 1 << " draws";

    WireRng back;
    back.Seed(42);
    back.Apply(scrambled.data(), scrambled.data(), n);  // in place
    EXPECT_EQ(scrambled, plain) << n;
  }
}

}  // namespace
}  // namespace logrum::protocol
