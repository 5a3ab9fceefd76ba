// The state folder: where the system keeps what it must remember between runs
// (the configuration store "registry.db3", the single-instance lock file).
//
//   $LOGRUM2_HOME                       when set and not empty
//   /var/lib/logrum2                    for root
//   $XDG_STATE_HOME/logrum2             for other users, when XDG_STATE_HOME is absolute
//   ~/.local/state/logrum2              otherwise
//
// Thread safety: any thread; the environment is read on every call.
#pragma once

#include <string>

namespace logrum::platform {

// The folder's path, without a trailing slash.
std::string StateFolderPath();

// Creates the folder and its missing parents (mode 0755 less the umask).
// On success *path holds the folder; on failure *error says which folder and why.
bool MakeStateFolder(std::string* path, std::string* error);

}  // namespace logrum::platform
