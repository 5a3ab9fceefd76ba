// The /metrics page's text and its bearer token. The page read by a real
// Prometheus parser while recserver records is in tests/observability.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "App/Server/ConsoleAuth.h"
#include "App/Server/ConsoleMetrics.h"
#include "App/Server/MainWindowModel.h"

namespace logrum::server {
namespace {

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(ConsoleMetricsTest, EveryArchiveAndTheServerInBaseUnits) {
  ArchiveMetrics news;
  news.name = "News \"A\"\\1";
  news.state = ArchiveStateName(kIconRecording);
  news.recording = true;
  news.silence = true;
  news.has_counters = true;
  news.counters = {sizeof(logrum::ArchiveCounters), 0, 3723456, 1500, 62, 7, 123456789,
                   1000000000, 2, 1};
  ArchiveMetrics idle;  // no archive object: its state only
  idle.name = "Idle";
  idle.state = ArchiveStateName(kIconInactive);
  ArchiveMetrics old;  // an archive service that fills the first three figures only
  old.name = "Old";
  old.state = ArchiveStateName(kIconScheduledPaused);
  old.has_counters = true;
  old.counters.cbSize = offsetof(logrum::ArchiveCounters, nSegmentsWritten);
  old.counters.nRecordedMs = 5;
  old.counters.nSegmentsWritten = 99;  // beyond cbSize: not reported
  ServerMetrics server;
  server.has_counters = true;
  server.counters = {sizeof(logrum::ServerCounters), 0, 40, 3, 1, 2, 0, 4};
  CaptureMetrics deck;
  deck.device = "Deck 1";
  deck.stats.nFramesCaptured = 441000;
  deck.stats.nOverruns = 2;
  deck.stats.nLostMs = 2400;
  deck.stats.nOutages = 1;
  deck.stats.bInputLost = 1;
  server.devices.push_back(deck);

  const std::string text = MetricsText({news, idle, old}, server);
  const std::string n = R"(archive="News \"A\"\\1")";
  const std::vector<std::string> lines = {
           "# TYPE logrum2_archive_state gauge",
           "logrum2_archive_state{" + n + ",state=\"recording\"} 1",
           "logrum2_archive_state{" + n + ",state=\"inactive\"} 0",
           std::string("logrum2_archive_state{archive=\"Idle\",state=\"inactive\"} 1"),
           std::string("logrum2_archive_state{archive=\"Old\",state=\"paused\"} 1"),
           "logrum2_archive_recording{" + n + "} 1",
           std::string("logrum2_archive_recording{archive=\"Idle\"} 0"),
           "logrum2_archive_silence{" + n + "} 1",
           std::string("# TYPE logrum2_archive_recorded_seconds_total counter"),
           "logrum2_archive_recorded_seconds_total{" + n + "} 3723.456",
           "logrum2_archive_audio_dropped_seconds_total{" + n + "} 1.500",
           "logrum2_archive_segments_written_total{" + n + "} 62",
           "logrum2_archive_segments_recycled_total{" + n + "} 7",
           "logrum2_archive_used_bytes{" + n + "} 123456789",
           "logrum2_archive_quota_bytes{" + n + "} 1000000000",
           "logrum2_archive_backup_waiting_segments{" + n + "} 2",
           "logrum2_archive_undeletable_segments{" + n + "} 1",
           std::string("logrum2_archive_recorded_seconds_total{archive=\"Old\"} 0.005"),
           std::string("logrum2_client_connections{kind=\"playback\"} 1"),
           std::string("logrum2_client_connections{kind=\"live\"} 2"),
           std::string("logrum2_client_connections{kind=\"status\"} 0"),
           std::string("logrum2_client_connections{kind=\"other\"} 4"),
           std::string("logrum2_client_connections_accepted_total 40"),
           std::string("logrum2_client_connections_refused_total 3"),
           std::string("# TYPE logrum2_capture_overruns_total counter"),
           std::string("logrum2_capture_overruns_total{device=\"Deck 1\"} 2"),
           std::string("logrum2_capture_lost_seconds_total{device=\"Deck 1\"} 2.400"),
           std::string("logrum2_capture_outages_total{device=\"Deck 1\"} 1"),
           std::string("logrum2_capture_input_lost{device=\"Deck 1\"} 1"),
  };
  for (const std::string& line : lines) {
    EXPECT_TRUE(HasLine(text, line)) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("logrum2_archive_used_bytes{archive=\"Idle\"}"), std::string::npos);
  EXPECT_EQ(text.find("logrum2_archive_segments_written_total{archive=\"Old\"}"),
            std::string::npos);
  EXPECT_EQ(text.back(), '\n');

  EXPECT_EQ(MetricsText({}, ServerMetrics{}).find("logrum2_client_connections"),
            std::string::npos)
      << "no server object, no connection figures";
}

TEST(ConsoleMetricsTest, BearerTokenMustMatchExactly) {
  ConsoleSettings settings;
  EXPECT_FALSE(MetricsTokenMatches(settings, "Bearer ")) << "no token configured";
  settings.metrics_token = "0123456789abcdef";
  struct Case {
    const char* header;
    bool allowed;
  };
  for (const Case& c : {Case{"Bearer 0123456789abcdef", true}, Case{"Bearer 0123456789abcdeF", false},
                        Case{"Bearer 0123456789abcde", false}, Case{"Bearer 0123456789abcdef0", false},
                        Case{"bearer 0123456789abcdef", false}, Case{"0123456789abcdef", false},
                        Case{"", false}}) {
    EXPECT_EQ(MetricsTokenMatches(settings, c.header), c.allowed) << c.header;
  }
}

}  // namespace
}  // namespace logrum::server
