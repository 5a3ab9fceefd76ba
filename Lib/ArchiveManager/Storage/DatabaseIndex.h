// The segment database as the file scanner sees it: its six index operations
// and the transactions that group a scan's updates, forwarded one to one.
//
// Thread safety: as the database, which serialises its callers.
#pragma once

#include <cstdint>

#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Storage/StorageAdapters.h"
#include "Lib/Diagnostics/Trace.h"

namespace logrum::archive {

class DatabaseIndex final : public SegmentIndex, public IndexBatch {
 public:
  explicit DatabaseIndex(AudioDatabaseSql* db) : db_(db) {}

  bool HasSegment(const CZoneTime& start) override { return db_->HasSegment(start); }
  bool AddSegment(const CZoneTime& start, uint32_t duration_ms, bool skim, uint32_t size_bytes,
                  const CZoneTime& end) override {
    const platform::Status status = db_->AddSegment(start, duration_ms, skim, size_bytes, end);
    if (!status.ok()) diag::DebugTrace("DatabaseIndex::AddSegment: %s\n", status.message().c_str());
    return status.ok();
  }
  bool DeleteSegment(const CZoneTime& start) override { return db_->DeleteSegment(start); }
  bool BeginScan() override { return db_->BeginScan(); }
  bool EndScan() override { return db_->EndScan(); }
  bool MarkScanned(const CZoneTime& start) override { return db_->MarkScanned(start); }

  bool BeginBatch() override { return db_->BeginBatch(); }
  bool CommitBatch() override { return db_->CommitBatch(); }

 private:
  AudioDatabaseSql* const db_;
};

}  // namespace logrum::archive
