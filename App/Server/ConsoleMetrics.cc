#include "App/Server/ConsoleMetrics.h"

#include <cinttypes>
#include <cstdio>
#include <functional>

#include "App/Server/MainWindowModel.h"

namespace logrum::server {
namespace {

constexpr const char* kStates[] = {"inactive", "recording", "serving", "paused"};
constexpr const char* kKinds[] = {"playback", "live", "status", "other"};

// A label value with the three escapes the format knows.
std::string Quoted(const std::string& value) {
  std::string text = "\"";
  for (char c : value) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c == '"') {
      text += "\\\"";
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text + "\"";
}

std::string Integer(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64, value);
  return text;
}

// Milliseconds as seconds, exactly.
std::string SecondsOfMs(uint64_t ms) {
  char text[40];
  std::snprintf(text, sizeof text, "%" PRIu64 ".%03" PRIu64, ms / 1000, ms % 1000);
  return text;
}

// Whether the archive filled the field (an older archive service fills less).
template <typename Field>
bool Has(const logrum::ArchiveCounters& counters, const Field& field) {
  const auto end = reinterpret_cast<const char*>(&field) + sizeof field -
                   reinterpret_cast<const char*>(&counters);
  return counters.cbSize >= static_cast<uint32_t>(end);
}

class Page {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const char* name, const std::string& labels, const std::string& value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + value + "\n";
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace

const char* ArchiveStateName(int icon) {
  switch (icon) {
    case kIconRecording:
    case kIconScheduledOn:
      return "recording";
    case kIconServing:
      return "serving";
    case kIconScheduledPaused:
      return "paused";
    default:
      return "inactive";
  }
}

std::string MetricsText(const std::vector<ArchiveMetrics>& archives, const ServerMetrics& server) {
  Page page;
  auto label = [](const ArchiveMetrics& archive) { return "archive=" + Quoted(archive.name); };

  page.Family("logrum2_archive_state", "gauge", "1 for the state the archive is in.");
  for (const ArchiveMetrics& archive : archives) {
    for (const char* state : kStates) {
      page.Sample("logrum2_archive_state", label(archive) + ",state=" + Quoted(state),
                  archive.state == state ? "1" : "0");
    }
  }
  page.Family("logrum2_archive_recording", "gauge", "1 while the archive writes audio to disk.");
  for (const ArchiveMetrics& archive : archives) {
    page.Sample("logrum2_archive_recording", label(archive), archive.recording ? "1" : "0");
  }
  page.Family("logrum2_archive_silence", "gauge",
              "1 while the archive's silence alarm is on (peaks under the silence level).");
  for (const ArchiveMetrics& archive : archives) {
    page.Sample("logrum2_archive_silence", label(archive), archive.silence ? "1" : "0");
  }

  struct Figure {
    const char* name;
    const char* type;
    const char* help;
    std::function<bool(const logrum::ArchiveCounters&, std::string*)> value;
  };
  auto ms = [](uint64_t logrum::ArchiveCounters::*field) {
    return [field](const logrum::ArchiveCounters& c, std::string* value) {
      if (!Has(c, c.*field)) return false;
      *value = SecondsOfMs(c.*field);
      return true;
    };
  };
  auto count = [](uint64_t logrum::ArchiveCounters::*field) {
    return [field](const logrum::ArchiveCounters& c, std::string* value) {
      if (!Has(c, c.*field)) return false;
      *value = Integer(c.*field);
      return true;
    };
  };
  using C = logrum::ArchiveCounters;
  const Figure figures[] = {
      {"logrum2_archive_recorded_seconds_total", "counter", "Audio written into segment files.",
       ms(&C::nRecordedMs)},
      {"logrum2_archive_audio_dropped_seconds_total", "counter",
       "Audio lost because nothing could be written (the status text's \"Audio dropped\").",
       ms(&C::nDroppedMs)},
      {"logrum2_archive_segments_written_total", "counter", "Segments finished and indexed.",
       count(&C::nSegmentsWritten)},
      {"logrum2_archive_segments_recycled_total", "counter", "Segments deleted by recycling.",
       count(&C::nSegmentsRecycled)},
      {"logrum2_archive_used_bytes", "gauge", "Bytes of the archive's segments on disk.",
       count(&C::cbUsed)},
      {"logrum2_archive_quota_bytes", "gauge",
       "Bytes the archive may use: its quota or the free disk space, whichever is less.",
       count(&C::cbQuota)},
      {"logrum2_archive_backup_waiting_segments", "gauge", "Segments waiting for their backup.",
       count(&C::nBackupWaiting)},
      {"logrum2_archive_undeletable_segments", "gauge",
       "Segments dropped from the index because recycling could not delete their files.",
       count(&C::nUndeletable)},
  };
  for (const Figure& figure : figures) {
    page.Family(figure.name, figure.type, figure.help);
    for (const ArchiveMetrics& archive : archives) {
      std::string value;
      if (archive.has_counters && figure.value(archive.counters, &value)) {
        page.Sample(figure.name, label(archive), value);
      }
    }
  }

  if (server.has_counters) {
    const logrum::ServerCounters& c = server.counters;
    page.Family("logrum2_client_connections", "gauge",
                "Client connections now, by what they do.");
    const uint32_t by_kind[] = {c.nPlayback, c.nLive, c.nStatus, c.nOther};
    for (size_t i = 0; i < std::size(kKinds); ++i) {
      page.Sample("logrum2_client_connections", "kind=" + Quoted(kKinds[i]), Integer(by_kind[i]));
    }
    page.Family("logrum2_client_connections_accepted_total", "counter",
                "Client connections taken into service.");
    page.Sample("logrum2_client_connections_accepted_total", "", Integer(c.nAccepted));
    page.Family("logrum2_client_connections_refused_total", "counter",
                "Client connections closed at once because a connection limit was reached.");
    page.Sample("logrum2_client_connections_refused_total", "", Integer(c.nRefused));
  }
  if (!server.devices.empty()) {
    auto device = [](const CaptureMetrics& d) { return "device=" + Quoted(d.device); };
    page.Family("logrum2_capture_overruns_total", "counter",
                "Gaps where a capture device dropped audio because it was not read in time.");
    for (const CaptureMetrics& d : server.devices) {
      page.Sample("logrum2_capture_overruns_total", device(d), Integer(d.stats.nOverruns));
    }
    page.Family("logrum2_capture_lost_seconds_total", "counter",
                "Audio a capture device dropped in its overruns.");
    for (const CaptureMetrics& d : server.devices) {
      page.Sample("logrum2_capture_lost_seconds_total", device(d), SecondsOfMs(d.stats.nLostMs));
    }
    page.Family("logrum2_capture_outages_total", "counter",
                "Failures of a capture device (its input lost, then reopened).");
    for (const CaptureMetrics& d : server.devices) {
      page.Sample("logrum2_capture_outages_total", device(d), Integer(d.stats.nOutages));
    }
    page.Family("logrum2_capture_input_lost", "gauge",
                "1 while a capture device has failed and is being reopened.");
    for (const CaptureMetrics& d : server.devices) {
      page.Sample("logrum2_capture_input_lost", device(d), d.stats.bInputLost ? "1" : "0");
    }
  }
  return page.Take();
}

}  // namespace logrum::server
