#include "App/Server/ScheduleStore.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>
#include <vector>

#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::server {
namespace {

std::string Numbered(const char* prefix, int n) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%3.3d", prefix, n);
  return name;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

bool LoadSchedule(platform::Registry* store, std::string_view key_path, Schedule* schedule) {
  schedule->Clear();
  kit::OptionsReg values(false, store);
  values.set_trace(false);
  if (!values.Read(key_path).ok()) return false;
  const int32_t count = values.GetInteger("EventCount");
  // The numbers that are present, up to the count: a hand-edited or imported schedule may
  // skip numbers, and a damaged count must not send us through billions of lookups.
  std::vector<int> numbers;
  values.map().ForEach([&](const std::string& name, const kit::OptionValue&) {
    if (name.size() < 7 || !EqualsIgnoringCase(std::string_view(name).substr(0, 4), "Desc")) return;
    int n = 0;
    for (char c : std::string_view(name).substr(4)) {
      if (c < '0' || c > '9' || n > 99999999) return;
      n = n * 10 + (c - '0');
    }
    if (n >= 1 && n <= count && EqualsIgnoringCase(Numbered("Desc", n), name)) numbers.push_back(n);
  });
  std::sort(numbers.begin(), numbers.end());
  for (int n : numbers) {
    const char* description = values.GetString(Numbered("Desc", n));
    const std::string* record = values.GetBinary(Numbered("Data", n));
    if (description == nullptr || record == nullptr) continue;
    schedule->Add(ScheduleEvent::FromRecord(
        description, std::span(reinterpret_cast<const uint8_t*>(record->data()), record->size())));
  }
  return true;
}

namespace {

void FillSchedule(const Schedule& schedule, kit::OptionsReg* values) {
  int n = 0;
  for (const ScheduleEvent& event : schedule.events()) {
    ++n;
    auto record = event.Record();
    values->SetString(Numbered("Desc", n), event.description);
    values->SetBinary(Numbered("Data", n),
                      std::string_view(reinterpret_cast<const char*>(record.data()), record.size()));
  }
  values->SetInteger("EventCount", n);
}

}  // namespace

platform::Status SaveScheduleIn(platform::RegistryTxn& txn, std::string_view key_path,
                                   const Schedule& schedule) {
  kit::OptionsReg values(false, nullptr);
  values.set_trace(false);
  FillSchedule(schedule, &values);
  return values.SaveIn(txn, key_path);
}

bool SaveSchedule(platform::Registry* store, std::string_view key_path, const Schedule& schedule) {
  kit::OptionsReg values(false, store);
  values.set_trace(false);
  FillSchedule(schedule, &values);
  return values.Save(key_path).ok();
}

}  // namespace logrum::server
