#include "App/Server/ArchiveOptions.h"

namespace logrum::server {

ArchiveOptions::ArchiveOptions(platform::Registry* store) : values_(false, store) {
  values_.set_trace(false);
}

void ArchiveOptions::RegisterDefaults() {
  kit::OptionsReg& v = values_;
  v.SetInteger("RecSampleRate", 44100);
  v.SetInteger("RecChannels", 2);
  v.SetInteger("LiveBitrateK", 32);
  v.SetInteger("LiveSampleRate", 22050);
  v.SetInteger("LiveChannels", 1);
  v.SetInteger("OnBitrateK", 128);
  v.SetInteger("OnSampleRate", 44100);
  v.SetInteger("OnChannels", 2);
  v.SetInteger("OffBitrateK", 32);
  v.SetInteger("OffSampleRate", 22050);
  v.SetInteger("OffChannels", 1);
  v.SetInteger("PreDelay", 0);
  v.SetInteger("PostDelay", 0);
  v.SetInteger("ServerPort", 9020);
  v.SetInteger("LiveBlockDuration", 0);
  v.SetInteger("LoggerBlockDuration", 4000);
  v.SetInteger("DiskSpaceToUseKB", 1000000);
  v.SetInteger("MaxDays", 356);
  v.SetInteger("EraseBehavior", 0);
  v.SetInteger("RecyclePeriodMsec", 10000);
  v.SetInteger("RecordMode", 0);
  v.SetInteger("RecordToDisk", 1);
  v.SetString("LogPath", ".");
  v.SetString("LogPrefix", "Log");
  v.SetString("ArchivePath", ".");
  v.SetString("ArchiveExt", ".mp3");
  v.SetString("SourceName", "<none>");
  v.SetString("BackupString", "");
  v.SetString("SkimSource", "");
  v.SetInteger("MaxTimeAdjustSec", 5);
  v.SetInteger("SegmentSizeMinutes", 15);
  // SegmentAlign has no default: missing reads as -1.
  v.SetInteger("AutoStart", 0);
  v.SetInteger("EnableScheduler", 0);
}

const char* ArchiveOptions::String(std::string_view name) const {
  const char* text = values_.GetString(name);
  return text != nullptr ? text : "";
}

int32_t ArchiveOptions::GetRecSampleRate() { return Integer("RecSampleRate"); }
int32_t ArchiveOptions::GetRecChannels() { return Integer("RecChannels"); }
int32_t ArchiveOptions::GetLiveBitrateK() { return Integer("LiveBitrateK"); }
int32_t ArchiveOptions::GetLiveSampleRate() { return Integer("LiveSampleRate"); }
int32_t ArchiveOptions::GetLiveChannels() { return Integer("LiveChannels"); }
int32_t ArchiveOptions::GetOnBitrateK() { return Integer("OnBitrateK"); }
int32_t ArchiveOptions::GetOnSampleRate() { return Integer("OnSampleRate"); }
int32_t ArchiveOptions::GetOnChannels() { return Integer("OnChannels"); }
int32_t ArchiveOptions::GetOffBitrateK() { return Integer("OffBitrateK"); }
int32_t ArchiveOptions::GetOffSampleRate() { return Integer("OffSampleRate"); }
int32_t ArchiveOptions::GetOffChannels() { return Integer("OffChannels"); }
int32_t ArchiveOptions::GetPreDelay() { return Integer("PreDelay"); }
int32_t ArchiveOptions::GetPostDelay() { return Integer("PostDelay"); }
int32_t ArchiveOptions::GetServerPort() { return Integer("ServerPort"); }
int32_t ArchiveOptions::GetLiveBlockDuration() { return Integer("LiveBlockDuration"); }
int32_t ArchiveOptions::GetLoggerBlockDuration() { return Integer("LoggerBlockDuration"); }
int32_t ArchiveOptions::GetDiskSpaceToUseKB() { return Integer("DiskSpaceToUseKB"); }
int32_t ArchiveOptions::GetMaxDays() { return Integer("MaxDays"); }
// Stored 0 means "erase when needed"; the archive asks "may I erase".
int32_t ArchiveOptions::GetEraseBehavior() { return Integer("EraseBehavior") == 0 ? 1 : 0; }
int32_t ArchiveOptions::GetRecyclePeriodMsec() { return Integer("RecyclePeriodMsec"); }
int32_t ArchiveOptions::GetRecordMode() { return Integer("RecordMode"); }
int32_t ArchiveOptions::GetRecordToDisk() { return Integer("RecordToDisk") != 0 ? 1 : 0; }
const char* ArchiveOptions::GetLogPath() { return String("LogPath"); }
const char* ArchiveOptions::GetLogPrefix() { return String("LogPrefix"); }
const char* ArchiveOptions::GetArchivePath() { return String("ArchivePath"); }
const char* ArchiveOptions::GetArchiveExt() { return String("ArchiveExt"); }
const char* ArchiveOptions::GetSourceName() { return String("SourceName"); }
const char* ArchiveOptions::GetBackupString() { return String("BackupString"); }
const char* ArchiveOptions::GetSkimSource() { return String("SkimSource"); }
int32_t ArchiveOptions::GetMaxTimeAdjustSec() { return Integer("MaxTimeAdjustSec"); }
int32_t ArchiveOptions::GetSegmentSizeMinutes() { return Integer("SegmentSizeMinutes"); }
int32_t ArchiveOptions::GetSegmentAlign() { return Integer("SegmentAlign"); }

}  // namespace logrum::server
