// A configuration store of its own for each test, in a temporary folder, and
// a message sink that records what would have been shown.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "App/Server/ConfigKeys.h"
#include "Lib/Platform/Registry.h"
#include "tests/support/TempDir.h"

namespace logrum::server {

class RecordingSink final : public MessageSink {
 public:
  void ShowMessage(int number, const std::string& text) override {
    numbers.push_back(number);
    texts.push_back(text);
  }
  std::vector<int> numbers;
  std::vector<std::string> texts;
};

// The process in UTC while it lives, then the zone it had (or none): the
// model's dates are local times.
class ScopedUtc {
 public:
  ScopedUtc() {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  ~ScopedUtc() {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedUtc(const ScopedUtc&) = delete;
  ScopedUtc& operator=(const ScopedUtc&) = delete;

 private:
  bool had_tz_ = false;
  std::string saved_tz_;
};

class ConfigFixture : public ::testing::Test {
 protected:
  static constexpr platform::RegRoot kLM = platform::RegRoot::kLocalMachine;

  void SetUp() override {
    ASSERT_TRUE(platform::Registry::Open((dir_ / "registry.db3").string(), &store_).ok());
  }
  void TearDown() override { store_.reset(); }

  static std::string Dword(uint32_t v) {
    return std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                       static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
  }
  static std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

  void Put(const std::string& key, const std::string& name, uint32_t type, const std::string& data) {
    ASSERT_TRUE(store_->CreateKey(kLM, key, kNewKeyClass).ok());
    ASSERT_TRUE(store_->SetValue(kLM, key, name, type, data).ok());
  }
  void PutString(const std::string& key, const std::string& name, const std::string& text) {
    Put(key, name, platform::kRegString, Sz(text));
  }
  void PutInt(const std::string& key, const std::string& name, uint32_t value) {
    Put(key, name, platform::kRegDword, Dword(value));
  }
  // The value's data, or "<missing>".
  std::string Get(const std::string& key, const std::string& name) {
    platform::RegValue value;
    if (!store_->GetValue(kLM, key, name, &value).ok()) return "<missing>";
    return value.data;
  }
  bool KeyExists(const std::string& key) {
    bool exists = false;
    EXPECT_TRUE(store_->KeyExists(kLM, key, &exists).ok());
    return exists;
  }
  std::vector<std::string> ValueNames(const std::string& key) {
    std::vector<platform::RegValue> values;
    EXPECT_TRUE(store_->ListValues(kLM, key, &values).ok());
    std::vector<std::string> names;
    for (const auto& v : values) names.push_back(v.name);
    return names;
  }

  logrum::testing::TempDir temp_{"server-config"};
  std::filesystem::path dir_ = temp_.path();
  std::unique_ptr<platform::Registry> store_;
  RecordingSink sink_;
};

}  // namespace logrum::server
