// ODBC handles and statements: RAII owners for environment, connection and
// statement handles, bound input parameters, and the cursor that streams a
// result set with values typed as db::Cursor promises.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>
#include <vector>

#include "com/variant.h"
#include "db/engine.h"

namespace db::odbc {

// Owns one ODBC handle; freed on destruction (a connection handle is disconnected
// first when `connected` was set). Move-only.
class Handle {
 public:
  Handle() = default;
  // Allocates a handle of `type` under `parent` (SQL_NULL_HANDLE for the environment).
  // Throws db::Error with the parent's diagnostics.
  Handle(SQLSMALLINT type, SQLHANDLE parent);
  Handle(Handle&& other) noexcept;
  Handle& operator=(Handle&& other) noexcept;
  ~Handle();

  SQLHANDLE get() const { return h_; }
  SQLSMALLINT type() const { return type_; }
  void set_connected() { connected_ = true; }

 private:
  void Free() noexcept;
  SQLSMALLINT type_ = 0;
  SQLHANDLE h_ = SQL_NULL_HANDLE;
  bool connected_ = false;
};

// Input parameters kept alive until the statement has run. Values bind as their
// variant type: integers, bit, double, timestamp (milliseconds kept), decimal and
// currency as exact text, texts as UTF-16; Null and Empty as NULL.
class Params {
 public:
  void Add(const com::Variant& value);
  void AddText(const std::string& utf8, bool is_null);
  // Binds every parameter in order on `stmt`.
  void BindTo(SQLHSTMT stmt);

 private:
  struct Param {
    SQLSMALLINT c_type, sql_type;
    SQLULEN size;
    SQLSMALLINT digits;
    std::vector<unsigned char> data;
    SQLLEN indicator;
  };
  std::vector<Param> params_;
};

// One statement handle on a connection, with its query time-out (0: none).
class Stmt {
 public:
  Stmt(SQLHDBC dbc, int timeout_seconds);
  SQLHSTMT get() const { return h_.get(); }
  // Runs `sql` (UTF-8) directly; bound parameters are used.
  void ExecDirect(const std::string& sql);
  // Moves past results that have no columns (row counts of earlier statements in a
  // batch); false when no result set follows.
  bool SkipToRows();
  // Discards every remaining result, reporting any error the server sends with them,
  // and closes the cursor.
  void Drain();
  SQLLEN RowCount();

 private:
  Handle h_;
};

// Streams the rows of the first result set of an executed statement (none when it
// returned no rows). The statement is drained and freed at the end, or freed when
// the cursor is destroyed first. A cursor must not outlive its session.
class OdbcCursor final : public Cursor {
 public:
  explicit OdbcCursor(std::unique_ptr<Stmt> stmt);
  const std::vector<std::string>& columns() const override { return names_; }
  bool Next(std::vector<com::Variant>* row) override;

  // Indices of columns whose values are repeated at the end of each row: the key
  // of an updatable row.
  void set_key_columns(std::vector<size_t> keys) { keys_ = std::move(keys); }

  // The SQL types of the columns, as the driver describes them.
  const std::vector<SQLSMALLINT>& sql_types() const { return types_; }

 private:
  enum class Kind { Date, Bit, Decimal, Integer, BigInt, Float, Text };
  static Kind KindOf(SQLSMALLINT sql_type, const std::string& type_name);
  com::Variant Value(SQLUSMALLINT col, Kind kind);
  com::Variant TextValue(SQLUSMALLINT col);

  std::unique_ptr<Stmt> stmt_;
  std::vector<std::string> names_;
  std::vector<SQLSMALLINT> types_;
  std::vector<Kind> kinds_;
  std::vector<size_t> keys_;
  bool done_ = false;
};

}  // namespace db::odbc
