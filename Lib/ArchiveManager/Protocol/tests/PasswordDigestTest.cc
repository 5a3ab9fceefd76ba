#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"

#include <gtest/gtest.h>
#include <nettle/ripemd160.h>

#include <cstdint>

namespace logrum::protocol {
namespace {

// The text computed the slow way: a 160-bit string, bit k = bit k%32 of word k/32.
std::string ReferenceText(const std::string& hashed_input) {
  ripemd160_ctx ctx;
  ripemd160_init(&ctx);
  ripemd160_update(&ctx, hashed_input.size(), reinterpret_cast<const uint8_t*>(hashed_input.data()));
  uint8_t d[20];
  ripemd160_digest(&ctx, 20, d);
  std::string bits;
  for (int word = 0; word < 5; ++word) {
    const uint32_t w = uint32_t{d[4 * word]} | uint32_t{d[4 * word + 1]} << 8 |
                       uint32_t{d[4 * word + 2]} << 16 | uint32_t{d[4 * word + 3]} << 24;
    for (int b = 0; b < 32; ++b) bits.push_back(static_cast<char>((w >> b) & 1));
  }
  std::string text;
  for (int g = 0; g < 26; ++g) {
    int v = 0;
    for (int j = 0; j < 6; ++j) v += bits[6 * g + j] << j;
    text.push_back(kDigestAlphabet[v]);
  }
  const int last = bits[156] + 2 * bits[157] + 4 * bits[158] + 8 * bits[159] +
                   16 * (bits[64] + 2 * bits[65]);
  text.push_back(kDigestAlphabet[last]);
  return text;
}

TEST(PasswordDigestTest, IsRipemdOfSaltUserPasswordInTheSixBitAlphabet) {
  for (auto [user, password] : {std::pair{"admin", "secret"}, {"", ""}, {"Studio", "x"}}) {
    std::string lower_user = user, lower_password = password;
    for (char& c : lower_user) c = static_cast<char>(std::tolower(c));
    const std::string text = PasswordDigestText(user, password);
    EXPECT_EQ(text.size(), kDigestTextLength);
    EXPECT_EQ(text, ReferenceText(std::string(kDigestSalt) + lower_user + lower_password)) << user;
  }
  // Fixed value: a change of salt, alphabet or bit order would lock every user out.
  EXPECT_EQ(PasswordDigestText("admin", "secret"), "Q/fVQXkdl/Jd/J8mCymW/7OOZyN");
  EXPECT_EQ(PasswordDigestText("", ""), "kj51eCm3r1oKVq1JkiI/3H5584n");
}

TEST(PasswordDigestTest, IgnoresLetterCaseIncludingBeyondAscii) {
  EXPECT_EQ(PasswordDigestText("Admin", "SeCrEt"), PasswordDigestText("admin", "secret"));
  EXPECT_EQ(PasswordDigestText("JÜRGEN", "ÄÖÜ"), PasswordDigestText("jürgen", "äöü"));
  EXPECT_NE(PasswordDigestText("admin", "secret"), PasswordDigestText("admin", "secret "));
  // Name and password are hashed back to back, without a separator.
  EXPECT_EQ(PasswordDigestText("admin", "secret"), PasswordDigestText("admi", "nsecret"));
}

TEST(PasswordDigestTest, LowerCaseKeepsInvalidUtf8Bytes) {
  EXPECT_EQ(LowerCaseText("AbC\xC3\x84"), "abc\xC3\xA4");
  EXPECT_EQ(LowerCaseText("A\xFF" "B\xC3"), "a\xFF" "b\xC3");
}

}  // namespace
}  // namespace logrum::protocol
