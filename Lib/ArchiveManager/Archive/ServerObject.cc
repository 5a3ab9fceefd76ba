#include "Lib/ArchiveManager/Archive/ServerObject.h"

#include "Lib/Diagnostics/Trace.h"

namespace logrum::archive {

ArchiveServerObject::ArchiveServerObject(IArchiveManager* manager)
    : network_(CreateNetworkServer(manager)) {}

ArchiveServerObject::~ArchiveServerObject() { Close(); }

bool ArchiveServerObject::Open(uint32_t port) {
  try {
    return network_ != nullptr && network_->Open(port);
  } catch (...) {
    diag::DebugTrace("ArchiveServerObject::Open: exception\n");
    return false;
  }
}

void ArchiveServerObject::Close() {
  try {
    if (network_ != nullptr) network_->Close();
  } catch (...) {
    diag::DebugTrace("ArchiveServerObject::Close: exception\n");
  }
}

}  // namespace logrum::archive
