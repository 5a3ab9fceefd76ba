// The file scanner and the directory watcher against a real archive folder:
// the storage manager of an archive that does not record (scanner, watcher
// and database only), files put there, changed and removed by hand.
#include "Lib/ArchiveManager/Storage/FileScanner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <unordered_set>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/ArchiveManager/Storage/DatabaseIndex.h"
#include "Lib/ArchiveManager/Storage/DirWatcher.h"
#include "Lib/ArchiveManager/Storage/StorageManager.h"
#include "Lib/ArchiveManager/Storage/tests/RecordingFixture.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/Platform/ArchiveAttribute.h"

namespace logrum::archive::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPatienceMs = 10000;

struct Row {
  std::string start;
  uint32_t duration_ms;
  bool skim;
  bool operator==(const Row&) const = default;
};

std::vector<Row> Rows(AudioDatabaseSql* db) {
  std::vector<Row> rows;
  const platform::Status status = db->GetIndex(
      Local(2025, 1, 1, 0, 0, 0), Local(2027, 1, 1, 0, 0, 0),
      [](const CZoneTime& start, uint32_t duration, bool skim, void* context) {
        static_cast<std::vector<Row>*>(context)->push_back({Text(start), duration, skim});
        return true;
      },
      &rows);
  EXPECT_TRUE(status.ok()) << status.message();
  return rows;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

class FileScannerTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLocal(2026, 1, 10, 13, 0, 0); }
  StorageSettings Settings() {
    StorageSettings s;
    s.folder = folder_.path();
    s.ext = "mp3";
    s.source_name = "Studio A";
    s.record_to_disk = false;
    return s;
  }
  std::unique_ptr<CStorageManager> OpenStorage() {
    auto storage = std::make_unique<CStorageManager>(nullptr, Settings(), &log_);
    EXPECT_TRUE(storage->Open());
    EXPECT_TRUE(storage->scanner()->WaitScans(1, kPatienceMs));
    return storage;
  }
  // Every event of the watcher before this call has been dealt with once it
  // returns: a file that no segment name fits goes through the same queue.
  void Sync() {
    const std::string marker = folder_.path() + "/sync-" + std::to_string(++syncs_) + ".mp3";
    std::ofstream(marker) << "x";
    // Left in place: removing it would be one more event after this returns.
    ASSERT_TRUE(log_.WaitFor("File ignored! (" + marker + ")"));
  }
  std::string Day(const char* day) { return folder_.path() + "/" + day; }

  TempDir folder_;
  MessageLog log_;
  int syncs_ = 0;
};

TEST_F(FileScannerTest, FullScanAtOpenIndexesRepairsAndReportsWhatItFinds) {
  const std::string good = MakeSegment(folder_.path(), Local(2026, 1, 10, 10, 0, 0), 12, true);
  const std::string cut = MakeCutSegment(folder_.path(), Local(2026, 1, 10, 10, 15, 0), 30);
  const std::string garbage = SegmentFileName(folder_.path(), Local(2026, 1, 10, 10, 30, 0), "mp3");
  WriteBytes(garbage, {'n', 'o', ' ', 'a', 'u', 'd', 'i', 'o'});
  // A segment placed directly in the archive folder, not in its day folder.
  const std::string misplaced = folder_.path() + "/2026.01.10-11.00.00-S.mp3";
  fs::copy_file(MakeSegment(Day("elsewhere"), Local(2026, 1, 10, 11, 0, 0), 3), misplaced);
  fs::remove_all(Day("elsewhere"));
  const std::string upper = Day("2026.01.10") + "/2026.01.10-12.00.00-S.MP3";
  fs::rename(MakeSegment(folder_.path(), Local(2026, 1, 10, 12, 0, 0), 5), upper);
  const std::string unnamed = Day("2026.01.10") + "/music.mp3";
  WriteBytes(unnamed, Frames128(3));
  std::ofstream(Day("2026.01.10") + "/notes.txt") << "on air";

  auto storage = OpenStorage();
  EXPECT_EQ(Rows(storage->database()),
            (std::vector<Row>{{"2026.01.10-10:00:00-S", 313, true},
                              {"2026.01.10-10:15:00-S", 783, false},  // 30 whole frames kept
                              {"2026.01.10-12:00:00-S", 130, false}}));
  EXPECT_EQ(log_.LevelsOf("INFO: Repaired segment " + cut + ": 783 ms of audio."),
            std::vector<int32_t>{2});
  CArchiveFileRead reader(folder_.path(), "mp3");
  const auto read = reader.ReadInfo(cut);
  ASSERT_TRUE(read.ok()) << read.message();
  EXPECT_EQ(reader.GetSizeBytes(), 30u * 417);
  EXPECT_EQ(fs::file_size(cut), 30u * 417 + kTrailerSize);

  EXPECT_TRUE(log_.Contains("ERROR: Unable to scan file " + garbage + ". May be corrupted!"));
  EXPECT_EQ(FileBytes(garbage).size(), 8u);  // left as it is
  EXPECT_TRUE(log_.Contains("ERROR: File " + misplaced + " is in the wrong directory. Ignored!"));
  EXPECT_TRUE(log_.Contains("ERROR: Invalid file name detected. File ignored! (" + unnamed + ")"));
  EXPECT_TRUE(log_.Contains("INFO: File " + good + " was added to database."));
  for (const std::string& text : log_.Texts()) EXPECT_EQ(text.find("notes.txt"), std::string::npos);
  EXPECT_EQ(log_.LevelsOf("INFO: Start scanning path " + folder_.path() + "..."),
            std::vector<int32_t>{0});
  EXPECT_TRUE(log_.Contains("INFO: End scanning path " + folder_.path() + "."));
}

TEST_F(FileScannerTest, ANewDatabaseIsRebuiltFromTheFiles) {
  MakeSegment(folder_.path(), Local(2026, 1, 9, 23, 45, 0), 40);
  MakeSegment(folder_.path(), Local(2026, 1, 10, 0, 0, 0), 2000, true);
  MakeCutSegment(folder_.path(), Local(2026, 1, 10, 0, 15, 0), 100);
  std::vector<Row> before;
  uint32_t total_kb = 0;
  {
    auto storage = OpenStorage();
    before = Rows(storage->database());
    total_kb = storage->database()->GetTotalKB();
  }
  ASSERT_EQ(before.size(), 3u);
  // A rescan with every row present confirms each and changes nothing.
  {
    auto storage = OpenStorage();
    EXPECT_EQ(Rows(storage->database()), before);
    EXPECT_TRUE(log_.Contains("is already in the database. Updated."));
  }
  fs::remove(folder_.path() + "/archive.db3");
  auto storage = OpenStorage();
  EXPECT_EQ(Rows(storage->database()), before);
  EXPECT_EQ(storage->database()->GetTotalKB(), total_kb);
}

TEST_F(FileScannerTest, WatcherKeepsTheIndexInStepWithChangesByHand) {
  fs::create_directories(Day("2026.01.10"));
  auto storage = OpenStorage();
  AudioDatabaseSql* db = storage->database();

  // Copied in by hand: the row comes with the values of its trailer.
  TempDir outside;
  const std::string made = MakeSegment(outside.path(), Local(2026, 1, 10, 10, 0, 0), 20, true);
  const std::string copied = Day("2026.01.10") + "/" + fs::path(made).filename().string();
  fs::copy_file(made, copied);
  ASSERT_TRUE(log_.WaitFor("INFO: File " + copied + " was added to database."));
  EXPECT_EQ(Rows(db), (std::vector<Row>{{"2026.01.10-10:00:00-S", 522, true}}));

  // A cut segment that appears while the archive is open is repaired too.
  const std::string cut = MakeCutSegment(folder_.path(), Local(2026, 1, 10, 10, 15, 0), 10);
  ASSERT_TRUE(log_.WaitFor("INFO: Repaired segment " + cut + ": 261 ms of audio."));
  ASSERT_TRUE(log_.WaitFor("INFO: File " + cut + " was added to database."));

  // A new day folder and what is put in it at once.
  const std::string next_day = MakeSegment(folder_.path(), Local(2026, 1, 11, 0, 0, 0), 4);
  ASSERT_TRUE(log_.WaitFor("INFO: File " + next_day + " was added to database."));
  EXPECT_EQ(Rows(db).size(), 3u);

  // Deleted by hand: the row goes.
  fs::remove(copied);
  Sync();
  EXPECT_EQ(Rows(db).size(), 2u);
  EXPECT_FALSE(db->HasSegment(Local(2026, 1, 10, 10, 0, 0)));

  // Renamed into another day folder: the row goes, the new name is misplaced.
  const std::string moved = Day("2026.01.11") + "/" + fs::path(cut).filename().string();
  fs::rename(cut, moved);
  ASSERT_TRUE(log_.WaitFor("ERROR: File " + moved + " is in the wrong directory. Ignored!"));
  EXPECT_EQ(Rows(db), (std::vector<Row>{{"2026.01.11-00:00:00-S", 104, false}}));

  // A text file is nobody's business.
  std::ofstream(Day("2026.01.10") + "/playlist.txt") << "song";
  Sync();
  for (const std::string& text : log_.Texts()) {
    EXPECT_EQ(text.find("playlist.txt"), std::string::npos);
  }
}

TEST_F(FileScannerTest, ASegmentBeingRecordedIsLookedAtWithoutLookingChanged) {
  fs::create_directories(Day("2026.01.10"));
  auto storage = OpenStorage();
  CArchiveFileWrite writer(folder_.path(), "mp3", "Studio A");
  ASSERT_TRUE(writer.Open(Local(2026, 1, 10, 10, 0, 0), kFormat128, false).ok());
  const std::vector<uint8_t> audio = Frames128(10);
  ASSERT_TRUE(writer.Write(audio.data(), audio.size()).ok());
  const std::string path = writer.GetFileName();
  storage->scanner()->PostAdded(path);  // as when its day folder is new
  // A file being recorded is no damaged file: no error for it.
  const std::string recording = "INFO: File " + path + " is being recorded.";
  ASSERT_TRUE(log_.WaitFor(recording));
  Sync();
  // Looked at once: the look itself is no change that comes back as an event.
  EXPECT_EQ(log_.LevelsOf(recording).size(), 1u);
  EXPECT_FALSE(log_.Contains("ERROR: Unable to scan file " + path));
  EXPECT_FALSE(storage->database()->HasSegment(Local(2026, 1, 10, 10, 0, 0)));
  ASSERT_TRUE(writer.Close(CZoneTime()).ok());
  ASSERT_TRUE(log_.WaitFor("INFO: File " + path + " was added to database."));
}

TEST_F(FileScannerTest, RescanRunsAfterFiveQuietMinutesOnTheClock) {
  auto storage = OpenStorage();
  FileScanner* scanner = storage->scanner();
  // A row whose file is not there (its removal event was lost).
  ASSERT_TRUE(storage->database()
                  ->AddSegment(Local(2026, 1, 10, 9, 0, 0), 1000, false, 4170, CZoneTime())
                  .ok());
  scanner->PostRescan();  // what the watcher's overflow turns into
  Sync();                 // the rescan request and the database's own events are through
  ASSERT_EQ(scanner->ScansDone(), 1u);

  TestClock().AdvanceUs(299'000'000);
  const uint64_t checks = scanner->IdleChecks();
  ASSERT_TRUE(scanner->WaitIdleChecks(checks + 2, kPatienceMs));
  EXPECT_EQ(scanner->ScansDone(), 1u);  // not quiet for 5 minutes yet
  EXPECT_TRUE(storage->database()->HasSegment(Local(2026, 1, 10, 9, 0, 0)));

  TestClock().AdvanceUs(1'000'000);
  ASSERT_TRUE(scanner->WaitScans(2, kPatienceMs));
  EXPECT_FALSE(storage->database()->HasSegment(Local(2026, 1, 10, 9, 0, 0)));
  EXPECT_FALSE(scanner->RescanPending());
}

// Records what the watcher reports; the first report can be held back so
// that the kernel's event queue fills up behind it.
class HeldEvents : public FileEvents {
 public:
  bool OnAdded(const char* path) override { return Note("added " + std::string(path)); }
  bool OnRemoved(const char* path) override { return Note("removed " + std::string(path)); }
  bool OnModified(const char* path) override { return Note("modified " + std::string(path)); }
  bool OnRenamed(const char* old_path, const char* new_path) override {
    return Note("renamed " + std::string(old_path) + " " + new_path);
  }
  bool OnOverflow() override { return Note("overflow"); }
  bool OnUnknown(uint32_t action) override { return Note("unknown " + std::to_string(action)); }

  void Hold() { held_ = true; }
  void Release() {
    std::lock_guard lock(mu_);
    held_ = false;
    cv_.notify_all();
  }
  bool WaitFor(const std::string& event) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kPatienceMs),
                        [&] { return seen_.count(event) != 0; });
  }
  bool WaitHeld() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kPatienceMs), [&] { return holding_; });
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mu_);
    return events_;
  }

 private:
  bool Note(std::string event) {
    std::unique_lock lock(mu_);
    seen_.insert(event);
    events_.push_back(std::move(event));
    holding_ = held_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !held_; });
    holding_ = false;
    return true;
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
  std::unordered_set<std::string> seen_;
  bool held_ = false;
  bool holding_ = false;
};

TEST(DirWatcherTest, ReportsWritesRemovalsRenamesAndLostEvents) {
  TempDir folder;
  const std::string day = folder.path() + "/2026.01.10";
  fs::create_directories(day);
  HeldEvents events;
  DirWatcher watcher;
  ASSERT_TRUE(watcher.Start(folder.path(), &events));
  EXPECT_FALSE(DirWatcher().Start(folder.path() + "/missing", &events));

  std::ofstream(day + "/a.mp3") << "a";
  ASSERT_TRUE(events.WaitFor("added " + day + "/a.mp3"));
  fs::rename(day + "/a.mp3", day + "/b.mp3");
  ASSERT_TRUE(events.WaitFor("renamed " + day + "/a.mp3 " + day + "/b.mp3"));
  TempDir outside;
  fs::rename(day + "/b.mp3", folder.path() + "/c.mp3");  // still inside: a rename
  ASSERT_TRUE(events.WaitFor("renamed " + day + "/b.mp3 " + folder.path() + "/c.mp3"));
  fs::remove(folder.path() + "/c.mp3");
  ASSERT_TRUE(events.WaitFor("removed " + folder.path() + "/c.mp3"));

  // The kernel's queue overflows while the watcher is held up.
  events.Hold();
  std::ofstream(day + "/first.mp3") << "x";
  ASSERT_TRUE(events.WaitHeld());
  int limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  for (int i = 0; i <= limit; ++i) {
    // Two names in turn: the kernel merges repeats of the same event. Opened
    // for writing and closed, nothing truncated (which would flush each time).
    ::close(::open((day + (i % 2 ? "/x.mp3" : "/y.mp3")).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC,
                   0644));
  }
  events.Release();
  ASSERT_TRUE(events.WaitFor("overflow"));
  watcher.Stop();
}

class BackupLog : public BackupQueue {
 public:
  void EnqueueBackup(const CZoneTime& start) override { queued.push_back(Text(start)); }
  std::vector<std::string> queued;
};

TEST_F(FileScannerTest, FullScanQueuesFilesNotBackedUpYet) {
  const std::string saved = MakeSegment(folder_.path(), Local(2026, 1, 10, 10, 0, 0), 3);
  MakeSegment(folder_.path(), Local(2026, 1, 10, 10, 15, 0), 3);
  MakeCutSegment(folder_.path(), Local(2026, 1, 10, 10, 30, 0), 3);
  WriteBytes(SegmentFileName(folder_.path(), Local(2026, 1, 10, 10, 45, 0), "mp3"), {1, 2, 3});
  ASSERT_TRUE(platform::ClearArchiveAttribute(saved));
  AudioDatabaseSql db;
  ASSERT_TRUE(db.Open(folder_.path()).ok());
  DatabaseIndex index(&db);
  BackupLog backup;
  FileScanner scanner(folder_.path(), ".mp3", &index, &backup, &log_);
  scanner.FullScan();
  std::sort(backup.queued.begin(), backup.queued.end());
  EXPECT_EQ(backup.queued,
            (std::vector<std::string>{"2026.01.10-10:15:00-S", "2026.01.10-10:30:00-S"}));
}

}  // namespace
}  // namespace logrum::archive::testing
