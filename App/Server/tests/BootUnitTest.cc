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
  std::string error;
  SetState("missing");
  EXPECT_EQ(unit.Query(&error), BootUnit::State::kNotInstalled);
  EXPECT_FALSE(unit.Set(true, &error));
  EXPECT_EQ(error, BootUnitMissingText());

  SetState("disabled");
  EXPECT_EQ(unit.Query(&error), BootUnit::State::kDisabled);
  ASSERT_TRUE(unit.Set(true, &error)) << error;
  EXPECT_EQ(unit.Query(&error), BootUnit::State::kEnabled);
  ASSERT_TRUE(unit.Set(false, &error)) << error;
  EXPECT_EQ(unit.Query(&error), BootUnit::State::kDisabled);
  EXPECT_EQ(Calls(),
            "is-enabled logrum2.service\nenable logrum2.service\n"  // missing
            "is-enabled logrum2.service\nenable logrum2.service\nis-enabled logrum2.service\n"
            "disable logrum2.service\nis-enabled logrum2.service\n");

  std::ofstream(dir_.Sub("deny")) << "\n";
  EXPECT_FALSE(unit.Set(true, &error));
  EXPECT_EQ(error, "Unable to enable logrum2.service: Failed to enable unit: Access denied");
}

TEST_F(BootUnitTest, AProgramThatCannotRunOrDoesNotAnswerIsAnError) {
  SystemctlBootUnit unit(dir_.Sub("no-such-systemctl"));
  std::string error;
  EXPECT_EQ(unit.Query(&error), BootUnit::State::kUnknown);
  EXPECT_NE(error.find("cannot be run"), std::string::npos) << error;

  std::string output;
  EXPECT_EQ(RunProgram({"sh", "-c", "echo out; echo err >&2; exit 3"}, 10000, &output), 3);
  EXPECT_EQ(output, "out\nerr\n");
  EXPECT_EQ(RunProgram({"sleep", "30"}, 50, &output), -1);
  EXPECT_EQ(output, "sleep did not answer within 1 s");
}

}  // namespace
}  // namespace logrum::server
