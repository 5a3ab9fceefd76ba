#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "Lib/Platform/Sqlite.h"
#include "tests/support/TempDir.h"

namespace logrum::platform {
namespace {

constexpr int kFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

// A file another connection holds under an exclusive lock is not an empty
// table: the step says busy, with the file and the statement, and never "done".
TEST(SqliteTest, StepOnAFileLockedByAnotherConnectionIsAnErrorNotTheEnd) {
  testing::TempDir dir("sqlite");
  const std::string path = dir.Sub("locked.db3");
  std::unique_ptr<SqliteDb> db, other;
  ASSERT_TRUE(SqliteDb::Open(path, kFlags, "test database", &db).ok());
  ASSERT_TRUE(db->Exec("create table t(v integer); insert into t values(1),(2)", "setup").ok());
  ASSERT_TRUE(SqliteDb::Open(path, kFlags, "other", &other).ok());

  SqlStatement read(*db, "select v from t where v >= ?1 order by v");
  ASSERT_TRUE(read.prepared().ok());
  read.Bind(1, 1);
  ASSERT_TRUE(other->Exec("begin exclusive", "lock").ok());
  bool row = true;
  const Status status = read.Step(&row);
  EXPECT_EQ(status.code(), Status::kBusy);
  EXPECT_FALSE(row);
  EXPECT_NE(status.message().find("test database " + path), std::string::npos) << status.message();
  EXPECT_NE(status.message().find("select v from t"), std::string::npos) << status.message();

  // Released, the same statement reads every row.
  ASSERT_TRUE(other->Exec("commit", "unlock").ok());
  read.Reset();
  read.Bind(1, 1);
  int rows = 0;
  Status step;
  while ((step = read.Step(&row)).ok() && row) ++rows;
  EXPECT_TRUE(step.ok()) << step.message();
  EXPECT_EQ(rows, 2);
}

TEST(SqliteTest, FailuresNameTheDatabaseAndWhatWasDone) {
  testing::TempDir dir("sqlite");
  std::unique_ptr<SqliteDb> db;
  const Status missing =
      SqliteDb::Open(dir.Sub("no/such/folder.db3"), kFlags, "test database", &db);
  EXPECT_EQ(missing.code(), Status::kAccessDenied);
  EXPECT_EQ(db, nullptr);
  EXPECT_NE(missing.message().find(dir.Sub("no/such/folder.db3")), std::string::npos);

  ASSERT_TRUE(SqliteDb::Open(dir.Sub("a.db3"), kFlags, "test database", &db).ok());
  SqlStatement bad(*db, "select nothing from nowhere");
  EXPECT_FALSE(bad.prepared().ok());
  bool row = true;
  EXPECT_FALSE(bad.Step(&row).ok());
  EXPECT_NE(bad.prepared().message().find("nowhere"), std::string::npos);
  const Status exec = db->Exec("insert into nowhere values(1)", "cannot fill the table");
  EXPECT_NE(exec.message().find("cannot fill the table: no such table: nowhere"), std::string::npos)
      << exec.message();
}

}  // namespace
}  // namespace logrum::platform
