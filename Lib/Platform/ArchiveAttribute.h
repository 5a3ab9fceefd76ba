// The archive attribute of a file: "this file has changed since its last
// backup".
//
// Linux files have no such flag, so it is kept the other way round: a backup
// that has copied a file everywhere records what it copied (size and
// modification time) in the user extended attribute "user.logrum2.backup".
// A file carries the archive attribute while that record is missing or no
// longer matches the file, so a new file has it from the moment it is
// created, and a file written again after its backup has it again, without
// anyone having to remember to set it.
//
// Where the file system keeps no extended attributes, every file reads as
// flagged and clearing fails: backups are repeated rather than skipped.
//
// Thread safety: plain functions on the file system; any thread.
#pragma once

#include <string>

namespace logrum::platform {

inline constexpr char kArchiveAttributeName[] = "user.logrum2.backup";

// True when the file exists and has not been backed up as it is now.
bool HasArchiveAttribute(const std::string& path);
// Flags the file for backup (forgets the record). True when the file exists
// and is flagged afterwards.
bool SetArchiveAttribute(const std::string& path);
// Records the file as backed up as it is now. False when the file is missing
// or the record cannot be written.
bool ClearArchiveAttribute(const std::string& path);

}  // namespace logrum::platform
