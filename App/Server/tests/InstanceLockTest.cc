#include "App/Server/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/TempDir.h"

namespace logrum::server {
namespace {

class InstanceLockTest : public ::testing::Test {
 protected:
  logrum::testing::TempDir temp_{"instance-lock"};
  std::filesystem::path dir_ = temp_.path();
};

TEST_F(InstanceLockTest, ASecondInstanceIsRefusedAndToldWhoRuns) {
  std::string error;
  InstanceLock first;
  ASSERT_EQ(first.Acquire(dir_.string(), "recserver", &error), InstanceLock::Result::kAcquired)
      << error;
  InstanceLock second;
  EXPECT_EQ(second.Acquire(dir_.string(), "recserver", &error),
            InstanceLock::Result::kAlreadyRunning);
  EXPECT_EQ(second.other_pid(), getpid());
  EXPECT_FALSE(second.held());
  // Another program name is another instance.
  InstanceLock other_name;
  EXPECT_EQ(other_name.Acquire(dir_.string(), "recserver2", &error),
            InstanceLock::Result::kAcquired);
  first.Release();
  EXPECT_EQ(second.Acquire(dir_.string(), "recserver", &error), InstanceLock::Result::kAcquired);
}

TEST_F(InstanceLockTest, AKilledInstanceLeavesNoLockBehind) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstanceLock lock;
    std::string error;
    char ok = lock.Acquire(dir_.string(), "recserver", &error) == InstanceLock::Result::kAcquired;
    (void)!write(ready[1], &ok, 1);
    pause();  // until killed
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  std::string error;
  InstanceLock lock;
  EXPECT_EQ(lock.Acquire(dir_.string(), "recserver", &error), InstanceLock::Result::kAlreadyRunning);
  EXPECT_EQ(lock.other_pid(), child);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(lock.Acquire(dir_.string(), "recserver", &error), InstanceLock::Result::kAcquired);
  close(ready[0]);
  close(ready[1]);
}

TEST_F(InstanceLockTest, AMissingFolderIsAnErrorNamingTheFile) {
  std::string error;
  InstanceLock lock;
  EXPECT_EQ(lock.Acquire((dir_ / "nope").string(), "recserver", &error),
            InstanceLock::Result::kError);
  EXPECT_NE(error.find("nope/recserver.lock"), std::string::npos) << error;
}

}  // namespace
}  // namespace logrum::server
