// The storage tests run in a zone with daylight rules on a manual clock pinned
// to 2026, so that segment names, daylight changes and clock steps are exact.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Lib/ArchiveManager/Storage/tests/RecordingFixture.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/TimeZone.h"

namespace logrum::archive::testing {
platform::ManualClock& TestClock() {
  static platform::ManualClock clock(1768046400LL * 1000000);  // 2026-01-10 12:00 UTC
  return clock;
}
}  // namespace logrum::archive::testing

int main(int argc, char** argv) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  logrum::platform::ReloadActiveZone();
  const logrum::platform::ScopedDefaultClock scoped_clock(logrum::archive::testing::TestClock());
  int result = 2;
  if (logrum::archive::CZoneTime::BaseYear() == 2026) {
    testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  return result;
}
