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
  InstanceLock first;
  platform::Status acquired = first.Acquire(dir_.string(), "recserver");
  ASSERT_TRUE(acquired.ok()) << acquired.message();
  InstanceLock second;
  EXPECT_EQ(second.Acquire(dir_.string(), "recserver").code(), platform::Status::kBusy);
  EXPECT_EQ(second.other_pid(), getpid());
  EXPECT_FALSE(second.held());
  // Another program name is another instance.
  InstanceLock other_name;
  EXPECT_TRUE(other_name.Acquire(dir_.string(), "recserver2").ok());
  first.Release();
  EXPECT_TRUE(second.Acquire(dir_.string(), "recserver").ok());
}

TEST_F(InstanceLockTest, AKilledInstanceLeavesNoLockBehind) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstanceLock lock;
    char ok = lock.Acquire(dir_.string(), "recserver").ok();
    (void)!write(ready[1], &ok, 1);
    pause();  // until killed
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  InstanceLock lock;
  EXPECT_EQ(lock.Acquire(dir_.string(), "recserver").code(), platform::Status::kBusy);
  EXPECT_EQ(lock.other_pid(), child);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(lock.Acquire(dir_.string(), "recserver").ok());
  close(ready[0]);
  close(ready[1]);
}

TEST_F(InstanceLockTest, AMissingFolderIsAnErrorNamingTheFile) {
  InstanceLock lock;
  platform::Status acquired = lock.Acquire((dir_ / "nope").string(), "recserver");
  EXPECT_EQ(acquired.code(), platform::Status::kNotFound);
  EXPECT_NE(acquired.message().find("nope/recserver.lock"), std::string::npos)
      << acquired.message();
}

}  // namespace
}  // namespace logrum::server
