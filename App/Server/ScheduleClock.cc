#include "App/Server/ScheduleClock.h"

#include "Lib/Platform/Clock.h"

namespace logrum::server {

ScheduleDecision EvaluateNow(const Schedule& schedule) {
  platform::LocalTime now = platform::LocalNow();
  return schedule.Evaluate(now.weekday, now.hour, now.minute, now.second);
}

}  // namespace logrum::server
