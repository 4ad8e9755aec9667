// SQLite's failure messages mapped onto SQL Server's texts (US English), numbers
// and SQLSTATEs. The mapping reads SQLite's message, whose forms are stable across
// its versions; anything without a SQL Server counterpart keeps SQLite's text.
#include "db/sqlite/error.h"

#include <strings.h>

#include <string_view>

#include "db/ado.h"

namespace db::sqlite {
namespace {

// "\"T\"" and "T" both name T; a schema prefix ("tempdb.T") is the engine's own
// alias, not a name the caller wrote, and is dropped.
std::string BareName(std::string_view s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  if (size_t dot = s.rfind('.'); dot != std::string_view::npos) s = s.substr(dot + 1);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  return std::string(s);
}

bool Starts(std::string_view m, std::string_view prefix, std::string_view* rest) {
  if (m.substr(0, prefix.size()) != prefix) return false;
  *rest = m.substr(prefix.size());
  return true;
}

// The unique index of `table` that failed: the table's primary-key constraint as
// the dialect created it. Empty when the catalog does not tell.
std::string UniqueIndexOf(sqlite3* db, const std::string& table) {
  std::string found;
  sqlite3_stmt* schemas = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_database_list", -1, &schemas, nullptr) != SQLITE_OK)
    return found;
  while (found.empty() && sqlite3_step(schemas) == SQLITE_ROW) {
    std::string schema = reinterpret_cast<const char*>(sqlite3_column_text(schemas, 0));
    std::string sql = "SELECT name FROM \"" + schema +
                      "\".sqlite_schema WHERE type='index' AND tbl_name=?1 AND sql LIKE 'CREATE UNIQUE%'";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(st) == SQLITE_ROW) found = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
  }
  sqlite3_finalize(schemas);
  return found;
}

}  // namespace

void ThrowSqlite(sqlite3* db, const ErrorContext& ctx) {
  const std::string message = sqlite3_errmsg(db);
  const int code = sqlite3_extended_errcode(db);
  std::string_view m = message, rest;

  if (Starts(m, "no such table: ", &rest)) {
    std::string t = BareName(rest);
    if (ctx.op == Op::Drop)
      throw Error("Cannot drop the table '" + t + "', because it does not exist or you do not have permission.",
                  3701, "42S02");
    throw Error("Invalid object name '" + t + "'.", 208, "42S02");
  }
  if (Starts(m, "no such column: ", &rest))
    throw Error("Invalid column name '" + BareName(rest) + "'.", 207, "42S22");
  if (Starts(m, "there is already an index named ", &rest))  // a table named as a constraint
    throw Error("There is already an object named '" + BareName(rest) + "' in the database.", 2714, "42S01");
  if (Starts(m, "table ", &rest)) {
    if (size_t k = rest.find(" has no column named "); k != std::string_view::npos)
      throw Error("Invalid column name '" + BareName(rest.substr(k + 21)) + "'.", 207, "42S22");
    if (size_t k = rest.find(" already exists"); k != std::string_view::npos)
      throw Error("There is already an object named '" + BareName(rest.substr(0, k)) + "' in the database.",
                  2714, "42S01");
  }
  // A constraint is an object of its database on SQL Server: a second constraint of
  // the same name fails as 2714 followed by 1750.
  std::string_view index_name;
  if (Starts(m, "index ", &rest) && rest.find(" already exists") != std::string_view::npos)
    index_name = rest.substr(0, rest.find(" already exists"));
  else if (Starts(m, "there is already a table named ", &rest))
    index_name = rest;
  if (!index_name.empty())
    throw Error("There is already an object named '" + BareName(index_name) +
                    "' in the database. Could not create constraint or index. See previous errors.",
                2714, "42S01");

  if (Starts(m, "UNIQUE constraint failed: ", &rest)) {
    std::string table = BareName(rest.substr(0, rest.find('.')));
    std::string index = UniqueIndexOf(db, table);
    if (index.empty()) index = "PK_" + table;
    throw Error("Violation of PRIMARY KEY constraint '" + index + "'. Cannot insert duplicate key in object 'dbo." +
                    table + "'.",
                2627, "23000");
  }
  if (Starts(m, "NOT NULL constraint failed: ", &rest)) {
    size_t dot = rest.find('.');
    std::string table(rest.substr(0, dot));
    std::string column = dot == std::string_view::npos ? table : std::string(rest.substr(dot + 1));
    throw Error("Cannot insert the value NULL into column '" + column + "', table '" + ctx.database + ".dbo." +
                    table + "'; column does not allow nulls. " +
                    (ctx.op == Op::Update ? "UPDATE fails." : "INSERT fails."),
                515, "23000");
  }
  if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED)
    throw Error("Query timeout expired", 0, "HYT00");
  throw Error(message, code);
}

}  // namespace db::sqlite
