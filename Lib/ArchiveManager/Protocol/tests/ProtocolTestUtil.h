// Helpers shared by the protocol tests.
#pragma once

#include <string>
#include <vector>

#include "Lib/ArchiveManager/Protocol/ClientDec.h"
#include "Lib/ArchiveManager/Protocol/ClientHandler.h"

namespace logrum::protocol::testing {

// Records every request as one line of text; answers with `result`.
class RecordingHandler : public ClientHandler {
 public:
  std::vector<std::string> calls;
  bool result = true;

  bool OnStringTooLong(const char* field, uint32_t length, uint32_t max) override {
    return Record("OnStringTooLong(" + std::string(field) + "," + std::to_string(length) + "," +
                  std::to_string(max) + ")", false);
  }
  bool AttachToArchive(const char* name) override {
    return Record("AttachToArchive(" + Text(name) + ")");
  }
  bool GetServerVersion() override { return Record("GetServerVersion()"); }
  bool LoginUser(const char* user, const char* password) override {
    return Record("LoginUser(" + Text(user) + "," + Text(password) + ")");
  }
  bool Ping() override { return Record("Ping()"); }
  bool Pong() override { return Record("Pong()"); }
  bool RequestArchiveAudio(int64_t time, uint32_t offset_ms, uint32_t duration_ms) override {
    return Record("RequestArchiveAudio(" + std::to_string(time) + "," + std::to_string(offset_ms) +
                  "," + std::to_string(duration_ms) + ")");
  }
  bool RequestArchiveIndex(int64_t from, int64_t to) override {
    return Record("RequestArchiveIndex(" + std::to_string(from) + "," + std::to_string(to) + ")");
  }
  bool RequestArchiveList(int32_t kind) override {
    return Record("RequestArchiveList(" + std::to_string(kind) + ")");
  }
  bool RequestLiveAudio() override { return Record("RequestLiveAudio()"); }
  bool RequestStatus() override { return Record("RequestStatus()"); }
  bool OnConnect() override { return Record("OnConnect()"); }
  void OnDisconnect() override { Record("OnDisconnect()"); }
  bool OnIdle() override { return Record("OnIdle()"); }

 private:
  static std::string Text(const char* s) { return s ? "\"" + std::string(s) + "\"" : "null"; }
  bool Record(std::string call) { return Record(std::move(call), result); }
  bool Record(std::string call, bool answer) {
    calls.push_back(std::move(call));
    return answer;
  }
};

// One message of every server-to-client identifier, with field values that
// exercise signs, extremes and empty texts.
inline std::vector<ServerMessage> EveryServerMessage() {
  std::vector<ServerMessage> all;
  auto add = [&all](ServerMsg id) -> ServerMessage& {
    all.emplace_back();
    all.back().id = id;
    return all.back();
  };
  add(ServerMsg::kArchiveIndexBegin).text = "OK";
  add(ServerMsg::kArchiveIndexEnd);
  {
    auto& m = add(ServerMsg::kArchiveIndexItem);
    m.item = {129123456780000000, 900000, true};
  }
  {
    auto& m = add(ServerMsg::kArchiveIndexNewItem);
    m.item = {-1, 0xFFFFFFFFu, false};
  }
  {
    auto& m = add(ServerMsg::kArchiveListBegin);
    m.result = 1;
    m.text = "Unable to retrive user's archive rights!";
  }
  add(ServerMsg::kArchiveListEnd);
  add(ServerMsg::kArchiveListItem).text = std::string(31, 'N');
  {
    auto& m = add(ServerMsg::kArchiveStatusError);
    m.result = -7;
    m.text = std::string(256, 'x');  // the longest text allowed
  }
  {
    auto& m = add(ServerMsg::kArchiveStatus);
    m.status = {0xFFFFFFFFFFFFFFFFull, 1000000, 3, -32768, 32767};
  }
  add(ServerMsg::kAttachToArchiveResult).text = "";  // an empty text takes no draw
  {
    auto& m = add(ServerMsg::kAudioBegin);
    m.audio = {129123456780000000, 128, 44100, 2, 1152 * 2, 834, true, false};
  }
  {
    auto& m = add(ServerMsg::kAudioData);
    for (int i = 0; i < 1100; ++i) m.data.push_back(static_cast<uint8_t>(i * 7));
  }
  add(ServerMsg::kAudioData);  // an empty block
  add(ServerMsg::kAudioEnd);
  {
    auto& m = add(ServerMsg::kAudioError);
    m.result = 4;
    m.text = "Your connection cannot support the data rate required for this live stream!";
  }
  {
    auto& m = add(ServerMsg::kConnectResult);
    m.result = 2;
    m.text = "Login failed!";
  }
  add(ServerMsg::kPing);
  add(ServerMsg::kPong);
  add(ServerMsg::kServerVersionResult).version = {2, 5, 9, 250};
  return all;
}

}  // namespace logrum::protocol::testing
