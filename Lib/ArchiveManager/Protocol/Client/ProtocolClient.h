// A blocking client of the archive server's protocol: one TCP connection, the
// client handshake, and one call per request that returns when its answer is
// complete. Used by logrum-client and by the server's tests.
//
// Every call returns a ClientStatus: ok; refused (the server answered with a
// non-zero result code, its text kept, the connection still usable); or failed
// (the connection broke, timed out or the server broke the protocol; the
// connection is closed and every later call fails at once).
//
// Streams (archived audio, live audio, status) are handed to a callback; when
// it asks to stop, the client sends Ping, which ends the server's stream, and
// reads up to the Pong so that the connection is ready for the next request.
// Unrequested Ping messages from an idle server are skipped.
//
// Thread safety: none; one thread uses a client at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Protocol/ClientDec.h"
#include "Lib/ArchiveManager/Protocol/ServerEnc.h"
#include "Lib/ArchiveManager/Protocol/SocketStream.h"

namespace logrum::protocol {

class ClientStatus {
 public:
  enum class Kind { kOk, kRefused, kFailed };

  static ClientStatus Ok() { return ClientStatus(Kind::kOk, 0, {}); }
  static ClientStatus Refused(int32_t result, std::string text) {
    return ClientStatus(Kind::kRefused, result, std::move(text));
  }
  static ClientStatus Failed(std::string text) { return ClientStatus(Kind::kFailed, 0, std::move(text)); }

  bool ok() const { return kind_ == Kind::kOk; }
  bool refused() const { return kind_ == Kind::kRefused; }
  bool failed() const { return kind_ == Kind::kFailed; }
  Kind kind() const { return kind_; }
  int32_t result() const { return result_; }        // the server's code when refused
  const std::string& message() const { return text_; }  // the server's text, or the failure
  // "Login failed! (code 2)", "connection closed by the server", "OK".
  std::string ToString() const;

 private:
  ClientStatus(Kind kind, int32_t result, std::string text)
      : kind_(kind), result_(result), text_(std::move(text)) {}
  Kind kind_;
  int32_t result_;
  std::string text_;
};

// Receives an audio stream. Returning false from either call stops the stream.
class AudioReceiver {
 public:
  virtual ~AudioReceiver() = default;
  virtual bool OnAudioBegin(const AudioFormatInfo& format) = 0;
  virtual bool OnAudioData(const uint8_t* data, size_t size) = 0;
};

struct ClientOptions {
  uint32_t connect_timeout_ms = 10000;
  // Longest silence of the server while an answer is awaited.
  uint32_t answer_timeout_ms = 30000;
  // Local IPv4 address to connect from; "" = any.
  std::string local_address;
  // Socket receive buffer in bytes; 0 = the system's.
  uint32_t receive_buffer = 0;
};

class ProtocolClient {
 public:
  ProtocolClient();
  ~ProtocolClient();
  ProtocolClient(const ProtocolClient&) = delete;
  ProtocolClient& operator=(const ProtocolClient&) = delete;

  // Connects and runs the handshake.
  ClientStatus Connect(const std::string& host, uint16_t port, const ClientOptions& options = {});
  void Close();
  bool connected() const;

  ClientStatus GetServerVersion(ServerVersion* version);
  // `password` is the digest text (PasswordDigest.h), which is what the server
  // keeps; LoginWithPassword computes it from the plain password.
  ClientStatus Login(const std::string& user, const std::string& password);
  ClientStatus LoginWithPassword(const std::string& user, const std::string& plain_password);
  // kind: kListRecordings or kListLive.
  ClientStatus ListArchives(int32_t kind, std::vector<std::string>* archives);
  ClientStatus Attach(const std::string& archive);
  // Segments with from <= start < to (linear times).
  ClientStatus GetIndex(int64_t from, int64_t to, std::vector<IndexItem>* items);
  // A stretch of one segment; the receiver gets AudioBegin and every block.
  ClientStatus PlayArchive(int64_t segment_start, uint32_t offset_ms, uint32_t duration_ms,
                           AudioReceiver& receiver);
  // The live stream, until the receiver stops it or the server ends it.
  ClientStatus PlayLive(AudioReceiver& receiver);
  // Status reports until `on_status` returns false.
  ClientStatus FollowStatus(const std::function<bool(const ArchiveStatusInfo&)>& on_status);
  // Ping and wait for the Pong.
  ClientStatus Ping();

 private:
  ClientStatus Fail(std::string why);
  ClientStatus Send(bool sent);
  // Next message other than an unrequested Ping.
  ClientStatus Receive(ServerMessage* message);
  ClientStatus Expect(ServerMsg id, ServerMessage* message);
  ClientStatus Unexpected(const ServerMessage& message);
  // Sends Ping and reads everything up to its Pong.
  ClientStatus StopStream();
  ClientStatus ReceiveAudio(AudioReceiver& receiver);

  SocketStream stream_;
  std::unique_ptr<ServerEnc> enc_;
  WireRng dec_rng_;
  ServerMessage message_;
  ClientOptions options_;
};

}  // namespace logrum::protocol
