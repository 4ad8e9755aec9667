// SQLite's failures in SQL Server's words. Every failing call into SQLite ends in
// ThrowSqlite, so a caller of the embedded engine sees the texts, numbers and
// SQLSTATEs it would see from SQL Server for the failures the extraction can meet.
#pragma once

#include <sqlite3.h>

#include <string>

namespace db::sqlite {

// What the failing statement was doing, where SQL Server's text depends on it.
enum class Op { Other, Insert, Update, Drop };

struct ErrorContext {
  Op op = Op::Other;
  std::string database;  // the connection's database, named in NOT NULL failures
};

// Throws db::Error for the connection's last error: SQL Server's text where it has
// one ("Invalid object name 'T'.", "There is already an object named ...", ...),
// SQLite's own text otherwise. Constraint names are looked up on `db`.
[[noreturn]] void ThrowSqlite(sqlite3* db, const ErrorContext& ctx = {});

}  // namespace db::sqlite
