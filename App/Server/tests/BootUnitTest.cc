// Start at boot through systemctl, against a stand-in systemctl that keeps
// the unit's state in a file: the machine's own systemd is never asked.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "App/Server/BootUnit.h"
#include "tests/support/TempDir.h"

namespace logrum::server {
namespace {

class BootUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = dir_.Sub("systemctl");
    std::ofstream script(program_);
    // Answers as systemctl does for a unit that is missing, enabled or
    // disabled; "deny" refuses every change.
    script << "#!/bin/sh\n"
           << "cd '" << dir_.path() << "'\n"
           << "echo \"$@\" >> calls\n"
           << "state=$(cat state)\n"
           << "case \"$1\" in\n"
           << "is-enabled)\n"
           << "  if [ \"$state\" = missing ]; then\n"
           << "    echo \"Failed to get unit file state for $2: No such file or directory\" >&2; "
              "exit 1\n"
           << "  fi\n"
           << "  echo \"$state\"; [ \"$state\" = enabled ]; exit $?;;\n"
           << "enable|disable)\n"
           << "  if [ \"$state\" = missing ]; then\n"
           << "    echo \"Failed to $1 unit: Unit file $2 does not exist.\" >&2; exit 1\n"
           << "  fi\n"
           << "  if [ -e deny ]; then echo \"Failed to $1 unit: Access denied\" >&2; exit 1; fi\n"
           << "  echo \"$1d\" > state;;\n"
           << "esac\n";
    script.close();
    ::chmod(program_.c_str(), 0755);
  }
  void SetState(const std::string& state) { std::ofstream(dir_.Sub("state")) << state << "\n"; }
  std::string Calls() {
    std::ifstream in(dir_.Sub("calls"));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  logrum::testing::TempDir dir_{"bootunit"};
  std::string program_;
};

TEST_F(BootUnitTest, EnablesAndDisablesTheUnitAndTellsWhenItIsMissing) {
  SystemctlBootUnit unit(program_);
  auto query = [&] {
    BootUnit::State state = BootUnit::State::kUnknown;
    platform::Status queried = unit.Query(&state);
    EXPECT_TRUE(queried.ok()) << queried.message();
    return state;
  };
  SetState("missing");
  EXPECT_EQ(query(), BootUnit::State::kNotInstalled);
  platform::Status set = unit.Set(true);
  EXPECT_FALSE(set.ok());
  EXPECT_EQ(set.message(), BootUnitMissingText());

  SetState("disabled");
  EXPECT_EQ(query(), BootUnit::State::kDisabled);
  set = unit.Set(true);
  ASSERT_TRUE(set.ok()) << set.message();
  EXPECT_EQ(query(), BootUnit::State::kEnabled);
  set = unit.Set(false);
  ASSERT_TRUE(set.ok()) << set.message();
  EXPECT_EQ(query(), BootUnit::State::kDisabled);
  EXPECT_EQ(Calls(),
            "is-enabled logrum2.service\nenable logrum2.service\n"  // missing
            "is-enabled logrum2.service\nenable logrum2.service\nis-enabled logrum2.service\n"
            "disable logrum2.service\nis-enabled logrum2.service\n");

  std::ofstream(dir_.Sub("deny")) << "\n";
  set = unit.Set(true);
  EXPECT_FALSE(set.ok());
  EXPECT_EQ(set.message(),
            "Unable to enable logrum2.service: Failed to enable unit: Access denied");
}

TEST_F(BootUnitTest, AProgramThatCannotRunOrDoesNotAnswerIsAnError) {
  SystemctlBootUnit unit(dir_.Sub("no-such-systemctl"));
  BootUnit::State state = BootUnit::State::kEnabled;
  platform::Status queried = unit.Query(&state);
  EXPECT_EQ(state, BootUnit::State::kUnknown);
  EXPECT_NE(queried.message().find("cannot be run"), std::string::npos) << queried.message();

  std::string output;
  EXPECT_EQ(RunProgram({"sh", "-c", "echo out; echo err >&2; exit 3"}, 10000, &output), 3);
  EXPECT_EQ(output, "out\nerr\n");
  EXPECT_EQ(RunProgram({"sleep", "30"}, 50, &output), -1);
  EXPECT_EQ(output, "sleep did not answer within 1 s");
}

}  // namespace
}  // namespace logrum::server
