// The message set of the client protocol: identifiers, field tags, limits and
// the fixed answer texts. docs/protocol.md describes the wire form in full.
//
// A message is one plain identifier byte and then its fields in fixed order;
// a field is one plain tag byte and its value. Scalars and text are scrambled
// with the direction's WireRng; lengths, tags and audio bytes are not.
#pragma once

#include <cstdint>

namespace logrum::protocol {

// Server-to-client messages, written by ClientEnc.
enum class ServerMsg : uint8_t {
  kArchiveIndexBegin = 0,
  kArchiveIndexEnd = 1,
  kArchiveIndexItem = 2,
  kArchiveIndexNewItem = 3,
  kArchiveListBegin = 4,
  kArchiveListEnd = 5,
  kArchiveListItem = 6,
  kArchiveStatusError = 7,
  kArchiveStatus = 8,
  kAttachToArchiveResult = 9,
  kAudioBegin = 10,
  kAudioData = 11,
  kAudioEnd = 12,
  kAudioError = 13,
  kConnectResult = 14,
  kPing = 15,
  kPong = 16,
  kServerVersionResult = 17,
};
inline constexpr int kServerMsgCount = 18;
const char* ServerMsgName(ServerMsg id);  // "ArchiveIndexBegin", ...; "?" when unknown

// Client-to-server messages, read by ServerDec.
enum class ClientMsg : uint8_t {
  kAttachToArchive = 0,
  kGetServerVersion = 1,
  kLoginUser = 2,
  kPing = 3,
  kPong = 4,
  kRequestArchiveAudio = 5,
  kRequestArchiveIndex = 6,
  kRequestArchiveList = 7,
  kRequestLiveAudio = 8,
  kRequestStatus = 9,
};
inline constexpr int kClientMsgCount = 10;
const char* ClientMsgName(ClientMsg id);

// Field tags.
inline constexpr uint8_t kTagFlag = 'A';     // 1 byte, 0 or 1
inline constexpr uint8_t kTagUInt8 = 'C';    // 1 byte
inline constexpr uint8_t kTagInt16 = 'D';    // 2 bytes
inline constexpr uint8_t kTagInt32 = 'G';    // 4 bytes, signed
inline constexpr uint8_t kTagUInt32 = 'I';   // 4 bytes
inline constexpr uint8_t kTagInt64 = 'J';    // 8 bytes, signed (linear times)
inline constexpr uint8_t kTagUInt64 = 'K';   // 8 bytes (sizes)
inline constexpr uint8_t kTagString = 0xFF;  // 4-byte plain length, scrambled bytes
inline constexpr uint8_t kTagBytes = 0x83;   // 4-byte plain length, plain bytes

// Longest values, in bytes.
inline constexpr uint32_t kMaxMessageText = 256;  // pszMessage of every result message
inline constexpr uint32_t kMaxArchiveName = 31;   // szArchiveName, pszArchive
inline constexpr uint32_t kMaxUserName = 31;      // szUser
inline constexpr uint32_t kMaxPassword = 31;      // szPass
inline constexpr uint32_t kMaxAudioData = 1100;   // pData of AudioData

// What ServerVersionResult always carries.
inline constexpr int32_t kVersionMajor = 2;
inline constexpr int32_t kVersionMinor = 5;
inline constexpr int32_t kVersionRevision = 9;
inline constexpr int32_t kVersionBuild = 250;

// Handshake and connection timing.
inline constexpr char kHandshakeMagic[4] = {'I', 'R', 'P', 'C'};
inline constexpr uint32_t kHandshakeTimeoutMs = 10000;
inline constexpr uint32_t kIdleTimeoutMs = 5000;
inline constexpr uint16_t kDefaultPort = 9020;

// RequestArchiveList kinds: 1 lists archives with the recordings right, any
// other value those with the live right.
inline constexpr int32_t kListRecordings = 1;
inline constexpr int32_t kListLive = 0;

// Fixed answer texts.
inline constexpr const char* kTextOk = "OK";
inline constexpr const char* kTextNotAttached = "Not attached to an archive!";
inline constexpr const char* kTextArchiveNotFound = "Archive not found!";
inline constexpr const char* kTextArchiveNotActive = "Archive is not active at this time!";
inline constexpr const char* kTextLoginFailed = "Login failed!";
inline constexpr const char* kTextNoDatabase = "Unable to access database!";
inline constexpr const char* kTextNoRights = "Unable to retrive user's archive rights!";
inline constexpr const char* kTextFileOpenFailed = "File open failed! '";  // + path + "'"
inline constexpr const char* kTextNoLiveSource = "Live source is not available for this archive!";
inline constexpr const char* kTextBadEncoderData = "Invalid data received from encoder!";
inline constexpr const char* kTextTooSlow =
    "Your connection cannot support the data rate required for this live stream!";

// Result codes.
inline constexpr int32_t kResultOk = 0;
inline constexpr int32_t kAttachNotFound = 1;
inline constexpr int32_t kAttachNotActive = 2;
inline constexpr int32_t kLoginNoUser = 1;
inline constexpr int32_t kLoginWrongPassword = 2;
inline constexpr int32_t kLoginNoUsersKey = 3;
inline constexpr int32_t kIndexNotAttached = 1;
inline constexpr int32_t kIndexNoDatabase = 2;
inline constexpr int32_t kListNoRights = 1;
inline constexpr int32_t kStatusNotAttached = 1;
inline constexpr int32_t kAudioNotAttached = 1;
inline constexpr int32_t kAudioFileOpenFailed = 2;
inline constexpr int32_t kAudioNoLiveSource = 2;
inline constexpr int32_t kAudioBadEncoderData = 3;
inline constexpr int32_t kAudioTooSlow = 4;

}  // namespace logrum::protocol
