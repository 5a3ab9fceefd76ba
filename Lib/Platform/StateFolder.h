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

#include "Lib/Platform/Status.h"

namespace logrum::platform {

// The folder's path, without a trailing slash.
std::string StateFolderPath();

// Creates the folder and its missing parents (mode 0755 less the umask).
// *path holds the folder, made or not; the Status says which folder failed and why.
Status MakeStateFolder(std::string* path);

}  // namespace logrum::platform
