// The weekly recording schedule of one archive.
//
// An event is a description and a 12-byte record of three 32-bit little-endian
// integers: time of day in seconds after local midnight (0-86399), action
// (0 start, 1 stop; other values never decide) and day mask (bit 0 Monday ...
// bit 6 Sunday). The list is kept sorted by time of day; events with the same
// time keep the order in which they were loaded or added.
//
// Stored below an archive's key as Schedule\EventCount, "Desc%3.3d" (string)
// and "Data%3.3d" (binary), numbered from 1 (ScheduleStore.h).
//
// Thread safety: none; the server program uses a schedule on its UI thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace logrum::server {

struct ScheduleEvent {
  static constexpr size_t kRecordSize = 12;
  static constexpr size_t kMaxDescription = 63;
  enum Action : int32_t { kStart = 0, kStop = 1 };

  std::string description;  // at most 63 characters
  int32_t time_of_day = 0;  // seconds after midnight, local time
  int32_t action = kStart;
  int32_t day_mask = 0;     // bit 0 Monday ... bit 6 Sunday

  std::array<uint8_t, kRecordSize> Record() const;
  // A record shorter than 12 bytes leaves its missing fields 0: a day mask of
  // 0 never fires, so a damaged event stays visible but harmless.
  static ScheduleEvent FromRecord(std::string description, std::span<const uint8_t> record);
};

// Day bit of a weekday counted from Sunday = 0 (as struct tm): Monday is bit 0.
int DayBit(int weekday);

struct ScheduleDecision {
  bool on = false;
  std::string event;  // the deciding event's description, or "<no_event>"
};

class Schedule {
 public:
  const std::vector<ScheduleEvent>& events() const { return events_; }
  size_t size() const { return events_.size(); }

  void Clear() { events_.clear(); }
  // Appends and re-sorts; the description is cut to 63 characters.
  void Add(ScheduleEvent event);
  // Removes the event at `index` (in list order); false when out of range.
  bool Remove(size_t index);

  // Whether recording is on at a local time (weekday 0 = Sunday), decided by
  // the latest event that applies, looking back over today and seven days.
  ScheduleDecision Evaluate(int weekday, int hour, int minute, int second) const;

 private:
  void Sort();
  std::vector<ScheduleEvent> events_;
};

}  // namespace logrum::server
