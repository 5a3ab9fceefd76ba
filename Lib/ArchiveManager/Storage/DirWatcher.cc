#include "Lib/ArchiveManager/Storage/DirWatcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/Diagnostics/Trace.h"

namespace logrum::archive {
namespace {

constexpr uint32_t kFolderMask = IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                 IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW;
// How long the first half of a move waits for its second in a later read.
constexpr int kMovePairMs = 20;

}  // namespace

DirWatcher::DirWatcher() : AppThread("DirWatcher", 5000, 0, false) {}

DirWatcher::~DirWatcher() { Stop(); }

void DirWatcher::Close() {
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
  if (stop_fd_ >= 0) ::close(stop_fd_);
  inotify_fd_ = -1;
  stop_fd_ = -1;
  folders_.clear();
  pending_ = PendingMove{};
}

bool DirWatcher::Start(const std::string& folder, FileEvents* sink) {
  if (started_ || sink == nullptr) return false;
  folder_ = folder;
  while (folder_.size() > 1 && folder_.back() == kPathSeparator) folder_.pop_back();
  inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stop_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (inotify_fd_ < 0 || stop_fd_ < 0 || !AddTree(folder_, nullptr)) {
    diag::DebugTrace("DirWatcher::Start: cannot watch %s\n", folder_.c_str());
    Close();
    return false;
  }
  sink_ = sink;
  started_ = true;
  Run();
  return true;
}

void DirWatcher::Stop() {
  if (!started_) return;
  started_ = false;
  const uint64_t one = 1;
  if (::write(stop_fd_, &one, sizeof one) < 0) diag::DebugTrace("DirWatcher::Stop: eventfd\n");
  SetExit(0);
  Close();
  sink_ = nullptr;
}

bool DirWatcher::AddTree(const std::string& folder, std::vector<std::string>* files) {
  const int wd = ::inotify_add_watch(inotify_fd_, folder.c_str(), kFolderMask);
  if (wd < 0) return false;
  folders_[wd] = folder;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return true;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    const std::string path = folder + kPathSeparator + name;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info {};
      if (::lstat(path.c_str(), &info) != 0) continue;
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      AddTree(path, files);
    } else if (type == DT_REG && files != nullptr) {
      files->push_back(path);
    }
  }
  ::closedir(dir);
  return true;
}

std::string DirWatcher::PathOf(int wd, const char* name) const {
  auto it = folders_.find(wd);
  if (it == folders_.end()) return {};
  return it->second + kPathSeparator + name;
}

bool DirWatcher::FlushPendingMove() {
  if (!pending_.active) return true;
  pending_.active = false;
  // Moved out of the tree. A folder takes its files' rows with it, which
  // only a rescan finds.
  if (pending_.is_folder) return sink_->OnRemoved(pending_.path.c_str()) && sink_->OnOverflow();
  return sink_->OnRemoved(pending_.path.c_str());
}

bool DirWatcher::Handle(const inotify_event* event) {
  if (event->mask & IN_Q_OVERFLOW) {
    return FlushPendingMove() && sink_->OnOverflow();
  }
  if (event->mask & IN_IGNORED) {
    folders_.erase(event->wd);
    return true;
  }
  if (event->len == 0) return true;  // about a watched folder itself
  const std::string path = PathOf(event->wd, event->name);
  if (path.empty()) return true;
  const bool is_folder = (event->mask & IN_ISDIR) != 0;

  if (event->mask & IN_MOVED_TO) {
    if (pending_.active && pending_.cookie == event->cookie) {
      pending_.active = false;
      if (!sink_->OnRenamed(pending_.path.c_str(), path.c_str())) return false;
      if (!is_folder) return true;
      // The folder keeps its watches, under a new name: follow it, and let a
      // rescan move its files' rows.
      const std::string old_prefix = pending_.path + kPathSeparator;
      for (auto& [wd, folder] : folders_) {
        if (folder == pending_.path) {
          folder = path;
        } else if (folder.compare(0, old_prefix.size(), old_prefix) == 0) {
          folder = path + folder.substr(pending_.path.size());
        }
      }
      return sink_->OnOverflow();
    }
    if (!FlushPendingMove()) return false;
    if (!is_folder) return sink_->OnAdded(path.c_str());
    std::vector<std::string> files;
    AddTree(path, &files);
    for (const std::string& file : files) {
      if (!sink_->OnAdded(file.c_str())) return false;
    }
    return true;
  }
  if (!FlushPendingMove()) return false;
  if (event->mask & IN_MOVED_FROM) {
    pending_ = PendingMove{true, event->cookie, is_folder, path};
    return true;
  }
  if (event->mask & IN_CREATE) {
    if (!is_folder) return true;  // reported when written and closed
    // Files may have been made in it before its watch existed.
    std::vector<std::string> files;
    AddTree(path, &files);
    for (const std::string& file : files) {
      if (!sink_->OnAdded(file.c_str())) return false;
    }
    return true;
  }
  if (event->mask & IN_CLOSE_WRITE) return sink_->OnAdded(path.c_str());
  if (event->mask & IN_DELETE) return sink_->OnRemoved(path.c_str());
  return sink_->OnUnknown(event->mask);
}

void DirWatcher::Body() {
  alignas(inotify_event) char buffer[16384];
  bool watching = true;
  while (watching && IsRunning()) {
    pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, pending_.active ? kMovePairMs : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    if (ready == 0) {  // the move's second half did not come
      watching = FlushPendingMove();
      continue;
    }
    const ssize_t n = ::read(inotify_fd_, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      break;
    }
    for (ssize_t at = 0; watching && at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      watching = Handle(event);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace logrum::archive
