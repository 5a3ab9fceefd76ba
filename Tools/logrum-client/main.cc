// logrum-client: a command-line client of the archive server's protocol.
//
//   logrum-client [--host H] [--port P] [--user U --password PASS] COMMAND ...
//
// Prints results on standard output, the server's answer texts and other
// failures on standard error, and exits 0 on success, 1 on a failure or a
// refusal, 2 on a usage error.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Protocol/Client/ProtocolClient.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Time/TimeFormat.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/DebugOutput.h"
#include "Lib/Platform/TimeZone.h"
#include "Tools/logrum-client/Export.h"

namespace {

using logrum::archive::CZoneTime;
namespace proto = logrum::protocol;

constexpr const char kUsage[] =
    "usage: logrum-client [--host H] [--port P] [--user U --password PASS] COMMAND\n"
    "commands:\n"
    "  version                              the server's version\n"
    "  list [--live]                        archives you may play (or follow live)\n"
    "  index ARCHIVE FROM TO                segments starting in [FROM, TO)\n"
    "  play ARCHIVE SEGMENT_START [OFFSET_MS [DURATION_MS]] -o FILE|-\n"
    "  live ARCHIVE -o FILE|- [--seconds N]\n"
    "  export ARCHIVE FROM TO -o FILE|-     the audio of [FROM, TO) as one MP3 file\n"
    "  status ARCHIVE [--count N]\n"
    "  digest USER PASSWORD                 the password digest text a server stores\n"
    "times: YYYY-MM-DDTHH:MM:SS local time, or a segment name time YYYY.MM.DD-HH.MM.SS[-S|-D]\n";

std::atomic<bool> g_interrupted{false};

struct Args {
  std::string host = "127.0.0.1";
  uint16_t port = proto::kDefaultPort;
  std::optional<std::string> user;
  std::string password;
  bool live = false;
  std::optional<std::string> output;
  std::optional<double> seconds;
  uint64_t count = 1;
  std::vector<std::string> words;  // the command and its operands
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "logrum-client: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || v > max) return false;
  *out = v;
  return true;
}

// Returns "" on success, else the problem.
std::string ParseArgs(int argc, char** argv, Args* args) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    uint64_t n;
    if (a == "--host") {
      if (!value(&args->host)) return "--host needs a value";
    } else if (a == "--port") {
      if (!value(&v) || !ParseUnsigned(v, 65535, &n) || n == 0) return "--port needs 1-65535";
      args->port = static_cast<uint16_t>(n);
    } else if (a == "--user") {
      if (!value(&v)) return "--user needs a value";
      args->user = v;
    } else if (a == "--password") {
      if (!value(&args->password)) return "--password needs a value";
    } else if (a == "--live") {
      args->live = true;
    } else if (a == "-o" || a == "--output") {
      if (!value(&v)) return a + " needs a file name or -";
      args->output = v;
    } else if (a == "--seconds") {
      char* end = nullptr;
      if (!value(&v)) return "--seconds needs a number";
      const double s = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != '\0' || !(s > 0)) return "--seconds needs a positive number";
      args->seconds = s;
    } else if (a == "--count") {
      if (!value(&v) || !ParseUnsigned(v, UINT32_MAX, &n) || n == 0) {
        return "--count needs a positive number";
      }
      args->count = n;
    } else if (a == "-h" || a == "--help") {
      return "help";
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return "unknown option " + a;
    } else {
      args->words.push_back(a);
    }
  }
  if (args->words.empty()) return "no command given";
  return "";
}

// The linear time of a local calendar time, in any year from 1601 on: the
// zone's rules decide daylight time. Zone times reach only 15 years either
// side of this year, but a user may well ask for older or later times (the
// server answers what exists of them).
bool LocalToLinear(int y, int mo, int d, int h, int mi, int s, int64_t* linear) {
  if (y < 1601 || mo < 1 || mo > 12 || d < 1 || d > logrum::platform::DaysInMonth(y, mo) || h < 0 ||
      h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) {
    return false;
  }
  const int64_t wall = logrum::platform::CalendarToFileTime({y, mo, d, h, mi, s});
  const logrum::platform::TimeZoneRules& zone = logrum::platform::ActiveZone();
  if (!zone.HasRules()) {
    *linear = wall;
    return true;
  }
  constexpr int64_t kTicksPerMinute = logrum::platform::kTicksPerMinute;
  const bool daylight =
      CZoneTime::IsDaylightLinear(wall + int64_t{zone.standard_bias} * kTicksPerMinute);
  *linear = wall + int64_t{daylight ? zone.daylight_bias : zone.standard_bias} * kTicksPerMinute;
  return true;
}

// Local time as YYYY-MM-DDTHH:MM:SS (the zone's rules decide daylight time),
// or a segment name time with or without its zone letter.
bool ParseTime(const std::string& text, int64_t* linear) {
  int y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) ==
          6 &&
      text.size() == 19) {
    return LocalToLinear(y, mo, d, h, mi, s, linear);
  }
  CZoneTime t;
  if (!logrum::archive::ParseSegmentName(text, false, &t)) return false;
  *linear = t.ToLinear();
  return true;
}

std::string TimeText(int64_t linear) {
  const CZoneTime t = CZoneTime::FromLinear64(linear);
  std::string text;
  if (t.IsNull() || !logrum::archive::FormatTime(t, "%Y.%m.%d-%H.%M.%S-%z", &text)) {
    return "linear:" + std::to_string(linear);
  }
  return text;
}

int Report(const proto::ClientStatus& s, const char* what) {
  std::fprintf(stderr, "logrum-client: %s: %s\n", what, s.ToString().c_str());
  return 1;
}

// Writes audio blocks to a file or standard output.
class AudioFile : public proto::AudioReceiver {
 public:
  AudioFile(FILE* out, std::optional<double> seconds) : out_(out), seconds_(seconds) {}

  bool OnAudioBegin(const proto::AudioFormatInfo& f) override {
    format_ = f;
    std::fprintf(stderr, "logrum-client: %s %s, %d kbit/s, %d Hz, %u channel(s), block %d bytes%s\n",
                 f.live ? "live from" : "archive from", TimeText(f.start_time).c_str(),
                 f.bitrate_kbps, f.sample_rate, unsigned{f.channels}, f.block_size,
                 f.skim ? ", skim" : "");
    return !Done();
  }

  bool OnAudioData(const uint8_t* data, size_t size) override {
    if (size != 0 && std::fwrite(data, 1, size, out_) != size) {
      write_failed_ = true;
      return false;
    }
    if (format_.sample_rate > 0) {
      // A live AudioBegin counts the samples of all channels together, an
      // archived one those of one channel.
      double samples = format_.samples_per_block;
      if (format_.live && format_.channels > 1) samples /= format_.channels;
      played_s_ += samples / format_.sample_rate;
    }
    return !Done();
  }

  bool write_failed() const { return write_failed_; }

 private:
  bool Done() const { return g_interrupted || (seconds_ && played_s_ >= *seconds_); }

  FILE* out_;
  std::optional<double> seconds_;
  proto::AudioFormatInfo format_;
  double played_s_ = 0;
  bool write_failed_ = false;
};

int RunAudio(proto::ProtocolClient& client, const Args& args, bool live, int64_t start,
             uint32_t offset_ms, uint32_t duration_ms) {
  if (!args.output) return Usage("-o FILE or -o - is required");
  FILE* out = *args.output == "-" ? stdout : std::fopen(args.output->c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "logrum-client: cannot write %s: %s\n", args.output->c_str(),
                 std::strerror(errno));
    return 1;
  }
  AudioFile file(out, live ? args.seconds : std::nullopt);
  const proto::ClientStatus s = live ? client.PlayLive(file)
                                     : client.PlayArchive(start, offset_ms, duration_ms, file);
  const bool closed = out == stdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
  if (file.write_failed() || !closed) {
    std::fprintf(stderr, "logrum-client: writing %s failed\n", args.output->c_str());
    return 1;
  }
  return s.ok() ? 0 : Report(s, live ? "live" : "play");
}

// Writes one piece of an export: whole blocks until the file's running
// length reaches the piece's target (to within half a block).
class ExportReceiver : public proto::AudioReceiver {
 public:
  ExportReceiver(FILE* out, double* written_ms, int64_t total_ms, bool progress)
      : out_(out), written_ms_(written_ms), total_ms_(total_ms), progress_(progress) {}

  void Next(int64_t target_ms) { target_ms_ = target_ms; }

  bool OnAudioBegin(const proto::AudioFormatInfo& f) override {
    if (f.sample_rate <= 0) return false;
    block_ms_ = f.samples_per_block * 1000.0 / f.sample_rate;
    if (format_.sample_rate != 0 &&
        (f.sample_rate != format_.sample_rate || f.bitrate_kbps != format_.bitrate_kbps ||
         f.channels != format_.channels)) {
      std::fprintf(stderr,
                   "logrum-client: the format changes at %s (%d kbit/s, %d Hz, %u channel(s)); "
                   "some players stop there\n",
                   TimeText(f.start_time).c_str(), f.bitrate_kbps, f.sample_rate,
                   unsigned{f.channels});
    }
    format_ = f;
    return !g_interrupted;
  }

  bool OnAudioData(const uint8_t* data, size_t size) override {
    if (*written_ms_ + block_ms_ / 2 > static_cast<double>(target_ms_)) return false;
    if (size != 0 && std::fwrite(data, 1, size, out_) != size) {
      write_failed_ = true;
      return false;
    }
    *written_ms_ += block_ms_;
    ShowProgress(false);
    return !g_interrupted;
  }

  void ShowProgress(bool last) {
    if (!progress_) return;
    const int64_t seconds = static_cast<int64_t>(*written_ms_ / 1000);
    if (!last && seconds == shown_s_) return;
    shown_s_ = seconds;
    const int64_t total_s = total_ms_ / 1000;
    std::fprintf(stderr, "\rlogrum-client: exported %" PRId64 ":%02d of %" PRId64 ":%02d (%d%%)%s",
                 seconds / 60, static_cast<int>(seconds % 60), total_s / 60,
                 static_cast<int>(total_s % 60),
                 total_ms_ > 0 ? static_cast<int>(std::min(100.0, *written_ms_ * 100 / total_ms_)) : 100,
                 last ? "\n" : "");
    std::fflush(stderr);
  }

  bool write_failed() const { return write_failed_; }

 private:
  FILE* out_;
  double* written_ms_;
  const int64_t total_ms_;
  const bool progress_;
  int64_t target_ms_ = 0;
  double block_ms_ = 0;
  proto::AudioFormatInfo format_;
  bool write_failed_ = false;
  int64_t shown_s_ = -1;
};

std::string SecondsText(int64_t ticks) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ticks) / 1e7);
  return text;
}

// export: index, plan, then each piece played into one file. The file is
// written under a temporary name and renamed at the end, so a failed export
// never leaves half a file under the name asked for (nor replaces one there).
int RunExport(proto::ProtocolClient& client, const Args& args, int64_t from, int64_t to) {
  constexpr int64_t kDayTicks = int64_t{86400} * 10000000;
  std::vector<proto::IndexItem> items;
  // A segment that began up to a day before the range may reach into it.
  if (proto::ClientStatus s = client.GetIndex(from - kDayTicks, to, &items); !s.ok()) {
    return Report(s, "export");
  }
  logrum::client::ExportPlan plan = logrum::client::PlanExport(std::move(items), from, to);
  if (plan.pieces.empty()) {
    std::fprintf(stderr, "logrum-client: export: no audio recorded between %s and %s\n",
                 TimeText(from).c_str(), TimeText(to).c_str());
    return 1;
  }
  for (const logrum::client::ExportGap& gap : plan.gaps) {
    std::fprintf(stderr, "logrum-client: gap: nothing recorded from %s to %s (%s)\n",
                 TimeText(gap.from).c_str(), TimeText(gap.to).c_str(),
                 SecondsText(gap.to - gap.from).c_str());
  }

  const bool to_stdout = *args.output == "-";
  const std::string part = *args.output + ".part";
  FILE* out = to_stdout ? stdout : std::fopen(part.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "logrum-client: cannot write %s: %s\n", part.c_str(),
                 std::strerror(errno));
    return 1;
  }
  double written_ms = 0;
  ExportReceiver receiver(out, &written_ms, plan.total_ms, ::isatty(2) == 1);
  int result = 0;
  for (const logrum::client::ExportPiece& piece : plan.pieces) {
    receiver.Next(piece.target_ms);
    const proto::ClientStatus s =
        client.PlayArchive(piece.segment_start, piece.offset_ms, piece.duration_ms, receiver);
    if (receiver.write_failed() || g_interrupted) break;
    if (s.refused()) {
      // Recycled since the index was read: a gap in the file, said as such.
      std::fprintf(stderr, "logrum-client: gap: segment %s is no longer there: %s\n",
                   TimeText(piece.segment_start).c_str(), s.message().c_str());
      continue;
    }
    if (!s.ok()) {
      result = Report(s, "export");
      break;
    }
  }
  receiver.ShowProgress(true);
  bool closed = to_stdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
  if (receiver.write_failed() || !closed) {
    std::fprintf(stderr, "logrum-client: writing %s failed\n", part.c_str());
    result = 1;
  } else if (g_interrupted) {
    std::fprintf(stderr, "logrum-client: export interrupted\n");
    result = 1;
  }
  if (to_stdout) return result;
  if (result == 0 && std::rename(part.c_str(), args.output->c_str()) != 0) {
    std::fprintf(stderr, "logrum-client: cannot rename %s to %s: %s\n", part.c_str(),
                 args.output->c_str(), std::strerror(errno));
    result = 1;
  }
  if (result != 0) std::remove(part.c_str());
  return result;
}

int Run(const Args& args) {
  const std::vector<std::string>& w = args.words;
  const std::string& command = w[0];
  auto operands = [&w](size_t min, size_t max) { return w.size() - 1 >= min && w.size() - 1 <= max; };

  if (command == "digest") {
    if (!operands(2, 2)) return Usage("digest needs USER PASSWORD");
    std::printf("%s\n", proto::PasswordDigestText(w[1], w[2]).c_str());
    return 0;
  }
  static const char* const kCommands[] = {"version", "list", "index", "play",
                                          "live",    "status", "export"};
  bool known = false;
  for (const char* c : kCommands) known |= command == c;
  if (!known) return Usage("unknown command " + command);

  // Check the operands before connecting.
  int64_t from = 0, to = 0, start = 0;
  // No segment is longer than a day: asking for one plays the segment to its end.
  uint64_t offset_ms = 0, duration_ms = 24 * 3600 * 1000;
  if (command == "version" || command == "list") {
    if (!operands(0, 0)) return Usage(command + " takes no operands");
  } else if (command == "index") {
    if (!operands(3, 3)) return Usage("index needs ARCHIVE FROM TO");
    if (!ParseTime(w[2], &from)) return Usage("bad time " + w[2]);
    if (!ParseTime(w[3], &to)) return Usage("bad time " + w[3]);
  } else if (command == "play") {
    if (!operands(2, 4)) return Usage("play needs ARCHIVE SEGMENT_START [OFFSET_MS [DURATION_MS]]");
    if (!ParseTime(w[2], &start)) return Usage("bad time " + w[2]);
    if (w.size() > 3 && !ParseUnsigned(w[3], UINT32_MAX, &offset_ms)) return Usage("bad offset");
    if (w.size() > 4 && !ParseUnsigned(w[4], UINT32_MAX, &duration_ms)) {
      return Usage("bad duration");
    }
  } else if (command == "export") {
    if (!operands(3, 3)) return Usage("export needs ARCHIVE FROM TO");
    if (!ParseTime(w[2], &from)) return Usage("bad time " + w[2]);
    if (!ParseTime(w[3], &to)) return Usage("bad time " + w[3]);
    if (to <= from) return Usage("the end of the range must come after its start");
  } else if (!operands(1, 1)) {
    return Usage(command + " needs ARCHIVE");
  }
  if ((command == "play" || command == "live" || command == "export") && !args.output) {
    return Usage("-o FILE or -o - is required");
  }

  proto::ProtocolClient client;
  if (proto::ClientStatus s = client.Connect(args.host, args.port); !s.ok()) {
    return Report(s, "connect");
  }
  if (args.user) {
    if (proto::ClientStatus s = client.LoginWithPassword(*args.user, args.password); !s.ok()) {
      return Report(s, "login");
    }
  }

  if (command == "version") {
    proto::ServerVersion v;
    if (proto::ClientStatus s = client.GetServerVersion(&v); !s.ok()) return Report(s, "version");
    std::printf("%d.%d.%d.%d\n", v.major, v.minor, v.revision, v.build);
    return 0;
  }
  if (command == "list") {
    std::vector<std::string> names;
    const proto::ClientStatus s =
        client.ListArchives(args.live ? proto::kListLive : proto::kListRecordings, &names);
    if (!s.ok()) return Report(s, "list");
    for (const std::string& name : names) std::printf("%s\n", name.c_str());
    return 0;
  }

  if (proto::ClientStatus s = client.Attach(w[1]); !s.ok()) return Report(s, "attach");
  if (command == "index") {
    std::vector<proto::IndexItem> items;
    if (proto::ClientStatus s = client.GetIndex(from, to, &items); !s.ok()) {
      return Report(s, "index");
    }
    for (const proto::IndexItem& item : items) {
      std::printf("%s %" PRIu32 " %d\n", TimeText(item.start_time).c_str(), item.duration_ms,
                  item.skim ? 1 : 0);
    }
    return 0;
  }
  if (command == "play") {
    return RunAudio(client, args, false, start, static_cast<uint32_t>(offset_ms),
                    static_cast<uint32_t>(duration_ms));
  }
  if (command == "live") return RunAudio(client, args, true, 0, 0, 0);
  if (command == "export") return RunExport(client, args, from, to);

  // status
  uint64_t seen = 0;
  const proto::ClientStatus s = client.FollowStatus([&](const proto::ArchiveStatusInfo& st) {
    std::printf("used %" PRIu64 " KB, total %" PRIu64 " KB, clients %" PRIu32
                ", peak min %d, peak max %d\n",
                st.used_kb, st.total_kb, st.clients, st.peak_min, st.peak_max);
    std::fflush(stdout);
    return ++seen < args.count && !g_interrupted;
  });
  return s.ok() ? 0 : Report(s, "status");
}

}  // namespace

int main(int argc, char** argv) {
  logrum::platform::SendWarningsToStandardError("logrum-client");
  Args args;
  if (const std::string problem = ParseArgs(argc, argv, &args); !problem.empty()) {
    if (problem == "help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    return Usage(problem);
  }
  // Ctrl-C ends a stream cleanly at the next block instead of killing it mid-write.
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_interrupted = true; };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return Run(args);
}
