#include "Lib/ArchiveManager/Archive/ArchiveP.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "Lib/ArchiveManager/Archive/ArchiveManager.h"
#include "Lib/Kit/Layer3Format.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/Clock.h"

namespace logrum::archive {
namespace {

constexpr uint32_t kSubscribeMask = 3;
constexpr int kLogKeepDays = 30;
constexpr size_t kMaxPath = 260;

uint32_t Low16(int32_t v) { return static_cast<uint32_t>(v) & 0xFFFFu; }
uint32_t Low8(int32_t v) { return static_cast<uint32_t>(v) & 0xFFu; }
const char* OrEmpty(const char* text) { return text ? text : ""; }

}  // namespace

// Sits between the source and the skim encoder. The capture library ends the stream
// (a null block) when the source's device fails and starts it again when the device
// is back, so this knows whether the archive's input is lost, and logs how long.
class CArchiveP::InputWatch final : public kit::AudioSink {
 public:
  InputWatch(kit::AudioSink* encoder, kit::EventPoster* poster, std::string source)
      : encoder_(encoder), poster_(poster), source_(std::move(source)) {}
  bool Write(kit::IBlock* block) override {
    const int64_t now_us = platform::DefaultClock().NowUs();
    if (block == nullptr) {
      if (!lost_.exchange(true)) lost_at_us_ = now_us;
    } else if (lost_.exchange(false)) {
      poster_->Printf(2, "WARNING: Input of source '%s' was lost for %lld s; recording goes on "
                      "in a new segment.\n", source_.c_str(),
                      static_cast<long long>((now_us - lost_at_us_) / 1000000));
    }
    return encoder_->Write(block);
  }
  bool lost() const { return lost_.load(); }

 private:
  kit::AudioSink* const encoder_;
  kit::EventPoster* const poster_;
  const std::string source_;
  std::atomic<bool> lost_{false};
  int64_t lost_at_us_ = 0;  // the capture thread's
};

CArchiveP::CArchiveP(const char* name, ArchiveDeleter* deleter, EncoderLibrary* encoders)
    : AppThread("ArchiveP", 5000, 0, false),
      deleter_(deleter),
      encoders_(encoders),
      name_(OrEmpty(name)) {
  event_log_.AddListener(&dispatcher_);
  event_log_.Start(true);
}

CArchiveP::~CArchiveP() {
  Close();
  event_log_.Stop();
  event_log_.RemoveListener(&dispatcher_);
  dispatcher_.file.Close();
}

void CArchiveP::Dispatcher::Log(int32_t level, const char* text) {
  if (level == kFlushLevel) {
    flushed.Set();
    return;
  }
  kit::MutexLock lock(mu);
  if (file_on) file.Log(level, text);
  if (caller != nullptr) caller->Log(level, text);
}

void CArchiveP::FlushEventLog() {
  dispatcher_.flushed.Reset();
  event_log_.Post(Dispatcher::kFlushLevel, "");
  dispatcher_.flushed.Wait(2000);
}

void CArchiveP::Post(int32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  event_log_.Format(level, format, args);
  va_end(args);
}

void CArchiveP::Release() {
  if (deleter_ != nullptr) {
    deleter_->DeleteArchive(this);
  } else {
    delete this;
  }
}

bool CArchiveP::Open(ArchiveOptions* options, SkimSwitch* skim_switch,
                     audio::LevelListener* level_listener, bool async,
                     ArchiveLogListener* listener) {
  try {
    {
      kit::WriterLock lock(parts_mu_);
      listener_ = listener;
      dispatcher_.SetCaller(listener_);
    }
    if (!async) {
      pending_options_ = nullptr;
      pending_switch_ = nullptr;
      pending_level_ = nullptr;
      kit::WriterLock lock(parts_mu_);
      return OpenSequence(options, skim_switch, level_listener);
    }
    if (IsRunning()) return true;  // already active: it keeps what it opened
    // A thread whose open failed has ended on its own; reap it before the next.
    if (async_) SetExit(0);
    pending_options_ = options;
    pending_switch_ = skim_switch;
    pending_level_ = level_listener;
    async_ = true;
    wake_.Reset();
    Run();
    return true;
  } catch (...) {
    diag::DebugTrace("CArchiveP::Open: exception\n");
    return false;
  }
}

void CArchiveP::Body() {
  bool opened = false;
  {
    kit::WriterLock lock(parts_mu_);
    opened = OpenSequence(pending_options_, pending_switch_, pending_level_);
  }
  if (!opened) return;
  while (IsRunning()) {
    {
      kit::ReaderLock lock(parts_mu_);
      if (skim_encoder_ != nullptr && storage_ != nullptr) {
        skim_encoder_->SetStorageFull(storage_->IsStorageFull());
      }
    }
    wake_.Wait(500);
  }
}

void CArchiveP::Close() {
  diag::DebugTrace("CArchiveP::Close!\n");
  // The archive's thread ends first: an open still running finishes, and the
  // 500 ms loop is out of the way before any part is destroyed.
  if (async_) {
    wake_.Set();
    SetExit(0);
    async_ = false;
    pending_options_ = nullptr;
    pending_switch_ = nullptr;
    pending_level_ = nullptr;
  }
  kit::WriterLock lock(parts_mu_);
  TearDown();
}

void CArchiveP::TearDown() {
  if (live_binding_) live_binding_->Unsubscribe();
  if (skim_binding_) skim_binding_->Unsubscribe();
  // The encoders close before the storage: the skim encoder holds back
  // PreDelay of audio and a partial block, and its closing flush must still
  // find the recording thread, which writes all it was handed at its stop.
  if (live_encoder_) live_encoder_->Close();
  if (skim_encoder_) skim_encoder_->Close();
  if (storage_) {
    storage_->Close();
    // Totals outlive the open: a monitor reads a counter that falls back at
    // every stop of the archive as a restart, and loses what came between.
    closed_totals_ = CurrentTotals();
  }
  storage_.reset();
  if (live_encoder_) live_encoder_->Release();
  if (skim_encoder_) skim_encoder_->Release();
  live_encoder_ = nullptr;
  skim_encoder_ = nullptr;
  live_block_size_ = 0;
  live_block_samples_ = 0;
  live_binding_.reset();
  skim_binding_.reset();
  input_watch_.reset();
  if (listener_ != nullptr) {
    FlushEventLog();
    dispatcher_.SetCaller(nullptr);
    listener_ = nullptr;
  }
}

bool CArchiveP::OpenSequence(ArchiveOptions* options, SkimSwitch* skim_switch,
                             audio::LevelListener* level_listener) {
  if (options == nullptr) return false;
  skim_switch_.store(skim_switch);
  skim_bridge_.switch_ = skim_switch;
  if (!OpenLogFile(options)) return false;

  pre_delay_ = options->GetPreDelay();
  record_to_disk_ = options->GetRecordToDisk() != 0;
  live_encoder_ = nullptr;
  skim_encoder_ = nullptr;
  const char* source = OrEmpty(options->GetSourceName());
  if (record_to_disk_) {
    if (!CreateEncoders(options, skim_switch != nullptr)) {
      TearDown();
      return false;
    }
    if (!SubscribeEncoders(source, level_listener)) {
      TearDown();
      return false;
    }
  }
  PrepareFolder(options);
  OpenStorage(options, source);
  diag::DebugTrace("Return OK!\n");
  return true;
}

bool CArchiveP::OpenFailed(int32_t level, const std::string& message,
                           const std::string& trace_line) {
  diag::DebugTrace("%s\n", trace_line.empty() ? message.c_str() : trace_line.c_str());
  Post(level, "%s", message.c_str());
  return false;
}

bool CArchiveP::OpenLogFile(ArchiveOptions* options) {
  const char* log_path = OrEmpty(options->GetLogPath());
  if (!dispatcher_.file.Open(options->GetLogPrefix(), ".log", log_path, kLogKeepDays)) {
    return OpenFailed(3, "Unable to open log file! Path='" + std::string(log_path) + "'");
  }
  dispatcher_.SetFileOn();
  return true;
}

bool CArchiveP::CreateEncoders(ArchiveOptions* options, bool has_skim_switch) {
  // The input block: whole 4608-byte frames' worth of every 9216 Hz.
  const uint32_t rec_rate = Low16(options->GetRecSampleRate());
  const uint32_t rec_channels = Low8(options->GetRecChannels());
  const uint32_t input_block = (rec_rate / 9216) * rec_channels * 4608;
  // The reason goes to the trace; the event log says which encoder failed.
  auto create = [this](const void* params) {
    void* encoder = nullptr;
    if (platform::Status made = encoders_->Create(params, &encoder); !made.ok()) {
      diag::DebugTrace("EncoderLibrary: %s\n", made.message().c_str());
    }
    return encoder;
  };

  const uint32_t live_kbps = Low16(options->GetLiveBitrateK());
  if (live_kbps != 0) {
    kit::AudioFormat live{static_cast<uint16_t>(live_kbps),
                     static_cast<uint16_t>(Low16(options->GetLiveSampleRate())),
                     static_cast<uint8_t>(Low8(options->GetLiveChannels()))};
    const double block_ms = BlockDurationMs(live);
    uint32_t frames =
        block_ms > 0 ? static_cast<uint32_t>(options->GetLiveBlockDuration() / block_ms) : 0;
    if (frames == 0) frames = 1;
    live_block_size_ = BlockSize(live) * frames;
    live_block_samples_ = SamplesPerBlock(live) * frames;
    audenc::LiveEncoderParams params{};
    params.cbSize = sizeof params;
    params.nKind = audenc::kLiveEncoderKind;
    params.nInSampleRate = rec_rate;
    params.nInChannels = rec_channels;
    params.cbInBlock = input_block;
    params.nBitrateK = live.bitrate;
    params.nSampleRate = live.samplerate;
    params.nChannels = live.channels;
    params.cbOutBlock = live_block_size_;
    params.dwReserved = 0;
    params.dwReserved2 = 0xFFFFFFFFu;
    live_encoder_ = static_cast<audenc::ILiveEncoder*>(create(&params));
  }
  audenc::SkimEncoderParams skim{};
  skim.cbSize = sizeof skim;
  skim.nKind = audenc::kSkimEncoderKind;
  skim.nInSampleRate = rec_rate;
  skim.nInChannels = rec_channels;
  skim.cbInBlock = input_block;
  skim.nOnBitrateK = Low16(options->GetOnBitrateK());
  skim.nOnSampleRate = Low16(options->GetOnSampleRate());
  skim.nOnChannels = Low8(options->GetOnChannels());
  skim.nOffBitrateK = Low16(options->GetOffBitrateK());
  skim.nOffSampleRate = Low16(options->GetOffSampleRate());
  skim.nOffChannels = Low8(options->GetOffChannels());
  skim.nPreDelayMs = static_cast<uint32_t>(pre_delay_);
  skim.nPostDelayMs = static_cast<uint32_t>(options->GetPostDelay());
  skim.dwReserved = 0;
  skim.pSkimSwitch = has_skim_switch ? &skim_bridge_ : nullptr;
  skim.pEventLog = event_log_.poster();
  skim_encoder_ = static_cast<audenc::ISkimEncoder*>(create(&skim));

  if (live_kbps != 0 && (live_encoder_ == nullptr || !live_encoder_->Open())) {
    return OpenFailed(1, "ERROR: Unable to open live encoder!");
  }
  if (skim_encoder_ == nullptr || !skim_encoder_->Open()) {
    return OpenFailed(1, "ERROR: Unable to open skimming encoder!");
  }
  return true;
}

bool CArchiveP::SubscribeEncoders(const char* source, audio::LevelListener* level_listener) {
  bool subscribed = true;
  platform::Status loaded;
  if (live_encoder_ != nullptr) {
    if (!live_binding_) live_binding_ = std::make_unique<SourceBinding>();
    loaded = live_binding_->Load();
    subscribed = loaded.ok() && live_binding_->Subscribe(source, live_encoder_->GetInputSink(),
                                                         kSubscribeMask, nullptr);
    if (subscribed) Post(0, "TRACE: Subscribe live enc to '%s'\n", source);
  }
  if (subscribed) {
    if (!skim_binding_) skim_binding_ = std::make_unique<SourceBinding>();
    input_watch_ = std::make_unique<InputWatch>(skim_encoder_->GetInputSink(),
                                                event_log_.poster(), source);
    loaded = skim_binding_->Load();
    subscribed = loaded.ok() && skim_binding_->Subscribe(source, input_watch_.get(), kSubscribeMask,
                                                         level_listener);
    if (subscribed) {
      Post(0, "TRACE: Subscribe skim enc to '%s'\n", source);
      source_name_ = source;
    }
  }
  if (subscribed) return true;
  if (!loaded.ok()) diag::DebugTrace("CArchiveP: %s\n", loaded.message().c_str());
  return OpenFailed(1, "ERROR: Unable to subscribe to source '" + std::string(source) + "'!",
                    "ERROR: Unable to subscribe source '" + std::string(source) + "'!");
}

void CArchiveP::PrepareFolder(ArchiveOptions* options) {
  namespace fs = std::filesystem;
  std::string folder = OrEmpty(options->GetArchivePath());
  std::error_code ec;
  if (folder.empty() || !fs::exists(folder, ec)) {
    if (!folder.empty()) fs::create_directories(folder, ec);
    Post(1, "WARNING: Archive path '%s' does not exist! Creating new directory.\n", folder.c_str());
  }
  if (folder.empty() || !fs::is_directory(folder, ec)) {
    Post(1, "ERROR: Invalid archive path! Current directory will be used instead.");
    folder = ".";
  }
  fs::path absolute = fs::absolute(folder, ec);
  if (!ec) {
    std::string text = absolute.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    if (text.size() <= kMaxPath) folder = text;
  }
  folder_ = folder;
  ext_ = OrEmpty(options->GetArchiveExt());
}

void CArchiveP::OpenStorage(ArchiveOptions* options, const char* source) {
  StorageSettings settings;
  settings.folder = folder_;
  settings.ext = ext_;
  settings.source_name = source;
  settings.backup_string = OrEmpty(options->GetBackupString());
  settings.ftp_sender = &FtpLibrary::Instance();
  settings.disk_space_kb = static_cast<uint32_t>(options->GetDiskSpaceToUseKB());
  settings.max_days = static_cast<uint32_t>(options->GetMaxDays());
  settings.recycle_period_ms = static_cast<uint32_t>(options->GetRecyclePeriodMsec());
  settings.erase = options->GetEraseBehavior() != 0;
  settings.record_to_disk = record_to_disk_;
  settings.max_time_adjust_sec = options->GetMaxTimeAdjustSec();
  settings.segment_minutes = options->GetSegmentSizeMinutes();
  settings.segment_align = options->GetSegmentAlign() != 0;
  storage_ = std::make_unique<CStorageManager>(record_to_disk_ ? skim_encoder_ : nullptr,
                                               std::move(settings), event_log_.poster());
  if (!storage_->Open()) {
    // The open still succeeds: the encoders and subscriptions stay up.
    OpenFailed(1, "ERROR: Unable to open Storage Manager!");
    storage_.reset();
  }
}

bool CArchiveP::IsActive() { return IsRunning(); }

bool CArchiveP::IsInputLost() {
  kit::ReaderLock lock(parts_mu_);
  return input_watch_ != nullptr && input_watch_->lost();
}

double CArchiveP::GetAverageKBPerSecond() {
  kit::ReaderLock lock(parts_mu_);
  return storage_ ? storage_->GetAverageKBPerSecond() : 0.0;
}

double CArchiveP::GetTotalStorageMB() {
  kit::ReaderLock lock(parts_mu_);
  return storage_ ? storage_->GetTotalStorageMB() : 0.0;
}

double CArchiveP::GetUsedStorageMB() {
  kit::ReaderLock lock(parts_mu_);
  return storage_ ? storage_->GetUsedStorageMB() : 0.0;
}

int32_t CArchiveP::GetFirstSegmentTime() {
  kit::ReaderLock lock(parts_mu_);
  if (!storage_) return 0;
  CZoneTime t = storage_->GetFirstTime();
  return t.IsNull() ? 0 : static_cast<int32_t>(t.ToUnixSeconds());
}

int32_t CArchiveP::GetLastSegmentTime() {
  kit::ReaderLock lock(parts_mu_);
  if (!storage_) return 0;
  CZoneTime t = storage_->GetLastTime();
  return t.IsNull() ? 0 : static_cast<int32_t>(t.ToUnixSeconds());
}

bool CArchiveP::GetSkimState() {
  SkimSwitch* skim_switch = skim_switch_.load();
  return skim_switch != nullptr && skim_switch->IsOn();
}

void CArchiveP::Log(const char* text) { event_log_.Post(6, OrEmpty(text)); }

std::string CArchiveP::StatusText() {
  kit::ReaderLock lock(parts_mu_);
  std::string text;
  auto add = [&text](const std::string& line) {
    if (!text.empty()) text += "; ";
    text += line;
  };
  if (input_watch_ != nullptr && input_watch_->lost()) add("Input lost: no audio from the source");
  ArchiveThread* recorder = storage_ ? storage_->recorder() : nullptr;
  if (recorder != nullptr && recorder->DroppedMs() > 0) {
    add("Audio dropped: " + std::to_string(recorder->DroppedMs()) + " ms");
  }
  if (storage_ && storage_->GetUndeletableCount() > 0) {
    add("Undeletable segments: " + std::to_string(storage_->GetUndeletableCount()));
  }
  if (storage_ && storage_->GetBackupWaitingCount() > 0) {
    add("Segments waiting for backup: " + std::to_string(storage_->GetBackupWaitingCount()));
  }
  return text;
}

int32_t CArchiveP::GetStatusText(char* buffer, uint32_t size) {
  try {
    const std::string text = StatusText();
    if (buffer != nullptr && size > 0) {
      const size_t n = std::min<size_t>(text.size(), size - 1);
      text.copy(buffer, n);
      buffer[n] = '\0';
    }
    return static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
  } catch (...) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
  }
}

int32_t CArchiveP::GetBackupWaitingCount() {
  kit::ReaderLock lock(parts_mu_);
  return storage_ ? static_cast<int32_t>(storage_->GetBackupWaitingCount()) : 0;
}

CArchiveP::Totals CArchiveP::CurrentTotals() {
  Totals totals = closed_totals_;
  if (!storage_) return totals;
  totals.segments_written += storage_->GetSegmentsWritten();
  if (ArchiveThread* recorder = storage_->recorder()) {
    totals.recorded_ms += recorder->RecordedMs();
    totals.dropped_ms += recorder->DroppedMs();
  }
  if (RecycleThread* recycler = storage_->recycler()) {
    totals.segments_recycled += recycler->GetRecycledCount();
  }
  return totals;
}

bool CArchiveP::GetCounters(ArchiveCounters* counters) {
  if (counters == nullptr || counters->cbSize < 8) return false;
  try {
    ArchiveCounters all{};
    all.cbSize = sizeof all;
    {
      kit::ReaderLock lock(parts_mu_);
      const Totals totals = CurrentTotals();
      all.nRecordedMs = totals.recorded_ms;
      all.nDroppedMs = totals.dropped_ms;
      all.nSegmentsWritten = totals.segments_written;
      all.nSegmentsRecycled = totals.segments_recycled;
      if (storage_ && storage_->IsOpen()) {
        all.cbUsed = uint64_t{storage_->database()->GetTotalKB()} * 1024 +
                     storage_->GetCurrentFileBytes();
        all.cbQuota = static_cast<uint64_t>(storage_->GetTotalStorageMB() * 1000 + 0.5) * 1000;
        all.nBackupWaiting = storage_->GetBackupWaitingCount();
        all.nUndeletable = storage_->GetUndeletableCount();
      }
    }
    const uint32_t size = std::min<uint32_t>(counters->cbSize, sizeof all);
    std::memcpy(counters, &all, size);
    counters->cbSize = size;
    return true;
  } catch (...) {
    return false;
  }
}

bool CArchiveP::WithStorage(const std::function<void(CStorageManager&)>& fn) {
  kit::ReaderLock lock(parts_mu_);
  if (!storage_) return false;
  fn(*storage_);
  return true;
}

std::string CArchiveP::GetArchiveFolder() {
  kit::ReaderLock lock(parts_mu_);
  return folder_;
}

std::string CArchiveP::GetArchiveExt() {
  kit::ReaderLock lock(parts_mu_);
  return ext_;
}

std::string CArchiveP::GetSourceName() {
  kit::ReaderLock lock(parts_mu_);
  return source_name_;
}

uint32_t CArchiveP::GetLiveBlockSize() {
  kit::ReaderLock lock(parts_mu_);
  return live_block_size_;
}

uint32_t CArchiveP::GetLiveBlockSamples() {
  kit::ReaderLock lock(parts_mu_);
  return live_block_samples_;
}

bool CArchiveP::GetLiveParams(audenc::LiveEncoderParams* params) {
  kit::ReaderLock lock(parts_mu_);
  if (live_encoder_ == nullptr || live_encoder_->GetParams() == nullptr) return false;
  *params = *live_encoder_->GetParams();
  return true;
}

bool CArchiveP::AddLiveReader(kit::AudioSink* reader) {
  kit::ReaderLock lock(parts_mu_);
  return live_encoder_ != nullptr && live_encoder_->AddReader(reader, kSubscribeMask);
}

bool CArchiveP::RemoveLiveReader(kit::AudioSink* reader) {
  kit::ReaderLock lock(parts_mu_);
  return live_encoder_ != nullptr && live_encoder_->RemoveReader(reader);
}

}  // namespace logrum::archive
