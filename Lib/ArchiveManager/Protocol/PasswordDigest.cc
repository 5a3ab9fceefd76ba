#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"

#include <locale.h>
#include <nettle/ripemd160.h>
#include <wctype.h>

#include <cstdint>

namespace logrum::protocol {

static_assert(kDigestSalt.size() == 8);
static_assert(kDigestAlphabet.size() == 64);

namespace {

// Decodes one UTF-8 sequence at text[i]; returns its length, 0 when invalid.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* cp) {
  const auto b0 = static_cast<uint8_t>(text[i]);
  size_t n;
  char32_t v;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    n = 2, v = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, v = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, v = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const auto b = static_cast<uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    v = v << 6 | (b & 0x3F);
  }
  static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

void EncodeUtf8(char32_t v, std::string* out) {
  if (v < 0x80) {
    out->push_back(static_cast<char>(v));
  } else if (v < 0x800) {
    out->push_back(static_cast<char>(0xC0 | v >> 6));
    out->push_back(static_cast<char>(0x80 | (v & 0x3F)));
  } else if (v < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | v >> 12));
    out->push_back(static_cast<char>(0x80 | (v >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (v & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | v >> 18));
    out->push_back(static_cast<char>(0x80 | (v >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (v >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (v & 0x3F)));
  }
}

// The case mapping must not depend on the process's locale settings, or two
// programs could disagree on a digest: always the C.UTF-8 character tables.
locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

char32_t Lower(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + ('a' - 'A');
  if (c < 0x80) return c;
  const locale_t locale = Utf8Locale();
  if (!locale) return c;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale));
}

}  // namespace

std::string LowerCaseText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    const size_t n = DecodeUtf8(text, i, &cp);
    if (n == 0) {
      out.push_back(text[i]);
      ++i;
      continue;
    }
    EncodeUtf8(Lower(cp), &out);
    i += n;
  }
  return out;
}

std::string PasswordDigestText(std::string_view user, std::string_view password) {
  const std::string lower_user = LowerCaseText(user);
  const std::string lower_password = LowerCaseText(password);
  ripemd160_ctx ctx;
  ripemd160_init(&ctx);
  ripemd160_update(&ctx, kDigestSalt.size(), reinterpret_cast<const uint8_t*>(kDigestSalt.data()));
  ripemd160_update(&ctx, lower_user.size(), reinterpret_cast<const uint8_t*>(lower_user.data()));
  ripemd160_update(&ctx, lower_password.size(),
                   reinterpret_cast<const uint8_t*>(lower_password.data()));
  uint8_t digest[RIPEMD160_DIGEST_SIZE];
  ripemd160_digest(&ctx, sizeof digest, digest);

  uint32_t w[5];
  for (int i = 0; i < 5; ++i) {
    w[i] = uint32_t{digest[4 * i]} | uint32_t{digest[4 * i + 1]} << 8 |
           uint32_t{digest[4 * i + 2]} << 16 | uint32_t{digest[4 * i + 3]} << 24;
  }
  auto bit = [&w](int k) { return (w[k / 32] >> (k % 32)) & 1u; };

  std::string text;
  text.reserve(kDigestTextLength);
  for (int g = 0; g < 26; ++g) {
    uint32_t value = 0;
    for (int j = 0; j < 6; ++j) value |= bit(6 * g + j) << j;
    text.push_back(kDigestAlphabet[value]);
  }
  text.push_back(kDigestAlphabet[(w[4] >> 28) + 16 * (w[2] & 3u)]);
  return text;
}

}  // namespace logrum::protocol
