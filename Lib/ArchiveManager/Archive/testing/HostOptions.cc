#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
