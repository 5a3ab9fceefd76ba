// A file-system path as a small value: its parts, building new paths, and the
// few file-system queries the archive engine needs.
//
// Linux rules: the separator is '/'. The root of an absolute path is "/"; a
// path that begins with two slashes is a network path whose root is
// "//server/share" (empty while the share part is missing). A path holds at
// most kMaxPath characters; longer text is cut.
//
// The archive flag: a file carries it from the moment it is created or changed
// until a backup clears it. It is kept as the extended attribute
// "user.logrum2.backup" recording the size and modification time that were
// backed up; a later change of either sets the flag again.
//
// Thread safety: a value type; distinct objects on distinct threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace logrum::kit {

class PathName {
 public:
  static constexpr uint32_t kMaxPath = 260;

  PathName() { path_[0] = '\0'; }
  PathName(const char* text) { Assign(text, 0); }  // NOLINT: implicit by design
  PathName(std::string_view text);                 // NOLINT
  PathName(const PathName& other) = default;
  PathName& operator=(const PathName& other) = default;
  PathName& operator=(const char* text) {
    Assign(text, 0);
    return *this;
  }
  virtual ~PathName() = default;

  // count < 1 takes the whole text, else its first `count` characters; at most
  // kMaxPath are kept. A null text gives the empty path.
  void Assign(const char* text, int count);

  const char* c_str() const { return path_; }
  std::string str() const { return path_; }
  uint32_t Length() const;
  bool IsEmpty() const { return path_[0] == '\0'; }
  bool operator==(const PathName& other) const;

  // Parts, each a new path.
  PathName Root() const;       // "/", "//server/share" or empty
  PathName Folder() const;     // the folder after the root, with leading and trailing '/'
  PathName Name() const;       // file name without extension
  PathName Extension() const;  // with its dot; a leading dot of a name is not an extension
  PathName NameExt() const;    // Name() + Extension()
  PathName Directory() const;  // everything up to and including the last '/'
  // The extension equals `text`, each without a leading dot, ignoring the case of A-Z.
  bool HasExtension(const char* text) const;

  // Building.
  PathName& Append(const char* component);       // adds '/' unless empty or already ending in one
  PathName& ReplaceName(const PathName& other);  // this Directory() + other's NameExt()
  bool MakeFull();  // absolute and normalised against the current directory; false if it cannot
  PathName& StripSeparator();  // removes one trailing '/' (the root "/" stays)

  // File-system queries.
  bool Exists() const;
  bool IsFolder() const;
  bool ArchiveFlag() const;
  bool SetArchiveFlag(bool on) const;
  bool Delete() const;  // removes a file (not a folder)
  // Creates the folder and every missing parent; true if it exists afterwards.
  bool CreateFolderTree() const;
  // Creates the folder tree of Directory() (for a file path).
  bool CreateParentFolderTree() const;
  bool ParentIsFolder() const;

 private:
  // Length of the root prefix (0, 1 for "/", or that of "//server/share").
  uint32_t RootLength() const;
  // Index just past the last '/', or 0.
  uint32_t NameStart() const;
  // Index of the extension's dot within the name, or the path's length.
  uint32_t ExtensionStart() const;

  char path_[kMaxPath + 1];
};

}  // namespace logrum::kit
