#include "Lib/ArchiveManager/Protocol/MessageLoop.h"

#include <algorithm>

#include "Lib/ArchiveManager/Protocol/ServerDec.h"

namespace logrum::protocol {

DeadlineReader::DeadlineReader(StreamReader& inner, uint32_t timeout_ms, TickSource tick)
    : inner_(inner),
      tick_(std::move(tick)),
      deadline_(timeout_ms == kWaitForever ? 0 : tick_() + timeout_ms),
      forever_(timeout_ms == kWaitForever) {}

uint32_t DeadlineReader::Left() {
  if (forever_) return kWaitForever;
  const uint64_t now = tick_();
  if (now >= deadline_) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(deadline_ - now, kWaitForever - 1));
}

bool DeadlineReader::Read(void* buffer, size_t n) {
  if (n == 0) return true;
  if (forever_) return inner_.Read(buffer, n);
  const uint32_t left = Left();
  if (left == 0) {
    expired_ = true;
    return false;
  }
  const WaitResult result = inner_.TimedRead(buffer, n, left);
  if (result == WaitResult::kTimeout) expired_ = true;
  return result == WaitResult::kReady;
}

WaitResult DeadlineReader::TimedRead(void* buffer, size_t n, uint32_t ms) {
  const uint32_t left = Left();
  if (left == 0 && n > 0) {
    expired_ = true;
    return WaitResult::kTimeout;
  }
  return inner_.TimedRead(buffer, n, std::min(ms, left));
}

WaitResult DeadlineReader::Wait(uint32_t ms) {
  return inner_.Wait(std::min(ms, Left()));
}

RoundResult ServeRound(StreamReader& stream, WireRng& decoder, ClientHandler& handler,
                       const RoundTimeouts& timeouts, const TickSource& tick) {
  switch (stream.Wait(timeouts.idle_ms)) {
    case WaitResult::kReady: {
      DeadlineReader message(stream, timeouts.message_ms, tick);
      if (ServerDec::Dispatch(message, decoder, handler)) return RoundResult::kServed;
      return message.expired() ? RoundResult::kMessageLate : RoundResult::kEnd;
    }
    case WaitResult::kTimeout:
      return handler.OnIdle() ? RoundResult::kIdle : RoundResult::kEnd;
    case WaitResult::kError:
      break;
  }
  return RoundResult::kEnd;
}

}  // namespace logrum::protocol
