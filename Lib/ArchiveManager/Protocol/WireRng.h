// The keystream generator that scrambles scalar fields and text on the wire.
//
// A shuffled linear congruential generator: x' = (4096 x + 150889) mod 714025,
// two steps per Next, whose results pass through a 31-word shuffle table.
// Each direction of a connection owns one instance; both ends seed theirs
// from the handshake (Handshake.h) and must then consume draws in exactly the
// same order, so every field codec documents how many draws it takes.
//
// Thread safety: none; an instance belongs to one direction of one connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace logrum::protocol {

class WireRng {
 public:
  static constexpr uint32_t kMultiplier = 4096;
  static constexpr uint32_t kIncrement = 150889;
  static constexpr uint32_t kModulus = 714025;
  static constexpr int kTableSize = 31;

  // Starts as Seed(0).
  WireRng();

  // Two generator steps packed into one word (low halves of both states).
  uint32_t Next();
  // x = s mod m, then refills the shuffle table with 31 Next results.
  void Seed(uint32_t s);
  // One shuffled value: Next picks a table slot, the old slot value is returned.
  uint32_t Draw();
  // XORs n bytes of src into dst (they may be the same buffer). Consumes
  // n / 4 + 1 draws: one per whole word and always one for the tail, so an
  // empty buffer still consumes a draw.
  void Apply(void* dst, const void* src, size_t n);

  bool operator==(const WireRng&) const = default;

 private:
  uint32_t x_ = 0;
  uint32_t table_[kTableSize] = {};
};

}  // namespace logrum::protocol
