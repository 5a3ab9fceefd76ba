// The server's health for monitoring: the page /metrics of the web console
// in the Prometheus text format (version 0.0.4).
//
// Names follow Prometheus's conventions: every name begins with "logrum2_",
// counters end in "_total", and figures are in base units (seconds, bytes).
// Totals count from the start of the program; they never fall while it runs,
// also not across a stop and start of an archive.
//
//   per archive (label archive="NAME"):
//     logrum2_archive_state{state=...}            1 for the state the archive is in
//                                                 (inactive, recording, serving, paused)
//     logrum2_archive_recording                   1 while audio goes to disk
//     logrum2_archive_silence                     1 while the silence alarm is on
//     logrum2_archive_recorded_seconds_total      audio written into segments
//     logrum2_archive_audio_dropped_seconds_total audio lost because nothing could be
//                                                 written ("Audio dropped: N ms")
//     logrum2_archive_segments_written_total      segments finished and indexed
//     logrum2_archive_segments_recycled_total     segments deleted by recycling
//     logrum2_archive_used_bytes                  the segments on disk
//     logrum2_archive_quota_bytes                 what the archive may use
//     logrum2_archive_backup_waiting_segments     segments waiting for their backup
//     logrum2_archive_undeletable_segments        segments recycling could not delete
//   per server:
//     logrum2_client_connections{kind=...}        connections now, by what they do
//                                                 (playback, live, status, other)
//     logrum2_client_connections_accepted_total   connections taken into service
//     logrum2_client_connections_refused_total    connections closed at once (a cap)
//   per capture device that has run (label device="NAME"):
//     logrum2_capture_overruns_total              gaps where the device dropped audio
//     logrum2_capture_lost_seconds_total          the audio lost in those gaps
//     logrum2_capture_outages_total               failures of the device (input lost)
//     logrum2_capture_input_lost                  1 while the device is being reopened
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <vector>

#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/AudioSource/include/AudioSource.h"

namespace logrum::server {

// One archive as the UI thread sees it at the moment of the request.
struct ArchiveMetrics {
  std::string name;
  std::string state;  // "inactive", "recording", "serving" or "paused"
  bool recording = false;
  bool silence = false;
  bool has_counters = false;  // the archive service answered GetCounters
  logrum::ArchiveCounters counters{};
};

// One capture device's counters, from the audio source library.
struct CaptureMetrics {
  std::string device;
  audio::CaptureStats stats{};
};

struct ServerMetrics {
  bool has_counters = false;
  logrum::ServerCounters counters{};
  std::vector<CaptureMetrics> devices;  // only devices that have captured or failed
};

// The page's content type.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// The state name of a row icon of the archive list (MainWindowModel.h).
const char* ArchiveStateName(int icon);

// The whole page. Archives without counters still report their state.
std::string MetricsText(const std::vector<ArchiveMetrics>& archives, const ServerMetrics& server);

}  // namespace logrum::server
