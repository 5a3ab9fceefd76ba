// Field codecs shared by the four message codecs (ClientEnc, ServerDec and the
// client side's ServerEnc, ClientDec).
//
// Draws per field, which both ends must match exactly:
//   scalar of n bytes           n / 4 + 1 draws (1- and 2-byte: 1, 4-byte: 2, 8-byte: 3)
//   text, client to server      length / 4 + 1 draws, so an empty text still takes one
//   text, server to client      length / 4 + 1 draws, but none for an empty text
//   byte array                  none (audio is sent plain)
//
// Thread safety: none; a codec instance is used under its stream's discipline.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Protocol/Stream.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {

// Which direction a text travels; it decides whether an empty text takes a draw.
enum class TextDirection { kClientToServer, kServerToClient };

// Appends one message's bytes to a buffer, scrambling with `rng`.
class FieldWriter {
 public:
  FieldWriter(WireRng& rng, std::string& out) : rng_(rng), out_(out) {}

  void Id(uint8_t id) { out_.push_back(static_cast<char>(id)); }
  void Flag(bool v) { Scalar(kTagFlag, static_cast<uint8_t>(v ? 1 : 0)); }
  void UInt8(uint8_t v) { Scalar(kTagUInt8, v); }
  void Int16(int16_t v) { Scalar(kTagInt16, static_cast<uint16_t>(v)); }
  void Int32(int32_t v) { Scalar(kTagInt32, static_cast<uint32_t>(v)); }
  void UInt32(uint32_t v) { Scalar(kTagUInt32, v); }
  void Int64(int64_t v) { Scalar(kTagInt64, static_cast<uint64_t>(v)); }
  void UInt64(uint64_t v) { Scalar(kTagUInt64, v); }
  // The caller has checked the length against the field's maximum.
  void Text(std::string_view text, TextDirection direction);
  void Bytes(const void* data, uint32_t n);

 private:
  template <typename T>
  void Scalar(uint8_t tag, T value);
  void PutLength(uint32_t n);

  WireRng& rng_;
  std::string& out_;
};

enum class FieldResult {
  kOk,
  kFailed,   // read failed (closed, error) or the tag was not the expected one
  kTooLong,  // a text or byte array longer than the field allows; nothing of it was read
};

// Reads fields of one message from a stream, unscrambling with `rng`. Every
// read blocks until its bytes arrive. Values are valid only on kOk.
class FieldReader {
 public:
  FieldReader(StreamReader& reader, WireRng& rng) : reader_(reader), rng_(rng) {}

  bool Flag(bool* v);  // any non-zero byte reads as true
  bool UInt8(uint8_t* v);
  bool Int16(int16_t* v);
  bool Int32(int32_t* v);
  bool UInt32(uint32_t* v);
  bool Int64(int64_t* v);
  bool UInt64(uint64_t* v);
  // Reads a text of at most `max` bytes into `buffer` (max + 1 bytes, zero-
  // terminated on kOk). *length receives the announced length, also on kTooLong.
  FieldResult Text(char* buffer, uint32_t max, uint32_t* length, TextDirection direction);
  FieldResult Bytes(uint8_t* buffer, uint32_t max, uint32_t* length);

 private:
  bool Tag(uint8_t expected);
  template <typename T>
  bool Scalar(uint8_t tag, T* value);

  StreamReader& reader_;
  WireRng& rng_;
};

}  // namespace logrum::protocol
