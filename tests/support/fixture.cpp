// Shared end-to-end fixtures. Databases are written with the plain SQLite API, the
// way anyone may prepare an embedded server, so tests also check that contract.
#include "tests/support/fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "demo/schema.h"

namespace testsupport {
namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tallyport-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

namespace {

struct Db {
  sqlite3* h = nullptr;
  explicit Db(const std::string& path) {
    if (sqlite3_open(path.c_str(), &h) != SQLITE_OK) {
      std::string msg = h ? sqlite3_errmsg(h) : "out of memory";
      sqlite3_close(h);
      throw std::runtime_error("cannot open " + path + ": " + msg);
    }
    sqlite3_busy_timeout(h, 10000);
  }
  ~Db() { sqlite3_close(h); }
};

[[noreturn]] void Fail(const std::string& what) {
  ADD_FAILURE() << what;
  throw std::runtime_error(what);
}

}  // namespace

EmbeddedServer::EmbeddedServer(std::string dir) : dir_(std::move(dir)) {
  fs::create_directories(dir_);
}

std::string EmbeddedServer::DbPath(const std::string& db) const { return dir_ + "/" + db + ".db"; }

void EmbeddedServer::Exec(const std::string& db, const std::string& sql) const {
  Db d(DbPath(db));
  char* err = nullptr;
  if (sqlite3_exec(d.h, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "?";
    sqlite3_free(err);
    Fail("sqlite error in " + db + ": " + msg + "\nSQL: " + sql);
  }
}

Rows EmbeddedServer::Query(const std::string& db, const std::string& sql) const {
  Db d(DbPath(db));
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(d.h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    Fail("sqlite error in " + db + ": " + sqlite3_errmsg(d.h) + "\nSQL: " + sql);
  Rows rows;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      if (sqlite3_column_type(st, i) == SQLITE_NULL) {
        row.emplace_back("NULL");
      } else {
        const unsigned char* t = sqlite3_column_text(st, i);
        row.emplace_back(reinterpret_cast<const char*>(t), sqlite3_column_bytes(st, i));
      }
    }
    rows.push_back(std::move(row));
  }
  std::string msg = rc == SQLITE_DONE ? "" : sqlite3_errmsg(d.h);
  sqlite3_finalize(st);
  if (!msg.empty()) Fail("sqlite error in " + db + ": " + msg + "\nSQL: " + sql);
  return rows;
}

std::string EmbeddedServer::Scalar(const std::string& db, const std::string& sql) const {
  Rows r = Query(db, sql);
  return r.empty() || r[0].empty() ? "" : r[0][0];
}

bool EmbeddedServer::TableExists(const std::string& db, const std::string& table) const {
  if (!fs::exists(DbPath(db))) return false;
  return !Query(db, "SELECT 1 FROM sqlite_schema WHERE type='table' AND name='" + table +
                        "' COLLATE NOCASE")
              .empty();
}

void CreateAccountSet(const EmbeddedServer& s, const std::string& acc_db, int year,
                      const std::string& acc_id, const std::vector<std::string>& item_classes,
                      const std::string& gl_start, const std::string& cur_code) {
  std::string acc = demo::kAccountSchemaSql;
  for (const auto& cls : item_classes) {
    char buf[256];
    std::snprintf(buf, sizeof buf, demo::kItemTableSql, cls.c_str());
    acc += std::string(buf) + ";\n";
  }
  acc += "INSERT INTO accinformation VALUES ('GL','dGLStartDate','" + gl_start + "');\n";
  s.Exec(acc_db, acc);

  std::string sys = demo::kSystemSchemaSql;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  for (int m = 1; m <= 12; ++m) {
    int last = kDays[m - 1] + (m == 2 && leap ? 1 : 0);
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "INSERT INTO ua_period VALUES ('%s',%d,%d,'%04d-%02d-01 00:00:00',"
                  "'%04d-%02d-%02d 00:00:00',0);\n",
                  acc_id.c_str(), year, m, year, m, year, m, last);
    sys += buf;
  }
  sys += "INSERT INTO UA_Account VALUES ('" + acc_id + "'," + std::to_string(year) +
         ",'Demo','" + cur_code + "');\n";
  if (!fs::exists(s.DbPath("vxsystem"))) s.Exec("vxsystem", sys);
  s.Exec("olap", "SELECT 1");  // an empty analysis database
}

std::string TallyportBinary() { return TALLYPORT_BINARY; }

namespace {

std::string Drain(int fd) {
  std::string out;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

}  // namespace

RunResult RunTallyport(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env, int timeout_seconds) {
  // Output goes to unlinked temporary files, so a chatty run can never block on a pipe.
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  if (!out || !err) throw std::runtime_error("tmpfile failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> argv;
    std::string bin = TallyportBinary();
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  RunResult r;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "tallyport did not finish within " << timeout_seconds << "s";
      break;
    }
    usleep(2000);
  }
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  std::rewind(out);
  std::rewind(err);
  r.out = Drain(fileno(out));
  r.err = Drain(fileno(err));
  std::fclose(out);
  std::fclose(err);
  return r;
}

std::vector<std::string> ExtractArgs(const std::string& cls, const EmbeddedServer& s,
                                     const std::string& begin, const std::string& end,
                                     const std::string& acc_db, const std::string& olap_db) {
  return {cls,           "--acc-server", s.dir(), "--acc-db", acc_db, "--olap-server",
          s.dir(),       "--olap-db",    olap_db, "--begin",  begin,  "--end",
          end,           "--quiet"};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace testsupport
