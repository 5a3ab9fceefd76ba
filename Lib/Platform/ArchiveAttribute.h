// The archive attribute: "this file has changed since it was last backed up".
//
// Linux files have no such flag, so it is kept as the user extended attribute
// "user.logrum2.backup", which records what was backed up: the size and the
// modification time (ns) of the file when its backup finished, as
// "<size> <mtime_ns>". A file carries the archive attribute while that record
// is missing or no longer matches the file, so a file that is created or
// changed is flagged without anybody setting anything.
//
// Where the file system has no extended attributes (ENOTSUP), the record is
// kept in a small side file next to it, ".<name>.backup", with the same text.
//
// Thread safety: plain functions over the file system.
#pragma once

#include <string>

namespace logrum::platform {

// true when the file exists and has not been backed up as it is now.
bool HasArchiveAttribute(const std::string& path);
// Flags the file again (removes the backup record). true when the file now
// carries the attribute.
bool SetArchiveAttribute(const std::string& path);
// Records the file as backed up as it is now. false when it cannot be recorded
// (the file then keeps its attribute).
bool ClearArchiveAttribute(const std::string& path);

}  // namespace logrum::platform
