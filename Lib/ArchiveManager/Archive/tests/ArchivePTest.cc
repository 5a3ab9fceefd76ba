#include "Lib/ArchiveManager/Archive/ArchiveP.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Lib/ArchiveManager/Archive/ArchiveManager.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "tests/support/TempDir.h"

namespace logrum::archive {
namespace {

using testing::HostOptions;
using testing::HostSkimSwitch;

class Listener : public ArchiveLogListener {
 public:
  void Log(int32_t level, const char* text) override {
    {
      std::lock_guard lock(mu_);
      lines_.emplace_back(level, text);
    }
    cv_.notify_all();
  }
  // The level of the first message containing `part`, waiting up to 10 s; -1 if none.
  int LevelOf(const std::string& part) {
    std::unique_lock lock(mu_);
    int level = -1;
    cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (const auto& line : lines_) {
        if (line.second.find(part) != std::string::npos) {
          level = line.first;
          return true;
        }
      }
      return false;
    });
    return level;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<int32_t, std::string>> lines_;
};

class ArchivePTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.log_path = root_ + "/logs";
    options_.archive_path = root_ + "/archive";
    options_.record_to_disk = false;
  }
  logrum::testing::TempDir temp_{"archive"};
  std::string root_ = temp_.path();
  HostOptions options_;
  HostSkimSwitch switch_;
  Listener listener_;
  ArchiveManager manager_;
};

TEST_F(ArchivePTest, ServingOnlyArchiveOpensItsDatabaseAndLogs) {
  IArchive* archive = manager_.CreateArchive("A");
  ASSERT_TRUE(archive->Open(&options_, &switch_, nullptr, false, &listener_));
  EXPECT_EQ(listener_.LevelOf("WARNING: Archive path '" + options_.archive_path +
                              "' does not exist! Creating new directory.\n"),
            1);
  EXPECT_TRUE(std::filesystem::exists(options_.archive_path + "/archive.db3"));
  EXPECT_FALSE(archive->IsActive());  // a synchronous open runs no thread
  EXPECT_EQ(archive->GetUsedStorageMB(), 0.0);
  EXPECT_EQ(archive->GetFirstSegmentTime(), 0);
  EXPECT_GT(archive->GetTotalStorageMB(), 0.0);
  EXPECT_FALSE(archive->GetSkimState());
  switch_.on = true;
  EXPECT_TRUE(archive->GetSkimState());
  archive->Log("hello from the host");
  EXPECT_EQ(listener_.LevelOf("hello from the host"), 6);
  CArchiveP* inside = CArchiveP::FromInterface(archive);
  EXPECT_EQ(inside->GetArchiveFolder(), options_.archive_path);
  EXPECT_TRUE(inside->WithStorage([](CStorageManager& storage) {
    EXPECT_EQ(storage.recorder(), nullptr);
  }));
  archive->Close();
  EXPECT_FALSE(inside->WithStorage([](CStorageManager&) {}));
  EXPECT_EQ(archive->GetTotalStorageMB(), 0.0);
  archive->Close();  // harmless twice
  // The log file got the messages too.
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator(options_.log_path)) {
    std::ifstream in(entry.path());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    found = found || text.find("hello from the host") != std::string::npos;
  }
  EXPECT_TRUE(found);
  archive->Release();
  EXPECT_EQ(manager_.FindArchive("A"), nullptr);
}

TEST_F(ArchivePTest, AsynchronousOpenIsActiveUntilClose) {
  IArchive* archive = manager_.CreateArchive("A");
  ASSERT_TRUE(archive->Open(&options_, nullptr, nullptr, true, &listener_));
  EXPECT_TRUE(archive->IsActive());
  listener_.LevelOf("WARNING: Archive path");
  // A second open while active starts nothing new.
  EXPECT_TRUE(archive->Open(&options_, nullptr, nullptr, true, &listener_));
  EXPECT_TRUE(archive->IsActive());
  const auto before = std::chrono::steady_clock::now();
  archive->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(450));
  EXPECT_FALSE(archive->IsActive());
  archive->Release();
}

TEST_F(ArchivePTest, UnusableLogFolderFailsTheOpen) {
  { std::ofstream(root_ + "/file") << "x"; }
  options_.log_path = root_ + "/file/logs";
  IArchive* archive = manager_.CreateArchive("A");
  ASSERT_TRUE(archive->Open(&options_, nullptr, nullptr, true, &listener_));
  EXPECT_EQ(listener_.LevelOf("Unable to open log file! Path='" + options_.log_path + "'"), 3);
  archive->Close();
  EXPECT_FALSE(archive->IsActive());
  EXPECT_FALSE(std::filesystem::exists(options_.archive_path));  // nothing else was built
  EXPECT_FALSE(archive->Open(&options_, nullptr, nullptr, false, &listener_));
  archive->Release();
}

TEST_F(ArchivePTest, AsynchronousOpenAfterAFailedOneStartsAgain) {
  { std::ofstream(root_ + "/file") << "x"; }
  const std::string good_logs = options_.log_path;
  options_.log_path = root_ + "/file/logs";
  IArchive* archive = manager_.CreateArchive("A");
  ASSERT_TRUE(archive->Open(&options_, nullptr, nullptr, true, &listener_));
  ASSERT_EQ(listener_.LevelOf("Unable to open log file!"), 3);
  // The host sees the failure as the archive turning inactive.
  for (int i = 0; i < 1000 && archive->IsActive(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(archive->IsActive());
  options_.log_path = good_logs;
  ASSERT_TRUE(archive->Open(&options_, nullptr, nullptr, true, &listener_));
  EXPECT_EQ(listener_.LevelOf("WARNING: Archive path"), 1);
  EXPECT_TRUE(archive->IsActive());
  archive->Release();  // waits for the open to finish
  EXPECT_TRUE(std::filesystem::exists(options_.archive_path + "/archive.db3"));
}

TEST_F(ArchivePTest, ArchivePathThatIsAFileUsesTheCurrentFolder) {
  { std::ofstream(root_ + "/archive") << "not a folder"; }
  const auto cwd = std::filesystem::current_path();
  std::filesystem::create_directory(root_ + "/cwd");
  std::filesystem::current_path(root_ + "/cwd");
  IArchive* archive = manager_.CreateArchive("A");
  const bool opened = archive->Open(&options_, nullptr, nullptr, false, &listener_);
  const int level =
      listener_.LevelOf("ERROR: Invalid archive path! Current directory will be used instead.");
  const std::string folder = CArchiveP::FromInterface(archive)->GetArchiveFolder();
  archive->Release();
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(opened);
  EXPECT_EQ(level, 1);
  EXPECT_EQ(folder, root_ + "/cwd");
  EXPECT_TRUE(std::filesystem::exists(root_ + "/cwd/archive.db3"));
}

TEST_F(ArchivePTest, EncoderThatCannotOpenFailsTheOpen) {
  options_.record_to_disk = true;
  options_.live_bitrate_k = 0;
  options_.off_bitrate_k = 7;  // no such layer 3 rate (or no encoder library at all)
  IArchive* archive = manager_.CreateArchive("A");
  ASSERT_TRUE(archive->Open(&options_, &switch_, nullptr, true, &listener_));
  EXPECT_EQ(listener_.LevelOf("ERROR: Unable to open skimming encoder!"), 1);
  archive->Close();
  EXPECT_FALSE(std::filesystem::exists(options_.archive_path));
  archive->Release();
}

TEST_F(ArchivePTest, UnusableDatabaseStillOpensTheArchive) {
  std::filesystem::create_directories(options_.archive_path + "/archive.db3");
  IArchive* archive = manager_.CreateArchive("A");
  ASSERT_TRUE(archive->Open(&options_, nullptr, nullptr, true, &listener_));
  EXPECT_EQ(listener_.LevelOf("ERROR: Unable to open Storage Manager!"), 1);
  EXPECT_TRUE(archive->IsActive());
  EXPECT_EQ(archive->GetUsedStorageMB(), 0.0);
  archive->Release();  // closes first
}

}  // namespace
}  // namespace logrum::archive
