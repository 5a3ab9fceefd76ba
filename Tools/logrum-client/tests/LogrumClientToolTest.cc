// logrum-client run as a program against the loopback fake server.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Lib/ArchiveManager/Protocol/Client/tests/FakeServer.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"
#include "tests/support/TempDir.h"

namespace logrum::protocol {
namespace {

using testing::FakeServer;
using testing::FakeServerConfig;

// Linear time of a UTC calendar time (the tool runs with TZ=UTC0).
int64_t Linear(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return (static_cast<int64_t>(timegm(&tm)) + 11644473600LL) * 10000000;
}

struct Outcome {
  int exit_code = -1;
  std::string out, err;
};

class LogrumClientToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeServerConfig c;
    c.users["admin"] = PasswordDigestText("admin", "secret");
    c.archives.push_back({"Studio A", true, 3, true, true,
                          {{Linear(2026, 3, 4, 5, 6, 7), 900000, false},
                           {Linear(2026, 3, 4, 5, 21, 7), 450000, true},
                           {Linear(2026, 3, 5, 0, 0, 0), 1000, false}}});
    c.archives.push_back({"Web", true, 2, false, true, {}});
    c.format = {0, 128, 48000, 2, 1152 * 2, 4, false, false};
    for (int b = 0; b < 3; ++b) c.blocks.push_back(std::vector<uint8_t>(4, static_cast<uint8_t>('a' + b)));
    server_ = std::make_unique<FakeServer>(c);
    ASSERT_NE(server_->Start(), 0);
  }
  void TearDown() override { server_->Stop(); }

  Outcome Run(const std::string& arguments) {
    const std::string err_file = (dir_ / "stderr").string();
    const std::string command = "TZ=UTC0 " LOGRUM2_BUILD_DIR "/bin/logrum-client --port " +
                                std::to_string(server_->port()) + " " + arguments + " 2>" +
                                err_file;
    Outcome o;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return o;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) o.out.append(buffer, n);
    const int status = ::pclose(p);
    o.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.err = Slurp(err_file);
    return o;
  }

  static std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  logrum::testing::TempDir temp_{"logrum-client"};
  std::filesystem::path dir_ = temp_.path();
  std::unique_ptr<FakeServer> server_;
};

TEST_F(LogrumClientToolTest, VersionListAndDigest) {
  Outcome o = Run("version");
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out, "2.5.9.250\n");

  o = Run("--user admin --password SECRET list");
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out, "Studio A\n");
  o = Run("--user admin --password secret list --live");
  EXPECT_EQ(o.out, "Studio A\nWeb\n");

  o = Run("digest Admin Secret");
  EXPECT_EQ(o.exit_code, 0);
  EXPECT_EQ(o.out, PasswordDigestText("admin", "secret") + "\n");
}

TEST_F(LogrumClientToolTest, FailuresPrintTheServerTextAndExitNonZero) {
  Outcome o = Run("--user admin --password wrong list");
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_NE(o.err.find("Login failed! (code 2)"), std::string::npos) << o.err;
  o = Run("list");
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_NE(o.err.find("Unable to retrive user's archive rights!"), std::string::npos) << o.err;
  o = Run("index Nowhere 2026-03-04T00:00:00 2026-03-05T00:00:00");
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_NE(o.err.find("Archive not found!"), std::string::npos) << o.err;
  for (const char* bad : {"", "frobnicate", "index Studio", "index A 2026-03-04 2026-03-05",
                          "play A 2026-03-04T00:00:00", "status A --count 0"}) {
    o = Run(bad);
    EXPECT_EQ(o.exit_code, 2) << bad;
  }
  EXPECT_TRUE(server_->requests().size() >= 3);
}

TEST_F(LogrumClientToolTest, IndexPrintsSegmentNameTimeDurationAndSkim) {
  const Outcome o = Run("index 'Studio A' 2026-03-04T00:00:00 2026-03-05T00:00:00");
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out,
            "2026.03.04-05.06.07-S 900000 0\n"
            "2026.03.04-05.21.07-S 450000 1\n");
}

TEST_F(LogrumClientToolTest, IndexTakesTimesFarFromThisYear) {
  // Dates more than 15 years away are still dates a user may type; the
  // server answers what exists between them.
  Outcome o = Run("index 'Studio A' 2010-03-04T00:00:00 2045-03-05T00:00:00");
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out,
            "2026.03.04-05.06.07-S 900000 0\n"
            "2026.03.04-05.21.07-S 450000 1\n"
            "2026.03.05-00.00.00-S 1000 0\n");
  o = Run("index 'Studio A' 2005-01-01T00:00:00 2010-03-04T00:00:00");
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out, "");
  o = Run("index 'Studio A' 2010-02-30T00:00:00 2045-03-05T00:00:00");
  EXPECT_EQ(o.exit_code, 2);
}

TEST_F(LogrumClientToolTest, PlayWritesTheBlocksToTheFile) {
  const std::string file = (dir_ / "out.mp3").string();
  Outcome o = Run("play 'Studio A' 2026.03.04-05.21.07-S 1500 -o " + file);
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(Slurp(file), "aaaabbbbcccc");
  EXPECT_NE(o.err.find("archive from 2026.03.04-05.21.08-S"), std::string::npos) << o.err;

  o = Run("play 'Studio A' 2026-03-04T05:06:08 -o -");
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_NE(o.err.find("File open failed! '"), std::string::npos) << o.err;
}

TEST_F(LogrumClientToolTest, LiveStopsAfterTheWantedSecondsAndStatusAfterTheCount) {
  // A live block of 2304 samples over both channels at 48 kHz lasts 24 ms,
  // so 0.1 s takes 5 blocks (the three of the fake, then two again).
  Outcome o = Run("live 'Studio A' --seconds 0.1 -o -");
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out, "aaaabbbbccccaaaabbbb");

  o = Run("status 'Studio A' --count 2");
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out,
            "used 1000 KB, total 1000000 KB, clients 1, peak min -1, peak max 1\n"
            "used 2000 KB, total 1000000 KB, clients 1, peak min -2, peak max 2\n");
}

}  // namespace
}  // namespace logrum::protocol
