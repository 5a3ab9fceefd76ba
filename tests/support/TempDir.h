// A temporary folder for one test, removed with everything in it when the test
// ends. Every test that writes files makes its folders this way, so a failed
// run never leaves a stray tree behind and no test picks a fixed path.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace logrum::testing {

class TempDir {
 public:
  // `tag` names the folder ("logrum2-<tag>-XXXXXX") so a leftover can be traced.
  explicit TempDir(std::string_view tag = "test") {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/logrum2-" + std::string(tag) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("Unable to create a temporary folder from '" + pattern + "'");
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // A path inside the folder; the entry itself is not created.
  std::string Sub(std::string_view name) const { return path_ + "/" + std::string(name); }
  // A folder inside, created with its parents.
  std::string MakeSub(std::string_view name) const {
    std::string sub = Sub(name);
    std::filesystem::create_directories(sub);
    return sub;
  }

 private:
  std::string path_;
};

}  // namespace logrum::testing
