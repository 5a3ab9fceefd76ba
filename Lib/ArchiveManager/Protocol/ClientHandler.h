// The request interface a connection implements: ServerDec decodes each
// client message and calls the matching operation here.
//
// Slot order is part of the contract; do not reorder. Every request operation
// returns false to close the connection. Texts are zero-terminated, at most 31
// bytes, and null when the client sent an empty text; they live only for the
// duration of the call.
//
// Thread safety: called on the connection's own task thread only.
#pragma once

#include <cstdint>

namespace logrum::protocol {

class ClientHandler {
 public:
  virtual ~ClientHandler() = default;

  // A text longer than its field allows arrived; `field` is its name
  // ("szArchiveName", "szUser", "szPass"). Refuses: returns false.
  virtual bool OnStringTooLong(const char* field, uint32_t length, uint32_t max) = 0;
  virtual bool AttachToArchive(const char* name) = 0;
  virtual bool GetServerVersion() = 0;
  virtual bool LoginUser(const char* user, const char* password) = 0;
  virtual bool Ping() = 0;
  virtual bool Pong() = 0;
  // time: a segment's start, linear time; offset and duration in milliseconds.
  virtual bool RequestArchiveAudio(int64_t time, uint32_t offset_ms, uint32_t duration_ms) = 0;
  // from and to: linear times; segments with from <= start < to.
  virtual bool RequestArchiveIndex(int64_t from, int64_t to) = 0;
  // kind 1 (kListRecordings): archives with the recordings right; other: the live right.
  virtual bool RequestArchiveList(int32_t kind) = 0;
  virtual bool RequestLiveAudio() = 0;
  virtual bool RequestStatus() = 0;
  // After a successful handshake; returning false ends the connection.
  virtual bool OnConnect() = 0;
  // Two slots kept free in the table.
  virtual void Reserved1() {}
  virtual void Reserved2() {}
  // The connection ends (after OnConnect succeeded).
  virtual void OnDisconnect() = 0;
  // No client data for the idle time-out; sends Ping and returns its result.
  virtual bool OnIdle() = 0;
};

}  // namespace logrum::protocol
