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
    open_error_.clear();
    if (network_ == nullptr) {
      open_error_ = "this archive service has no network server";
      return false;
    }
    const platform::Status status = network_->Open(port);
    open_error_ = status.ok() ? "" : status.message();
    if (!status.ok()) diag::DebugTrace("ArchiveServerObject::Open: %s\n", open_error_.c_str());
    return status.ok();
  } catch (...) {
    open_error_ = "the network server failed to start (exception)";
    diag::DebugTrace("ArchiveServerObject::Open: exception\n");
    return false;
  }
}

int32_t ArchiveServerObject::GetOpenError(char* buffer, uint32_t size) {
  if (buffer != nullptr && size > 0) {
    const size_t n = std::min<size_t>(open_error_.size(), size - 1);
    std::memcpy(buffer, open_error_.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int32_t>(open_error_.size());
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
