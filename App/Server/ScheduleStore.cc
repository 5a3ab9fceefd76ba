#include "App/Server/ScheduleStore.h"

#include <cstdio>

#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::server {
namespace {

std::string Numbered(const char* prefix, int n) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%3.3d", prefix, n);
  return name;
}

}  // namespace

bool LoadSchedule(platform::Registry* store, std::string_view key_path, Schedule* schedule) {
  schedule->Clear();
  kit::OptionsReg values(false, store);
  values.set_trace(false);
  if (!values.Read(key_path)) return false;
  int32_t count = values.GetInteger("EventCount");
  // A damaged count must not send us through billions of lookups.
  int64_t limit = std::min<int64_t>(count, static_cast<int64_t>(values.map().size()));
  for (int n = 1; n <= limit; ++n) {
    const char* description = values.GetString(Numbered("Desc", n));
    const std::string* record = values.GetBinary(Numbered("Data", n));
    if (description == nullptr || record == nullptr) continue;
    schedule->Add(ScheduleEvent::FromRecord(
        description, std::span(reinterpret_cast<const uint8_t*>(record->data()), record->size())));
  }
  return true;
}

bool SaveSchedule(platform::Registry* store, std::string_view key_path, const Schedule& schedule) {
  kit::OptionsReg values(false, store);
  values.set_trace(false);
  int n = 0;
  for (const ScheduleEvent& event : schedule.events()) {
    ++n;
    auto record = event.Record();
    values.SetString(Numbered("Desc", n), event.description);
    values.SetBinary(Numbered("Data", n),
                     std::string_view(reinterpret_cast<const char*>(record.data()), record.size()));
  }
  values.SetInteger("EventCount", n);
  return values.Save(key_path);
}

}  // namespace logrum::server
