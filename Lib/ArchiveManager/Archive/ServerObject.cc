#include "Lib/ArchiveManager/Archive/ServerObject.h"

#include <algorithm>
#include <cstring>

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

bool ArchiveServerObject::GetCounters(ServerCounters* counters) {
  if (counters == nullptr || counters->cbSize < 8) return false;
  try {
    ServerCounters all{};
    all.cbSize = sizeof all;
    if (network_ != nullptr) network_->GetCounters(&all);
    const uint32_t size = std::min<uint32_t>(counters->cbSize, sizeof all);
    std::memcpy(counters, &all, size);
    counters->cbSize = size;
    return true;
  } catch (...) {
    diag::DebugTrace("ArchiveServerObject::GetCounters: exception\n");
    return false;
  }
}

}  // namespace logrum::archive
