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
#include "Tools/logrum-client/Export.h"
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

TEST_F(LogrumClientToolTest, ExportJoinsTheSegmentsAndReportsTheGapAfterThem) {
  const std::string file = (dir_ / "export.mp3").string();
  // Both segments of the morning (15 min and 7.5 min), then 3 s with nothing.
  Outcome o = Run("export 'Studio A' 2026-03-04T05:06:07 2026-03-04T05:28:40 -o " + file);
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(Slurp(file), "aaaabbbbccccaaaabbbbcccc");
  EXPECT_NE(o.err.find("gap: nothing recorded from 2026.03.04-05.28.37-S to "
                       "2026.03.04-05.28.40-S (3.0 s)"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(o.err.find("exported"), std::string::npos) << "no progress line off a terminal";
  EXPECT_FALSE(std::filesystem::exists(file + ".part"));
}

TEST_F(LogrumClientToolTest, ExportRefusesWhatItCannotDoAndLeavesTheFileAlone) {
  const std::string file = (dir_ / "kept.mp3").string();
  std::ofstream(file) << "earlier export";
  struct Case {
    std::string arguments;
    int exit_code;
    std::string message;
  };
  const Case cases[] = {
      {"export 'Studio A' 2026-03-04T06:00:00 2026-03-04T07:00:00",  1,
       "no audio recorded between 2026.03.04-06.00.00-S and 2026.03.04-07.00.00-S"},
      {"export Nowhere 2026-03-04T05:00:00 2026-03-04T06:00:00", 1, "Archive not found!"},
      {"export 'Studio A' 2026-03-04T06:00:00 2026-03-04T05:00:00", 2,
       "the end of the range must come after its start"},
      {"export 'Studio A' 2026-03-04T05:00:00 2026-02-30T06:00:00", 2, "bad time 2026-02-30"},
      {"export 'Studio A' 2026-03-04T05:00:00", 2, "export needs ARCHIVE FROM TO"},
  };
  for (const Case& c : cases) {
    const Outcome o = Run(c.arguments + " -o " + file);
    EXPECT_EQ(o.exit_code, c.exit_code) << c.arguments << "\n" << o.err;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << c.arguments << "\n" << o.err;
    EXPECT_EQ(Slurp(file), "earlier export") << c.arguments;
    EXPECT_FALSE(std::filesystem::exists(file + ".part")) << c.arguments;
  }
  EXPECT_EQ(Run("export 'Studio A' 2026-03-04T05:06:07 2026-03-04T05:10:00").exit_code, 2)
      << "-o is required";
}

}  // namespace

namespace {

using client::ExportPlan;
using client::PlanExport;

constexpr int64_t kSecond = 10000000;

TEST(PlanExportTest, PiecesGapsAndTargets) {
  const int64_t t0 = Linear(2026, 6, 1, 10, 0, 0);
  auto at = [t0](double seconds) { return t0 + static_cast<int64_t>(seconds * kSecond); };
  struct Case {
    const char* what;
    std::vector<IndexItem> index;
    double from, to;
    // Expected: (offset ms, target ms) per piece, gaps as (from s, to s), total ms.
    std::vector<std::pair<uint32_t, int64_t>> pieces;
    std::vector<std::pair<double, double>> gaps;
    int64_t total_ms;
  };
  const Case cases[] = {
      {"three minutes end to end, the range inside them",
       {{at(0), 60000, false}, {at(60), 60000, false}, {at(120), 60000, false}},
       30, 150, {{30000, 30000}, {0, 90000}, {0, 120000}}, {}, 120000},
      {"a hole of 10 s is a gap and shortens the file",
       {{at(0), 60000, false}, {at(70), 60000, false}},
       0, 130, {{0, 60000}, {0, 120000}}, {{60, 70}}, 120000},
      {"a second's hole is how whole-second starts look, not a gap",
       {{at(0), 59000, false}, {at(60), 60000, false}},
       0, 120, {{0, 59000}, {0, 120000}}, {}, 120000},
      {"nothing before the first and after the last segment",
       {{at(10), 20000, false}},
       0, 60, {{0, 20000}}, {{0, 10}, {30, 60}}, 20000},
      {"the clock set back: the later segment adds only what lies after",
       {{at(0), 60000, false}, {at(30), 60000, false}},
       0, 90, {{0, 60000}, {30000, 90000}}, {}, 90000},
      {"segments outside the range are left out",
       {{at(-120), 60000, false}, {at(0), 60000, false}, {at(60), 60000, false}},
       0, 60, {{0, 60000}}, {}, 60000},
      {"no segment at all", {}, 0, 60, {}, {{0, 60}}, 0},
  };
  for (const Case& c : cases) {
    const ExportPlan plan = PlanExport(c.index, at(c.from), at(c.to));
    ASSERT_EQ(plan.pieces.size(), c.pieces.size()) << c.what;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      EXPECT_EQ(plan.pieces[i].offset_ms, c.pieces[i].first) << c.what << ", piece " << i;
      EXPECT_EQ(plan.pieces[i].target_ms, c.pieces[i].second) << c.what << ", piece " << i;
      EXPECT_GT(plan.pieces[i].duration_ms, 0u) << c.what;
    }
    ASSERT_EQ(plan.gaps.size(), c.gaps.size()) << c.what;
    for (size_t i = 0; i < c.gaps.size(); ++i) {
      EXPECT_EQ(plan.gaps[i].from, at(c.gaps[i].first)) << c.what << ", gap " << i;
      EXPECT_EQ(plan.gaps[i].to, at(c.gaps[i].second)) << c.what << ", gap " << i;
    }
    EXPECT_EQ(plan.total_ms, c.total_ms) << c.what;
  }
}

}  // namespace
}  // namespace logrum::protocol
