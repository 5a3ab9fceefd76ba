// The request side of one connection: login against the registry's users,
// attachment to an archive, the archive list, the segment index, the status
// stream, and archived and live audio. Every answer goes out through the
// connection's ClientEnc.
//
// Rights are checked where data is served: the index and archived audio need
// a login with the recordings right on the attached archive, live audio the
// live right, the status stream either. A refusal is an ordinary answer
// (ArchiveIndexBegin 3, AudioError 5, ArchiveStatusError 2) and the
// connection stays open.
//
// Long answers (index, status, audio) look at the client between messages; a
// message from the client (or its close) ends them, and is then served.
//
// Thread safety: the request operations run on the connection's task thread;
// CancelStreams may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "Lib/ArchiveManager/Network/NetArchive.h"
#include "Lib/ArchiveManager/Network/NetworkSettings.h"
#include "Lib/ArchiveManager/Protocol/ClientEnc.h"
#include "Lib/ArchiveManager/Protocol/ClientHandler.h"
#include "Lib/ArchiveManager/Protocol/Stream.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/QueueReader.h"

namespace logrum::network {

inline constexpr int32_t kIndexNoRight = 3;
inline constexpr int32_t kAudioNoRight = 5;
inline constexpr int32_t kStatusNoRight = 2;
inline constexpr char kTextNoArchiveRight[] = "Access denied: no right to this archive!";
inline constexpr char kTextNoRecordingsRight[] =
    "Access denied: no right to this archive's recordings!";
inline constexpr char kTextNoLiveRight[] = "Access denied: no right to this archive's live stream!";
inline constexpr char kTextBlockTooLarge[] = "Segment blocks are too large to stream! '";
inline constexpr char kTextLiveBlockTooLarge[] =
    "Live blocks of this archive are too large to stream (shorten its live block duration)!";

class ClientHandler : public protocol::ClientHandler {
 public:
  ClientHandler(NetArchiveSource* archives, const NetworkSettings* settings);
  ~ClientHandler() override;

  // Points the handler at its connection for one client.
  void Bind(protocol::ClientEnc* enc, protocol::StreamReader* reader, uint32_t address,
            uint16_t port);
  // Wakes a live stream that waits for the encoder (connection cancel).
  void CancelStreams();

  bool OnStringTooLong(const char* field, uint32_t length, uint32_t max) override;
  bool AttachToArchive(const char* name) override;
  bool GetServerVersion() override;
  bool LoginUser(const char* user, const char* password) override;
  bool Ping() override;
  bool Pong() override;
  bool RequestArchiveAudio(int64_t time, uint32_t offset_ms, uint32_t duration_ms) override;
  bool RequestArchiveIndex(int64_t from, int64_t to) override;
  bool RequestArchiveList(int32_t kind) override;
  bool RequestLiveAudio() override;
  bool RequestStatus() override;
  bool OnConnect() override;
  void OnDisconnect() override;
  bool OnIdle() override;

  // What the connection does right now, for the server's figures; any thread.
  enum class Activity : int { kOther, kPlayback, kLive, kStatus };
  Activity activity() const { return activity_.load(std::memory_order_relaxed); }

  bool logged_in() const { return logged_in_; }
  const std::string& user() const { return user_; }

 private:
  void Reset();
  void Detach();
  // The client sent something (or closed): a long answer stops.
  bool ClientSpoke();
  // The logged-in user's rights on the attached archive include one of `bits`.
  bool HasRight(int32_t bits);
  // Marks the connection's activity for the life of a stream.
  class ActivityScope {
   public:
    ActivityScope(ClientHandler* handler, Activity activity) : handler_(handler) {
      handler_->activity_.store(activity, std::memory_order_relaxed);
    }
    ~ActivityScope() { handler_->activity_.store(Activity::kOther, std::memory_order_relaxed); }
    ActivityScope(const ActivityScope&) = delete;
    ActivityScope& operator=(const ActivityScope&) = delete;

   private:
    ClientHandler* handler_;
  };

  NetArchiveSource* const archives_;
  const NetworkSettings* const settings_;
  protocol::ClientEnc* enc_ = nullptr;
  protocol::StreamReader* reader_ = nullptr;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  bool logged_in_ = false;
  std::string user_;
  NetArchive* attached_ = nullptr;
  std::string attached_name_;
  bool counted_ = false;
  std::atomic<Activity> activity_{Activity::kOther};

  kit::Mutex live_mu_;
  kit::QueueReader* live_reader_ GUARDED_BY(live_mu_) = nullptr;  // a LiveReader
  bool cancelled_ GUARDED_BY(live_mu_) = false;
};

}  // namespace logrum::network
