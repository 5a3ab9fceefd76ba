// The schedule evaluated at the local time of the process clock.
#pragma once

#include "App/Server/Schedule.h"

namespace logrum::server {

ScheduleDecision EvaluateNow(const Schedule& schedule);

}  // namespace logrum::server
