// The seam between the ADO-shaped layer and the engines. A Session is one open
// connection; the layer above adds snapshot recordsets, spooling, tracing and fault
// injection, so each engine only runs statements and streams rows.
// db/sqlite/ and db/odbc/ each implement it with the same file names
// (connection, statement, error).
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "com/variant.h"

namespace db {

// Rows of one query, streamed forward. Values arrive typed as their columns:
// datetime as VT_DATE, bit as VT_BOOL, decimal/money as VT_DECIMAL (exact), integers
// as VT_I4 (VT_I8 when wider), floats as VT_R8, texts as VT_BSTR, NULL as VT_NULL.
class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual const std::vector<std::string>& columns() const = 0;
  // Fills *row with the next row's values; false at the end.
  virtual bool Next(std::vector<com::Variant>* row) = 0;
};

// What an updatable query reads besides its columns: the key of each row, so that
// a changed row can be written back to its table.
struct UpdateTarget {
  std::string table;                   // as the engine names it
  std::vector<std::string> key_names;  // column names (or "rowid")
};

struct ProcParam {
  std::string name;  // "@sAccServer"
  std::string value;
  bool is_null = false;
};

class Session {
 public:
  virtual ~Session() = default;
  virtual void SetCommandTimeout(int seconds) = 0;
  virtual void Execute(const std::string& sql) = 0;
  virtual std::unique_ptr<Cursor> Query(const std::string& sql) = 0;
  // A single-table "select * from T": the cursor's rows end with the key values
  // (target->key_names.size() trailing columns, not listed in columns()).
  virtual std::unique_ptr<Cursor> QueryForUpdate(const std::string& sql, UpdateTarget* target) = 0;
  virtual void UpdateRow(const UpdateTarget& target, const std::vector<com::Variant>& key,
                         const std::vector<std::pair<std::string, com::Variant>>& changes) = 0;
  virtual void CallProcedure(const std::string& name, const std::vector<ProcParam>& params,
                             int timeout_seconds) = 0;
};

// A unit of work of this thread, such as one extraction run. While one is open, the
// embedded engine commits the statements of the thread's sessions in batches, not
// one by one: the sessions of the thread still see each other's statements at once;
// other processes see them, and may write the same database, a few tens of
// milliseconds later while the thread goes on sending statements (a thread that
// stops sending them should Commit first); all of them are durable once Commit
// returns. On SQL Server every statement commits as it ends.
class WriteBatch {
 public:
  WriteBatch();
  ~WriteBatch();  // commits what is still open
  WriteBatch(const WriteBatch&) = delete;
  WriteBatch& operator=(const WriteBatch&) = delete;
  // Commits everything the thread's sessions wrote so far; throws db::Error, with
  // the engine's message, when that fails (what was not committed is then lost).
  void Commit();
  // After a failure: commits what was done before it, as each statement's own commit
  // would have left it, and returns the failure's message (with the commit's, when
  // that fails too).
  std::string CommitAfter(const std::exception& failure);
};

// Parses the connection text and opens a session on the engine it names.
// SERVER= an existing directory: the embedded engine; otherwise ODBC.
std::unique_ptr<Session> OpenSession(const std::string& connection_text);

}  // namespace db
