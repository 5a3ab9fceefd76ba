#include "Lib/ArchiveManager/Protocol/Messages.h"

namespace logrum::protocol {

const char* ServerMsgName(ServerMsg id) {
  static constexpr const char* kNames[kServerMsgCount] = {
      "ArchiveIndexBegin", "ArchiveIndexEnd",    "ArchiveIndexItem",      "ArchiveIndexNewItem",
      "ArchiveListBegin",  "ArchiveListEnd",     "ArchiveListItem",       "ArchiveStatusError",
      "ArchiveStatus",     "AttachToArchiveResult", "AudioBegin",         "AudioData",
      "AudioEnd",          "AudioError",         "ConnectResult",         "Ping",
      "Pong",              "ServerVersionResult",
  };
  const auto i = static_cast<unsigned>(id);
  return i < kServerMsgCount ? kNames[i] : "?";
}

const char* ClientMsgName(ClientMsg id) {
  static constexpr const char* kNames[kClientMsgCount] = {
      "AttachToArchive",     "GetServerVersion",    "LoginUser",          "Ping",
      "Pong",                "RequestArchiveAudio", "RequestArchiveIndex", "RequestArchiveList",
      "RequestLiveAudio",    "RequestStatus",
  };
  const auto i = static_cast<unsigned>(id);
  return i < kClientMsgCount ? kNames[i] : "?";
}

}  // namespace logrum::protocol
