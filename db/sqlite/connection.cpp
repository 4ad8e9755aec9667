// A session on the embedded engine: one SQLite connection to the database named in
// the connection text, with tempdb and other databases of the server attached on
// demand, plans cached by statement shape with their prepared statements, and
// SQLite's errors reported in SQL Server's words (error.cpp).
//
// Every database is in WAL mode with synchronous=NORMAL: a process that dies leaves
// its databases consistent, readers never block the writer, and a writer waits for
// another (busy timeout) instead of failing. A statement of more than one step (a
// table and its key's index) runs inside one savepoint: all of it or none.
#include "db/sqlite/connection.h"

#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <climits>
#include <filesystem>
#include <map>
#include <memory>

#include "db/ado.h"
#include "db/sqlite/dialect.h"
#include "db/sqlite/error.h"
#include "db/sqlite/server.h"
#include "db/sqlite/statement.h"

namespace db::sqlite {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Unsupported(const std::string& what) {
  throw Error("unsupported in the embedded engine: " + what);
}

std::string QuoteIdent(std::string_view ident) {
  std::string out = "\"";
  for (char c : ident) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  return out + "\"";
}

// The statement's first word, which decides how its failures read and whether
// its plan can be prepared ahead.
enum class Verb { Other, Select, Insert, Update, Delete, Create, Drop };
Verb VerbOf(std::string_view sql) {
  size_t i = 0;
  while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
  size_t j = i;
  while (j < sql.size() && std::isalpha(static_cast<unsigned char>(sql[j]))) ++j;
  std::string w(sql.substr(i, j - i));
  static const std::pair<const char*, Verb> kVerbs[] = {
      {"select", Verb::Select}, {"insert", Verb::Insert}, {"update", Verb::Update},
      {"delete", Verb::Delete}, {"create", Verb::Create}, {"drop", Verb::Drop}};
  for (const auto& [word, verb] : kVerbs)
    if (strcasecmp(w.c_str(), word) == 0) return verb;
  return Verb::Other;
}

Op OpOf(Verb v) {
  switch (v) {
    case Verb::Insert: return Op::Insert;
    case Verb::Update: return Op::Update;
    case Verb::Drop: return Op::Drop;
    default: return Op::Other;
  }
}

std::string Canonical(const std::string& file) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(file, ec);
  return ec ? file : p.string();
}

struct CachedPlan {
  Plan plan;
  std::vector<std::unique_ptr<Stmt>> stmts;  // prepared ahead, except for DDL
};

constexpr size_t kMaxPlans = 1024;

class SqliteSession final : public Session, public Catalog {
 public:
  SqliteSession(std::string dir, const std::string& db_file, std::string db_name)
      : dir_(std::move(dir)), db_name_(std::move(db_name)) {
    int rc = sqlite3_open_v2(db_file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      std::string m = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw Error("Cannot open database \"" + db_name_ + "\": " + m);
    }
    try {
      SetCommandTimeout(30);
      Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=NORMAL");
      RegisterDialectFunctions(db_);
      attached_[Canonical(db_file)] = "main";
      // tempdb is made on first use and shared by every connection to the server.
      std::string tempdb = DatabaseFile(dir_, "tempdb");
      if (tempdb.empty()) tempdb = (fs::path(dir_) / "tempdb.db").string();
      Attach(tempdb, "tempdb", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    } catch (...) {
      sqlite3_close_v2(db_);
      throw;
    }
  }

  ~SqliteSession() override {
    plans_.clear();
    updates_.clear();
    columns_stmt_.reset();
    sqlite3_close_v2(db_);
  }

  void SetCommandTimeout(int seconds) override {
    // A statement waits for a busy database as long as its command may run; 0 is
    // no limit, as on SQL Server.
    sqlite3_busy_timeout(db_, seconds <= 0 ? INT_MAX : (seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000));
  }

  void Execute(const std::string& sql) override {
    const Verb verb = VerbOf(sql);
    CachedPlan& p = PlanFor(sql, verb);
    const ErrorContext ctx{OpOf(verb), db_name_};
    const size_t n = p.plan.statements.size();
    // Several steps stand or fall together. Each step writes from its start, so the
    // savepoint never turns a read into a write that another process could refuse.
    if (n > 1) Exec("SAVEPOINT tp_statement");
    try {
      for (size_t k = 0; k < n; ++k) {
        if (p.stmts.empty()) {
          // DDL is prepared as it runs: an index names the table made just before.
          Stmt fresh(db_, p.plan.statements[k], ctx);
          BindLiterals(fresh, p.plan);
          fresh.Run(ctx);
        } else {
          BindLiterals(*p.stmts[k], p.plan);
          p.stmts[k]->Run(ctx);
        }
      }
      if (n > 1) Exec("RELEASE tp_statement");
    } catch (...) {
      if (n > 1) sqlite3_exec(db_, "ROLLBACK TO tp_statement; RELEASE tp_statement", nullptr, nullptr, nullptr);
      throw;
    }
    if (verb == Verb::Create || verb == Verb::Drop) {
      // Translations read the tables' columns: they are made again.
      plans_.clear();
      updates_.clear();
    }
  }

  std::unique_ptr<Cursor> Query(const std::string& sql) override {
    const Verb verb = VerbOf(sql);
    CachedPlan& p = PlanFor(sql, verb);
    if (!p.plan.returns_rows || p.stmts.size() != 1) Unsupported("a query that returns no rows");
    Stmt& st = *p.stmts.back();
    BindLiterals(st, p.plan);
    return std::make_unique<StmtCursor>(&st, sqlite3_column_count(st.get()));
  }

  std::unique_ptr<Cursor> QueryForUpdate(const std::string& sql, UpdateTarget* target) override {
    // Only "select * from T": the row id travels behind the columns as the key.
    CachedPlan& p = PlanFor(sql, VerbOf(sql));
    const std::string& s = p.plan.statements.back();
    static const std::string kPrefix = "select * from ";
    if (p.plan.statements.size() != 1 || !p.plan.params.empty() || s.compare(0, kPrefix.size(), kPrefix) != 0 ||
        s.find(' ', kPrefix.size()) != std::string::npos)
      Unsupported("an updatable query other than select * from a table");
    target->table = s.substr(kPrefix.size());
    target->key_names = {"rowid"};
    auto st = std::make_unique<Stmt>(db_, "select *, rowid from " + target->table);
    Stmt* raw = st.get();
    return std::make_unique<StmtCursor>(raw, sqlite3_column_count(raw->get()) - 1, std::move(st));
  }

  void UpdateRow(const UpdateTarget& target, const std::vector<com::Variant>& key,
                 const std::vector<std::pair<std::string, com::Variant>>& changes) override {
    if (changes.empty()) return;
    if (key.size() != 1) throw Error("the row to update has no key");
    std::string sql = "UPDATE " + target.table + " SET ";
    for (size_t i = 0; i < changes.size(); ++i)
      sql += (i ? ", " : "") + QuoteIdent(changes[i].first) + " = ?" + std::to_string(i + 1);
    sql += " WHERE rowid = ?" + std::to_string(changes.size() + 1);
    // One statement per set of changed columns, kept for the rows that follow.
    auto it = updates_.find(sql);
    if (it == updates_.end()) it = updates_.emplace(sql, std::make_unique<Stmt>(db_, sql)).first;
    Stmt& st = *it->second;
    st.Reset();
    for (size_t i = 0; i < changes.size(); ++i) st.Bind(static_cast<int>(i + 1), changes[i].second);
    st.Bind(static_cast<int>(changes.size() + 1), key[0]);
    st.Run({Op::Update, db_name_});
  }

  void CallProcedure(const std::string& name, const std::vector<ProcParam>& params, int) override {
    // Installed procedures are rows of tp_procedures: name and "@p:size,..." in order.
    std::string declared;
    if (Columns("main", "tp_procedures")) {
      Stmt st(db_, "SELECT params FROM main.tp_procedures WHERE name = ?1 COLLATE NOCASE");
      st.BindText(1, name);
      if (st.Step()) declared = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
    }
    if (declared.empty()) throw Error("Could not find stored procedure '" + name + "'.", 2812, "42000");
    std::vector<std::pair<std::string, size_t>> decl;
    for (size_t start = 0; start <= declared.size();) {
      size_t comma = declared.find(',', start);
      std::string item = declared.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      size_t colon = item.find(':');
      if (colon == std::string::npos) throw Error("the declaration of procedure '" + name + "' is damaged");
      decl.emplace_back(item.substr(0, colon), std::strtoul(item.c_str() + colon + 1, nullptr, 10));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (decl.size() != params.size())
      throw Error("Procedure or function '" + name + "' has too many or too few arguments specified.", 8144,
                  "42000");
    std::string args;
    for (size_t i = 0; i < params.size(); ++i) {
      if (strcasecmp(decl[i].first.c_str(), params[i].name.c_str()) != 0)
        throw Error("'" + params[i].name + "' is not a parameter for procedure '" + name + "'.", 8145, "42000");
      if (com::Utf16FromUtf8(params[i].value).size() > decl[i].second)
        throw Error("String or binary data would be truncated. (parameter " + params[i].name + ")", 8152, "22001");
      // The call is recorded without the password.
      bool secret = strcasecmp(params[i].name.c_str(), "@sAccPwd") == 0;
      args += (i ? "," : "") + params[i].name + "=" +
              (params[i].is_null ? std::string("NULL") : secret ? std::string("***") : params[i].value);
    }
    Stmt st(db_, "INSERT INTO main.tp_procedure_calls (name, args) VALUES (?1, ?2)");
    st.BindText(1, name);
    st.BindText(2, args);
    st.Run({Op::Insert, db_name_});
  }

  // Catalog
  std::string AliasForDatabase(std::string_view db) override {
    if (strcasecmp(std::string(db).c_str(), "tempdb") == 0) return "tempdb";
    if (strcasecmp(std::string(db).c_str(), db_name_.c_str()) == 0) return "main";
    std::string file = DatabaseFile(dir_, db);
    if (file.empty())
      throw Error("Database '" + std::string(db) + "' does not exist. Make sure that the name is entered correctly.",
                  911, "42000");
    std::string alias = "db_";
    for (char c : db)
      alias.push_back(std::isalnum(static_cast<unsigned char>(c))
                          ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                          : '_');
    return Attach(file, alias, SQLITE_OPEN_READWRITE);
  }

  std::string AliasForRemote(std::string_view server, std::string_view user, std::string_view password,
                             std::string_view db) override {
    std::string dir(server);
    if (!IsEmbeddedServer(dir))
      throw Error("OLE DB provider \"SQLOLEDB\" reported an error: the server '" + dir +
                  "' is not an embedded server directory.");
    CheckLogin(dir, user, password);
    std::string file = DatabaseFile(dir, db);
    if (file.empty())
      throw Error("Cannot open database \"" + std::string(db) + "\" requested by the login. The login failed.",
                  4060, "42000");
    return Attach(file, "rs" + std::to_string(attached_.size()), SQLITE_OPEN_READWRITE);
  }

  std::optional<std::vector<Column>> Columns(std::string_view alias, std::string_view table) override {
    if (!columns_stmt_) columns_stmt_ = std::make_unique<Stmt>(db_, "SELECT name, type FROM pragma_table_info(?1, ?2)");
    Stmt& st = *columns_stmt_;
    st.Reset();
    st.BindText(1, table);
    st.BindText(2, alias);
    std::vector<Column> cols;
    while (st.Step())
      cols.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0)),
                      reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1))});
    sqlite3_reset(st.get());
    if (cols.empty()) return std::nullopt;
    return cols;
  }

 private:
  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) ThrowSqlite(db_);
  }

  // Attaches a database file once (the same file is reached by one schema name,
  // whatever the way it was named) and returns its schema name.
  std::string Attach(const std::string& file, const std::string& alias, int open_flags) {
    std::string key = Canonical(file);
    if (auto it = attached_.find(key); it != attached_.end()) return it->second;
    if (open_flags & SQLITE_OPEN_CREATE) {
      sqlite3* made = nullptr;
      int rc = sqlite3_open_v2(file.c_str(), &made, open_flags, nullptr);
      sqlite3_close(made);
      if (rc != SQLITE_OK) throw Error("cannot create " + file);
    }
    Stmt st(db_, "ATTACH DATABASE ?1 AS " + QuoteIdent(alias));
    st.BindText(1, file);
    st.Run();
    // WAL as for the main database. A file another process holds in rollback mode
    // stays in it: that mode is as safe, only less concurrent.
    sqlite3_exec(db_, ("PRAGMA " + QuoteIdent(alias) + ".journal_mode=WAL").c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db_, ("PRAGMA " + QuoteIdent(alias) + ".synchronous=NORMAL").c_str(), nullptr, nullptr, nullptr);
    attached_[key] = alias;
    return alias;
  }

  // The plan of a statement, translated once per shape; its literals are converted
  // into binds_ for this execution.
  CachedPlan& PlanFor(const std::string& sql, Verb verb) {
    Shape shape = Normalize(sql);
    auto it = plans_.find(shape.key);
    if (it == plans_.end()) {
      // Shapes are few (literals are not part of them); a caller that makes
      // endless distinct statements still gets a bounded cache.
      if (plans_.size() >= kMaxPlans) plans_.clear();
      auto cp = std::make_unique<CachedPlan>();
      cp->plan = Translate(shape, *this);
      if (cp->plan.params.size() != shape.literals.size()) throw Error("the statement's literals do not match its plan");
      // DDL is prepared when it runs: the objects it names may not exist yet.
      if (verb != Verb::Create && verb != Verb::Drop)
        for (const auto& s : cp->plan.statements) cp->stmts.push_back(std::make_unique<Stmt>(db_, s, ErrorContext{OpOf(verb), db_name_}));
      it = plans_.emplace(std::move(shape.key), std::move(cp)).first;
    }
    CachedPlan& cp = *it->second;
    binds_.resize(shape.literals.size());
    for (size_t i = 0; i < shape.literals.size(); ++i) binds_[i] = ConvertLiteral(shape.literals[i], cp.plan.params[i]);
    return cp;
  }

  void BindLiterals(Stmt& st, const Plan& plan) {
    st.Reset();
    const int n = sqlite3_bind_parameter_count(st.get());
    for (int i = 1; i <= n && static_cast<size_t>(i) <= binds_.size(); ++i) {
      const std::string& v = binds_[static_cast<size_t>(i - 1)];
      if (plan.params[static_cast<size_t>(i - 1)] == ParamConv::Number) st.BindNumber(i, v);
      else st.BindText(i, v);
    }
  }

  sqlite3* db_ = nullptr;
  std::string dir_;
  std::string db_name_;
  std::map<std::string, std::string> attached_;  // canonical file -> schema name
  std::map<std::string, std::unique_ptr<CachedPlan>> plans_;
  std::map<std::string, std::unique_ptr<Stmt>> updates_;
  std::unique_ptr<Stmt> columns_stmt_;
  std::vector<std::string> binds_;
};

}  // namespace

std::unique_ptr<Session> OpenEmbeddedSession(const std::string& dir, std::string_view user,
                                             std::string_view password, std::string_view database) {
  CheckLogin(dir, user, password);
  std::string file = DatabaseFile(dir, database);
  if (file.empty())
    throw Error("Cannot open database \"" + std::string(database) + "\" requested by the login. The login failed.",
                4060, "42000");
  return std::make_unique<SqliteSession>(dir, file, std::string(database));
}

}  // namespace db::sqlite
