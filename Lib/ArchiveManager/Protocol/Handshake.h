// The connection handshake: three 12-byte records ("IRPC" and two 32-bit
// little-endian words) that prove both ends run the same generator and agree
// the seeds of the two scrambling generators.
//
//   client -> server   "IRPC", S, K       K = first Draw after Seed(S)
//   server -> client   "IRPC", B, R       B = first Draw after Seed(K); R random
//   client -> server   "IRPC", D, E       D, E, F = three Draws after Seed(R)
//
// Then client-to-server traffic is scrambled with Seed(F) and server-to-client
// traffic with Seed(A), A being the third Draw after Seed(K).
//
// The server sends nothing unless the first record is right, and the whole
// of each record must arrive within the time-out.
//
// Thread safety: the functions keep no state.
#pragma once

#include <cstdint>

#include "Lib/ArchiveManager/Protocol/Stream.h"

namespace logrum::protocol {

struct HandshakeSeeds {
  uint32_t client_to_server = 0;  // F: the server's decoder, the client's encoder
  uint32_t server_to_client = 0;  // A: the server's encoder, the client's decoder
};

// Derivations shared by both sides and by tests.
uint32_t HandshakeCheckWord(uint32_t s);   // K from S
uint32_t HandshakeServerWord(uint32_t k);  // B from K
uint32_t HandshakeEncoderSeed(uint32_t k); // A from K
void HandshakeReplyWords(uint32_t r, uint32_t* d, uint32_t* e, uint32_t* f);

enum class HandshakeResult {
  kOk,
  kTimeout,    // a record did not arrive whole in time
  kIoError,    // a read or the send failed (peer closed included)
  kBadMagic,   // a record did not start with "IRPC"
  kBadCheck,   // a check word was wrong
};
const char* HandshakeResultText(HandshakeResult result);

// Server side. `tick_ms` seeds the server's random word (the system tick count).
HandshakeResult ServerHandshake(StreamReader& reader, StreamWriter& writer, uint32_t tick_ms,
                                uint32_t timeout_ms, HandshakeSeeds* seeds);

// Client side. `client_seed` is S, any value.
HandshakeResult ClientHandshake(StreamReader& reader, StreamWriter& writer, uint32_t client_seed,
                                uint32_t timeout_ms, HandshakeSeeds* seeds);

}  // namespace logrum::protocol
