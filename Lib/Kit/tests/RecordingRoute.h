// A trace route that keeps every line, for tests that check what the kit traces.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Lib/Kit/KitTrace.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::kit::testing {

class RecordingRoute final : public TraceRoute {
 public:
  bool IsLineEnabled(TraceUnit, int) const override { return true; }
  void WriteV(TraceUnit unit, int, const char* format, va_list args) const override {
    char line[1056];
    std::vsnprintf(line, sizeof line, format, args);
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(line);
    units_.push_back(unit);
  }
  void AssertFailed(TraceUnit unit, int) const override {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back("Assert failed!\n");
    units_.push_back(unit);
  }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  int Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (const auto& line : lines_) n += line == text ? 1 : 0;
    return n;
  }
  int CountPrefix(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (const auto& line : lines_) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  bool AllOfUnit(TraceUnit unit) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (TraceUnit u : units_) {
      if (u != unit) return false;
    }
    return true;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
    units_.clear();
  }

 private:
  mutable Mutex mu_;
  mutable std::vector<std::string> lines_;
  mutable std::vector<TraceUnit> units_;
};

}  // namespace logrum::kit::testing
