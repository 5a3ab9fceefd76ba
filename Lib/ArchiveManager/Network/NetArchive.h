// What the network service needs of the archive service: the archives by name
// and, of one archive, its state, index, segment folder, levels and live
// stream. The archive layer implements these faces over its archives
// (ArchiveAccess.cc); tests implement them with fakes, so that the whole
// connection logic runs without recording anything.
//
// Lifetime: a NetArchive returned by a NetArchiveSource stays valid as long
// as the source; the archive behind it may close at any time, and every
// operation then answers as for a closed archive (no database, no live
// encoder, not active).
//
// Thread safety: every operation may be called from any connection thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Kit/AudioSink.h"

namespace logrum::network {

struct IndexEntry {
  int64_t start = 0;  // linear time
  uint32_t duration_ms = 0;
  bool skim = false;
};

// The live encoder's stream: its parameter record and the archive's live block.
struct LiveFormat {
  int32_t bitrate_kbps = 0;
  int32_t sample_rate = 0;
  int32_t channels = 0;
  uint32_t block_size = 0;     // bytes of every live block
  uint32_t block_samples = 0;  // samples per live block
};

// A level subscription; ending it (the destructor) unsubscribes.
class LevelSubscription {
 public:
  virtual ~LevelSubscription() = default;
};

class NetArchive {
 public:
  virtual ~NetArchive() = default;

  virtual bool IsActive() = 0;
  virtual double GetUsedStorageMB() = 0;
  virtual double GetTotalStorageMB() = 0;
  // The attached-client count (interlocked).
  virtual void AddClient() = 0;
  virtual void RemoveClient() = 0;
  virtual uint32_t GetClientCount() = 0;
  // The segments with from <= start < to (linear times, whole seconds kept),
  // ascending. False when the archive has no segment database now.
  virtual bool ReadIndex(int64_t from, int64_t to, std::vector<IndexEntry>* out) = 0;
  // Folder and segment extension, for reading segment files.
  virtual std::string GetFolder() = 0;
  virtual std::string GetExt() = 0;
  // Whether the archive records from a source (levels then come from it).
  virtual bool RecordsToDisk() = 0;
  // Subscribes a level listener to the archive's source; null when the
  // audio capture library or the source is not there.
  virtual std::unique_ptr<LevelSubscription> SubscribeLevels(audio::LevelListener* listener) = 0;
  // False when the archive has no live encoder now.
  virtual bool GetLiveFormat(LiveFormat* format) = 0;
  virtual bool AddLiveReader(kit::AudioSink* reader) = 0;
  virtual bool RemoveLiveReader(kit::AudioSink* reader) = 0;
};

class NetArchiveSource {
 public:
  virtual ~NetArchiveSource() = default;
  // Every archive in ascending name order.
  virtual void EnumArchives(const std::function<void(const char* name, NetArchive* archive)>& fn) = 0;
  // The archive of exactly this name, or null.
  virtual NetArchive* FindArchive(const char* name) = 0;
};

}  // namespace logrum::network
