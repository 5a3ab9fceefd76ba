#include "App/Server/Schedule.h"

#include <algorithm>
#include <cstring>

namespace logrum::server {
namespace {

void PutLe32(uint8_t* out, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t GetLe32(std::span<const uint8_t> bytes, size_t offset) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (offset + i < bytes.size()) v |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  }
  return static_cast<int32_t>(v);
}

}  // namespace

std::array<uint8_t, ScheduleEvent::kRecordSize> ScheduleEvent::Record() const {
  std::array<uint8_t, kRecordSize> record{};
  PutLe32(&record[0], time_of_day);
  PutLe32(&record[4], action);
  PutLe32(&record[8], day_mask);
  return record;
}

ScheduleEvent ScheduleEvent::FromRecord(std::string description,
                                        std::span<const uint8_t> record) {
  ScheduleEvent event;
  if (description.size() > kMaxDescription) description.resize(kMaxDescription);
  event.description = std::move(description);
  event.time_of_day = GetLe32(record, 0);
  event.action = GetLe32(record, 4);
  event.day_mask = GetLe32(record, 8);
  return event;
}

int DayBit(int weekday) { return weekday == 0 ? 0x40 : 1 << (weekday - 1); }

void Schedule::Add(ScheduleEvent event) {
  if (event.description.size() > ScheduleEvent::kMaxDescription) {
    event.description.resize(ScheduleEvent::kMaxDescription);
  }
  events_.push_back(std::move(event));
  Sort();
}

bool Schedule::Remove(size_t index) {
  if (index >= events_.size()) return false;
  events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

void Schedule::Sort() {
  std::stable_sort(events_.begin(), events_.end(),
                   [](const ScheduleEvent& a, const ScheduleEvent& b) {
                     return a.time_of_day < b.time_of_day;
                   });
}

ScheduleDecision Schedule::Evaluate(int weekday, int hour, int minute, int second) const {
  int32_t now = hour * 3600 + minute * 60 + second;
  int bit = DayBit(weekday);
  for (int pass = 0; pass < 8; ++pass) {
    // Latest first: among events of the same time the later one in the list decides.
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
      if ((it->day_mask & bit) == 0) continue;
      // A start counts in its own second, a stop from the second after it.
      if (it->action == ScheduleEvent::kStart && it->time_of_day <= now) {
        return {true, it->description};
      }
      if (it->action == ScheduleEvent::kStop && it->time_of_day < now) {
        return {false, it->description};
      }
    }
    now = 86400;
    bit = bit == 0x01 ? 0x40 : bit >> 1;
  }
  return {false, "<no_event>"};
}

}  // namespace logrum::server
