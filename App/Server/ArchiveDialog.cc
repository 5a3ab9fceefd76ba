#include "App/Server/ArchiveDialog.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "App/Server/ArchiveOptions.h"
#include "App/Server/ConfigText.h"
#include "App/Server/FolderDialog.h"
#include "App/Server/MainWindowModel.h"
#include "App/Server/ScheduleStore.h"
#include "App/Server/SkimSwitch.h"
#include "Lib/ArchiveManager/Storage/BackupThread.h"

namespace logrum::server {
namespace {

using archive::DisplayDestination;
using archive::FtpDestination;
using archive::ParseFtpDestination;
using archive::ScramblePassword;
using archive::SplitBackupString;
using nlohmann::json;

constexpr char kTabArchive[] = "Archive";
constexpr char kTabSource[] = "Audio Source";
constexpr char kTabRecord[] = "Record";
constexpr char kTabBitrates[] = "Bitrates";
constexpr char kTabStorage[] = "Storage";
constexpr char kTabSegment[] = "Segment Size";
constexpr char kTabBackup[] = "Backup";
constexpr char kNone[] = "<none>";
constexpr char kRemove[] = "Remove?";
constexpr char kReadOnlyRefusal[] =
    "Archive Options [READ ONLY]: the archive is active. Stop it to change its options.";

constexpr std::array<Bitrate, kBitrateCount> kTable{{
    {0, 0, 0},       {8, 11025, 1},   {16, 11025, 1},  {18, 11025, 1},  {20, 11025, 1},
    {20, 11025, 2},  {24, 11025, 2},  {32, 11025, 2},  {24, 22050, 1},  {32, 22050, 1},
    {40, 22050, 1},  {40, 22050, 2},  {48, 22050, 1},  {48, 22050, 2},  {48, 44100, 1},
    {56, 22050, 1},  {56, 22050, 2},  {56, 44100, 1},  {64, 22050, 2},  {64, 44100, 1},
    {80, 22050, 2},  {80, 44100, 1},  {96, 44100, 1},  {96, 44100, 2},  {112, 44100, 1},
    {112, 44100, 2}, {128, 44100, 1}, {128, 44100, 2}, {160, 44100, 2}, {192, 44100, 2},
    {224, 44100, 2}, {256, 44100, 2}, {320, 44100, 2},
}};

// The source's channel code (1 right, 2 left, 3 both), 0 when not defined.
int SourceCode(MainWindowModel& model, const std::string& source) {
  if (model.sources() == nullptr) return 0;
  int code = 0;
  model.sources()->sources().Enumerate([&](const std::string& name, const kit::OptionValue& value) {
    if (code == 0 && EqualsIgnoreCase(name, source) && value.type() == kit::OptionValue::kString &&
        !value.bytes().empty()) {
      code = value.bytes()[0] - '0';
      if (code < 1 || code > 3) code = 3;
    }
  });
  return code;
}

// The valid switch mask of a source's GPIO device: the device is opened just
// long enough to read it.
uint8_t ValidMask(MainWindowModel& model, const std::string& source) {
  if (SourceCode(model, source) == 0 || model.gpio() == nullptr) return 0;
  SkimSwitch probe(model.gpio());
  if (!probe.OpenDevice(source, model.sources()->DeviceOfSource(source))) return 0;
  return probe.valid_mask();
}

// The switches (mask bits, bit 0 = switch 1) that a valid mask offers: switch
// n goes with bit 8 - n of the valid mask.
uint8_t OfferedSwitches(uint8_t valid) {
  return ReverseBits(valid);
}

std::string FolderOf(std::string_view path) {
  std::string folder(path);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string CurrentDir() {
  std::error_code ec;
  std::string dir = std::filesystem::current_path(ec).string();
  return ec ? std::string("/") : dir;
}

std::string JoinBackup(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += (text.empty() ? "" : "|") + entry;
  return text;
}

// What a checked request holds, in stored units.
struct Parsed {
  std::string name;
  bool auto_start = false;
  bool enable_scheduler = false;
  std::string source;
  int32_t record_mode = 0;
  uint8_t switches = 0;
  int level = 1;
  int32_t pre_delay = 0;
  int32_t post_delay = 0;
  int off = 0, on = 0, live = 0;  // bitrate indexes; -1 keeps the stored setting
  std::string folder;
  int32_t disk_kb = 0;
  int32_t days = 0;
  int32_t erase = 0;
  int32_t segment_minutes = 0;
  int32_t align = 0;
  std::vector<std::string> backup;
  Schedule schedule;
};

struct Reader {
  const json& values;
  DialogAnswer error;

  bool Text(const char* field, std::string* out) {
    return DialogString(values, field, out, &error);
  }
  bool Flag(const char* field, bool* out) { return DialogBool(values, field, out, &error); }
  bool Number(const char* field, int64_t low, int64_t high, int64_t* out) {
    if (!DialogInt(values, field, out, &error)) return false;
    if (*out < low || *out > high) {
      error = DialogBadRequest("\"" + std::string(field) + "\" must lie from " +
                               std::to_string(low) + " to " + std::to_string(high));
      return false;
    }
    return true;
  }
};

// A typed text that still reads as the stored value keeps the stored value:
// the display rounds (delays to tenths, sizes to three decimals), and an
// unchanged field must not change the archive.
template <typename Format>
bool Unchanged(const std::string& text, int32_t stored, Format format) {
  return text == format(stored);
}

void SetBitrate(ArchiveOptions& options, const char* group, int index) {
  if (index < 0) return;
  const Bitrate& b = kTable[static_cast<size_t>(index)];
  options.values().SetInteger(std::string(group) + "BitrateK", b.kbps);
  options.values().SetInteger(std::string(group) + "SampleRate", b.hz);
  options.values().SetInteger(std::string(group) + "Channels", b.channels);
}

void Apply(const Parsed& p, ArchiveOptions& o) {
  kit::OptionsReg& v = o.values();
  v.SetInteger("AutoStart", p.auto_start ? 1 : 0);
  v.SetInteger("EnableScheduler", p.enable_scheduler ? 1 : 0);
  v.SetString("SourceName", p.source);
  v.SetInteger("RecordToDisk", RecordToDiskFor(p.source));
  v.SetString("BackupString", JoinBackup(p.backup));
  // The mode decides which group records; the other is stored as zeros.
  SetBitrate(o, "On", p.record_mode == 0 ? 0 : p.on);
  SetBitrate(o, "Off", p.record_mode == 1 ? 0 : p.off);
  SetBitrate(o, "Live", p.live);
  v.SetInteger("RecordMode", p.record_mode);
  v.SetString("SkimSource", FormatSkimSource(p.switches, p.level));
  v.SetInteger("PreDelay", p.pre_delay);
  v.SetInteger("PostDelay", p.post_delay);
  v.SetString("ArchivePath", p.folder);
  v.SetString("LogPath", LogPathFor(p.folder));
  v.SetInteger("MaxDays", p.days);
  v.SetInteger("DiskSpaceToUseKB", p.disk_kb);
  v.SetInteger("EraseBehavior", p.erase);
  v.SetInteger("SegmentSizeMinutes", p.segment_minutes);
  v.SetInteger("SegmentAlign", p.align);
  o.schedule() = p.schedule;
}

// "HH:MM[:SS]" (any numbers, each taken modulo its range) or seconds.
std::optional<int32_t> EventTime(const json& time) {
  if (time.is_number_integer()) {
    int64_t seconds = time.get<int64_t>();
    if (seconds < 0 || seconds > 86399) return std::nullopt;
    return static_cast<int32_t>(seconds);
  }
  if (!time.is_string()) return std::nullopt;
  unsigned hour = 0, minute = 0, second = 0;
  char tail = 0;
  const std::string text = time.get<std::string>();
  int n = std::sscanf(text.c_str(), "%2u:%2u:%2u%c", &hour, &minute, &second, &tail);
  if (n < 2 || n > 3) return std::nullopt;
  return static_cast<int32_t>(hour % 24 * 3600 + minute % 60 * 60 + second % 60);
}

// One event of a request; false with the refusal.
bool ReadEvent(const json& item, ScheduleEvent* event, DialogAnswer* error) {
  if (!item.is_object()) {
    *error = DialogBadRequest("A schedule event must be an object");
    return false;
  }
  std::string description;
  int64_t action = 0, days = 0;
  if (!DialogString(item, "description", &description, error) ||
      !DialogInt(item, "action", &action, error) || !DialogInt(item, "days", &days, error)) {
    return false;
  }
  auto time = item.contains("time") ? EventTime(item["time"]) : std::nullopt;
  if (!time) {
    *error = DialogBadRequest("\"time\" must be a time of day, HH:MM:SS");
    return false;
  }
  if (action != ScheduleEvent::kStart && action != ScheduleEvent::kStop) {
    *error = DialogBadRequest("\"action\" must be 0 (start) or 1 (stop)");
    return false;
  }
  if (days < 0 || days > 0x7F) {
    *error = DialogBadRequest("\"days\" must be a day mask from 0 to 127");
    return false;
  }
  if ((days & 0x7F) == 0) {
    *error = DialogRefuse(kNoDaySelected, kTabArchive, "days");
    return false;
  }
  event->description = description.substr(0, ScheduleEvent::kMaxDescription);
  event->time_of_day = *time;
  event->action = static_cast<int32_t>(action);
  event->day_mask = static_cast<int32_t>(days);
  return true;
}

json EventJson(const ScheduleEvent& event) {
  return {{"description", event.description},
          {"time", event.time_of_day},
          {"action", event.action},
          {"days", event.day_mask}};
}

json EventRow(const ScheduleEvent& event) {
  return {{"description", event.description},
          {"time", EventTimeText(event.time_of_day)},
          {"days", EventDaysText(event.day_mask)},
          {"action", EventActionText(event.action)}};
}

}  // namespace

const std::array<Bitrate, kBitrateCount>& BitrateTable() {
  return kTable;
}

std::string BitrateText(int index) {
  if (index <= 0 || index >= kBitrateCount) return "<off>";
  const Bitrate& b = kTable[static_cast<size_t>(index)];
  char text[64];
  std::snprintf(text, sizeof text, "%d kbps, %d Hz, %s", b.kbps, b.hz,
                b.channels == 1 ? "mono" : "stereo");
  return text;
}

int FindBitrate(int32_t kbps, int32_t hz, int32_t channels) {
  if (kbps == 0) return 0;
  for (int i = 1; i < kBitrateCount; ++i) {
    const Bitrate& b = kTable[static_cast<size_t>(i)];
    if (b.kbps == kbps && b.hz == hz && b.channels == channels) return i;
  }
  return -1;
}

std::optional<int32_t> ParseSegmentDuration(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  auto digits = [&](int64_t* value) {
    size_t start = at;
    *value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      *value = *value * 10 + (text[at] - '0');
      if (*value > INT32_MAX) return false;
      ++at;
    }
    return at > start;
  };
  int64_t first = 0, second = 0;
  if (!digits(&first)) return std::nullopt;
  int64_t minutes = first;
  if (at < text.size() && text[at] == ':') {
    ++at;
    if (!digits(&second)) return std::nullopt;
    minutes = first * 60 + second;
  }
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at != text.size() || minutes > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(minutes);
}

std::string FormatSegmentDuration(int32_t minutes) {
  const unsigned shown = static_cast<unsigned>(std::clamp(minutes, 0, 1440));
  char text[32];
  std::snprintf(text, sizeof text, "%u:%2.2u", shown / 60, shown % 60);
  return text;
}

std::string SegmentPreview(int32_t minutes, bool align) {
  if (!align || minutes <= 0) return "n/a";
  std::string text = "0:00";
  char step[32];
  for (int32_t at = minutes; at < 1440; at += minutes) {
    std::snprintf(step, sizeof step, ", %u:%2.2u", static_cast<unsigned>(at / 60),
                  static_cast<unsigned>(at % 60));
    text += step;
  }
  return text + ". 0:00, ...";
}

std::string EventTimeText(int32_t seconds) {
  const int hour = seconds / 3600 % 24;
  char text[32];
  std::snprintf(text, sizeof text, "%2.2d:%2.2d:%2.2d %s", hour % 12 == 0 ? 12 : hour % 12,
                seconds / 60 % 60, seconds % 60, hour < 12 ? "AM" : "PM");
  return text;
}

std::string EventDaysText(int32_t mask) {
  static const char* const kDays[] = {"Mo ", "Tu ", "We ", "Th ", "Fr ", "Sa ", "Su "};
  std::string text;
  for (int bit = 0; bit < 7; ++bit) {
    if ((mask & (1 << bit)) != 0) text += kDays[bit];
  }
  return text;
}

std::string EventActionText(int32_t action) {
  return action == ScheduleEvent::kStop ? "Stop" : "Start";
}

std::string FtpAddress(const FtpTestParams& params) {
  return "ftp://" + params.user + ":" + ScramblePassword(params.password, params.user) + "@" +
         params.server + ":" + std::to_string(params.port) + "/" + params.folder;
}

ArchiveDialogs::ArchiveDialogs(MainWindowModel* model, std::string state_folder)
    : model_(model), state_folder_(std::move(state_folder)) {}

json ArchiveDialogs::Values(ArchiveOptions& o) const {
  SkimSelection skim;
  if (auto parsed = ParseSkimSource(o.String("SkimSource"))) skim = *parsed;
  json backup = json::array();
  for (const std::string& entry : SplitBackupString(o.String("BackupString"))) {
    backup.push_back(DisplayDestination(entry));
  }
  json schedule = json::array();
  for (const ScheduleEvent& event : o.schedule().events()) schedule.push_back(EventJson(event));
  return {
      {"name", o.name()},
      {"auto_start", o.AutoStart() > 0},
      {"enable_scheduler", o.EnableScheduler() > 0},
      {"source", o.String("SourceName")},
      {"record_mode", std::clamp(o.Integer("RecordMode"), 0, 2)},
      {"switches", skim.mask},
      {"level", skim.level},
      {"pre_delay", FormatDelay(o.Integer("PreDelay"))},
      {"post_delay", FormatDelay(o.Integer("PostDelay"))},
      {"off_bitrate",
       FindBitrate(o.Integer("OffBitrateK"), o.Integer("OffSampleRate"), o.Integer("OffChannels"))},
      {"on_bitrate",
       FindBitrate(o.Integer("OnBitrateK"), o.Integer("OnSampleRate"), o.Integer("OnChannels"))},
      {"live_bitrate", FindBitrate(o.Integer("LiveBitrateK"), o.Integer("LiveSampleRate"),
                                   o.Integer("LiveChannels"))},
      {"folder", o.String("ArchivePath")},
      {"disk_space", FormatDiskSpace(o.Integer("DiskSpaceToUseKB"))},
      {"days", FormatDays(o.Integer("MaxDays"))},
      {"erase", o.Integer("EraseBehavior") == 0 ? 0 : 1},
      {"segment_duration", FormatSegmentDuration(o.Integer("SegmentSizeMinutes"))},
      {"segment_align", o.Integer("SegmentAlign") != 0 ? 1 : 0},
      {"backup", std::move(backup)},
      {"schedule", std::move(schedule)},
  };
}

std::optional<json> ArchiveDialogs::Open(const std::string& name) {
  const bool adding = name.empty();
  ArchiveOptions fresh(model_->archives().store());
  ArchiveOptions* options = &fresh;
  bool active = false;
  if (adding) {
    fresh.RegisterDefaults();
  } else {
    options = model_->archives().Find(name);
    const int row = model_->FindRow(name);
    if (options == nullptr || row < 0) return std::nullopt;
    active = model_->row(static_cast<size_t>(row)).controller->IsActive();
  }
  json values = Values(*options);
  json sources = json::array({{{"name", kNone}, {"mono", false}, {"valid_mask", 0}}});
  if (model_->sources() != nullptr) {
    model_->sources()->sources().Enumerate([&](const std::string& source, const kit::OptionValue&) {
      const int code = SourceCode(*model_, source);
      sources.push_back({{"name", source},
                         {"mono", code == 1 || code == 2},
                         {"valid_mask", ValidMask(*model_, source)}});
    });
  }
  json bitrates = json::array();
  for (int i = 0; i < kBitrateCount; ++i) {
    bitrates.push_back(
        {{"text", BitrateText(i)}, {"mono", kTable[static_cast<size_t>(i)].channels != 2}});
  }
  json rows = json::array();
  for (const ScheduleEvent& event : options->schedule().events()) rows.push_back(EventRow(event));
  const int32_t minutes = options->Integer("SegmentSizeMinutes");
  return json{
      {"values", values},
      {"version", DialogVersion(values)},
      {"caption", active ? kArchiveOptionsReadOnly : kArchiveOptionsCaption},
      {"read_only", active},
      {"adding", adding},
      {"sources", std::move(sources)},
      {"bitrates", std::move(bitrates)},
      {"preview", SegmentPreview(minutes, options->Integer("SegmentAlign") != 0)},
      {"default_folder", state_folder_ + "/Archive"},
      {"schedule_rows", std::move(rows)},
      {"texts", {{"remove", kRemove}}},
  };
}

DialogAnswer ArchiveDialogs::Save(const json& request) {
  auto values_it = request.find("values");
  if (values_it == request.end() || !values_it->is_object()) {
    return DialogBadRequest("\"values\" must hold the dialog's fields");
  }
  const json& values = *values_it;
  const bool adding = !request.contains("archive");
  ArchiveOptions* stored = nullptr;
  int row = -1;
  if (!adding) {
    std::string archive;
    DialogAnswer error;
    if (!DialogString(request, "archive", &archive, &error)) return error;
    stored = model_->archives().Find(archive);
    row = model_->FindRow(archive);
    if (stored == nullptr || row < 0) {
      DialogAnswer missing = DialogBadRequest("No archive named '" + archive + "'");
      missing.status = 404;
      return missing;
    }
    if (model_->row(static_cast<size_t>(row)).controller->IsActive()) {
      DialogAnswer refused = DialogRefuse(kReadOnlyRefusal);
      refused.status = 409;
      return refused;
    }
    if (auto stale = CheckDialogVersion(request, Values(*stored))) return *stale;
  }

  // Types first: a request that is not the dialog's shape gets a 400.
  Reader in{values, {}};
  Parsed p;
  std::string pre, post, disk, days, duration;
  int64_t mode = 0, switches = 0, level = 0, off = 0, on = 0, live = 0, erase = 0, align = 0;
  auto schedule_it = values.find("schedule");
  auto backup_it = values.find("backup");
  if (!in.Text("name", &p.name) || !in.Flag("auto_start", &p.auto_start) ||
      !in.Flag("enable_scheduler", &p.enable_scheduler) || !in.Text("source", &p.source) ||
      !in.Number("record_mode", 0, 2, &mode) || !in.Number("switches", 0, 255, &switches) ||
      !in.Number("level", 0, 1, &level) || !in.Text("pre_delay", &pre) ||
      !in.Text("post_delay", &post) || !in.Number("off_bitrate", -1, kBitrateCount - 1, &off) ||
      !in.Number("on_bitrate", -1, kBitrateCount - 1, &on) ||
      !in.Number("live_bitrate", -1, kBitrateCount - 1, &live) || !in.Text("folder", &p.folder) ||
      !in.Text("disk_space", &disk) || !in.Text("days", &days) ||
      !in.Number("erase", 0, 1, &erase) || !in.Text("segment_duration", &duration) ||
      !in.Number("segment_align", 0, 1, &align)) {
    return in.error;
  }
  if (schedule_it == values.end() || !schedule_it->is_array() || backup_it == values.end() ||
      !backup_it->is_array()) {
    return DialogBadRequest("\"schedule\" and \"backup\" must be lists");
  }
  if (!adding) p.name = stored->name();  // the name is fixed once the archive exists
  p.record_mode = static_cast<int32_t>(mode);
  p.level = static_cast<int>(level);
  p.off = static_cast<int>(off);
  p.on = static_cast<int>(on);
  p.live = static_cast<int>(live);
  p.erase = static_cast<int32_t>(erase);
  p.align = static_cast<int32_t>(align);

  // The dialog's checks, in its order.
  if (p.name.empty()) return DialogRefuse("Please enter an archive name!", kTabArchive, "name");
  if (adding && model_->archives().Find(p.name) != nullptr) {
    return DialogRefuse(
        "This archive name has already been used! Please choose another archive name.", kTabArchive,
        "name");
  }
  if (p.name.find('\\') != std::string::npos || p.name.find('/') != std::string::npos ||
      p.name.size() > 255) {
    return DialogRefuse(
        "An archive name may not contain '\\' or '/' and has at most 255 characters.", kTabArchive,
        "name");
  }
  for (const json& item : *schedule_it) {
    ScheduleEvent event;
    DialogAnswer error;
    if (!ReadEvent(item, &event, &error)) return error;
    p.schedule.Add(event);
  }
  // Without events the box is cleared and disabled.
  if (p.schedule.size() == 0) p.enable_scheduler = false;

  const int code = EqualsIgnoreCase(p.source, kNone) ? 0 : SourceCode(*model_, p.source);
  if (code == 0 && !EqualsIgnoreCase(p.source, kNone)) {
    return DialogRefuse("The audio source '" + p.source + "' is not defined.", kTabSource,
                        "source");
  }
  if (code == 0) p.source = kNone;
  const uint8_t valid = code == 0 ? 0 : ValidMask(*model_, p.source);
  if (p.record_mode != 0 && valid == 0) {
    return DialogRefuse(
        "(No switch inputs have been defined!) Only continuous logging is available "
        "for this source.",
        kTabRecord, "record_mode");
  }
  // Continuous logging clears the switches, as the dialog does.
  p.switches = p.record_mode == 0 ? 0 : static_cast<uint8_t>(switches);
  const uint8_t unavailable = static_cast<uint8_t>(p.switches & ~OfferedSwitches(valid));
  if (unavailable != 0) {
    int n = 1;
    while ((unavailable & (1 << (n - 1))) == 0) ++n;
    return DialogRefuse("Switch " + std::to_string(n) + " is not available on this source.",
                        kTabRecord, "switches");
  }
  ArchiveOptions* base = stored;
  ArchiveOptions defaults(model_->archives().store());
  if (base == nullptr) {
    defaults.RegisterDefaults();
    base = &defaults;
  }
  auto delay = [&](const std::string& text, const char* value, int32_t* out) {
    if (Unchanged(text, base->Integer(value), FormatDelay)) {
      *out = base->Integer(value);
      return true;
    }
    auto parsed = ParseDelay(text);
    if (parsed) *out = *parsed;
    return parsed.has_value();
  };
  if (!delay(pre, "PreDelay", &p.pre_delay)) {
    return DialogRefuse("The activation pre-delay must be a number of seconds.", kTabRecord,
                        "pre_delay");
  }
  if (!delay(post, "PostDelay", &p.post_delay)) {
    return DialogRefuse("The activation post-delay must be a number of seconds.", kTabRecord,
                        "post_delay");
  }
  // Only the lists the mode records with (and the live stream) count.
  for (auto [index, field] : {std::pair{p.record_mode == 1 ? 0 : p.off, "off_bitrate"},
                              std::pair{p.record_mode == 0 ? 0 : p.on, "on_bitrate"},
                              std::pair{p.live, "live_bitrate"}}) {
    if (index > 0 && (code == 1 || code == 2) && kTable[static_cast<size_t>(index)].channels != 1) {
      return DialogRefuse("The bitrate '" + BitrateText(index) + "' is stereo; the source '" +
                              p.source + "' has one channel.",
                          kTabBitrates, field);
    }
  }
  if (Unchanged(disk, base->Integer("DiskSpaceToUseKB"), FormatDiskSpace)) {
    p.disk_kb = base->Integer("DiskSpaceToUseKB");
  } else if (auto kb = ParseDiskSpace(disk)) {
    p.disk_kb = *kb;
  } else {
    return DialogRefuse(
        "Please enter the disk space to use as a number, with M or G for megabytes "
        "or gigabytes (kilobytes without).",
        kTabStorage, "disk_space");
  }
  if (auto parsed = ParseDays(days)) {
    p.days = *parsed;
  } else {
    return DialogRefuse("Please enter the number of days to keep, or <all>.", kTabStorage, "days");
  }
  if (Unchanged(duration, base->Integer("SegmentSizeMinutes"), FormatSegmentDuration)) {
    p.segment_minutes = base->Integer("SegmentSizeMinutes");
  } else if (auto minutes = ParseSegmentDuration(duration)) {
    p.segment_minutes = *minutes;
  } else {
    return DialogRefuse("Please enter the segment duration as hh:mm.", kTabSegment,
                        "segment_duration");
  }

  // Backup: a destination the page shows with "****" stands for the stored
  // one (or a tested one) of the same form; the password never comes back.
  const FolderPolicy policy = FolderPolicy::Load(model_->archives().store(), state_folder_);
  std::map<std::string, std::string> known;
  for (const std::string& entry : SplitBackupString(base->String("BackupString"))) {
    known.emplace(DisplayDestination(entry), entry);
  }
  for (const json& item : *backup_it) {
    if (!item.is_string()) return DialogBadRequest("\"backup\" must list texts");
    const std::string entry = item.get<std::string>();
    std::string real = entry;
    if (entry.starts_with("folder://")) {
      if (known.count(entry) == 0) {
        FolderPolicy::Checked checked;
        platform::Status status = policy.Check(entry.substr(9), &checked);
        if (!status.ok()) return DialogRefuse(status.message(), kTabBackup, "backup");
        if (!checked.exists) {
          return DialogRefuse("Directory '" + checked.path + "' does not exist!", kTabBackup,
                              "backup");
        }
        real = "folder://" + checked.path;
      }
    } else if (entry.starts_with("ftp://") || entry.starts_with("ftps://")) {
      if (entry.find(":****@") != std::string::npos) {
        std::string tested = TestedFtpAddress(entry);
        auto it = known.find(entry);
        if (!tested.empty()) {
          real = tested;
        } else if (it != known.end()) {
          real = it->second;
        } else {
          return DialogRefuse("The password of '" + entry +
                                  "' is not known here. Add the FTP server again and test it.",
                              kTabBackup, "backup");
        }
      }
      FtpDestination parsed;
      if (!ParseFtpDestination(real, &parsed)) {
        return DialogRefuse("Unable to parse FTP string '" + entry + "'!", kTabBackup, "backup");
      }
    } else {
      return DialogRefuse("Unknown backup location '" + entry + "'.", kTabBackup, "backup");
    }
    if (real.find('|') != std::string::npos) {
      return DialogRefuse("A backup location may not contain '|': '" + entry + "'.", kTabBackup,
                          "backup");
    }
    if (std::find(p.backup.begin(), p.backup.end(), real) == p.backup.end())
      p.backup.push_back(real);
  }

  // The archive folder: created after a question, never another archive's.
  const std::string typed_folder = FolderOf(MakeAbsolutePath(p.folder, CurrentDir()));
  if (adding || typed_folder != FolderOf(base->String("ArchivePath"))) {
    FolderPolicy::Checked checked;
    platform::Status status = policy.Check(typed_folder, &checked);
    if (!status.ok()) return DialogRefuse(status.message(), kTabStorage, "folder");
    p.folder = checked.path;
    if (!checked.exists) {
      auto create = DialogReply(request, "create-folder");
      if (!create) {
        return DialogAsk("Directory '" + p.folder + "' does not exist! Create it?", "create-folder",
                         kTabStorage);
      }
      if (!*create) return DialogStay(kTabStorage);
      if (!policy.Create(p.folder))
        return DialogRefuse(kUnableToCreateDirectory, kTabStorage, "folder");
    }
  } else {
    p.folder = base->String("ArchivePath");
  }
  std::string user;
  model_->archives().ForEach([&](ArchiveOptions& other) {
    if (user.empty() && (adding || FoldName(other.name()) != FoldName(p.name)) &&
        FoldName(FolderOf(other.String("ArchivePath"))) == FoldName(FolderOf(p.folder))) {
      user = other.name();
    }
  });
  if (!user.empty()) {
    return DialogRefuse("Directory '" + p.folder + "' is already used by archive " + user +
                            ". Please choose another directory.",
                        kTabStorage, "folder");
  }

  // Bitrates: a zero setting is asked about, and "Yes" goes back to change it.
  auto zero_question = [&](const char* key,
                           const std::string& text) -> std::optional<DialogAnswer> {
    auto change = DialogReply(request, key);
    if (!change) return DialogAsk(text, key, kTabBitrates);
    if (*change) return DialogStay(kTabBitrates);
    return std::nullopt;
  };
  static const char kZero[] =
      "The bitrate is set to zero. No audio will record. Would you like to change this?";
  if (p.record_mode == 0 && p.off == 0) {
    if (auto stop = zero_question("bitrate-zero", kZero)) return *stop;
  } else if (p.record_mode == 1 && p.on == 0) {
    if (auto stop = zero_question("bitrate-zero", kZero)) return *stop;
  } else if (p.record_mode == 2) {
    if (p.off == 0) {
      if (auto stop =
              zero_question("first-bitrate-zero",
                            "The first bitrate is set to zero. No audio will record when the "
                            "skim inputs are OFF. Would you like to change this?")) {
        return *stop;
      }
    }
    if (p.on == 0) {
      if (auto stop =
              zero_question("second-bitrate-zero",
                            "The second bitrate is set to zero. No audio will record when the "
                            "skim inputs are ON. Would you like to change this?")) {
        return *stop;
      }
    }
  }

  if (adding) {
    auto grant = DialogReply(request, "grant");
    if (!grant) return DialogAsk("Grant all users access rights to the new archive?", "grant");
    auto options = std::make_unique<ArchiveOptions>(model_->archives().store());
    options->RegisterDefaults();
    options->set_name(p.name);
    Apply(p, *options);
    if (!model_->AddArchive(std::move(options), *grant)) {
      DialogAnswer failed = DialogRefuse(ConfigMessageText(kMsgRegistryAccess));
      failed.status = 500;
      failed.changed = true;
      return failed;
    }
    ArchiveOptions* added = model_->archives().Find(p.name);
    json now = Values(*added);
    std::string version = DialogVersion(now);
    return DialogDone(
        {{"archive", p.name}, {"values", std::move(now)}, {"version", std::move(version)}});
  }
  if (!model_->EditArchive(static_cast<size_t>(row), [&](ArchiveOptions& o) { Apply(p, o); })) {
    // Nothing was stored: the archive goes back to what the store holds.
    stored->Load(ArchiveKeyPath(p.name));
    // A missing Schedule key is an empty schedule.
    Schedule saved;
    LoadSchedule(model_->archives().store(), ScheduleKeyPath(p.name), &saved);
    stored->schedule() = saved;
    DialogAnswer failed = DialogRefuse(ConfigMessageText(kMsgRegistryAccess));
    failed.status = 500;
    return failed;
  }
  json now = Values(*stored);
  std::string version = DialogVersion(now);
  return DialogDone(
      {{"archive", p.name}, {"values", std::move(now)}, {"version", std::move(version)}});
}

json ArchiveDialogs::NewEvent() const {
  return {
      {"description", ""}, {"time", 0}, {"action", ScheduleEvent::kStart}, {"days", last_days_}};
}

DialogAnswer ArchiveDialogs::CheckEvent(const json& request) {
  auto item = request.find("event");
  if (item == request.end()) return DialogBadRequest("\"event\" must hold the event's fields");
  ScheduleEvent event;
  DialogAnswer error;
  if (!ReadEvent(*item, &event, &error)) return error;
  last_days_ = event.day_mask;
  DialogAnswer done = DialogDone({{"event", EventJson(event)}, {"row", EventRow(event)}});
  done.changed = false;
  return done;
}

void ArchiveDialogs::RememberFtpTest(const std::string& address) {
  kit::MutexLock lock(ftp_mu_);
  tested_ftp_[DisplayDestination(address)] = address;
}

std::string ArchiveDialogs::TestedFtpAddress(const std::string& shown) const {
  kit::MutexLock lock(ftp_mu_);
  auto it = tested_ftp_.find(shown);
  return it == tested_ftp_.end() ? std::string() : it->second;
}

}  // namespace logrum::server
