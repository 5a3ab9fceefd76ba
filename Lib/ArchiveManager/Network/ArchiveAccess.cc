#include "Lib/ArchiveManager/Network/ArchiveAccess.h"

#include <vector>

#include "Lib/ArchiveManager/Archive/ArchiveManager.h"
#include "Lib/ArchiveManager/Archive/ArchiveP.h"
#include "Lib/ArchiveManager/Archive/Bindings.h"
#include "Lib/ArchiveManager/Network/NetworkServer.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/ArchiveManager/include/NetworkSeam.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/DebugOutput.h"

namespace logrum::network {

using archive::CArchiveP;
using archive::CZoneTime;

namespace {

// Zone times reach 15 years either side of the base year, and so does every
// segment. A bound before that range reads as its first second and one after
// it as its last, so that an index request answers the overlap of what was
// asked and what can exist (a request from 2005 to 2045 gets everything; one
// that ends before the range gets nothing).
CZoneTime RangeTime(int64_t linear) {
  CZoneTime time;
  if (time.FromLinear(linear)) return time;
  CZoneTime first;
  CZoneTime::Make(CZoneTime::BaseYear() - 15, 1, 1, 0, 0, 0, 0, &first);
  if (linear < first.ToLinear()) return first;
  CZoneTime::Make(CZoneTime::BaseYear() + 15, 12, 31, 23, 59, 59, 0, &time);
  return time;
}

class LevelBinding : public LevelSubscription {
 public:
  archive::SourceBinding binding;
};

}  // namespace

// An archive held for one use: the manager will not delete it meanwhile.
class PinnedArchive {
 public:
  PinnedArchive(archive::ArchiveManager* manager, CArchiveP* archive)
      : manager_(manager), archive_(archive) {}
  ~PinnedArchive() {
    if (archive_ != nullptr) manager_->Unpin(archive_);
  }
  PinnedArchive(const PinnedArchive&) = delete;
  PinnedArchive& operator=(const PinnedArchive&) = delete;

  CArchiveP* operator->() const { return archive_; }
  explicit operator bool() const { return archive_ != nullptr; }

 private:
  archive::ArchiveManager* const manager_;
  CArchiveP* const archive_;
};

class ManagerAccess::Archive : public NetArchive {
 public:
  Archive(archive::ArchiveManager* manager, std::string name, IArchive* archive)
      : manager_(manager), name_(std::move(name)), archive_(archive) {}

  bool IsActive() override {
    PinnedArchive a = Live();
    return a && a->IsActive();
  }
  double GetUsedStorageMB() override {
    PinnedArchive a = Live();
    return a ? a->GetUsedStorageMB() : 0;
  }
  double GetTotalStorageMB() override {
    PinnedArchive a = Live();
    return a ? a->GetTotalStorageMB() : 0;
  }
  void AddClient() override {
    if (PinnedArchive a = Live()) a->AddClient();
  }
  void RemoveClient() override {
    if (PinnedArchive a = Live()) a->RemoveClient();
  }
  uint32_t GetClientCount() override {
    PinnedArchive a = Live();
    return a ? static_cast<uint32_t>(std::max(0, a->GetClientCount())) : 0;
  }

  bool ReadIndex(int64_t from, int64_t to, std::vector<IndexEntry>* out) override {
    PinnedArchive a = Live();
    if (!a) return false;
    bool read = false;
    const bool open = a->WithStorage([&](archive::CStorageManager& storage) {
      if (!storage.IsOpen()) return;
      const platform::Status status = storage.database()->GetIndex(
          RangeTime(from), RangeTime(to),
          [](const CZoneTime& start, uint32_t duration_ms, bool skim, void* context) {
            static_cast<std::vector<IndexEntry>*>(context)->push_back(
                IndexEntry{start.ToLinear(), duration_ms, skim});
            return true;
          },
          out);
      read = status.ok();
    });
    return open && read;
  }

  std::string GetFolder() override {
    PinnedArchive a = Live();
    return a ? a->GetArchiveFolder() : std::string();
  }
  std::string GetExt() override {
    PinnedArchive a = Live();
    return a ? a->GetArchiveExt() : std::string();
  }
  bool RecordsToDisk() override {
    PinnedArchive a = Live();
    bool records = false;
    if (a) {
      a->WithStorage([&](archive::CStorageManager& s) { records = s.settings().record_to_disk; });
    }
    return records;
  }

  std::unique_ptr<LevelSubscription> SubscribeLevels(audio::LevelListener* listener) override {
    PinnedArchive a = Live();
    if (!a) return nullptr;
    const std::string source = a->GetSourceName();
    auto subscription = std::make_unique<LevelBinding>();
    if (platform::Status loaded = subscription->binding.Load(); !loaded.ok()) {
      diag::DebugTrace("ClientHandler: audio capture library missing: %s\n",
                       loaded.message().c_str());
      return nullptr;
    }
    if (!subscription->binding.Subscribe(source.c_str(), nullptr, 3, listener)) {
      diag::DebugTrace("ClientHandler: cannot subscribe to source '%s'\n", source.c_str());
      return nullptr;
    }
    return subscription;
  }

  bool GetLiveFormat(LiveFormat* format) override {
    PinnedArchive a = Live();
    audenc::LiveEncoderParams params{};
    if (!a || !a->GetLiveParams(&params)) return false;
    format->bitrate_kbps = static_cast<int32_t>(params.nBitrateK);
    format->sample_rate = static_cast<int32_t>(params.nSampleRate);
    format->channels = static_cast<int32_t>(params.nChannels);
    format->block_size = a->GetLiveBlockSize();
    format->block_samples = a->GetLiveBlockSamples();
    return true;
  }
  bool AddLiveReader(kit::AudioSink* reader) override {
    PinnedArchive a = Live();
    return a && a->AddLiveReader(reader);
  }
  bool RemoveLiveReader(kit::AudioSink* reader) override {
    PinnedArchive a = Live();
    return a && a->RemoveLiveReader(reader);
  }

 private:
  // The archive, if the manager still holds it under this name, held until
  // the returned reference ends.
  PinnedArchive Live() { return PinnedArchive(manager_, manager_->Pin(name_.c_str(), archive_)); }

  archive::ArchiveManager* const manager_;
  const std::string name_;
  IArchive* const archive_;
};

ManagerAccess::ManagerAccess(IArchiveManager* manager)
    : manager_(static_cast<archive::ArchiveManager*>(manager)) {}

ManagerAccess::~ManagerAccess() = default;

IArchiveManager* ManagerAccess::manager() {
  return manager_;
}

NetArchive* ManagerAccess::AccessFor(const char* name, IArchive* archive) {
  kit::MutexLock lock(mu_);
  auto& face = faces_[{name, archive}];
  if (face == nullptr) face = std::make_unique<Archive>(manager_, name, archive);
  return face.get();
}

void ManagerAccess::EnumArchives(
    const std::function<void(const char* name, NetArchive* archive)>& fn) {
  // The manager's callback runs under its lock: gather first, call after.
  std::vector<std::pair<std::string, IArchive*>> found;
  manager_->EnumArchives(
      [](const char* name, IArchive* archive, void* context) {
        static_cast<std::vector<std::pair<std::string, IArchive*>>*>(context)->emplace_back(
            name, archive);
      },
      &found);
  for (const auto& [name, archive] : found) fn(name.c_str(), AccessFor(name.c_str(), archive));
}

NetArchive* ManagerAccess::FindArchive(const char* name) {
  if (name == nullptr) return nullptr;
  IArchive* archive = manager_->FindArchive(name);
  return archive != nullptr ? AccessFor(name, archive) : nullptr;
}

namespace {

// The server object's network server: settings from the registry at Open.
class SeamServer : public archive::INetworkServer {
 public:
  explicit SeamServer(IArchiveManager* manager) : access_(manager) {}
  ~SeamServer() override { Close(); }

  platform::Status Open(uint32_t port) override {
    if (server_ != nullptr) {
      return platform::Status::Error(
          platform::Status::kInvalidArgument,
          "cannot listen on port " + std::to_string(port) + ": the network server is already open");
    }
    NetworkSettings settings = ReadNetworkSettings(nullptr);
    // The service has no log of its own: refused clients go to the program's
    // warning route, which recserver sends to the station's journal.
    settings.log = [](const std::string& line) { platform::Warn("%s", line.c_str()); };
    server_ = std::make_unique<NetworkServer>(&access_, std::move(settings));
    platform::Status status = server_->Open(port);
    // A failed open leaves nothing behind, so the host may try another port.
    if (!status.ok()) server_.reset();
    return status;
  }
  void Close() override {
    if (server_ == nullptr) return;
    server_->Close();
    const NetworkServer::Counts counts = server_->GetCounts();
    accepted_before_ += counts.accepted;
    refused_before_ += counts.refused;
    server_.reset();
  }
  void GetCounters(ServerCounters* counters) override {
    NetworkServer::Counts counts;
    if (server_ != nullptr) counts = server_->GetCounts();
    counters->dwReserved = 0;
    counters->nAccepted = accepted_before_ + counts.accepted;
    counters->nRefused = refused_before_ + counts.refused;
    counters->nPlayback = counts.playback;
    counters->nLive = counts.live;
    counters->nStatus = counts.status;
    counters->nOther = counts.other;
  }

 private:
  ManagerAccess access_;
  std::unique_ptr<NetworkServer> server_;
  uint64_t accepted_before_ = 0;  // the totals of the opens before
  uint64_t refused_before_ = 0;
};

}  // namespace

}  // namespace logrum::network

namespace logrum::archive {

std::unique_ptr<INetworkServer> CreateNetworkServer(IArchiveManager* manager) {
  if (manager == nullptr) return nullptr;
  return std::make_unique<network::SeamServer>(manager);
}

}  // namespace logrum::archive
