// Prepared statements of the embedded engine: one RAII wrapper that checks every
// call into SQLite's statement API, binds values, and reads columns back typed by
// their declared SQL Server type, plus the cursor that streams a statement's rows.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "com/variant.h"
#include "db/engine.h"
#include "db/sqlite/error.h"

namespace db::sqlite {

// How a column's values are read back, from its declared type.
enum class ColumnKind { Untyped, Date, Bit, Decimal, Integer, BigInt, Float, Text };
ColumnKind KindOfDeclType(const char* decl_type);  // null: Untyped

class Stmt {
 public:
  // Throws db::Error (SQL Server's text) when SQLite refuses the statement.
  Stmt(sqlite3* db, const std::string& sql, const ErrorContext& ctx = {});
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  sqlite3_stmt* get() const { return st_; }
  // Resets the statement and clears its bindings, ready for a new execution.
  void Reset();
  void BindText(int i, std::string_view text);
  void BindNumber(int i, const std::string& number);  // integer or real as written
  // A value as its column expects it: dates as "YYYY-MM-DD HH:MM:SS", booleans 0/1,
  // decimals and currency as exact decimal text, Null and Empty as NULL.
  void Bind(int i, const com::Variant& value);
  // One step: true with a row, false at the end; throws on failure.
  bool Step(const ErrorContext& ctx = {});
  // Steps to the end, discarding rows, and resets.
  void Run(const ErrorContext& ctx = {});
  // Column i of the current row, typed by its declared type (see Cursor).
  com::Variant Column(int i) const;
  com::Variant Column(int i, ColumnKind kind) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

// Streams the rows of a statement that has been bound. The first `visible`
// columns are the row's columns; any further ones are the key of an updatable row.
// The statement is owned (`owned`) or borrowed from the plan cache, and is reset
// when the cursor ends.
class StmtCursor final : public Cursor {
 public:
  StmtCursor(Stmt* stmt, int visible, std::unique_ptr<Stmt> owned = nullptr);
  ~StmtCursor() override;
  const std::vector<std::string>& columns() const override { return columns_; }
  bool Next(std::vector<com::Variant>* row) override;

 private:
  Stmt* stmt_;
  std::unique_ptr<Stmt> owned_;
  std::vector<std::string> columns_;
  std::vector<ColumnKind> kinds_;
  bool done_ = false;
};

}  // namespace db::sqlite
