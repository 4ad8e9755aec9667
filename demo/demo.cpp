// The demo account set: a year of vouchers for account set 001 in 2006, with a chart
// of accounts, dimensions, cash-flow items and lines, balances per period and two
// currencies, written with plain SQLite in one transaction per database. The data
// follows from the seed alone (splitmix64, no library distributions), so the same
// seed gives the same rows on every machine.
//
// The books are consistent the way an accountant expects: every voucher balances,
// the opening balance sheet balances, cash-flow lines add up to the cash voucher line
// they analyse, and the period balances (gl_accsum, gl_accass) carry the posted,
// non-void movements forward from the openings.
#include "demo/demo.h"

#include <sqlite3.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
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
  // The modulo bias is irrelevant for demo data and keeps the stream portable.
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
  int64_t Between(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(Next() % static_cast<uint64_t>(hi - lo + 1)); }

 private:
  uint64_t s_;
};

// One database file written inside one transaction. Statements prepared here are
// finalized before the connection closes, also when an error leaves early.
class Db {
 public:
  explicit Db(const std::string& path) {
    if (sqlite3_open(path.c_str(), &h_) != SQLITE_OK) {
      sqlite3_close(h_);
      throw std::runtime_error("demo: cannot create " + path);
    }
    // The load needs no crash safety: a failed demo is simply made again.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=OFF");
    Exec("BEGIN");
  }
  ~Db() {
    for (auto* st : stmts_) sqlite3_finalize(st);
    sqlite3_close(h_);
  }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void Exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(h_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string m = err ? err : sqlite3_errmsg(h_);
      sqlite3_free(err);
      throw std::runtime_error("demo: " + m);
    }
  }
  // A prepared statement, reused for every row.
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
  void Commit() { Exec("COMMIT"); }

 private:
  sqlite3* h_ = nullptr;
  std::vector<sqlite3_stmt*> stmts_;
};

// Binds text; the empty string stands for NULL.
void Text(sqlite3_stmt* st, int i, const std::string& v) {
  if (v.empty()) sqlite3_bind_null(st, i);
  else sqlite3_bind_text(st, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

// Cents as an exact decimal text with two places ("-12.05"); stored with numeric
// affinity, so the column holds a number.
std::string Money(int64_t cents) {
  const bool neg = cents < 0;
  const uint64_t a = neg ? 0 - static_cast<uint64_t>(cents) : static_cast<uint64_t>(cents);
  char b[40];
  std::snprintf(b, sizeof b, "%s%llu.%02llu", neg ? "-" : "", static_cast<unsigned long long>(a / 100),
                static_cast<unsigned long long>(a % 100));
  return b;
}
void Amount(sqlite3_stmt* st, int i, int64_t cents) {
  if (cents % 100 == 0) sqlite3_bind_int64(st, i, cents / 100);
  else Text(st, i, Money(cents));
}

std::string Date(int month, int day) {
  char b[64];
  std::snprintf(b, sizeof b, "2006-%02d-%02d 00:00:00", month, day);
  return b;
}

const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

struct Account {
  const char* code;
  const char* name;
  bool debit;            // bproperty: normal balance on the debit side
  const char* currency;  // "" for the home currency
  bool dept, cus, sup, person;
  const char* item_class;  // "" without the item dimension
  int user_define;         // the one bcDefineN set, 0 for none
  bool cash;               // analysed by cash-flow lines
  bool balance_sheet;      // carries an opening balance
};

// Last-level accounts. bcDefine4 and bcDefine6 alone do not break an account down;
// bcDefine5 does, with no standard dimension.
const Account kAccounts[] = {
    {"100101", "库存现金", true, "", false, false, false, false, "", 0, true, true},
    {"100102", "Petty cash", true, "", true, false, false, true, "", 0, true, true},
    {"100201", "Bank - RMB", true, "", false, false, false, false, "01", 0, true, true},
    {"100202", "Bank - USD", true, "USD", false, false, false, false, "", 0, true, true},
    {"1122", "应收账款", true, "", false, true, false, false, "", 0, false, true},
    {"1403", "Raw materials", true, "", false, false, false, false, "02", 0, false, true},
    {"2202", "应付账款", false, "", false, false, true, false, "", 0, false, true},
    {"2211", "Payroll payable", false, "", true, false, false, true, "", 0, false, true},
    {"2221", "Taxes payable", false, "", false, false, false, false, "", 4, false, true},
    {"4001", "Paid-in capital", false, "", false, false, false, false, "", 6, false, true},
    {"6001", "主营业务收入", false, "", true, false, false, false, "01", 0, false, false},
    {"6602", "Administrative expenses", true, "", true, false, false, false, "", 0, false, false},
    {"6603", "Finance expenses", true, "", false, false, false, false, "", 5, false, false},
};
constexpr int kAccountCount = static_cast<int>(sizeof kAccounts / sizeof kAccounts[0]);
constexpr int kCashAccounts = 4;  // the first four
constexpr int kCapital = 9;       // balances the opening balance sheet
constexpr int kUsdRate = 7;       // home units per US dollar

bool HasDims(const Account& a) { return a.dept || a.cus || a.sup || a.person || *a.item_class; }
bool BrokenDown(const Account& a) {
  return HasDims(a) || (a.user_define && a.user_define != 4 && a.user_define != 6);
}

// Parents of the last-level accounts above.
const char* const kParents[][2] = {{"1001", "库存现金"}, {"1002", "Bank deposits"}};

// Dimension values of a voucher line; empty is NULL.
struct Dims {
  std::string dept, person, cus, sup, cls, item;
  auto Key() const { return std::tie(dept, person, cus, sup, cls, item); }
  bool operator<(const Dims& o) const { return Key() < o.Key(); }
};

Dims PickDims(const Account& a, Rng& rng) {
  Dims d;
  if (a.dept) d.dept = "0" + std::to_string(1 + rng.Below(4));
  if (a.person) d.person = "P0" + std::to_string(1 + rng.Below(3));
  if (a.cus) d.cus = "C00" + std::to_string(1 + rng.Below(3));
  if (a.sup) d.sup = "V00" + std::to_string(1 + rng.Below(3));
  if (*a.item_class) {
    d.cls = a.item_class;
    d.item = "000" + std::to_string(1 + rng.Below(2));
  }
  return d;
}

// Posted movements per period (index 1..12), in cents, home and foreign.
struct Movements {
  std::array<int64_t, 13> d{}, c{}, df{}, cf{};
};

// A balance signed towards the account's own side, and its foreign twin.
struct Opening {
  int64_t home = 0, foreign = 0;
};

struct Ledger {
  std::vector<Opening> opening = std::vector<Opening>(kAccountCount);
  std::vector<Movements> moves = std::vector<Movements>(kAccountCount);
  // Broken-down accounts by dimension combination.
  std::map<std::pair<int, Dims>, Opening> dim_opening;
  std::map<std::pair<int, Dims>, Movements> dim_moves;
};

int64_t UsdOf(int64_t cents) { return (cents + kUsdRate / 2) / kUsdRate; }

// Opening balances: every balance-sheet account on its own side, broken-down
// accounts as the sum of two dimension combinations, and the capital account as the
// difference, so debit and credit openings agree.
void MakeOpenings(Ledger& led, Rng& rng) {
  int64_t debit = 0, credit = 0;
  for (int i = 0; i < kAccountCount; ++i) {
    const Account& a = kAccounts[i];
    if (!a.balance_sheet || i == kCapital) continue;
    auto draw = [&] { return a.debit ? rng.Between(5'000'000, 20'000'000) : rng.Between(1'000'000, 5'000'000); };
    Opening& o = led.opening[i];
    if (BrokenDown(a)) {
      std::map<Dims, int64_t> parts;
      while (parts.size() < 2) {
        Dims d = PickDims(a, rng);
        if (!parts.count(d)) parts[d] = draw() / 2;
        if (!HasDims(a)) break;  // user-defined breakdown only: one combination
      }
      for (const auto& [d, cents] : parts) {
        led.dim_opening[{i, d}] = {cents, *a.currency ? UsdOf(cents) : 0};
        o.home += cents;
      }
    } else {
      o.home = draw();
    }
    if (*a.currency) o.foreign = UsdOf(o.home);
    (a.debit ? debit : credit) += o.home;
  }
  if (debit <= credit) throw std::runtime_error("demo: opening balance sheet does not balance");
  led.opening[kCapital].home = debit - credit;
}

const char* SideWord(bool debit) { return debit ? "借" : "贷"; }

// A period balance as stored: the side word and the amount on that side.
std::pair<const char*, int64_t> Stored(const Account& a, int64_t own_side) {
  if (own_side == 0) return {"平", 0};
  if (own_side > 0) return {SideWord(a.debit), own_side};
  return {SideWord(!a.debit), -own_side};
}

int64_t Net(const Account& a, int64_t d, int64_t c) { return a.debit ? d - c : c - d; }

// gl_accsum (twelve periods per account) and, for broken-down accounts, gl_accass
// (twelve periods per combination) and GL_AccMultiAss (the openings of period 1).
void WriteBalances(Db& acc, const Ledger& led) {
  sqlite3_stmt* sum = acc.Prepare(
      "INSERT INTO gl_accsum (ccode, cexch_name, iperiod, cbegind_c, mb, md, mc, cendd_c, me, mb_f, md_f, mc_f, me_f)"
      " VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)");
  sqlite3_stmt* ass = acc.Prepare(
      "INSERT INTO gl_accass (ccode, cexch_name, iperiod, cbegind_c, mb, md, mc, cendd_c, me, mb_f, md_f, mc_f, me_f,"
      " cDept_id, cPerson_id, cCus_id, cSup_id, cItem_class, cItem_id)"
      " VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18,?19)");
  sqlite3_stmt* multi = acc.Prepare(
      "INSERT INTO GL_AccMultiAss (ccode, cexch_name, iperiod, cDept_id, cPerson_id, cCus_id, cSup_id, cItem_Class,"
      " cItem_id, mb, mb_f, addmd, addmd_f, addmc, addmc_f) VALUES (?1,?2,1,?3,?4,?5,?6,?7,?8,?9,?10,0,0,0,0)");

  auto periods = [&](sqlite3_stmt* st, int i, Opening o, const Movements& m, const Dims* dims) {
    const Account& a = kAccounts[i];
    for (int p = 1; p <= 12; ++p) {
      const Opening e{o.home + Net(a, m.d[p], m.c[p]), o.foreign + Net(a, m.df[p], m.cf[p])};
      const auto [bside, b] = Stored(a, o.home);
      const auto [eside, e_home] = Stored(a, e.home);
      Text(st, 1, a.code);
      Text(st, 2, a.currency);
      sqlite3_bind_int(st, 3, p);
      Text(st, 4, bside);
      Amount(st, 5, b);
      Amount(st, 6, m.d[p]);
      Amount(st, 7, m.c[p]);
      Text(st, 8, eside);
      Amount(st, 9, e_home);
      // The foreign twin is stored against the same side word as the home amount.
      Amount(st, 10, o.home < 0 ? -o.foreign : o.foreign);
      Amount(st, 11, m.df[p]);
      Amount(st, 12, m.cf[p]);
      Amount(st, 13, e.home < 0 ? -e.foreign : e.foreign);
      if (dims) {
        Text(st, 14, dims->dept);
        Text(st, 15, dims->person);
        Text(st, 16, dims->cus);
        Text(st, 17, dims->sup);
        Text(st, 18, dims->cls);
        Text(st, 19, dims->item);
      }
      acc.Step(st);
      o = e;
    }
  };

  for (int i = 0; i < kAccountCount; ++i) periods(sum, i, led.opening[i], led.moves[i], nullptr);

  std::map<std::pair<int, Dims>, bool> combos;
  for (const auto& [k, v] : led.dim_opening) combos[k] = true;
  for (const auto& [k, v] : led.dim_moves) combos[k] = true;
  static const Movements kNone;
  for (const auto& [k, unused] : combos) {
    auto o = led.dim_opening.find(k);
    auto m = led.dim_moves.find(k);
    periods(ass, k.first, o == led.dim_opening.end() ? Opening{} : o->second,
            m == led.dim_moves.end() ? kNone : m->second, &k.second);
  }
  for (const auto& [k, o] : led.dim_opening) {
    const Dims& d = k.second;
    Text(multi, 1, kAccounts[k.first].code);
    Text(multi, 2, kAccounts[k.first].currency);
    Text(multi, 3, d.dept);
    Text(multi, 4, d.person);
    Text(multi, 5, d.cus);
    Text(multi, 6, d.sup);
    Text(multi, 7, d.cls);
    Text(multi, 8, d.item);
    Amount(multi, 9, o.home);
    Amount(multi, 10, o.foreign);
    acc.Step(multi);
  }
}

void WriteChart(Db& acc) {
  for (const auto& p : kParents)
    acc.Exec(std::string("INSERT INTO code (ccode, ccode_name, igrade, bproperty, bend) VALUES ('") + p[0] + "','" + p[1] +
             "',1,1,0)");
  sqlite3_stmt* st = acc.Prepare(
      "INSERT INTO code (ccode, ccode_name, igrade, bproperty, cbook_type, cexch_name, bend, bperson, bcus, bsup, bdept,"
      " bitem, bcDefine1, bcDefine2, bcDefine3, bcDefine4, bcDefine5, bcDefine6, bcDefine7, bcDefine8, bcDefine9,"
      " bcDefine10, bcDefine11, bcDefine12, bcDefine13, bcDefine14, bcDefine15, bcDefine16)"
      " VALUES (?1,?2,?3,?4,?5,?6,1,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18,?19,?20,?21,?22,?23,?24,?25,?26,?27)");
  for (const auto& a : kAccounts) {
    const std::string code = a.code;
    Text(st, 1, code);
    Text(st, 2, a.name);
    sqlite3_bind_int(st, 3, code.size() > 4 ? 2 : 1);
    sqlite3_bind_int(st, 4, a.debit ? 1 : 0);
    Text(st, 5, *a.currency ? "外币金额式" : "金额式");
    Text(st, 6, a.currency);
    sqlite3_bind_int(st, 7, a.person);
    sqlite3_bind_int(st, 8, a.cus);
    sqlite3_bind_int(st, 9, a.sup);
    sqlite3_bind_int(st, 10, a.dept);
    sqlite3_bind_int(st, 11, *a.item_class != 0);
    for (int n = 1; n <= 16; ++n) sqlite3_bind_int(st, 11 + n, a.user_define == n);
    acc.Step(st);
  }
}

void WriteMasters(Db& acc) {
  for (const char* cls : {"01", "02"}) {
    char b[128];
    std::snprintf(b, sizeof b, kItemTableSql, cls);
    acc.Exec(b);
  }
  acc.Exec("INSERT INTO accinformation VALUES ('GL','dGLStartDate','2006-01-01')");
  acc.Exec("INSERT INTO foreigncurrency VALUES ('人民币','RMB',-1), ('USD','USD',0)");
  acc.Exec("INSERT INTO department VALUES ('01','Sales'),('02','Finance'),('03','O''Neil Workshop'),('04','研发部')");
  acc.Exec("INSERT INTO person VALUES ('P01','Ann Lee'),('P02','王伟'),('P03','Sam O''Brien')");
  acc.Exec("INSERT INTO customer VALUES ('C001','Northwind Ltd'),('C002','上海贸易'),('C003','Harbor''s Edge')");
  acc.Exec("INSERT INTO vendor VALUES ('V001','Acme Supply'),('V002','深圳电子'),('V003','Pine & Co')");
  // Item code 0001 exists in both classes with different names.
  acc.Exec("INSERT INTO fitemss01 VALUES ('0001','Project Alpha'),('0002','项目乙')");
  acc.Exec("INSERT INTO fitemss02 VALUES ('0001','Product line A'),('0002','Product line B')");
  acc.Exec("INSERT INTO fitemss98 (citemcode, citemname, cdirection) VALUES "
           "('01','Sales receipts','流入'),('02','Other receipts','流入'),('03','Purchases paid','流出'),"
           "('04','Wages paid','流出')");
}

// Voucher types: sign, its sequence number, and whether a cash account is debited
// (receipt), credited (payment) or absent (transfer).
struct VoucherType {
  const char* sign;
  int seq;
  int cash;  // +1 receipt, -1 payment, 0 transfer
  const char* digest;
};
const VoucherType kTypes[] = {
    {"收", 2, +1, "Receipt"},
    {"付", 3, -1, "Payment"},
    {"记", 1, 0, "Director's transfer"},
};

}  // namespace

DemoSummary CreateDemo(const std::string& dir, const DemoOptions& options) {
  fs::create_directories(dir);
  for (const char* f : {"vxdata_001_2006.db", "vxsystem.db", "olap.db", "tempdb.db"})
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
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
  WriteMasters(acc);
  WriteChart(acc);
  sum.accounts = kAccountCount;

  Ledger led;
  MakeOpenings(led, rng);

  sqlite3_stmt* line = acc.Prepare(
      "INSERT INTO gl_accvouch (iperiod, csign, isignseq, ino_id, inid, dbill_date, idoc, cbill, ccheck, cbook, ibook,"
      " iflag, cdigest, ccode, cexch_name, md, mc, md_f, mc_f, nfrat, cdept_id, cperson_id, ccus_id, csup_id,"
      " citem_class, citem_id)"
      " VALUES (?1,?2,?3,?4,?5,?6,0,'Li Na',?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18,?19,?20,?21,?22,?23,?24)");
  sqlite3_stmt* cash = acc.Prepare(
      "INSERT INTO gl_cashtable (iperiod, isignseq, ino_id, inid, ccashitem, md, mc, md_f, mc_f, ccode)"
      " VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)");

  std::map<std::pair<int, int>, int> voucher_no;  // (period, type) -> last number
  const int64_t headers = options.vouchers > 0 ? options.vouchers : 0;
  for (int64_t v = 0; v < headers; ++v) {
    const int month = 1 + static_cast<int>(v * 12 / headers);
    const int day = 1 + rng.Below(kMonthDays[month - 1]);
    const VoucherType& type = kTypes[rng.Below(10) < 4 ? 0 : rng.Below(6) < 4 ? 1 : 2];
    const int no = ++voucher_no[{month, type.seq}];
    // About one voucher in 25 is not yet posted (half of those audited), one in 40 void.
    const int state = rng.Below(200);
    const bool posted = state >= 13;
    const bool void_ = state < 5;
    const bool audited = posted || void_ || rng.Below(2) == 0;
    const int lines = 4 + rng.Below(2);
    // The first line takes the other lines' total on its side; receipts and payments
    // put a cash account there.
    const bool anchor_debit = type.cash > 0 || (type.cash == 0 && rng.Below(2) == 0);
    int64_t total = 0;
    std::vector<std::pair<int, int64_t>> plan(lines);  // account, cents
    for (int l = 1; l < lines; ++l) {
      plan[l] = {kCashAccounts + rng.Below(kAccountCount - kCashAccounts), rng.Between(100, 500'000)};
      total += plan[l].second;
    }
    plan[0] = {type.cash ? rng.Below(kCashAccounts) : kCashAccounts + rng.Below(kAccountCount - kCashAccounts), total};

    for (int l = 0; l < lines; ++l) {
      const auto [ai, cents] = plan[l];
      const Account& a = kAccounts[ai];
      const bool debit = (l == 0) == anchor_debit;
      const int64_t fcents = *a.currency ? UsdOf(cents) : 0;
      const Dims d = PickDims(a, rng);
      sqlite3_bind_int(line, 1, month);
      Text(line, 2, type.sign);
      sqlite3_bind_int(line, 3, type.seq);
      sqlite3_bind_int(line, 4, no);
      sqlite3_bind_int(line, 5, l + 1);
      Text(line, 6, Date(month, day));
      Text(line, 7, audited ? "Wang Fang" : "");
      Text(line, 8, posted ? "Chen Jie" : "");
      sqlite3_bind_int(line, 9, posted ? 1 : 0);
      if (void_) sqlite3_bind_int(line, 10, 1);
      Text(line, 11, type.digest);
      Text(line, 12, a.code);
      Text(line, 13, a.currency);
      Amount(line, 14, debit ? cents : 0);
      Amount(line, 15, debit ? 0 : cents);
      Amount(line, 16, debit ? fcents : 0);
      Amount(line, 17, debit ? 0 : fcents);
      sqlite3_bind_int(line, 18, *a.currency ? kUsdRate : 1);
      Text(line, 19, d.dept);
      Text(line, 20, d.person);
      Text(line, 21, d.cus);
      Text(line, 22, d.sup);
      Text(line, 23, d.cls);
      Text(line, 24, d.item);
      acc.Step(line);
      ++sum.voucher_lines;

      if (posted && !void_) {
        auto book = [&](Movements& m) {
          (debit ? m.d : m.c)[month] += cents;
          (debit ? m.df : m.cf)[month] += fcents;
        };
        book(led.moves[ai]);
        if (BrokenDown(a)) book(led.dim_moves[{ai, d}]);
      }

      if (a.cash) {
        // Receipts mostly use inflow items, payments outflow items; now and then the
        // other kind (a refund), and one line in eight is split over two items.
        const bool inflow = (type.cash > 0) != (rng.Below(10) == 0);
        auto item = [&] { return "0" + std::to_string((inflow ? 1 : 3) + rng.Below(2)); };
        int64_t first = cents;
        if (cents >= 2 && rng.Below(8) == 0) first = rng.Between(1, cents - 1);
        const int64_t ffirst = first == cents ? fcents : *a.currency ? UsdOf(first) : 0;
        for (auto [part, fpart] : {std::pair{first, ffirst}, std::pair{cents - first, fcents - ffirst}}) {
          if (part == 0) continue;
          sqlite3_bind_int(cash, 1, month);
          sqlite3_bind_int(cash, 2, type.seq);
          sqlite3_bind_int(cash, 3, no);
          sqlite3_bind_int(cash, 4, l + 1);
          Text(cash, 5, item());
          Amount(cash, 6, debit ? part : 0);
          Amount(cash, 7, debit ? 0 : part);
          Amount(cash, 8, debit ? fpart : 0);
          Amount(cash, 9, debit ? 0 : fpart);
          Text(cash, 10, a.code);
          acc.Step(cash);
          ++sum.cash_lines;
        }
      }
    }
  }
  WriteBalances(acc, led);
  // The keys the accounting product's own tables are indexed on.
  acc.Exec("CREATE INDEX gl_accvouch_line ON gl_accvouch (iperiod, isignseq, ino_id, inid)");
  acc.Exec("CREATE INDEX code_ccode ON code (ccode)");
  acc.Exec("CREATE INDEX gl_accsum_code ON gl_accsum (ccode, iperiod)");
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
