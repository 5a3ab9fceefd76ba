// DirWatcher: reports what changes in the archive folder tree (inotify).
//
// Every folder of the tree is watched, and folders that appear later (the
// recorder's day folders) are added as they come; files created in a new
// folder before its watch existed are reported as added when it is added.
// What goes to the sink (FileEvents), on the watcher's thread:
//   - a file written and closed (IN_CLOSE_WRITE) or moved in -> OnAdded; a
//     file's creation alone is not reported, since its content is not there
//     yet (a copy in progress, a segment being recorded);
//   - a file deleted or moved out -> OnRemoved;
//   - a move inside the tree (the two halves joined by their cookie) ->
//     OnRenamed(old, new);
//   - lost events (IN_Q_OVERFLOW), and a folder renamed or moved out with
//     whatever it holds -> OnOverflow, so the scanner rescans.
// Modifications are not watched: the recorder writes many times a second and
// nothing needs to know.
//
// Thread safety: Start and Stop from the owner's thread.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "Lib/ArchiveManager/Storage/StorageAdapters.h"
#include "Lib/Kit/AppThread.h"

struct inotify_event;

namespace logrum::archive {

class DirWatcher : public kit::AppThread {
 public:
  DirWatcher();
  ~DirWatcher() override;  // Stop()

  // Watches the folder's whole tree (set up before it returns) and starts the
  // thread. false when the folder cannot be watched.
  bool Start(const std::string& folder, FileEvents* sink);
  void Stop();

 protected:
  void Body() override;

 private:
  // Watches `folder` and every folder below it; regular files found are
  // appended to *files when it is given.
  bool AddTree(const std::string& folder, std::vector<std::string>* files);
  // Forwards one event; false when the sink ends the watch.
  bool Handle(const inotify_event* event);
  bool FlushPendingMove();
  std::string PathOf(int wd, const char* name) const;
  void Close();

  int inotify_fd_ = -1;
  int stop_fd_ = -1;  // eventfd
  FileEvents* sink_ = nullptr;
  std::string folder_;
  std::unordered_map<int, std::string> folders_;  // watch -> folder path
  // The first half of a move waiting for its second.
  struct PendingMove {
    bool active = false;
    uint32_t cookie = 0;
    bool is_folder = false;
    std::string path;
  } pending_;
  bool started_ = false;
};

}  // namespace logrum::archive
