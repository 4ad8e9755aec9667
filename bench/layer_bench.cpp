// The data layer's own cost per statement: a lookup (recordset open, one field
// read, close) plus a single-row update, run through the whole layer (text
// statement, shape and plan cache, literal conversion, spool, fault counting) and
// then as the very same SQLite statements, prepared once and bound directly. Prints
// statements per second for both and their ratio; the layer aims at a ratio of at
// most 2. Then walks one recordset of --walk-rows rows (default a million) and
// reports its speed and how much the peak memory grew: the rows spill to a
// temporary file, so it stays small whatever the row count.
//
// Usage: layer_bench [--rows N] [--iterations N] [--walk-rows N]
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/ado.h"
#include "db/conventions.h"
#include "db/sqlite/dialect.h"

namespace {

using Clock = std::chrono::steady_clock;

void Check(sqlite3* h, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(h));
}

void Exec(sqlite3* h, const std::string& sql) { Check(h, sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr), sql.c_str()); }

// The catalog the translator needs, over the direct connection: one database.
class DirectCatalog final : public db::sqlite::Catalog {
 public:
  explicit DirectCatalog(sqlite3* h) : h_(h) {}
  std::string AliasForDatabase(std::string_view) override { return "main"; }
  std::string AliasForRemote(std::string_view, std::string_view, std::string_view, std::string_view) override {
    throw std::runtime_error("no remote servers here");
  }
  std::optional<std::vector<db::sqlite::Column>> Columns(std::string_view alias, std::string_view table) override {
    sqlite3_stmt* st = nullptr;
    Check(h_, sqlite3_prepare_v2(h_, "SELECT name, type FROM pragma_table_info(?1, ?2)", -1, &st, nullptr), "columns");
    sqlite3_bind_text(st, 1, table.data(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, alias.data(), static_cast<int>(alias.size()), SQLITE_TRANSIENT);
    std::vector<db::sqlite::Column> cols;
    while (sqlite3_step(st) == SQLITE_ROW)
      cols.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                      reinterpret_cast<const char*>(sqlite3_column_text(st, 1))});
    sqlite3_finalize(st);
    if (cols.empty()) return std::nullopt;
    return cols;
  }

 private:
  sqlite3* h_;
};

std::string LookupSql(int key) { return "select md from Fact where n=" + std::to_string(key); }
std::string UpdateSql(int key, int cents) {
  return "update Fact set md=" + std::to_string(cents / 100) + "." + std::to_string(cents % 100) +
         " where n=" + std::to_string(key);
}

// Seconds for `iterations` lookup+update pairs through the layer.
double ThroughLayer(const std::string& dir, int rows, int iterations, double* checksum) {
  db::Connection cn;
  cn.Open(db::ConnectionString(db::ClassKind::Summary, db::Role::Olap, dir, "", "olap"));
  cn.SetCommandTimeout(0);
  auto rs = db::Recordset::Create();
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> key(1, rows);
  auto start = Clock::now();
  for (int i = 0; i < iterations; ++i) {
    int k = key(rng);
    rs->Open(LookupSql(k), cn);
    if (!rs->Eof()) *checksum += rs->Field("md").ToDouble();
    rs->Close();
    cn.Execute(UpdateSql(k, 1000 + i % 9000));
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The same SQLite statements the layer runs, translated once, prepared once and
// bound directly.
double Direct(const std::string& file, int rows, int iterations, double* checksum, bool show = false) {
  sqlite3* h = nullptr;
  Check(h, sqlite3_open_v2(file.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr), "open");
  Exec(h, "PRAGMA journal_mode=WAL");
  Exec(h, "PRAGMA synchronous=NORMAL");
  db::sqlite::RegisterDialectFunctions(h);
  DirectCatalog catalog(h);
  auto prepare = [&](const std::string& sample) {
    db::sqlite::Plan plan = db::sqlite::Translate(db::sqlite::Normalize(sample), catalog);
    if (plan.statements.size() != 1) throw std::runtime_error("expected one statement for " + sample);
    sqlite3_stmt* st = nullptr;
    Check(h, sqlite3_prepare_v2(h, plan.statements[0].c_str(), -1, &st, nullptr), plan.statements[0].c_str());
    if (show) std::printf("  sqlite: %s\n", plan.statements[0].c_str());
    return st;
  };
  sqlite3_stmt* lookup = prepare(LookupSql(1));
  sqlite3_stmt* update = prepare(UpdateSql(1, 1050));
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> key(1, rows);
  auto start = Clock::now();
  for (int i = 0; i < iterations; ++i) {
    int k = key(rng);
    sqlite3_bind_int64(lookup, 1, k);
    if (sqlite3_step(lookup) == SQLITE_ROW) *checksum += sqlite3_column_double(lookup, 0);
    sqlite3_reset(lookup);
    int cents = 1000 + i % 9000;
    sqlite3_bind_double(update, 1, cents / 100 + (cents % 100) / 100.0);
    sqlite3_bind_int64(update, 2, k);
    Check(h, sqlite3_step(update), "update");
    sqlite3_reset(update);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_finalize(lookup);
  sqlite3_finalize(update);
  sqlite3_close(h);
  return seconds;
}

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Walks a recordset over `rows` rows of four columns; prints rows/s and peak growth.
void Walk(const std::string& dir, int rows) {
  sqlite3* h = nullptr;
  const std::string file = dir + "/walk.db";
  Check(h, sqlite3_open(file.c_str(), &h), "create");
  Exec(h, "CREATE TABLE Lines (n int, VouchId nvarchar(20), Date datetime, md decimal(18,6));"
          "WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n+1 FROM k WHERE n<" + std::to_string(rows) +
          ") INSERT INTO Lines SELECT n, 'V-' || n, '2006-03-01 00:00:00', n * 0.25 FROM k");
  sqlite3_close(h);
  db::Connection cn;
  cn.Open(db::ConnectionString(db::ClassKind::Summary, db::Role::Olap, dir, "", "walk"));
  const long before = PeakRssKb();
  auto start = Clock::now();
  auto rs = db::Recordset::Create();
  rs->Open("select n, VouchId, Date, md from Lines", cn, 2);
  long seen = 0;
  double total = 0;
  for (; !rs->Eof(); rs->MoveNext()) {
    total += rs->Field("md").ToDouble();
    ++seen;
  }
  rs->Close();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("walk of %ld rows: %.0f rows/s, peak memory grew by %ld KiB (sum %.2f)\n", seen, seen / seconds,
              PeakRssKb() - before, total);
}

}  // namespace

int main(int argc, char** argv) {
  int rows = 10000, iterations = 20000, walk_rows = 1000000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rows") == 0) rows = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--iterations") == 0) iterations = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--walk-rows") == 0) walk_rows = std::atoi(argv[i + 1]);
  }
  if (rows < 1 || iterations < 1 || walk_rows < 1) {
    std::fprintf(stderr, "usage: layer_bench [--rows N] [--iterations N] [--walk-rows N]\n");
    return 64;
  }
  std::string tmpl = (std::filesystem::temp_directory_path() / "tallyport-layer-bench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = tmpl, file = dir + "/olap.db";
  int status = 0;
  try {
    sqlite3* h = nullptr;
    Check(h, sqlite3_open(file.c_str(), &h), "create");
    Exec(h, "CREATE TABLE Fact (n int, Code_No nvarchar(15), Date datetime, md decimal(18,6));"
            "CREATE INDEX ix_fact_n ON Fact(n); BEGIN");
    for (int n = 1; n <= rows; ++n)
      Exec(h, "INSERT INTO Fact VALUES (" + std::to_string(n) + ", '1001', '2006-03-01 00:00:00', 1.5)");
    Exec(h, "COMMIT");
    sqlite3_close(h);

    std::printf("layer_bench: %d rows, %d lookup+update pairs\n", rows, iterations);
    double sum_direct = 0, sum_layer = 0;
    // Warm both paths (page cache, plan cache), then take the better of two rounds.
    Direct(file, rows, iterations / 10 + 1, &sum_direct, true);
    ThroughLayer(dir, rows, iterations / 10 + 1, &sum_layer);
    double direct = 1e300, layer = 1e300;
    for (int round = 0; round < 2; ++round) {
      direct = std::min(direct, Direct(file, rows, iterations, &sum_direct));
      layer = std::min(layer, ThroughLayer(dir, rows, iterations, &sum_layer));
    }
    const double statements = 2.0 * iterations;
    std::printf("direct SQLite: %10.0f statements/s\n", statements / direct);
    std::printf("data layer:    %10.0f statements/s\n", statements / layer);
    std::printf("ratio (layer time / direct time): %.2f (goal: at most 2)\n", layer / direct);
    Walk(dir, walk_rows);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "layer_bench: %s\n", e.what());
    status = 1;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
