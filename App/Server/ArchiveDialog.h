// The archive options dialog (Add and Edit), the schedule event dialog and the
// FTP server dialog's address, as the web console runs them: the dialog's
// working copy as JSON, every check of the dialog on the server with its
// texts and questions, and the save through the main window model.
//
// The working copy ("values"), in the dialog's own text forms:
//   name, auto_start, enable_scheduler (bool), source ("<none>" or a source),
//   record_mode (0 continuous, 1 skimming, 2 smart skimming), switches (mask,
//   bit 0 = switch 1), level (1 closed, 0 open), pre_delay, post_delay
//   ("0.0 sec"), off_bitrate, on_bitrate, live_bitrate (indexes into the
//   bitrate table, -1: a stored setting outside the table, kept as it is),
//   folder, disk_space ("1000.000 MB"), days ("356 days" or "<all>"),
//   erase (0 erase, 1 never), segment_duration ("0:15"), segment_align (0/1),
//   backup (destinations; an FTP password shows as "****"),
//   schedule ([{description, time (seconds after midnight), action, days}]).
//
// Thread safety: ArchiveDialogs runs on the UI thread, except the FTP memory
// (RememberFtpTest), which an HTTP thread fills after a test.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "Lib/Kit/Mutex.h"
#include "App/Server/ConsoleDialogs.h"
#include "App/Server/FtpTest.h"

namespace logrum::server {

class ArchiveOptions;
class MainWindowModel;

inline constexpr char kArchiveOptionsCaption[] = "Archive Options";
inline constexpr char kArchiveOptionsReadOnly[] = "Archive Options [READ ONLY]";
inline constexpr char kNoDaySelected[] =
    "You must have at least one day selected for the start of the event!";

struct Bitrate {
  int32_t kbps;
  int32_t hz;
  int32_t channels;
};
inline constexpr int kBitrateCount = 33;
const std::array<Bitrate, kBitrateCount>& BitrateTable();
// "<off>" for index 0, else "%d kbps, %d Hz, mono|stereo".
std::string BitrateText(int index);
// The table index of a stored setting: 0 when kbps is 0, -1 when not in the table.
int FindBitrate(int32_t kbps, int32_t hz, int32_t channels);

// "h:mm" gives h x 60 + mm minutes, a number without ':' is minutes;
// blanks before. nullopt for anything else or beyond a 32-bit value.
std::optional<int32_t> ParseSegmentDuration(std::string_view text);
// "%u:%2.2u" of the minutes, at most 1440 shown.
std::string FormatSegmentDuration(int32_t minutes);
// "Segments will be created at these times:" text: "n/a", or "0:00, 0:20,
// ... 23:40. 0:00, ...".
std::string SegmentPreview(int32_t minutes, bool align);

// The schedule list's texts: "%I:%M:%S %p", "Mo Tu ...", "Start"/"Stop".
std::string EventTimeText(int32_t seconds);
std::string EventDaysText(int32_t mask);
std::string EventActionText(int32_t action);

// The FTP server dialog's address: "ftp://%s:%s@%s:%d/%s" with the password
// scrambled with the user name as key.
std::string FtpAddress(const FtpTestParams& params);

class ArchiveDialogs {
 public:
  ArchiveDialogs(MainWindowModel* model, std::string state_folder);

  // The dialog for an archive (empty name: Add): {"values", "version",
  // "caption", "read_only", "adding", "sources":[{name, mono, valid_mask}],
  // "bitrates":[texts], "preview", "default_folder", "schedule_rows",
  // "texts"}. nullopt for an unknown archive.
  std::optional<nlohmann::json> Open(const std::string& name);
  // OK of the dialog: {"values", "answers"} to add, plus "archive" and
  // "version" to edit. Checks in the dialog's order, asks its questions,
  // then saves through the model.
  DialogAnswer Save(const nlohmann::json& request);
  // The values of an archive as the dialog shows them (its version's base).
  nlohmann::json Values(ArchiveOptions& options) const;

  // The event dialog: a new event's defaults, and OK on {"event":{...}}
  // with "time" as "HH:MM[:SS]" or seconds.
  nlohmann::json NewEvent() const;
  DialogAnswer CheckEvent(const nlohmann::json& request);

  // A successful FTP test's address, so that a save can find the password
  // behind the "****" the page holds. Any thread.
  void RememberFtpTest(const std::string& address);

 private:
  std::string TestedFtpAddress(const std::string& shown) const;

  MainWindowModel* model_;
  std::string state_folder_;
  int32_t last_days_ = 0x1F;  // Monday to Friday until an event is confirmed

  mutable kit::Mutex ftp_mu_;
  std::map<std::string, std::string> tested_ftp_ GUARDED_BY(ftp_mu_);  // shown form -> address
};

}  // namespace logrum::server
