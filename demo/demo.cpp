// The demo account set: a year of vouchers for account set 001 in 2006, with a chart
// of accounts, dimensions, cash-flow items and lines, opening balances and two
// currencies, written with plain SQLite in one transaction per database. The data
// follows from the seed alone (splitmix64), so the same seed gives the same rows.
#include "demo/demo.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/sqlite/server.h"
#include "demo/schema.h"

namespace demo {
namespace {

namespace fs = std::filesystem;

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }

 private:
  uint64_t s_;
};

class Db {
 public:
  explicit Db(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
    if (sqlite3_open(path.c_str(), &h_) != SQLITE_OK) throw std::runtime_error("cannot create " + path);
    Exec("PRAGMA journal_mode=WAL");
    Exec("BEGIN");
  }
  ~Db() { sqlite3_close(h_); }
  void Exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(h_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string m = err ? err : "?";
      sqlite3_free(err);
      throw std::runtime_error("demo: " + m);
    }
  }
  // A prepared insert, reused for every row.
  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("demo: ") + sqlite3_errmsg(h_));
    stmts_.push_back(st);
    return st;
  }
  void Step(sqlite3_stmt* st) {
    if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(std::string("demo: ") + sqlite3_errmsg(h_));
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
  void Commit() {
    for (auto* st : stmts_) sqlite3_finalize(st);
    stmts_.clear();
    Exec("COMMIT");
  }

 private:
  sqlite3* h_ = nullptr;
  std::vector<sqlite3_stmt*> stmts_;
};

void Text(sqlite3_stmt* st, int i, const std::string& v) {
  if (v.empty()) sqlite3_bind_null(st, i);
  else sqlite3_bind_text(st, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

struct Account {
  const char* code;
  bool debit;
  const char* currency;  // "" for the home currency
  bool dept, cus, sup, person, item;
  bool cash;
};

// Last-level accounts; parents are added from the code prefixes.
const Account kAccounts[] = {
    {"100101", true, "", false, false, false, false, false, true},
    {"100201", true, "", false, false, false, false, false, true},
    {"100202", true, "USD", false, false, false, false, false, true},
    {"1122", true, "", false, true, false, false, false, false},
    {"2202", false, "", false, false, true, false, false, false},
    {"2211", false, "", true, false, false, true, false, false},
    {"6001", false, "", true, false, false, false, true, false},
    {"6602", true, "", true, false, false, false, false, false},
    {"4001", false, "", false, false, false, false, false, false},
};

std::string Date(int month, int day) {
  char b[64];
  std::snprintf(b, sizeof b, "2006-%02d-%02d 00:00:00", month, day);
  return b;
}

const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

}  // namespace

DemoSummary CreateDemo(const std::string& dir, const DemoOptions& options) {
  fs::create_directories(dir);
  for (const char* f : {"vxdata_001_2006.db", "vxsystem.db", "olap.db", "tempdb.db"})
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::error_code ec;
      fs::remove(fs::path(dir) / (std::string(f) + suffix), ec);
    }
  Rng rng(options.seed);
  DemoSummary sum;

  {
    Db sys((fs::path(dir) / "vxsystem.db").string());
    sys.Exec(kSystemSchemaSql);
    for (int m = 1; m <= 12; ++m)
      sys.Exec("INSERT INTO ua_period VALUES ('001',2006," + std::to_string(m) + ",'" + Date(m, 1) + "','" +
               Date(m, kMonthDays[m - 1]) + "',0)");
    sys.Exec("INSERT INTO UA_Account VALUES ('001',2006,'Demo Trading Co.','RMB')");
    sys.Commit();
  }

  Db acc((fs::path(dir) / "vxdata_001_2006.db").string());
  acc.Exec(kAccountSchemaSql);
  for (const char* cls : {"01", "02"}) {
    char b[128];
    std::snprintf(b, sizeof b, kItemTableSql, cls);
    acc.Exec(b);
  }
  acc.Exec("INSERT INTO accinformation VALUES ('GL','dGLStartDate','2006-01-01')");
  acc.Exec("INSERT INTO foreigncurrency VALUES ('人民币','RMB',-1), ('USD','USD',0)");
  acc.Exec("INSERT INTO department VALUES ('01','Sales'),('02','Finance'),('03','O''Neil Workshop'),('04','研发部')");
  acc.Exec("INSERT INTO person VALUES ('P01','Ann Lee'),('P02','王伟'),('P03','Sam O''Brien')");
  acc.Exec("INSERT INTO customer VALUES ('C001','Northwind Ltd'),('C002','上海贸易'),('C003','Blue Harbor')");
  acc.Exec("INSERT INTO vendor VALUES ('V001','Acme Supply'),('V002','深圳电子'),('V003','Pine & Co')");
  acc.Exec("INSERT INTO fitemss01 VALUES ('0001','Project Alpha'),('0002','Project Beta')");
  acc.Exec("INSERT INTO fitemss02 VALUES ('0001','Product line A'),('0002','Product line B')");
  acc.Exec("INSERT INTO fitemss98 (citemcode, citemname, cdirection) VALUES "
           "('01','Sales receipts','流入'),('02','Other receipts','流入'),('03','Purchases paid','流出'),"
           "('04','Wages paid','流出')");
  for (const char* parent : {"1001", "1002", "10"})
    acc.Exec(std::string("INSERT INTO code (ccode, bproperty, bend) VALUES ('") + parent + "',1,0)");
  for (const auto& a : kAccounts) {
    acc.Exec(std::string("INSERT INTO code (ccode, ccode_name, bproperty, cexch_name, bend, bperson, bcus, bsup, bdept, bitem,"
                         " bcDefine4, bcDefine6) VALUES ('") + a.code + "','" + a.code + "'," + (a.debit ? "1" : "0") +
             "," + (*a.currency ? std::string("'") + a.currency + "'" : "NULL") + ",1," + (a.person ? "1" : "0") + "," +
             (a.cus ? "1" : "0") + "," + (a.sup ? "1" : "0") + "," + (a.dept ? "1" : "0") + "," +
             (a.item ? "1" : "0") + ",0," + (std::string(a.code) == "4001" ? "1" : "0") + ")");
    ++sum.accounts;
    bool breakdown = a.dept || a.cus || a.sup || a.person || a.item;
    int64_t opening = 1000 + rng.Below(100000);
    if (breakdown) {
      const char* depts[] = {"01", "02", "03"};
      for (int k = 0; k < 2; ++k)
        acc.Exec(std::string("INSERT INTO GL_AccMultiAss (ccode, iperiod, cDept_id, cCus_id, cSup_id, cPerson_id, cItem_Class, cItem_id, mb, mb_f, addmd, addmd_f, addmc, addmc_f) VALUES ('") +
                 a.code + "',1," + (a.dept ? std::string("'") + depts[k] + "'" : "NULL") + "," +
                 (a.cus ? "'C00" + std::to_string(k + 1) + "'" : "NULL") + "," +
                 (a.sup ? "'V00" + std::to_string(k + 1) + "'" : "NULL") + "," +
                 (a.person ? "'P0" + std::to_string(k + 1) + "'" : "NULL") + "," + (a.item ? "'01'" : "NULL") + "," +
                 (a.item ? "'000" + std::to_string(k + 1) + "'" : "NULL") + "," + std::to_string(opening / 2) +
                 ".25,0,0,0,0,0)");
    }
    acc.Exec(std::string("INSERT INTO gl_accsum (ccode, cexch_name, iperiod, cbegind_c, mb, md, mc, cendd_c, me, mb_f, md_f, mc_f, me_f) VALUES ('") +
             a.code + "'," + (*a.currency ? std::string("'") + a.currency + "'" : "NULL") + ",1,'" +
             (a.debit ? "借" : "贷") + "'," + std::to_string(opening) + ".5,0,0,'" + (a.debit ? "借" : "贷") + "'," +
             std::to_string(opening) + ".5," + (*a.currency ? std::to_string(opening / 7) : std::string("0")) + ",0,0,0)");
  }

  sqlite3_stmt* line = acc.Prepare(
      "INSERT INTO gl_accvouch (iperiod, csign, isignseq, ino_id, inid, dbill_date, ccheck, ibook, iflag, cdigest,"
      " ccode, cexch_name, md, mc, md_f, mc_f, cdept_id, cperson_id, ccus_id, csup_id, citem_class, citem_id)"
      " VALUES (?1,'记',1,?2,?3,?4,?5,?6,?7,'demo',?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18,?19)");
  sqlite3_stmt* cash = acc.Prepare(
      "INSERT INTO gl_cashtable (iperiod, isignseq, ino_id, inid, ccashitem, md, mc, ccode) VALUES (?1,1,?2,?3,?4,?5,?6,?7)");
  const int n_accounts = static_cast<int>(sizeof kAccounts / sizeof kAccounts[0]);
  std::vector<int> voucher_no(13, 0);
  for (int64_t v = 0; v < options.vouchers; ++v) {
    int month = 1 + static_cast<int>(v * 12 / (options.vouchers > 0 ? options.vouchers : 1));
    int day = 1 + rng.Below(kMonthDays[month - 1]);
    int no = ++voucher_no[month];
    int kind = rng.Below(20);  // 1 in 20 unposted, 1 in 20 void
    bool posted = kind != 0;
    int iflag = kind == 1 ? 1 : -1;
    bool audited = posted || rng.Below(2) == 0;
    int lines = 2 + rng.Below(3);
    int64_t total = 0;
    for (int l = 1; l <= lines; ++l) {
      bool last = l == lines;
      const Account& a = kAccounts[last ? rng.Below(3) : 3 + rng.Below(n_accounts - 3)];
      int64_t cents = last ? total : 100 + rng.Below(500000);
      if (!last) total += cents;
      bool debit_side = last;  // the cash line balances the others on the debit side
      std::string amount = std::to_string(cents / 100) + "." + std::to_string(cents % 100 / 10) +
                           std::to_string(cents % 10);
      sqlite3_bind_int(line, 1, month);
      sqlite3_bind_int(line, 2, no);
      sqlite3_bind_int(line, 3, l);
      Text(line, 4, Date(month, day));
      Text(line, 5, audited ? "Auditor" : "");
      sqlite3_bind_int(line, 6, posted ? 1 : 0);
      if (iflag < 0) sqlite3_bind_null(line, 7);
      else sqlite3_bind_int(line, 7, iflag);
      Text(line, 8, a.code);
      Text(line, 9, a.currency);
      Text(line, 10, debit_side ? amount : "0");
      Text(line, 11, debit_side ? "0" : amount);
      Text(line, 12, *a.currency && debit_side ? std::to_string(cents / 700) : "0");
      Text(line, 13, "0");
      Text(line, 14, a.dept ? "0" + std::to_string(1 + rng.Below(4)) : "");
      Text(line, 15, a.person ? "P0" + std::to_string(1 + rng.Below(3)) : "");
      Text(line, 16, a.cus ? "C00" + std::to_string(1 + rng.Below(3)) : "");
      Text(line, 17, a.sup ? "V00" + std::to_string(1 + rng.Below(3)) : "");
      Text(line, 18, a.item ? "0" + std::to_string(1 + rng.Below(2)) : "");
      Text(line, 19, a.item ? "000" + std::to_string(1 + rng.Below(2)) : "");
      acc.Step(line);
      ++sum.voucher_lines;
      if (a.cash) {
        sqlite3_bind_int(cash, 1, month);
        sqlite3_bind_int(cash, 2, no);
        sqlite3_bind_int(cash, 3, l);
        Text(cash, 4, "0" + std::to_string(1 + rng.Below(4)));
        Text(cash, 5, debit_side ? amount : "0");
        Text(cash, 6, debit_side ? "0" : amount);
        Text(cash, 7, a.code);
        acc.Step(cash);
        ++sum.cash_lines;
      }
    }
  }
  acc.Commit();

  {
    Db olap((fs::path(dir) / "olap.db").string());
    olap.Commit();
  }
  db::sqlite::InitServer(dir, options.sa_password);
  db::sqlite::InstallProcedures(dir, options.sa_password, "olap");
  return sum;
}

}  // namespace demo
