#include "Lib/ArchiveManager/Protocol/WireFormat.h"

#include <cstring>

namespace logrum::protocol {

namespace {

template <typename T>
void StoreLittle(T value, uint8_t* out) {
  for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename T>
T LoadLittle(const uint8_t* in) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(in[i]) << (8 * i));
  return value;
}

}  // namespace

template <typename T>
void FieldWriter::Scalar(uint8_t tag, T value) {
  uint8_t bytes[sizeof(T)];
  StoreLittle(value, bytes);
  rng_.Apply(bytes, bytes, sizeof bytes);
  out_.push_back(static_cast<char>(tag));
  out_.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

template void FieldWriter::Scalar<uint8_t>(uint8_t, uint8_t);
template void FieldWriter::Scalar<uint16_t>(uint8_t, uint16_t);
template void FieldWriter::Scalar<uint32_t>(uint8_t, uint32_t);
template void FieldWriter::Scalar<uint64_t>(uint8_t, uint64_t);

void FieldWriter::PutLength(uint32_t n) {
  uint8_t bytes[4];
  StoreLittle(n, bytes);
  out_.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void FieldWriter::Text(std::string_view text, TextDirection direction) {
  out_.push_back(static_cast<char>(kTagString));
  PutLength(static_cast<uint32_t>(text.size()));
  if (text.empty() && direction == TextDirection::kServerToClient) return;
  const size_t at = out_.size();
  out_.append(text);
  rng_.Apply(out_.data() + at, out_.data() + at, text.size());
}

void FieldWriter::Bytes(const void* data, uint32_t n) {
  out_.push_back(static_cast<char>(kTagBytes));
  PutLength(n);
  if (n != 0) out_.append(static_cast<const char*>(data), n);
}

bool FieldReader::Tag(uint8_t expected) {
  uint8_t tag;
  return reader_.Read(&tag, 1) && tag == expected;
}

template <typename T>
bool FieldReader::Scalar(uint8_t tag, T* value) {
  uint8_t bytes[sizeof(T)];
  if (!Tag(tag) || !reader_.Read(bytes, sizeof bytes)) return false;
  rng_.Apply(bytes, bytes, sizeof bytes);
  *value = LoadLittle<T>(bytes);
  return true;
}

bool FieldReader::Flag(bool* v) {
  uint8_t byte;
  if (!Scalar(kTagFlag, &byte)) return false;
  *v = byte != 0;
  return true;
}
bool FieldReader::UInt8(uint8_t* v) { return Scalar(kTagUInt8, v); }
bool FieldReader::Int16(int16_t* v) {
  uint16_t raw;
  if (!Scalar(kTagInt16, &raw)) return false;
  *v = static_cast<int16_t>(raw);
  return true;
}
bool FieldReader::Int32(int32_t* v) {
  uint32_t raw;
  if (!Scalar(kTagInt32, &raw)) return false;
  *v = static_cast<int32_t>(raw);
  return true;
}
bool FieldReader::UInt32(uint32_t* v) { return Scalar(kTagUInt32, v); }
bool FieldReader::Int64(int64_t* v) {
  uint64_t raw;
  if (!Scalar(kTagInt64, &raw)) return false;
  *v = static_cast<int64_t>(raw);
  return true;
}
bool FieldReader::UInt64(uint64_t* v) { return Scalar(kTagUInt64, v); }

FieldResult FieldReader::Text(char* buffer, uint32_t max, uint32_t* length,
                              TextDirection direction) {
  uint8_t raw[4];
  if (!Tag(kTagString) || !reader_.Read(raw, sizeof raw)) return FieldResult::kFailed;
  const uint32_t n = LoadLittle<uint32_t>(raw);
  *length = n;
  // Checked before anything is read or allocated: the length is the peer's word.
  if (n > max) return FieldResult::kTooLong;
  if (!reader_.Read(buffer, n)) return FieldResult::kFailed;
  buffer[n] = '\0';
  if (n != 0 || direction == TextDirection::kClientToServer) rng_.Apply(buffer, buffer, n);
  return FieldResult::kOk;
}

FieldResult FieldReader::Bytes(uint8_t* buffer, uint32_t max, uint32_t* length) {
  uint8_t raw[4];
  if (!Tag(kTagBytes) || !reader_.Read(raw, sizeof raw)) return FieldResult::kFailed;
  const uint32_t n = LoadLittle<uint32_t>(raw);
  *length = n;
  if (n > max) return FieldResult::kTooLong;
  return reader_.Read(buffer, n) ? FieldResult::kOk : FieldResult::kFailed;
}

}  // namespace logrum::protocol
