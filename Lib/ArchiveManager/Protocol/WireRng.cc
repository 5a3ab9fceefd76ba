#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {

WireRng::WireRng() { Seed(0); }

uint32_t WireRng::Next() {
  // x < m keeps a*x + c below 2^32, so 32-bit unsigned arithmetic is exact.
  const uint32_t x1 = (kMultiplier * x_ + kIncrement) % kModulus;
  const uint32_t x2 = (kMultiplier * x1 + kIncrement) % kModulus;
  x_ = x2;
  return (x1 & 0xFFFFu) << 16 | (x2 & 0xFFFFu);
}

void WireRng::Seed(uint32_t s) {
  x_ = s % kModulus;
  for (uint32_t& slot : table_) slot = Next();
}

uint32_t WireRng::Draw() {
  const uint32_t v = Next();
  uint32_t& slot = table_[v % kTableSize];
  const uint32_t result = slot;
  slot = v;
  return result;
}

void WireRng::Apply(void* dst, const void* src, size_t n) {
  auto* out = static_cast<uint8_t*>(dst);
  const auto* in = static_cast<const uint8_t*>(src);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t r = Draw();
    for (int b = 0; b < 4; ++b) out[i + b] = in[i + b] ^ static_cast<uint8_t>(r >> (8 * b));
  }
  const uint32_t r = Draw();
  for (int b = 0; i < n; ++i, ++b) out[i] = in[i] ^ static_cast<uint8_t>(r >> (8 * b));
}

}  // namespace logrum::protocol
