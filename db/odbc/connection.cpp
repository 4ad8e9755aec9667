// A session on SQL Server (or any ODBC data source) through the unixODBC driver
// manager. The component's connection texts are mapped once (MapConnectionText) and
// every call goes through the checking wrapper of error.cpp. Each statement gets its
// own handle, freed when it is done: without MARS a SQL Server connection holds one
// pending result set, and the layer above reads each query to its end before it
// runs the next statement.
//
// Statement texts, names and the connection text travel as UTF-8 through the narrow
// calls: the driver manager hands them to the driver unchanged (its own conversion
// of wide texts for a narrow-only driver, such as SQLite's, is not UTF-8), and
// FreeTDS reads them as UTF-8 by the ClientCharset the mapping adds. Values come
// back and go in as UTF-16 (statement.cpp).
#include "db/odbc/connection.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "db/ado.h"
#include "db/connstr.h"
#include "db/odbc/error.h"
#include "db/odbc/statement.h"
#include "db/sqltext.h"

namespace db::odbc {
namespace {

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IContains(std::string haystack, std::string_view needle) {
  for (char& c : haystack) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return haystack.find(needle) != std::string::npos;
}

std::string ConfiguredDriver() {
  const char* d = std::getenv("TALLYPORT_ODBC_DRIVER");
  return d != nullptr && *d != '\0' ? d : "SQL Server";
}

// True when the driver `name` is FreeTDS's library: by its name, its path (a DRIVER=
// may name the library itself) or the library its registration loads.
bool IsFreeTdsDriver(SQLHENV env, const std::string& name) {
  if (IContains(name, "freetds") || IContains(name, "tdsodbc")) return true;
  SQLCHAR desc[256];
  SQLCHAR attrs[4096];
  SQLSMALLINT desc_len = 0, attrs_len = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDrivers(env, direction, desc, sizeof desc, &desc_len, attrs, sizeof attrs, &attrs_len))) {
    direction = SQL_FETCH_NEXT;
    if (!IEquals(reinterpret_cast<const char*>(desc), name)) continue;
    // "key=value\0key=value\0\0"
    for (const char* a = reinterpret_cast<const char*>(attrs); *a != '\0'; a += std::strlen(a) + 1)
      if (strncasecmp(a, "Driver=", 7) == 0 && IContains(a + 7, "tdsodbc")) return true;
    return false;
  }
  return false;
}

std::string Join(const ConnPairs& pairs) {
  std::string out;
  for (const auto& [k, v] : pairs) {
    std::string value = ConnValue(v);
    // Driver names are written braced, as the component writes them.
    if (IEquals(k, "DRIVER") && (value.empty() || value.front() != '{')) value = "{" + value + "}";
    out += (out.empty() ? "" : ";") + k + "=" + value;
  }
  return out;
}

// "select * from T" (any case and spacing) gives T as written; any other text nothing.
std::optional<std::string> SelectStarTable(const std::string& sql) {
  std::vector<std::string> words;
  for (size_t i = 0; i < sql.size();) {
    if (std::isspace(static_cast<unsigned char>(sql[i]))) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < sql.size() && !std::isspace(static_cast<unsigned char>(sql[j]))) ++j;
    words.push_back(sql.substr(i, j - i));
    i = j;
  }
  if (words.size() != 4 || !IEquals(words[0], "select") || words[1] != "*" || !IEquals(words[2], "from"))
    return std::nullopt;
  return words[3];
}

// "db.owner.T", "db..T", "owner.T", "T", with [..] or ".." around a part: the parts
// from the catalog to the table, the missing ones empty.
std::array<std::string, 3> NameParts(const std::string& name) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '[' || c == '"') {
      const char close = c == '[' ? ']' : '"';
      for (++i; i < name.size(); ++i) {
        if (name[i] == close) {
          if (i + 1 < name.size() && name[i + 1] == close) ++i;  // a doubled closer stands for itself
          else break;
        }
        parts.back().push_back(name[i]);
      }
    } else if (c == '.') {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  if (parts.size() > 3)
    throw Error("The object name '" + name + "' contains more than the maximum number of prefixes.");
  std::array<std::string, 3> out;
  std::copy(parts.rbegin(), parts.rend(), out.rbegin());
  return out;
}

std::string QuoteIdent(const std::string& ident) {
  std::string out = "[";
  for (char c : ident) {
    out.push_back(c);
    if (c == ']') out.push_back(']');
  }
  return out + "]";
}

class OdbcSession final : public Session {
 public:
  explicit OdbcSession(const std::string& connection_text) : env_(SQL_HANDLE_ENV, SQL_NULL_HANDLE) {
    Check(SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
          SQL_HANDLE_ENV, env_.get(), "SQLSetEnvAttr");
    std::string text = MapConnectionText(connection_text, ConfiguredDriver(),
                                         [this](const std::string& d) { return IsFreeTdsDriver(env_.get(), d); });
    dbc_ = Handle(SQL_HANDLE_DBC, env_.get());
    // A server that does not answer fails the open after ADO's default 15 seconds.
    Check(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0),
          SQL_HANDLE_DBC, dbc_.get(), "SQLSetConnectAttr");
    SQLRETURN rc = Check(SQLDriverConnect(dbc_.get(), nullptr, Sql(text), static_cast<SQLSMALLINT>(text.size()),
                                          nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
                         SQL_HANDLE_DBC, dbc_.get(), "SQLDriverConnect");
    if (rc == SQL_NO_DATA) throw Error("The connection was cancelled by the driver.", 0, "08001");
    dbc_.set_connected();
  }

  void SetCommandTimeout(int seconds) override { timeout_ = seconds; }

  void Execute(const std::string& sql) override {
    Stmt st(dbc_.get(), timeout_);
    st.ExecDirect(sql);
    st.Drain();
  }

  std::unique_ptr<Cursor> Query(const std::string& sql) override {
    auto st = std::make_unique<Stmt>(dbc_.get(), timeout_);
    st->ExecDirect(sql);
    return std::make_unique<OdbcCursor>(std::move(st));
  }

  std::unique_ptr<Cursor> QueryForUpdate(const std::string& sql, UpdateTarget* target) override {
    std::optional<std::string> table = SelectStarTable(sql);
    if (!table) throw Error("An updatable recordset needs a query of the form select * from a table.");
    // The key is read before the query runs: the connection has one pending result.
    std::vector<std::string> primary = PrimaryKey(*table);
    auto st = std::make_unique<Stmt>(dbc_.get(), timeout_);
    st->ExecDirect(sql);
    auto cursor = std::make_unique<OdbcCursor>(std::move(st));
    const std::vector<std::string>& cols = cursor->columns();
    std::vector<size_t> key_columns;
    target->key_names.clear();
    if (!primary.empty()) {
      for (const std::string& k : primary) {
        auto it = std::find_if(cols.begin(), cols.end(), [&](const std::string& c) { return IEquals(c, k); });
        if (it == cols.end())
          throw Error("The key column '" + k + "' of " + *table + " is not among the query's columns.");
        key_columns.push_back(static_cast<size_t>(it - cols.begin()));
      }
    } else {
      // Without a primary key the row is found by all its values, except long texts
      // and binaries, which the server cannot compare.
      for (size_t i = 0; i < cols.size(); ++i) {
        SQLSMALLINT t = cursor->sql_types()[i];
        if (t != SQL_LONGVARCHAR && t != SQL_WLONGVARCHAR && t != SQL_LONGVARBINARY && t != SQL_VARBINARY &&
            t != SQL_BINARY)
          key_columns.push_back(i);
      }
      if (key_columns.empty()) throw Error("The table " + *table + " has no column by which a row can be found.");
    }
    for (size_t i : key_columns) target->key_names.push_back(cols[i]);
    target->table = *table;
    cursor->set_key_columns(std::move(key_columns));
    return cursor;
  }

  void UpdateRow(const UpdateTarget& target, const std::vector<com::Variant>& key,
                 const std::vector<std::pair<std::string, com::Variant>>& changes) override {
    if (changes.empty()) return;
    if (key.size() != target.key_names.size() || key.empty()) throw Error("the row to update has no key");
    Params params;
    std::string sql = "UPDATE " + target.table + " SET ";
    for (size_t i = 0; i < changes.size(); ++i) {
      sql += (i ? ", " : "") + QuoteIdent(changes[i].first) + " = ?";
      params.Add(changes[i].second);
    }
    for (size_t i = 0; i < key.size(); ++i) {
      sql += (i ? " AND " : " WHERE ") + QuoteIdent(target.key_names[i]);
      if (key[i].IsNull() || key[i].IsEmpty()) {
        sql += " IS NULL";
      } else {
        sql += " = ?";
        params.Add(key[i]);
      }
    }
    Stmt st(dbc_.get(), timeout_);
    params.BindTo(st.get());
    st.ExecDirect(sql);
    const SQLLEN rows = st.RowCount();
    st.Drain();
    // A row changed or deleted by someone else since it was read is not written over.
    if (rows == 0)
      throw Error("Row cannot be located for updating. Some values may have been changed since it was last read.");
  }

  void CallProcedure(const std::string& name, const std::vector<ProcParam>& params, int timeout_seconds) override {
    std::string sql = "{call " + name;
    Params bound;
    for (size_t i = 0; i < params.size(); ++i) {
      sql += i ? ",?" : "(?";
      bound.AddText(params[i].value, params[i].is_null);
    }
    sql += params.empty() ? "}" : ")}";
    Stmt st(dbc_.get(), timeout_seconds);
    bound.BindTo(st.get());
    st.ExecDirect(sql);
    st.Drain();
  }

 private:
  std::string CurrentCatalog() {
    char buf[512] = {};
    SQLINTEGER len = 0;
    Check(SQLGetConnectAttr(dbc_.get(), SQL_ATTR_CURRENT_CATALOG, buf, sizeof buf - 1, &len), SQL_HANDLE_DBC,
          dbc_.get(), "SQLGetConnectAttr");
    return buf;
  }

  void SetCatalog(std::string catalog) {
    Check(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_CURRENT_CATALOG, Sql(catalog),
                            static_cast<SQLINTEGER>(catalog.size())),
          SQL_HANDLE_DBC, dbc_.get(), "SQLSetConnectAttr");
  }

  // The primary-key columns of `table` in key order; empty when it has none. A table
  // of another database ("tempdb..T") is looked up from that database, since the
  // server's catalog procedure answers for the current one only.
  std::vector<std::string> PrimaryKey(const std::string& table) {
    auto [catalog, schema, name] = NameParts(table);
    std::string previous;
    bool switched = false;
    if (!catalog.empty()) {
      previous = CurrentCatalog();
      if (!IEquals(previous, catalog)) {
        SetCatalog(catalog);
        switched = true;
      }
    }
    std::vector<std::string> keys;
    try {
      keys = ReadPrimaryKey(schema, name);
    } catch (...) {
      // The look-up's own error is the one to report; going back is still tried.
      if (switched) {
        try {
          SetCatalog(previous);
        } catch (...) {
        }
      }
      throw;
    }
    if (switched) SetCatalog(previous);
    return keys;
  }

  std::vector<std::string> ReadPrimaryKey(const std::string& schema, const std::string& name) {
    auto st = std::make_unique<Stmt>(dbc_.get(), timeout_);
    std::string s = schema, n = name;
    Check(SQLPrimaryKeys(st->get(), nullptr, 0, s.empty() ? nullptr : Sql(s), static_cast<SQLSMALLINT>(s.size()),
                         Sql(n), static_cast<SQLSMALLINT>(n.size())),
          SQL_HANDLE_STMT, st->get(), "SQLPrimaryKeys");
    OdbcCursor rows(std::move(st));
    // TABLE_SCHEM (2), COLUMN_NAME (4), KEY_SEQ (5). Without an owner in the name a
    // table of that name may exist under several; the first one listed is taken.
    std::vector<std::pair<int, std::string>> keyed;
    std::optional<std::string> owner;
    std::vector<com::Variant> row;
    while (rows.Next(&row)) {
      if (row.size() < 5) throw Error("the driver's primary key list has too few columns");
      std::string row_owner = row[1].IsNull() ? "" : row[1].ToText();
      if (!owner) owner = row_owner;
      if (row_owner == *owner) keyed.emplace_back(static_cast<int>(row[4].ToDouble()), row[3].ToText());
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::string> keys;
    for (auto& k : keyed) keys.push_back(std::move(k.second));
    return keys;
  }

  Handle env_;
  Handle dbc_;  // declared after env_: freed (and disconnected) first
  int timeout_ = 30;
};

}  // namespace

std::string MapConnectionText(const std::string& text, const std::string& sqloledb_driver,
                              const std::function<bool(const std::string& driver)>& is_freetds) {
  std::optional<ConnPairs> parsed = ParseConnectionString(text);
  if (!parsed)
    throw Error(kMalformedConnectionString, 0, "08001");
  const ConnPairs& pairs = *parsed;
  const bool add_charset = !ConnGet(pairs, "ClientCharset");
  if (std::optional<std::string> provider = ConnGet(pairs, "Provider")) {
    if (!IEquals(*provider, "sqloledb") && !IEquals(*provider, "sqloledb.1"))
      throw Error("Provider cannot be found. It may not be properly installed.", 0, "IM002");
    ConnPairs mapped{{"DRIVER", sqloledb_driver}};
    for (const char* key : {"SERVER", "UID", "PWD", "DATABASE"})
      if (auto v = ConnGet(pairs, key)) mapped.emplace_back(key, *v);
    // Each further key once, its first occurrence, as ODBC reads it.
    for (const auto& [k, v] : pairs)
      if (!IEquals(k, "Provider") && !IEquals(k, "DRIVER") && !ConnGet(mapped, k)) mapped.emplace_back(k, v);
    if (add_charset && is_freetds(sqloledb_driver)) mapped.emplace_back("ClientCharset", "UTF-8");
    return Join(mapped);
  }
  std::optional<std::string> driver = ConnGet(pairs, "DRIVER");
  if (add_charset && driver && is_freetds(*driver))
    return text + (text.empty() || text.back() == ';' ? "" : ";") + "ClientCharset=UTF-8";
  return text;
}

std::unique_ptr<Session> OpenOdbcSession(const std::string& connection_text) {
  return std::make_unique<OdbcSession>(connection_text);
}

}  // namespace db::odbc
