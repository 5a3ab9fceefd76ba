// archsvc.so and audiosrc.so loaded into the test's own process, as the
// in-process whole-system tests drive them: the built libraries, and an
// archive's event log read back line by line. Header-only; the test links
// logrum_archive_host.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::testing {

// Loads the libraries of this build into `host` (fails the test when they
// cannot be loaded); the caller defines its sources.
inline void LoadBuiltLibraries(archive::testing::ArchiveHost& host) {
  const platform::Status loaded = host.Load(std::string(LOGRUM2_BUILD_DIR) + "/lib");
  ASSERT_TRUE(loaded.ok()) << loaded.message();
}

// The built libraries in `host`, with capture device 0 as `source`.
inline void LoadBuiltLibraries(archive::testing::ArchiveHost& host, const char* source) {
  ASSERT_NO_FATAL_FAILURE(LoadBuiltLibraries(host));
  ASSERT_TRUE(host.DefineSource(0, source));
}

// Creates archive `name` in `host` and opens it, its open running on the
// archive's thread; fails the test when either step fails. `listener` may be
// null.
inline void OpenArchive(archive::testing::ArchiveHost& host, const char* name,
                        archive::testing::HostOptions& options, SkimSwitch& skim_switch,
                        ArchiveLogListener* listener, IArchive** archive) {
  *archive = host.manager()->CreateArchive(name);
  ASSERT_NE(*archive, nullptr);
  ASSERT_TRUE((*archive)->Open(&options, &skim_switch, nullptr, true, listener));
}

// An archive recording `source`: its segments in `folder`/archive, its log
// files in `folder`/logs.
inline void PlaceArchive(archive::testing::HostOptions* options, const std::string& folder,
                         const std::string& source) {
  options->log_path = folder + "/logs";
  options->archive_path = folder + "/archive";
  options->source_name = source;
}

// An archive's event log: every line with its level, kept in order, and a
// wait for the line a test expects next. The archive posts from its own
// threads; any thread may read.
class ArchiveLogLines final : public ArchiveLogListener {
 public:
  void Log(int32_t level, const char* text) override {
    {
      kit::MutexLock lock(mu_);
      lines_.emplace_back(level, text);
    }
    changed_.notify_all();
  }
  // Waits (real time) for a line containing `part`; false when none came in time.
  bool WaitFor(const std::string& part, std::chrono::seconds patience = std::chrono::seconds(60)) {
    kit::UniqueLock lock(mu_);
    return changed_.wait_for(lock.native(), patience, [&]() REQUIRES(mu_) { return HasLocked(part); });
  }
  bool Has(const std::string& part) {
    kit::MutexLock lock(mu_);
    return HasLocked(part);
  }
  std::vector<std::string> Lines() {
    kit::MutexLock lock(mu_);
    std::vector<std::string> texts;
    for (const auto& line : lines_) texts.push_back(line.second);
    return texts;
  }
  // The levels of the lines containing `part`, in order.
  std::vector<int32_t> LevelsOf(const std::string& part) {
    kit::MutexLock lock(mu_);
    std::vector<int32_t> levels;
    for (const auto& [level, text] : lines_) {
      if (text.find(part) != std::string::npos) levels.push_back(level);
    }
    return levels;
  }

 private:
  bool HasLocked(const std::string& part) const REQUIRES(mu_) {
    for (const auto& line : lines_) {
      if (line.second.find(part) != std::string::npos) return true;
    }
    return false;
  }

  kit::Mutex mu_;
  std::condition_variable changed_;
  std::vector<std::pair<int32_t, std::string>> lines_ GUARDED_BY(mu_);
};

}  // namespace logrum::testing
