// Time values hold years within 15 of the base year, which is taken from the
// process clock on first use: pin the clock to 2012 before any test runs, so
// that the worked examples of 2010 and the zones' past rules are representable.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Clock.h"
#include "Lib/Platform/TimeZone.h"

int main(int argc, char** argv) {
  setenv("TZ", "UTC0", 1);
  logrum::platform::ReloadActiveZone();
  static logrum::platform::ManualClock clock(1339761600LL * 1000000);  // 2012-06-15 12:00 UTC
  const logrum::platform::ScopedDefaultClock scoped_clock(clock);
  int result = 2;
  if (logrum::archive::CZoneTime::BaseYear() == 2012) {
    testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  return result;
}
