// Switches the process's time zone for one test and back.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Lib/Platform/TimeZone.h"

namespace logrum::archive::testing {

class ScopedZone {
 public:
  explicit ScopedZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    platform::ReloadActiveZone();
  }
  ~ScopedZone() {
    setenv("TZ", saved_.c_str(), 1);
    platform::ReloadActiveZone();
  }

 private:
  std::string saved_ = "UTC0";
};

inline constexpr char kBerlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";
inline constexpr char kNewYork[] = "EST5EDT,M3.2.0,M11.1.0";
inline constexpr char kSydney[] = "AEST-10AEDT,M10.1.0,M4.1.0/3";

}  // namespace logrum::archive::testing
