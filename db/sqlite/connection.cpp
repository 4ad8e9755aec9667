// A session on the embedded engine: one SQLite connection to the database named in
// the connection text, with tempdb and other databases of the server attached on
// demand, plans cached by statement shape with their prepared statements, and
// SQLite's errors reported in SQL Server's words (error.cpp).
//
// Every database is in WAL mode with synchronous=NORMAL (tempdb: OFF, see Attach): a
// process that dies leaves its databases consistent, readers never block the writer, and a writer waits for
// another (busy timeout) instead of failing. A statement of more than one step (a
// table and its key's index) runs inside one savepoint: all of it or none.
//
// Inside a WriteBatch (engine.h) a session keeps one transaction open across its
// statements instead of committing each: a commit per statement costs more than
// the small statements of a row-by-row pass. The sessions of one thread still see
// each other's statements as autocommit would have them: before a statement runs,
// any other session of the thread holding uncommitted writes to a database file
// the statement touches commits, and a session whose snapshot of such a file is
// older than a commit made since begins afresh. Which files a statement reads and
// writes is learnt from SQLite's authorizer when it is prepared. The sessions of a
// thread together hold one file's write lock at a time, and a session never
// upgrades a read snapshot to a write (it commits first), so a thread never waits
// for a lock while holding another, and a busy file is waited for exactly as in
// autocommit. Batches are committed after
// kBatchAge at the latest, so other processes wait for them only briefly.
#include "db/sqlite/connection.h"

#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

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

// The schemas a prepared statement reads and writes.
struct Access {
  std::set<std::string> reads, writes;
  // Their database files, resolved when the session had `resolved_at` schemas.
  mutable size_t resolved_at = SIZE_MAX;
  mutable std::set<std::string> touched_files, written_files;
};

struct CachedPlan {
  Plan plan;
  std::vector<std::unique_ptr<Stmt>> stmts;  // prepared ahead, except for DDL
  Access access;                              // of the prepared statements
  int64_t runs = 0, scanned = 0;              // executions so far, rows they scanned
  bool indexed = false;
};

// A statement run again and again that reads whole tempdb tables to find rows by
// equal values gets an index on those columns: tempdb is the engine's own, and a
// staging table updated once per distinct value would otherwise cost values x rows.
constexpr int64_t kSeekRuns = 4, kSeekRowsPerRun = 256;

class SqliteSession;
using Clock = std::chrono::steady_clock;
// A batch is committed once this old; the session then commits statement by
// statement for kBatchPause, so that a writer of another process waiting for the
// file finds it free between statements, as it would without batches.
constexpr auto kBatchAge = std::chrono::milliseconds(40);
constexpr auto kBatchPause = std::chrono::milliseconds(10);

// The write batches of this thread's sessions.
struct Batches {
  int depth = 0;                               // open WriteBatch scopes
  std::vector<SqliteSession*> open;            // sessions with a transaction open
  std::map<std::string, uint64_t> file_commit; // file -> the commit that last wrote it
  uint64_t commits = 0;
  std::string lost;  // a commit that failed where it could not be reported
};
thread_local Batches t_batches;

// Commits every open batch of this thread; the first failure's text, or "".
std::string CommitOpenBatches();

constexpr size_t kMaxPlans = 1024, kMaxRecent = 512;

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
      sqlite3_set_authorizer(db_, &SqliteSession::Authorize, this);
      attached_[Canonical(db_file)] = "main";
      file_of_alias_["main"] = Canonical(db_file);
      // tempdb is made on first use and shared by every connection to the server.
      std::string tempdb = DatabaseFile(dir_, "tempdb");
      if (tempdb.empty()) tempdb = (fs::path(dir_) / "tempdb.db").string();
      Attach(tempdb, "tempdb", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
      // Staging tables live in tempdb and are walked and updated whole, pass after
      // pass, and a target table's key index takes rows in random order: caches
      // that hold them save reading them again from the file. Pages are only
      // cached as they are read, so a small database never costs more.
      Exec("PRAGMA main.cache_size=-16384");
      Exec("PRAGMA tempdb.cache_size=-32768");
    } catch (...) {
      sqlite3_close_v2(db_);
      throw;
    }
  }

  ~SqliteSession() override {
    if (txn_) {
      try {
        CommitBatch();
      } catch (const std::exception& e) {
        t_batches.lost = e.what();
      }
    }
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
    // DDL is prepared as it runs: an index names the table made just before.
    std::unique_ptr<Stmt> first_ddl;
    if (p.stmts.empty()) {
      Access ddl;
      first_ddl = Prepare(p.plan.statements.front(), ctx, &ddl);
      Enter(ddl);
    } else {
      Enter(p.access);
    }
    // Several steps stand or fall together. Each step writes from its start, so the
    // savepoint never turns a read into a write that another process could refuse.
    if (n > 1) Exec("SAVEPOINT tp_statement");
    try {
      for (size_t k = 0; k < n; ++k) {
        if (p.stmts.empty()) {
          std::unique_ptr<Stmt> fresh = k == 0 ? std::move(first_ddl) : std::make_unique<Stmt>(db_, p.plan.statements[k], ctx);
          BindLiterals(*fresh, p.plan);
          fresh->Run(ctx);
        } else {
          BindLiterals(*p.stmts[k], p.plan);
          p.stmts[k]->Run(ctx);
        }
      }
      if (n > 1) Exec("RELEASE tp_statement");
    } catch (...) {
      if (n > 1) sqlite3_exec(db_, "ROLLBACK TO tp_statement; RELEASE tp_statement", nullptr, nullptr, nullptr);
      Failed();
      throw;
    }
    if (verb == Verb::Create || verb == Verb::Drop) {
      // Translations read the tables' columns: they are made again.
      ForgetPlans();
      updates_.clear();
    }
  }

  std::unique_ptr<Cursor> Query(const std::string& sql) override {
    const Verb verb = VerbOf(sql);
    CachedPlan& p = PlanFor(sql, verb);
    if (!p.plan.returns_rows || p.stmts.size() != 1) Unsupported("a query that returns no rows");
    Stmt& st = *p.stmts.back();
    BindLiterals(st, p.plan);
    Enter(p.access);
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
    Enter(p.access);
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
    if (it == updates_.end()) {
      PreparedUpdate u;
      u.stmt = Prepare(sql, {}, &u.access);
      it = updates_.emplace(sql, std::move(u)).first;
    }
    Stmt& st = *it->second.stmt;
    st.Reset();
    for (size_t i = 0; i < changes.size(); ++i) st.Bind(static_cast<int>(i + 1), changes[i].second);
    st.Bind(static_cast<int>(changes.size() + 1), key[0]);
    Enter(it->second.access);
    try {
      st.Run({Op::Update, db_name_});
    } catch (...) {
      Failed();
      throw;
    }
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
    Access calls;
    calls.writes.insert("main");
    Enter(calls);
    Stmt st(db_, "INSERT INTO main.tp_procedure_calls (name, args) VALUES (?1, ?2)");
    st.BindText(1, name);
    st.BindText(2, args);
    try {
      st.Run({Op::Insert, db_name_});
    } catch (...) {
      Failed();
      throw;
    }
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
    if (!columns_stmt_)
      columns_stmt_ = std::make_unique<Stmt>(db_, "SELECT name, type, dflt_value FROM pragma_table_info(?1, ?2)");
    static const std::string new_id = NewIdDefault();
    Stmt& st = *columns_stmt_;
    st.Reset();
    st.BindText(1, table);
    st.BindText(2, alias);
    std::vector<Column> cols;
    while (st.Step()) {
      const auto* dflt = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 2));
      cols.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0)),
                      reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1)), dflt && new_id == dflt});
    }
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
    // SQLite attaches only outside a transaction.
    if (txn_) CommitBatch();
    if (open_flags & SQLITE_OPEN_CREATE) {
      sqlite3* made = nullptr;
      int rc = sqlite3_open_v2(file.c_str(), &made, open_flags, nullptr);
      // A new tempdb gets larger pages: its staging tables are written whole, pass
      // after pass, and a page is one write to the log.
      if (rc == SQLITE_OK) sqlite3_exec(made, "PRAGMA page_size=16384; PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      sqlite3_close(made);
      if (rc != SQLITE_OK) throw Error("cannot create " + file);
    }
    Stmt st(db_, "ATTACH DATABASE ?1 AS " + QuoteIdent(alias));
    st.BindText(1, file);
    st.Run();
    // WAL as for the main database. A file another process holds in rollback mode
    // stays in it: that mode is as safe, only less concurrent.
    sqlite3_exec(db_, ("PRAGMA " + QuoteIdent(alias) + ".journal_mode=WAL").c_str(), nullptr, nullptr, nullptr);
    // tempdb only holds what a run stages and drops again, so it is not synced to
    // the disk: a process that dies still leaves it sound; a crash of the machine
    // may damage it, and deleting its files then gives a new one (SQL Server, too,
    // starts every time with a new tempdb).
    sqlite3_exec(db_, ("PRAGMA " + QuoteIdent(alias) + ".synchronous=" + (alias == "tempdb" ? "OFF" : "NORMAL")).c_str(),
                 nullptr, nullptr, nullptr);
    attached_[key] = alias;
    file_of_alias_[alias] = key;
    return alias;
  }

  // The plan of a statement, translated once per shape; its literals are converted
  // into binds_ for this execution.
  CachedPlan& PlanFor(const std::string& sql, Verb verb) {
    // Look-ups repeat the very same text (a code per row of a pass): those skip
    // the tokenizer and the conversion of their literals.
    if (auto r = recent_.find(sql); r != recent_.end()) {
      binds_ = r->second.binds;
      return Ran(*r->second.plan);
    }
    Shape shape = Normalize(sql);
    auto it = plans_.find(shape.key);
    if (it == plans_.end()) {
      // A translation reads the catalogue: the tables other sessions of this thread
      // made or dropped must be there for it, as they would be without batches.
      SeeOthersWrites();
      // Shapes are few (literals are not part of them); a caller that makes
      // endless distinct statements still gets a bounded cache.
      if (plans_.size() >= kMaxPlans) ForgetPlans();
      auto cp = std::make_unique<CachedPlan>();
      cp->plan = Translate(shape, *this);
      if (cp->plan.params.size() != shape.literals.size()) throw Error("the statement's literals do not match its plan");
      // DDL is prepared when it runs: the objects it names may not exist yet.
      if (verb != Verb::Create && verb != Verb::Drop)
        for (const auto& s : cp->plan.statements)
          cp->stmts.push_back(Prepare(s, ErrorContext{OpOf(verb), db_name_}, &cp->access));
      it = plans_.emplace(std::move(shape.key), std::move(cp)).first;
    }
    CachedPlan& cp = *it->second;
    binds_.resize(shape.literals.size());
    for (size_t i = 0; i < shape.literals.size(); ++i) binds_[i] = ConvertLiteral(shape.literals[i], cp.plan.params[i]);
    if (recent_.size() >= kMaxRecent) recent_.clear();
    recent_.emplace(sql, Recent{&cp, binds_});
    return Ran(cp);
  }

  void ForgetPlans() {
    recent_.clear();
    plans_.clear();
  }

  // Counts a run of the plan; see kSeekRuns.
  CachedPlan& Ran(CachedPlan& cp) {
    if (!cp.indexed && !cp.plan.seeks.empty()) {
      for (const auto& st : cp.stmts) cp.scanned += sqlite3_stmt_status(st->get(), SQLITE_STMTSTATUS_FULLSCAN_STEP, 1);
      if (++cp.runs > kSeekRuns && cp.scanned >= kSeekRowsPerRun * cp.runs) {
        cp.indexed = true;
        IndexSeeks(cp.plan);
      }
    }
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

  void IndexSeeks(const Plan& plan) {
    for (const auto& seek : plan.seeks) {
      if (seek.schema != "tempdb") continue;
      const std::string sql = "CREATE INDEX IF NOT EXISTS tempdb." + QuoteIdent("tp_seek_" + seek.table + "_" + seek.column) +
                              " ON " + QuoteIdent(seek.table) + " (" + QuoteIdent(seek.column) +
                              (seek.text ? " COLLATE TPCI)" : ")");
      Access access;
      auto st = Prepare(sql, {}, &access);
      Enter(access);
      try {
        st->Run();
      } catch (...) {
        Failed();
        throw;
      }
    }
  }

  // Records the schemas a statement being prepared reads and writes.
  static int Authorize(void* self, int action, const char*, const char*, const char* schema, const char*) {
    Access* a = static_cast<SqliteSession*>(self)->collect_;
    if (!a || !schema) return SQLITE_OK;
    switch (action) {
      case SQLITE_READ:
      case SQLITE_SELECT:
      case SQLITE_FUNCTION:
      case SQLITE_PRAGMA:
        a->reads.insert(schema);
        break;
      default:
        a->writes.insert(schema);
    }
    return SQLITE_OK;
  }

  // Prepares `sql`, adding the schemas it reads and writes to *access.
  std::unique_ptr<Stmt> Prepare(const std::string& sql, const ErrorContext& ctx, Access* access) {
    collect_ = access;
    try {
      auto st = std::make_unique<Stmt>(db_, sql, ctx);
      collect_ = nullptr;
      return st;
    } catch (...) {
      collect_ = nullptr;
      throw;
    }
  }

  std::set<std::string> FilesOf(const std::set<std::string>& schemas) const {
    std::set<std::string> files;
    for (const auto& s : schemas)
      if (auto it = file_of_alias_.find(s); it != file_of_alias_.end()) files.insert(it->second);
    return files;
  }

  // Files this session's open transaction holds in `state` (SQLITE_TXN_READ or _WRITE).
  bool Holds(const std::string& file, int state) const {
    auto it = attached_.find(file);
    return it != attached_.end() && sqlite3_txn_state(db_, it->second.c_str()) == state;
  }
  bool HoldsWriteOnOther(const std::set<std::string>& files) const {
    for (const auto& [alias, file] : file_of_alias_)
      if (!files.count(file) && sqlite3_txn_state(db_, alias.c_str()) == SQLITE_TXN_WRITE) return true;
    return false;
  }

  // Makes ready to run a statement with access `a`: see the head of this file.
  void Enter(const Access& a) {
    Batches& b = t_batches;
    if (!txn_ && b.depth == 0) return;  // autocommit
    if (a.resolved_at != file_of_alias_.size()) {
      a.written_files = FilesOf(a.writes);
      a.touched_files = FilesOf(a.reads);
      a.touched_files.insert(a.written_files.begin(), a.written_files.end());
      a.resolved_at = file_of_alias_.size();
    }
    const std::set<std::string>& writes = a.written_files;
    const std::set<std::string>& touched = a.touched_files;
    const auto now = Clock::now();
    for (size_t i = 0; i < b.open.size();) {
      SqliteSession* other = b.open[i];
      bool commit = now - other->txn_began_ > kBatchAge;
      if (commit) other->pause_until_ = now + kBatchPause;
      if (other != this) {
        // A writer of this thread holds no other file's write lock while it may wait
        // for one: two processes never wait for each other.
        if (!writes.empty()) commit = commit || other->HoldsWriteOnOther({});
        for (const auto& f : touched) commit = commit || other->Holds(f, SQLITE_TXN_WRITE);
      }
      if (commit) other->CommitBatch();  // leaves b.open
      else ++i;
    }
    if (txn_) {
      bool restart = false;
      for (const auto& f : touched) {
        auto c = b.file_commit.find(f);
        restart = restart || (c != b.file_commit.end() && c->second > txn_commits_);
      }
      if (!writes.empty()) {
        for (const auto& f : writes) restart = restart || Holds(f, SQLITE_TXN_READ);
        restart = restart || HoldsWriteOnOther(writes);
      }
      if (restart) CommitBatch();
    }
    if (!txn_ && b.depth > 0 && now >= pause_until_) {
      Exec("BEGIN");
      txn_ = true;
      txn_began_ = now;
      txn_commits_ = b.commits;
      b.open.push_back(this);
    }
  }

  // Before a translation: no other session of the thread keeps writes from this
  // one, and this one's snapshot is not older than what they committed.
  void SeeOthersWrites() {
    if (std::string failed = CommitOpenBatches(); !failed.empty()) throw Error(failed);
  }

  // After a failed statement: SQLite may have ended the whole transaction.
  void Failed() {
    if (txn_ && sqlite3_get_autocommit(db_)) Forget();
  }

  void Forget() {
    txn_ = false;
    auto& open = t_batches.open;
    open.erase(std::remove(open.begin(), open.end(), this), open.end());
  }

 public:
  // Commits this session's transaction; on failure it is rolled back and the error
  // thrown, naming what was lost.
  void CommitBatch() {
    if (!txn_) return;
    std::vector<std::string> written;
    for (const auto& [alias, file] : file_of_alias_)
      if (sqlite3_txn_state(db_, alias.c_str()) == SQLITE_TXN_WRITE) written.push_back(file);
    Forget();
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::string m = sqlite3_errmsg(db_);
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw Error("The transaction of database \"" + db_name_ + "\" could not be committed: " + m);
    }
    Batches& b = t_batches;
    ++b.commits;
    for (const auto& f : written) b.file_commit[f] = b.commits;
  }

 private:
  struct PreparedUpdate {
    std::unique_ptr<Stmt> stmt;
    Access access;
  };

  bool txn_ = false;
  Clock::time_point txn_began_, pause_until_;
  uint64_t txn_commits_ = 0;  // Batches::commits when the transaction began
  Access* collect_ = nullptr;
  std::map<std::string, std::string> file_of_alias_;

  sqlite3* db_ = nullptr;
  std::string dir_;
  std::string db_name_;
  std::map<std::string, std::string> attached_;  // canonical file -> schema name
  std::map<std::string, std::unique_ptr<CachedPlan>> plans_;
  struct Recent {
    CachedPlan* plan;
    std::vector<std::string> binds;
  };
  std::unordered_map<std::string, Recent> recent_;  // statement text -> its plan and binds
  std::map<std::string, PreparedUpdate> updates_;
  std::unique_ptr<Stmt> columns_stmt_;
  std::vector<std::string> binds_;
};

std::string CommitOpenBatches() {
  std::string failed;
  auto& open = t_batches.open;
  while (!open.empty()) {
    try {
      open.front()->CommitBatch();  // leaves the list, also when it fails
    } catch (const std::exception& e) {
      if (failed.empty()) failed = e.what();
    }
  }
  return failed;
}

}  // namespace

void BeginWriteBatches() { ++t_batches.depth; }

void CommitWriteBatches() {
  Batches& b = t_batches;
  std::string failed = std::move(b.lost);
  b.lost.clear();
  if (std::string now = CommitOpenBatches(); failed.empty()) failed = std::move(now);
  if (!failed.empty()) throw Error(failed);
}

void EndWriteBatches() noexcept {
  Batches& b = t_batches;
  if (b.depth > 0) --b.depth;
  if (b.depth > 0) return;
  try {
    if (std::string failed = CommitOpenBatches(); !failed.empty()) b.lost = std::move(failed);
  } catch (...) {
    b.lost = "a write batch could not be committed";
  }
}

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
