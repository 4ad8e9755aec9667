// A session on the embedded engine: one SQLite connection to the database named in
// the connection text, with tempdb and other databases of the server attached on
// demand, plans cached by statement shape with their prepared statements, and
// SQLite's errors reported in SQL Server's words.
#include "db/sqlite/connection.h"

#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "db/ado.h"
#include "db/sqlite/dialect.h"
#include "db/sqlite/server.h"

namespace db::sqlite {
namespace {

// SQLite's message in SQL Server's words, where SQL Server has its own.
[[noreturn]] void ThrowSqlite(sqlite3* db, const std::string& context = {}) {
  std::string m = sqlite3_errmsg(db);
  int code = sqlite3_extended_errcode(db);
  auto after = [&](const char* prefix) -> std::string {
    size_t n = std::strlen(prefix);
    if (m.compare(0, n, prefix) != 0) return "";
    std::string rest = m.substr(n);
    size_t dot = rest.rfind('.');
    return dot == std::string::npos ? rest : rest.substr(dot + 1);
  };
  if (auto t = after("no such table: "); !t.empty()) throw Error("Invalid object name '" + t + "'.", 208, "42S02");
  if (auto c = after("no such column: "); !c.empty()) throw Error("Invalid column name '" + c + "'.", 207, "42S22");
  if (size_t k = m.find(" has no column named "); m.rfind("table ", 0) == 0 && k != std::string::npos)
    throw Error("Invalid column name '" + m.substr(k + 21) + "'.", 207, "42S22");
  if (m.rfind("table ", 0) == 0 && m.find(" already exists") != std::string::npos) {
    std::string name = m.substr(6, m.find(" already exists") - 6);
    throw Error("There is already an object named '" + name + "' in the database.", 2714, "42S01");
  }
  if (m.rfind("index ", 0) == 0 && m.find(" already exists") != std::string::npos) {
    std::string name = m.substr(6, m.find(" already exists") - 6);
    throw Error("There is already an object named '" + name +
                    "' in the database. Could not create constraint or index. See previous errors.",
                2714, "42S01");
  }
  (void)context;
  throw Error(m, code);
}

class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr) != SQLITE_OK) ThrowSqlite(db);
  }
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  sqlite3_stmt* get() const { return st_; }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

struct CachedPlan {
  Plan plan;
  std::vector<std::unique_ptr<Stmt>> stmts;
};

com::Variant ReadValue(sqlite3_stmt* st, int i) {
  int type = sqlite3_column_type(st, i);
  if (type == SQLITE_NULL) return com::Variant::Null();
  const char* decl_c = sqlite3_column_decltype(st, i);
  std::string decl = decl_c ? decl_c : "";
  for (char& c : decl) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  std::string text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
  if (decl.find("date") != std::string::npos) {
    if (auto d = com::ParseDateText(text)) return com::Variant::Date(*d);
    return com::Variant::Text(text);
  }
  if (decl == "bit") return com::Variant::Bool(sqlite3_column_int64(st, i) != 0);
  if (decl.find("dec") != std::string::npos || decl.find("num") != std::string::npos ||
      decl.find("money") != std::string::npos) {
    std::string num = text;
    if (type == SQLITE_FLOAT) num = com::Variant::R8(sqlite3_column_double(st, i)).ToText();
    if (auto d = com::DecimalFromText(num)) return com::Variant::Decimal(*d);
    return com::Variant::Text(text);
  }
  switch (type) {
    case SQLITE_INTEGER: {
      sqlite3_int64 v = sqlite3_column_int64(st, i);
      if (v >= INT32_MIN && v <= INT32_MAX) return com::Variant::I4(static_cast<int32_t>(v));
      com::VARIANT r;
      com::VariantInit(&r);
      r.vt = com::VT_I8;
      r.llVal = v;
      return com::Variant::FromRaw(r);
    }
    case SQLITE_FLOAT: return com::Variant::R8(sqlite3_column_double(st, i));
    default: return com::Variant::Text(text);
  }
}

void BindVariant(sqlite3_stmt* st, int i, const com::Variant& v) {
  switch (v.type()) {
    case com::VT_NULL:
    case com::VT_EMPTY: sqlite3_bind_null(st, i); break;
    case com::VT_I2:
    case com::VT_I4:
    case com::VT_I8: sqlite3_bind_int64(st, i, static_cast<sqlite3_int64>(v.ToDouble())); break;
    case com::VT_BOOL: sqlite3_bind_int(st, i, v.ToBool() ? 1 : 0); break;
    case com::VT_R8: sqlite3_bind_double(st, i, v.ToDouble()); break;
    case com::VT_DATE: {
      std::string t = com::FormatDate(v.ToDate(), false, true);
      sqlite3_bind_text(st, i, t.c_str(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      break;
    }
    default: {
      std::string t = v.ToText();  // decimals and currency as exact text; NUMERIC affinity stores the number
      sqlite3_bind_text(st, i, t.c_str(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    }
  }
}

class SqliteCursor final : public Cursor {
 public:
  SqliteCursor(sqlite3* db, sqlite3_stmt* st, int visible) : db_(db), st_(st), visible_(visible) {
    for (int i = 0; i < visible; ++i) columns_.emplace_back(sqlite3_column_name(st, i));
  }
  ~SqliteCursor() override { sqlite3_reset(st_); }
  const std::vector<std::string>& columns() const override { return columns_; }
  bool Next(std::vector<com::Variant>* row) override {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) ThrowSqlite(db_);
    row->clear();
    int n = sqlite3_column_count(st_);
    for (int i = 0; i < n; ++i) row->push_back(ReadValue(st_, i));
    return true;
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_;
  int visible_;
  std::vector<std::string> columns_;
};

class SqliteSession final : public Session, public Catalog {
 public:
  SqliteSession(std::string dir, const std::string& db_file, std::string db_name)
      : dir_(std::move(dir)), db_name_(std::move(db_name)) {
    if (sqlite3_open_v2(db_file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
      std::string m = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw Error(m);
    }
    sqlite3_busy_timeout(db_, 60000);  // a busy database is waited for
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    RegisterDialectFunctions(db_);
    std::string tempdb = (std::filesystem::path(dir_) / "tempdb.db").string();
    std::string existing = DatabaseFile(dir_, "tempdb");
    if (existing.empty()) {
      // tempdb is made on first use; the main connection itself never creates files.
      sqlite3* t = nullptr;
      int rc = sqlite3_open_v2(tempdb.c_str(), &t, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
      sqlite3_close(t);
      if (rc != SQLITE_OK) throw Error("cannot create tempdb in " + dir_);
      existing = tempdb;
    }
    Attach(existing, "tempdb");
  }
  ~SqliteSession() override {
    plans_.clear();
    update_reads_.clear();
    sqlite3_close_v2(db_);
  }

  void SetCommandTimeout(int) override {}  // statements are never cut short here

  void Execute(const std::string& sql) override {
    CachedPlan& p = PlanFor(sql, binds_);
    const bool ddl = IsDdl(sql);
    bool multi = p.plan.statements.size() > 1;
    if (multi) Exec("SAVEPOINT tp_statement");
    try {
      for (size_t n = 0; n < p.plan.statements.size(); ++n) {
        // DDL is prepared as it runs: the index names the table made just before.
        std::unique_ptr<Stmt> fresh;
        if (ddl) fresh = std::make_unique<Stmt>(db_, p.plan.statements[n]);
        sqlite3_stmt* st = ddl ? fresh->get() : p.stmts[n]->get();
        Bind(st, p.plan, binds_);
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        }
        sqlite3_reset(st);
        if (rc != SQLITE_DONE) ThrowSqlite(db_);
      }
    } catch (...) {
      if (multi) {
        sqlite3_exec(db_, "ROLLBACK TO tp_statement; RELEASE tp_statement", nullptr, nullptr, nullptr);
      }
      throw;
    }
    if (multi) Exec("RELEASE tp_statement");
    if (IsDdl(sql)) plans_.clear();  // translations read the tables' columns
  }

  std::unique_ptr<Cursor> Query(const std::string& sql) override {
    CachedPlan& p = PlanFor(sql, binds_);
    if (!p.plan.returns_rows || p.stmts.size() != 1) Unsupported("a query that returns no rows");
    sqlite3_stmt* st = p.stmts.back()->get();
    Bind(st, p.plan, binds_);
    return std::make_unique<SqliteCursor>(db_, st, sqlite3_column_count(st));
  }

  std::unique_ptr<Cursor> QueryForUpdate(const std::string& sql, UpdateTarget* target) override {
    // Only "select * from T": the row id travels behind the columns as the key.
    CachedPlan& p = PlanFor(sql, binds_);
    const std::string& s = p.plan.statements.back();
    if (s.rfind("select * from ", 0) != 0 || s.find(' ', 14) != std::string::npos)
      Unsupported("an updatable query other than select * from a table");
    target->table = s.substr(14);
    target->key_names = {"rowid"};
    auto st = std::make_shared<Stmt>(db_, "select *, rowid from " + target->table);
    update_reads_.push_back(st);
    int visible = sqlite3_column_count(st->get()) - 1;
    auto cur = std::make_unique<SqliteCursor>(db_, st->get(), visible);
    return cur;
  }

  void UpdateRow(const UpdateTarget& target, const std::vector<com::Variant>& key,
                 const std::vector<std::pair<std::string, com::Variant>>& changes) override {
    std::string sql = "UPDATE " + target.table + " SET ";
    for (size_t i = 0; i < changes.size(); ++i)
      sql += (i ? ", \"" : "\"") + changes[i].first + "\" = ?" + std::to_string(i + 1);
    sql += " WHERE rowid = ?" + std::to_string(changes.size() + 1);
    Stmt st(db_, sql);
    for (size_t i = 0; i < changes.size(); ++i) BindVariant(st.get(), static_cast<int>(i + 1), changes[i].second);
    BindVariant(st.get(), static_cast<int>(changes.size() + 1), key.at(0));
    if (sqlite3_step(st.get()) != SQLITE_DONE) ThrowSqlite(db_);
  }

  void CallProcedure(const std::string& name, const std::vector<ProcParam>& params, int) override {
    std::string declared;
    if (Columns("main", "tp_procedures")) {  // no table: no procedure installed
      Stmt st(db_, "SELECT params FROM main.tp_procedures WHERE name = ?1");
      sqlite3_bind_text(st.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(st.get()) == SQLITE_ROW)
        declared = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
    }
    if (declared.empty()) throw Error("Could not find stored procedure '" + name + "'.", 2812, "42000");
    // Parameters are matched by position and name, and checked against their sizes.
    std::vector<std::pair<std::string, size_t>> decl;
    for (size_t start = 0; start < declared.size();) {
      size_t comma = declared.find(',', start);
      std::string item = declared.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      size_t colon = item.find(':');
      decl.emplace_back(item.substr(0, colon), std::stoul(item.substr(colon + 1)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (decl.size() != params.size())
      throw Error("Procedure or function '" + name + "' has too many or too few arguments specified.", 8144);
    std::string args;
    for (size_t i = 0; i < params.size(); ++i) {
      if (strcasecmp(decl[i].first.c_str(), params[i].name.c_str()) != 0)
        throw Error("'" + params[i].name + "' is not a parameter for procedure '" + name + "'.", 8145);
      if (com::Utf16FromUtf8(params[i].value).size() > decl[i].second)
        throw Error("String or binary data would be truncated. (parameter " + params[i].name + ")", 8152, "22001");
      bool secret = strcasecmp(params[i].name.c_str(), "@sAccPwd") == 0;
      args += (i ? "," : "") + params[i].name + "=" +
              (params[i].is_null ? std::string("NULL") : secret ? std::string("***") : params[i].value);
    }
    Stmt st(db_, "INSERT INTO main.tp_procedure_calls (name, args) VALUES (?1, ?2)");
    sqlite3_bind_text(st.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.get(), 2, args.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st.get()) != SQLITE_DONE) ThrowSqlite(db_);
  }

  // Catalog
  std::string AliasForDatabase(std::string_view db) override {
    if (strcasecmp(std::string(db).c_str(), "tempdb") == 0) return "tempdb";
    if (strcasecmp(std::string(db).c_str(), db_name_.c_str()) == 0) return "main";
    std::string alias = "db_";
    for (char c : db) alias.push_back(std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '_');
    if (!attached_.count(alias)) {
      std::string file = DatabaseFile(dir_, db);
      if (file.empty())
        throw Error("Database '" + std::string(db) + "' does not exist. Make sure that the name is entered correctly.", 911);
      Attach(file, alias);
    }
    return alias;
  }
  std::string AliasForRemote(std::string_view server, std::string_view user,
                             std::string_view password, std::string_view db) override {
    std::string dir(server);
    if (!IsEmbeddedServer(dir))
      throw Error("OLE DB provider \"SQLOLEDB\" reported an error: the server '" + dir +
                  "' is not an embedded server directory.");
    CheckLogin(dir, user, password);
    std::string file = DatabaseFile(dir, db);
    if (file.empty())
      throw Error("Cannot open database \"" + std::string(db) + "\" requested by the login. The login failed.",
                  4060, "42000");
    auto it = remote_aliases_.find(file);
    if (it != remote_aliases_.end()) return it->second;
    std::string alias = "rs" + std::to_string(remote_aliases_.size() + 1);
    Attach(file, alias);
    remote_aliases_[file] = alias;
    return alias;
  }
  std::optional<std::vector<Column>> Columns(std::string_view alias, std::string_view table) override {
    Stmt st(db_, "SELECT name, type FROM pragma_table_info(?1, ?2)");
    sqlite3_bind_text(st.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st.get(), 2, alias.data(), static_cast<int>(alias.size()), SQLITE_TRANSIENT);
    std::vector<Column> cols;
    while (sqlite3_step(st.get()) == SQLITE_ROW)
      cols.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0)),
                      reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1))});
    if (cols.empty()) return std::nullopt;
    return cols;
  }

 private:
  [[noreturn]] static void Unsupported(const std::string& what) {
    throw Error("unsupported in the embedded engine: " + what);
  }
  static bool IsDdl(const std::string& sql) {
    size_t i = sql.find_first_not_of(" \t\r\n");
    return i != std::string::npos && (strncasecmp(sql.c_str() + i, "create", 6) == 0 ||
                                      strncasecmp(sql.c_str() + i, "drop", 4) == 0);
  }
  void Exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) ThrowSqlite(db_);
  }
  void Attach(const std::string& file, const std::string& alias) {
    Stmt st(db_, "ATTACH DATABASE ?1 AS " + alias);
    sqlite3_bind_text(st.get(), 1, file.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st.get()) != SQLITE_DONE) ThrowSqlite(db_);
    sqlite3_exec(db_, ("PRAGMA " + alias + ".journal_mode=WAL").c_str(), nullptr, nullptr, nullptr);
    attached_.insert({alias, file});
  }
  // The plan of a statement, translated once per shape; its literals go to `binds`.
  CachedPlan& PlanFor(const std::string& sql, std::vector<std::string>& binds) {
    update_reads_.clear();
    Shape shape = Normalize(sql);
    auto it = plans_.find(shape.key);
    if (it == plans_.end()) {
      auto cp = std::make_unique<CachedPlan>();
      cp->plan = Translate(shape, *this);
      // DDL is prepared when it runs: the objects it names may not exist yet.
      it = plans_.emplace(shape.key, std::move(cp)).first;
    }
    CachedPlan& cp = *it->second;
    binds.clear();
    for (size_t i = 0; i < shape.literals.size(); ++i)
      binds.push_back(ConvertLiteral(shape.literals[i], cp.plan.params[i]));
    if (cp.stmts.empty() && !IsDdl(sql))
      for (const auto& s : cp.plan.statements) cp.stmts.push_back(std::make_unique<Stmt>(db_, s));
    return cp;
  }
  void Bind(sqlite3_stmt* st, const Plan& plan, const std::vector<std::string>& binds) {
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    int n = sqlite3_bind_parameter_count(st);
    for (int i = 1; i <= n && static_cast<size_t>(i) <= binds.size(); ++i) {
      const std::string& v = binds[static_cast<size_t>(i - 1)];
      if (plan.params[static_cast<size_t>(i - 1)] == ParamConv::Number) {
        if (v.find_first_of(".eE") == std::string::npos) sqlite3_bind_int64(st, i, std::strtoll(v.c_str(), nullptr, 10));
        else sqlite3_bind_double(st, i, std::strtod(v.c_str(), nullptr));
      } else {
        sqlite3_bind_text(st, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
      }
    }
  }

  sqlite3* db_ = nullptr;
  std::string dir_;
  std::string db_name_;
  std::map<std::string, std::string> attached_;
  std::map<std::string, std::string> remote_aliases_;  // database file -> schema
  std::map<std::string, std::unique_ptr<CachedPlan>> plans_;
  std::vector<std::string> binds_;
  std::vector<std::shared_ptr<Stmt>> update_reads_;
};

}  // namespace

std::unique_ptr<Session> OpenEmbeddedSession(const std::string& dir, std::string_view user,
                                             std::string_view password, std::string_view database) {
  CheckLogin(dir, user, password);
  std::string file = DatabaseFile(dir, database);
  if (file.empty())
    throw Error("Cannot open database \"" + std::string(database) +
                    "\" requested by the login. The login failed.",
                4060, "42000");
  return std::make_unique<SqliteSession>(dir, file, std::string(database));
}

}  // namespace db::sqlite
