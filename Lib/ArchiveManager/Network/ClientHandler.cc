#include "Lib/ArchiveManager/Network/ClientHandler.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Network/LevelQueue.h"
#include "Lib/ArchiveManager/Network/LiveReader.h"
#include "Lib/ArchiveManager/Network/UserRights.h"
#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/Kit/Layer3Format.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Kit/ByteBuffer.h"

namespace logrum::network {

using namespace logrum::protocol;
using archive::CArchiveFileRead;
using archive::CZoneTime;

ClientHandler::ClientHandler(NetArchiveSource* archives, const NetworkSettings* settings)
    : archives_(archives), settings_(settings) {}

ClientHandler::~ClientHandler() {
  Reset();
}

void ClientHandler::Bind(ClientEnc* enc, StreamReader* reader, uint32_t address, uint16_t port) {
  enc_ = enc;
  reader_ = reader;
  address_ = address;
  port_ = port;
  kit::MutexLock lock(live_mu_);
  cancelled_ = false;
}

void ClientHandler::CancelStreams() {
  kit::MutexLock lock(live_mu_);
  cancelled_ = true;
  if (live_reader_ != nullptr) live_reader_->Close();
}

void ClientHandler::Detach() {
  if (attached_ != nullptr && counted_) attached_->RemoveClient();
  attached_ = nullptr;
  attached_name_.clear();
  counted_ = false;
}

void ClientHandler::Reset() {
  Detach();
  logged_in_ = false;
  user_.clear();
}

bool ClientHandler::ClientSpoke() {
  return reader_->Wait(0) != WaitResult::kTimeout;
}

bool ClientHandler::HasRight(int32_t bits) {
  if (!logged_in_ || attached_ == nullptr) return false;
  UserRights rights(settings_->store);
  if (!rights.Read(user_)) return false;
  return ((bits & kRightRecordings) != 0 && rights.HasRecordings(attached_name_)) ||
         ((bits & kRightLive) != 0 && rights.HasLive(attached_name_));
}

bool ClientHandler::OnStringTooLong(const char* field, uint32_t length, uint32_t max) {
  diag::DebugTrace("ClientHandler: %s of %u bytes (at most %u), closing\n", field, length, max);
  return false;
}

bool ClientHandler::AttachToArchive(const char* name) {
  Detach();
  NetArchive* archive = name != nullptr ? archives_->FindArchive(name) : nullptr;
  if (archive == nullptr) return enc_->AttachToArchiveResult(kAttachNotFound, kTextArchiveNotFound);
  attached_ = archive;
  attached_name_ = name;
  if (archive->IsActive()) {
    archive->AddClient();
    counted_ = true;
    return enc_->AttachToArchiveResult(kResultOk, kTextOk);
  }
  return enc_->AttachToArchiveResult(kAttachNotActive, kTextArchiveNotActive);
}

bool ClientHandler::GetServerVersion() {
  return enc_->ServerVersionResult(kVersionMajor, kVersionMinor, kVersionRevision, kVersionBuild);
}

bool ClientHandler::LoginUser(const char* user, const char* password) {
  Reset();
  const LoginCheck check = CheckLogin(settings_->store, user, password);
  if (check != LoginCheck::kOk) {
    return enc_->ConnectResult(static_cast<int32_t>(check), kTextLoginFailed);
  }
  logged_in_ = true;
  user_.assign(user, strnlen(user, kMaxUserName));
  return enc_->ConnectResult(kResultOk, kTextOk);
}

bool ClientHandler::Ping() {
  return enc_->Pong();
}

bool ClientHandler::Pong() {
  return true;
}

bool ClientHandler::OnIdle() {
  return enc_->Ping();
}

bool ClientHandler::OnConnect() {
  return true;
}

void ClientHandler::OnDisconnect() {
  Reset();
  address_ = 0;
  port_ = 0;
}

bool ClientHandler::RequestArchiveIndex(int64_t from, int64_t to) {
  if (attached_ == nullptr) return enc_->ArchiveIndexBegin(kIndexNotAttached, kTextNotAttached);
  if (!HasRight(kRightRecordings)) {
    return enc_->ArchiveIndexBegin(kIndexNoRight, kTextNoRecordingsRight);
  }
  // Read first and send after: the database holds its lock through a walk,
  // and a slow client must not hold the recorder's inserts.
  std::vector<IndexEntry> entries;
  if (!attached_->ReadIndex(from, to, &entries)) {
    return enc_->ArchiveIndexBegin(kIndexNoDatabase, kTextNoDatabase);
  }
  if (!enc_->ArchiveIndexBegin(kResultOk, kTextOk)) return false;
  for (const IndexEntry& entry : entries) {
    if (ClientSpoke()) break;
    if (!enc_->ArchiveIndexItem(entry.start, entry.duration_ms, entry.skim)) break;
  }
  return enc_->ArchiveIndexEnd();
}

bool ClientHandler::RequestArchiveList(int32_t kind) {
  UserRights rights(settings_->store);
  if (!rights.Read(user_)) return enc_->ArchiveListBegin(kListNoRights, kTextNoRights);
  if (!enc_->ArchiveListBegin(kResultOk, kTextOk)) return false;
  // Names are gathered under the manager's lock and sent after it.
  std::vector<std::string> names;
  archives_->EnumArchives([&](const char* name, NetArchive* archive) {
    const bool right = kind == kListRecordings ? rights.HasRecordings(name) : rights.HasLive(name);
    if (right && archive->IsActive()) names.emplace_back(name);
  });
  for (const std::string& name : names) enc_->ArchiveListItem(name.c_str());
  return enc_->ArchiveListEnd();
}

bool ClientHandler::RequestStatus() {
  if (attached_ == nullptr) return enc_->ArchiveStatusError(kStatusNotAttached, kTextNotAttached);
  if (!HasRight(kRightRecordings | kRightLive)) {
    return enc_->ArchiveStatusError(kStatusNoRight, kTextNoArchiveRight);
  }
  const ActivityScope scope(this, Activity::kStatus);
  LevelQueue levels;
  std::unique_ptr<LevelSubscription> subscription;
  for (;;) {
    int16_t peak_min = 0;
    int16_t peak_max = 0;
    // Asked every round: an archive may start or stop recording while its
    // status is followed, and its levels come only while it records.
    const bool records = attached_->RecordsToDisk();
    if (records && subscription == nullptr) {
      subscription = attached_->SubscribeLevels(&levels);
      if (subscription == nullptr) return false;
    } else if (!records && subscription != nullptr) {
      subscription.reset();
    }
    if (records) {
      // A source that stops reporting must not hold the connection: between
      // waits the client is looked at, and the status goes out with zero levels.
      uint32_t entry = 0;
      if (levels.Take(settings_->level_wait_ms, &entry)) {
        peak_min = LevelQueue::Minimum(entry);
        peak_max = LevelQueue::Maximum(entry);
      }
    } else {
      if (reader_->Wait(settings_->status_pause_ms) != WaitResult::kTimeout) break;
    }
    const auto used_kb = static_cast<uint64_t>(attached_->GetUsedStorageMB() * 1000);
    const auto total_kb = static_cast<uint64_t>(attached_->GetTotalStorageMB() * 1000);
    if (ClientSpoke()) break;
    if (!enc_->ArchiveStatus(used_kb, total_kb, attached_->GetClientCount(), peak_min, peak_max)) {
      break;
    }
  }
  return true;
}

bool ClientHandler::RequestArchiveAudio(int64_t time, uint32_t offset_ms, uint32_t duration_ms) {
  if (attached_ == nullptr) return enc_->AudioError(kAudioNotAttached, kTextNotAttached);
  if (!HasRight(kRightRecordings)) return enc_->AudioError(kAudioNoRight, kTextNoRecordingsRight);
  CArchiveFileRead file(attached_->GetFolder(), attached_->GetExt());
  const CZoneTime start = CZoneTime::FromLinear64(time);
  if (!file.OpenAt(start, offset_ms, duration_ms).ok()) {
    const std::string text = std::string(kTextFileOpenFailed) + file.GetPath() + "'";
    return enc_->AudioError(kAudioFileOpenFailed, text.c_str());
  }
  const kit::AudioFormat format = file.GetFormat();
  const uint32_t block_size = kit::BlockSize(format);
  if (block_size == 0 || block_size > kMaxAudioData) {
    const std::string text = std::string(kTextBlockTooLarge) + file.GetPath() + "'";
    return enc_->AudioError(kAudioFileOpenFailed, text.c_str());
  }
  const ActivityScope scope(this, Activity::kPlayback);
  const int64_t begin = file.GetStartTime().ToLinear() + int64_t{offset_ms / 1000} * 10000000;
  const uint32_t samples = kit::SamplesPerFrame(format) * kit::FramesPerBlock(format);
  if (enc_->AudioBegin(begin, format.bitrate, format.samplerate, format.channels, samples,
                       static_cast<int32_t>(block_size), file.IsSkim(), false)) {
    uint8_t buffer[kMaxAudioData];
    for (;;) {
      const size_t got = file.Read(buffer, block_size);
      if (got != block_size) {
        // Also the normal end of the stretch.
        if (got != 0) diag::DebugTrace("ERROR: Data read from encoder does not match block size!\n");
        break;
      }
      if (!enc_->AudioData(buffer, block_size)) break;
      if (ClientSpoke()) break;
    }
  }
  enc_->AudioEnd();
  file.Close();
  return true;
}

bool ClientHandler::RequestLiveAudio() {
  if (attached_ == nullptr) return enc_->AudioError(kAudioNotAttached, kTextNotAttached);
  if (!HasRight(kRightLive)) return enc_->AudioError(kAudioNoRight, kTextNoLiveRight);
  LiveFormat live;
  if (!attached_->GetLiveFormat(&live) || live.block_size == 0) {
    return enc_->AudioError(kAudioNoLiveSource, kTextNoLiveSource);
  }
  if (live.block_size > kMaxAudioData) {
    // Such blocks cannot go out in one AudioData; say so rather than
    // starting a stream whose first block would fail.
    return enc_->AudioError(kAudioNoLiveSource, kTextLiveBlockTooLarge);
  }
  const uint64_t byte_limit = static_cast<uint64_t>(live.bitrate_kbps) * 1250;

  const ActivityScope scope(this, Activity::kLive);
  LiveReader reader(byte_limit, user_.c_str());
  reader.Open();
  {
    kit::MutexLock lock(live_mu_);
    if (cancelled_) return true;
    live_reader_ = &reader;
  }
  const bool added = attached_->AddLiveReader(&reader);
  kit::ByteBuffer block;
  block.Allocate(live.block_size);
  const int64_t now = CZoneTime::Now().ToLinear();
  if (added && enc_->AudioBegin(now, live.bitrate_kbps, live.sample_rate,
                                static_cast<uint8_t>(live.channels), live.block_samples,
                                static_cast<int32_t>(live.block_size), false, true)) {
    for (;;) {
      if (!reader.WaitForData(settings_->idle_timeout_ms)) {
        // A silent stream still looks at its client, so that one that has
        // gone (or spoke) does not hold its connection for ever.
        if (ClientSpoke()) break;
        continue;
      }
      const int32_t got = reader.Read(&block);
      if (got <= 0) {
        diag::DebugTrace("ERROR: Queue returned code %d!\n", got);
        break;
      }
      if (block.data_length() != live.block_size) {
        diag::DebugTrace("ERROR: Data read from encoder does not match block size!\n");
        enc_->AudioError(kAudioBadEncoderData, kTextBadEncoderData);
        break;
      }
      if (ClientSpoke()) break;
      if (!enc_->AudioData(block.data(), block.data_length())) break;
      if (reader.overflowed() || reader.QueuedBytes() > byte_limit) {
        enc_->AudioError(kAudioTooSlow, kTextTooSlow);
        break;
      }
      block.Clear();
    }
  } else if (!added) {
    enc_->AudioError(kAudioNoLiveSource, kTextNoLiveSource);
  }
  if (added) enc_->AudioEnd();
  if (added) attached_->RemoveLiveReader(&reader);
  {
    kit::MutexLock lock(live_mu_);
    live_reader_ = nullptr;
  }
  reader.Close();
  return true;
}

}  // namespace logrum::network
