// One archive's settings as the server program keeps them: the values of the
// archive's key (every value registered with its default before loading, so a
// saved key holds all of them), its name and its weekly schedule. The archive
// service reads them through the getters of logrum::ArchiveOptions.
//
// Values without a getter: AutoStart (default 0) and EnableScheduler
// (default 0). A value the program does not know is loaded and written back
// unchanged. A string value stored with another type reads as "" (never null).
//
// Thread safety: none. The UI thread edits the object only while its archive
// is closed; while the archive is open its thread only calls the getters.
#pragma once

#include <string>
#include <string_view>

#include "App/Server/Schedule.h"
#include "Lib/ArchiveManager/include/ArchiveOptions.h"
#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::server {

class ArchiveOptions final : public logrum::ArchiveOptions {
 public:
  // `store` null uses the process's configuration store.
  explicit ArchiveOptions(platform::Registry* store = nullptr);

  // Registers every archive value with its default.
  void RegisterDefaults();
  // Loads the archive's key over the registered values; false when the key
  // is missing or unreadable.
  bool Load(std::string_view key_path) { return values_.Read(key_path).ok(); }
  bool Save(std::string_view key_path) { return values_.Save(key_path).ok(); }

  int32_t GetRecSampleRate() override;
  int32_t GetRecChannels() override;
  int32_t GetLiveBitrateK() override;
  int32_t GetLiveSampleRate() override;
  int32_t GetLiveChannels() override;
  int32_t GetOnBitrateK() override;
  int32_t GetOnSampleRate() override;
  int32_t GetOnChannels() override;
  int32_t GetOffBitrateK() override;
  int32_t GetOffSampleRate() override;
  int32_t GetOffChannels() override;
  int32_t GetPreDelay() override;
  int32_t GetPostDelay() override;
  int32_t GetServerPort() override;
  int32_t GetLiveBlockDuration() override;
  int32_t GetLoggerBlockDuration() override;
  int32_t GetDiskSpaceToUseKB() override;
  int32_t GetMaxDays() override;
  int32_t GetEraseBehavior() override;
  int32_t GetRecyclePeriodMsec() override;
  int32_t GetRecordMode() override;
  int32_t GetRecordToDisk() override;
  const char* GetLogPath() override;
  const char* GetLogPrefix() override;
  const char* GetArchivePath() override;
  const char* GetArchiveExt() override;
  const char* GetSourceName() override;
  const char* GetBackupString() override;
  const char* GetSkimSource() override;
  int32_t GetMaxTimeAdjustSec() override;
  int32_t GetSegmentSizeMinutes() override;
  int32_t GetSegmentAlign() override;
  ~ArchiveOptions() override = default;

  int32_t AutoStart() const { return values_.GetInteger("AutoStart"); }
  int32_t EnableScheduler() const { return values_.GetInteger("EnableScheduler"); }

  // The raw values (dialogs edit them by name).
  kit::OptionsReg& values() { return values_; }
  const kit::OptionsReg& values() const { return values_; }
  int32_t Integer(std::string_view name) const { return values_.GetInteger(name); }
  const char* String(std::string_view name) const;

  const std::string& name() const { return name_; }
  void set_name(std::string name) { name_ = std::move(name); }
  Schedule& schedule() { return schedule_; }
  const Schedule& schedule() const { return schedule_; }

 private:
  kit::OptionsReg values_;
  std::string name_;
  Schedule schedule_;
};

}  // namespace logrum::server
