#include "Lib/Kit/PathName.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Lib/Platform/ArchiveAttribute.h"

namespace logrum::kit {

namespace {

constexpr char kSep = '/';

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

PathName Slice(const char* text, uint32_t begin, uint32_t end) {
  PathName out;
  if (end > begin) out.Assign(text + begin, static_cast<int>(end - begin));
  return out;
}

}  // namespace

PathName::PathName(std::string_view text) {
  path_[0] = '\0';
  const size_t n = std::min<size_t>(text.size(), kMaxPath);
  std::memcpy(path_, text.data(), n);
  path_[n] = '\0';
}

void PathName::Assign(const char* text, int count) {
  if (text == nullptr) {
    path_[0] = '\0';
    return;
  }
  size_t n = count < 1 ? std::strlen(text) : strnlen(text, static_cast<size_t>(count));
  if (n > kMaxPath) n = kMaxPath;
  std::memmove(path_, text, n);
  path_[n] = '\0';
}

uint32_t PathName::Length() const {
  return static_cast<uint32_t>(std::strlen(path_));
}

bool PathName::operator==(const PathName& other) const {
  return std::strcmp(path_, other.path_) == 0;
}

uint32_t PathName::RootLength() const {
  if (path_[0] != kSep) return 0;
  if (path_[1] != kSep) return 1;
  // "//server/share": the server ends at the next separator, the share at the one after.
  const char* server_end = std::strchr(path_ + 2, kSep);
  if (server_end == nullptr) return 0;
  const char* share_end = std::strchr(server_end + 1, kSep);
  return share_end == nullptr ? Length() : static_cast<uint32_t>(share_end - path_);
}

uint32_t PathName::NameStart() const {
  const char* last = std::strrchr(path_, kSep);
  return last == nullptr ? 0 : static_cast<uint32_t>(last - path_ + 1);
}

uint32_t PathName::ExtensionStart() const {
  const uint32_t name = NameStart();
  const char* dot = std::strrchr(path_ + name, '.');
  // A name that starts with its only dot (".profile") has no extension; nor do "." and "..".
  if (dot == nullptr || dot == path_ + name) return Length();
  if (std::strcmp(path_ + name, "..") == 0) return Length();
  return static_cast<uint32_t>(dot - path_);
}

PathName PathName::Root() const {
  return Slice(path_, 0, RootLength());
}

PathName PathName::Folder() const {
  uint32_t begin = RootLength();
  // The root "/" is also the folder's leading separator.
  if (begin == 1) begin = 0;
  const uint32_t end = NameStart();
  return Slice(path_, begin, end > begin ? end : begin);
}

PathName PathName::Name() const {
  return Slice(path_, NameStart(), ExtensionStart());
}

PathName PathName::Extension() const {
  return Slice(path_, ExtensionStart(), Length());
}

PathName PathName::NameExt() const {
  return Slice(path_, NameStart(), Length());
}

PathName PathName::Directory() const {
  return Slice(path_, 0, NameStart());
}

bool PathName::HasExtension(const char* text) const {
  const char* ours = path_ + ExtensionStart();
  if (*ours == '.') ++ours;
  const char* theirs = text != nullptr ? text : "";
  if (*theirs == '.') ++theirs;
  while (*ours != '\0' && *theirs != '\0' && FoldAscii(*ours) == FoldAscii(*theirs)) {
    ++ours;
    ++theirs;
  }
  return *ours == '\0' && *theirs == '\0';
}

PathName& PathName::Append(const char* component) {
  std::string text = path_;
  if (!text.empty() && text.back() != kSep) text += kSep;
  if (component != nullptr) text += component;
  *this = PathName(std::string_view(text));
  return *this;
}

PathName& PathName::ReplaceName(const PathName& other) {
  std::string text = Directory().str() + other.NameExt().str();
  *this = PathName(std::string_view(text));
  return *this;
}

bool PathName::MakeFull() {
  std::error_code error;
  std::filesystem::path full = std::filesystem::absolute(path_, error);
  if (error) return false;
  std::string text = full.lexically_normal().string();
  if (text.size() > kMaxPath) return false;
  *this = PathName(std::string_view(text));
  return true;
}

PathName& PathName::StripSeparator() {
  const uint32_t n = Length();
  if (n > 1 && path_[n - 1] == kSep) path_[n - 1] = '\0';
  return *this;
}

bool PathName::Exists() const {
  struct stat st;
  return path_[0] != '\0' && ::stat(path_, &st) == 0;
}

bool PathName::IsFolder() const {
  struct stat st;
  return path_[0] != '\0' && ::stat(path_, &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathName::ArchiveFlag() const { return platform::HasArchiveAttribute(path_); }

bool PathName::SetArchiveFlag(bool on) const {
  return on ? platform::SetArchiveAttribute(path_) : platform::ClearArchiveAttribute(path_);
}

bool PathName::Delete() const {
  return path_[0] != '\0' && ::unlink(path_) == 0;
}

bool PathName::CreateFolderTree() const {
  if (IsEmpty()) return false;
  if (IsFolder()) return true;
  PathName stripped(*this);
  stripped.StripSeparator();
  const PathName parent = stripped.Directory();
  PathName parent_stripped(parent);
  parent_stripped.StripSeparator();
  if (!parent.IsEmpty() && parent_stripped.Length() < stripped.Length() &&
      !(parent_stripped == stripped) && !parent.IsFolder()) {
    if (!parent.CreateFolderTree()) return false;
  }
  if (::mkdir(stripped.c_str(), 0777) == 0) return true;
  // Another thread or process may have made it in the meantime.
  return errno == EEXIST && stripped.IsFolder();
}

bool PathName::CreateParentFolderTree() const {
  const PathName directory = Directory();
  if (directory.IsEmpty()) return true;  // a bare name lives in the current directory
  return directory.CreateFolderTree();
}

bool PathName::ParentIsFolder() const {
  const PathName directory = Directory();
  return directory.IsEmpty() ? PathName(".").IsFolder() : directory.IsFolder();
}

}  // namespace logrum::kit
