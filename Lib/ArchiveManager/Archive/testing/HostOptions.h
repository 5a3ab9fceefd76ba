// Options objects and a skim switch for hosts of the archive service other
// than the server program: tests, benchmarks and tools. The values start at
// the configuration store's defaults for a new archive; change the fields
// before opening an archive, and keep the objects alive while it is open.
//
// Thread safety: set the fields before Open; the switch may be flipped from
// any thread at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Lib/ArchiveManager/include/ArchiveOptions.h"
#include "Lib/ArchiveManager/include/SkimSwitch.h"

namespace logrum::archive::testing {

class HostOptions : public ArchiveOptions {
 public:
  int32_t rec_sample_rate = 44100;
  int32_t rec_channels = 2;
  int32_t live_bitrate_k = 32;
  int32_t live_sample_rate = 22050;
  int32_t live_channels = 1;
  int32_t on_bitrate_k = 128;
  int32_t on_sample_rate = 44100;
  int32_t on_channels = 2;
  int32_t off_bitrate_k = 32;
  int32_t off_sample_rate = 22050;
  int32_t off_channels = 1;
  int32_t pre_delay = 0;
  int32_t post_delay = 0;
  int32_t server_port = 9020;
  int32_t live_block_duration = 0;
  int32_t logger_block_duration = 4000;
  int32_t disk_space_kb = 1000000;
  int32_t max_days = 356;
  bool erase = true;  // what GetEraseBehavior reports (the store's 0 reads as 1)
  int32_t recycle_period_ms = 10000;
  int32_t record_mode = 0;
  bool record_to_disk = true;
  std::string log_path = ".";
  std::string log_prefix = "Log";
  std::string archive_path = ".";
  std::string archive_ext = ".mp3";
  std::string source_name = "<none>";
  std::string backup_string;
  std::string skim_source;
  int32_t max_time_adjust_sec = 5;
  int32_t segment_minutes = 15;
  int32_t segment_align = 1;

  int32_t GetRecSampleRate() override { return rec_sample_rate; }
  int32_t GetRecChannels() override { return rec_channels; }
  int32_t GetLiveBitrateK() override { return live_bitrate_k; }
  int32_t GetLiveSampleRate() override { return live_sample_rate; }
  int32_t GetLiveChannels() override { return live_channels; }
  int32_t GetOnBitrateK() override { return on_bitrate_k; }
  int32_t GetOnSampleRate() override { return on_sample_rate; }
  int32_t GetOnChannels() override { return on_channels; }
  int32_t GetOffBitrateK() override { return off_bitrate_k; }
  int32_t GetOffSampleRate() override { return off_sample_rate; }
  int32_t GetOffChannels() override { return off_channels; }
  int32_t GetPreDelay() override { return pre_delay; }
  int32_t GetPostDelay() override { return post_delay; }
  int32_t GetServerPort() override { return server_port; }
  int32_t GetLiveBlockDuration() override { return live_block_duration; }
  int32_t GetLoggerBlockDuration() override { return logger_block_duration; }
  int32_t GetDiskSpaceToUseKB() override { return disk_space_kb; }
  int32_t GetMaxDays() override { return max_days; }
  int32_t GetEraseBehavior() override { return erase ? 1 : 0; }
  int32_t GetRecyclePeriodMsec() override { return recycle_period_ms; }
  int32_t GetRecordMode() override { return record_mode; }
  int32_t GetRecordToDisk() override { return record_to_disk ? 1 : 0; }
  const char* GetLogPath() override { return log_path.c_str(); }
  const char* GetLogPrefix() override { return log_prefix.c_str(); }
  const char* GetArchivePath() override { return archive_path.c_str(); }
  const char* GetArchiveExt() override { return archive_ext.c_str(); }
  const char* GetSourceName() override { return source_name.c_str(); }
  const char* GetBackupString() override { return backup_string.c_str(); }
  const char* GetSkimSource() override { return skim_source.c_str(); }
  int32_t GetMaxTimeAdjustSec() override { return max_time_adjust_sec; }
  int32_t GetSegmentSizeMinutes() override { return segment_minutes; }
  int32_t GetSegmentAlign() override { return segment_align; }
};

class HostSkimSwitch : public SkimSwitch {
 public:
  bool IsOn() override { return on.load(); }
  bool IsRecordEnabled() override { return record_enabled.load(); }

  std::atomic<bool> on{false};
  std::atomic<bool> record_enabled{true};
};

}  // namespace logrum::archive::testing
