// Hostile and malformed input through the tallyport program and through IDispatch,
// both classes, one table: dates in accepted and refused forms, reversed and far
// ranges, empty and huge texts, names that carry quotes, separators, braces and
// comment starters into statements and connection strings, NULLs in source
// columns, and names in Chinese and emoji. Every case ends either with the right
// rows or with a clear failure; never a crash or a hang, never a statement whose
// meaning changed (no table appears or goes, the account set stays as it was), and
// never the password in any output or in the trace.
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "com/error.h"
#include "com/registry.h"
#include "editions/edition.h"
#include "tests/reliability/ledger.h"

namespace reliability {
namespace {

namespace fs = std::filesystem;
using testsupport::RunTallyport;
using testsupport::TempDir;

// Every password of the table carries the marker, which must never be seen.
constexpr const char* kMarker = "Zq9";
const std::string kPassword = std::string(kMarker) + "'p;{w}}--/*";
constexpr const char* kServer = "@server";
constexpr const char* kHostileServer = "@hostile";  // a link to the server, named srv'x;{y}}--/*z
const std::string kHuge(100000, 'x');

enum Outcome { kRows, kFails, kCallFails, kAsSummary, kNotRun };

struct Expect {
  Outcome outcome = kRows;
  const char* message = "";  // a part of the error text, for failures
};

struct Case {
  const char* what;
  std::string server = kServer;
  std::string acc_db = "vxdata_001_2006";
  std::string olap_db = "olap";
  std::string password = kPassword;
  std::string begin = "2006-03-01";
  std::string end = "2006-03-31";
  std::string setup = "";      // run on the account set first
  std::string sys_setup = "";  // and on vxsystem
  Expect cash, summary;
  Expect compat = {kAsSummary};  // the compatibility edition's Summary
  // With kRows, the rows of the same ledger with canonical arguments over this
  // range, unless check_sql is given.
  const char* ref_begin = "2006-03-01";
  const char* ref_end = "2006-03-31";
  // For cases that change the data: a query on the analysis database per class
  // and the value it must give.
  const char* cash_sql = "";
  const char* cash_want = "";
  const char* summary_sql = "";
  const char* summary_want = "";
};

const char* kDateMessage = "Type mismatch";
const char* kCashLines = "select count(*) from Temp_ETL_GL_CashVouch";
const char* kMovementRows = "select count(*) from Temp_Etl_GL_Sum where Date>='2006-03-01'";

// Members left out of a case keep their defaults; GCC 12 warns about every one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const Case kCases[] = {
    {.what = "separated date with one-digit month and day", .begin = "2006/3/1", .end = "2006-3-31"},
    {.what = "compact dates with times", .begin = "20060301 00:00", .end = "20060331 23:59:59"},
    {.what = "one day", .begin = "2006-03-02", .end = "2006-03-02", .ref_begin = "2006-03-02", .ref_end = "2006-03-02"},
    {.what = "far past", .begin = "1753-01-01", .end = "2006-12-31", .ref_begin = "2006-01-01", .ref_end = "2006-12-31"},
    // The compatibility edition visits every day of its range with a query of its
    // own: a range to the year 9999 is hours of work by design, not a fault.
    {.what = "far future",
     .begin = "2006-01-01",
     .end = "9999-12-31 23:59:59",
     .compat = {kNotRun},
     .ref_begin = "2006-01-01",
     .ref_end = "2006-12-31"},
    {.what = "day before month",
     .begin = "03/01/2006",
     .cash = {kCallFails, kDateMessage},
     .summary = {kFails, kDateMessage}},
    {.what = "month 13", .end = "2006-13-01", .cash = {kCallFails, kDateMessage}, .summary = {kFails, kDateMessage}},
    {.what = "February 30th", .end = "2006-02-30", .cash = {kCallFails, kDateMessage}, .summary = {kFails, kDateMessage}},
    {.what = "empty date", .begin = "", .cash = {kCallFails, kDateMessage}, .summary = {kFails, kDateMessage}},
    {.what = "a statement after the date",
     .end = "2006-03-31'; drop table code--",
     .cash = {kCallFails, kDateMessage},
     .summary = {kFails, kDateMessage}},
    {.what = "huge date", .begin = kHuge, .cash = {kCallFails, kDateMessage}, .summary = {kFails, kDateMessage}},
    {.what = "end one day before begin",
     .begin = "2006-03-02",
     .end = "2006-03-01",
     .cash = {kFails, "{{Q6.GL.TALLYPORT.MSG_DATE}}"},
     .summary = {kFails, "起始日期不能小于结束日期！"}},
    {.what = "end years before begin",
     .begin = "2006-03-02",
     .end = "1999-03-02",
     .cash = {kFails, "{{Q6.GL.TALLYPORT.MSG_DATE}}"},
     .summary = {kFails, "起始日期不能小于结束日期！"}},
    {.what = "server named with quote, separator, braces and comments",
     .server = kHostileServer,
     .compat = {kFails, "String or binary data would be truncated. (parameter @sAccServer, size 20)"}},
    {.what = "empty server", .server = "", .cash = {kFails, ""}, .summary = {kFails, ""}},
    {.what = "huge server", .server = kHuge, .cash = {kFails, ""}, .summary = {kFails, ""}},
    {.what = "account set name in capitals", .acc_db = "VXDATA_001_2006"},
    {.what = "account set name with quote, separator, braces and comment around the pattern",
     .acc_db = "o'x;{y}}--vxdata_001_2006",
     .cash = {kFails, ""}},
    {.what = "account set name with a slash",
     .acc_db = "vxdata_001_2006/*x",
     .cash = {kFails, "Cannot open database"},
     .summary = {kFails, "Cannot open database"}},
    {.what = "account set name without the pattern",
     .acc_db = "acct2006",
     .cash = {kFails, ""},
     .summary = {kFails, ""}},
    {.what = "empty account set name",
     .acc_db = "",
     .cash = {kFails, "Cannot open database"},
     .summary = {kFails, "Cannot open database"}},
    {.what = "huge account set name",
     .acc_db = kHuge,
     .cash = {kFails, "Cannot open database"},
     .summary = {kFails, "Cannot open database"}},
    {.what = "analysis database name with quote, separator, braces and comments", .olap_db = "olap'x;{y}}--z"},
    {.what = "wrong password",
     .password = std::string(kMarker) + "'wrong;{",
     .cash = {kFails, "Login failed for user 'sa'."},
     .summary = {kFails, "Login failed for user 'sa'."}},
    {.what = "empty password",
     .password = "",
     .cash = {kFails, "Login failed for user 'sa'."},
     .summary = {kFails, "Login failed for user 'sa'."}},
    {.what = "huge password",
     .password = kMarker + kHuge,
     .cash = {kFails, "Login failed for user 'sa'."},
     .summary = {kFails, "Login failed for user 'sa'."}},
    {.what = "names and codes with quote, separator, braces and comments",
     .setup = "UPDATE department SET cdepcode='D''1;{x}--/*', cdepname='O''Neil; {x}} -- /* y */';"
              "UPDATE gl_accvouch SET cdept_id='D''1;{x}--/*' WHERE cdept_id='01'",
     .cash_sql = "select group_concat(DepartmentName) from Temp_ETL_GL_CashVouch where DepartmentName<>''",
     .cash_want = "O'Neil; {x}} -- /* y */"},
    // The class completes the item table's name: one that would end the name
    // names no table, never the first item of another.
    {.what = "item class with a comment",
     .setup = "UPDATE gl_accvouch SET citem_class='97 --' WHERE citem_class='97'",
     .cash = {kFails, "Invalid object name 'fitemss97 --'."}},
    {.what = "names in Chinese and emoji",
     .setup = "UPDATE department SET cdepcode='部门😀', cdepname='销售部 🚀';"
              "UPDATE gl_accvouch SET cdept_id='部门😀' WHERE cdept_id='01'",
     .cash_sql = "select group_concat(ifnull(DepartmentName, '-') || '/' || ifnull(CustomerName, '-') || '/' ||"
                 " ifnull(SupplierName, '-'), '|') from (select * from Temp_ETL_GL_CashVouch order by Date)",
     .cash_want = "销售部 🚀/客户一/-|-/-/Vendor 😀"},
    {.what = "NULL cash amounts and voucher sign",
     .setup = "UPDATE gl_cashtable SET md=NULL, mc=NULL; UPDATE gl_accvouch SET csign=NULL",
     .cash_sql = "select count(*) || ',' || count(VouchId) || ',' || count(NatInMoney) from Temp_ETL_GL_CashVouch",
     .cash_want = "2,0,1"},
    {.what = "NULL voucher dates",
     .setup = "UPDATE gl_accvouch SET dbill_date=NULL WHERE ino_id=13 OR ccode='2202'",
     .cash_sql = kCashLines,
     .cash_want = "1",
     .summary_sql = kMovementRows,
     .summary_want = "3"},
    {.what = "NULL movement amounts",
     .setup = "UPDATE gl_accvouch SET md=NULL, mc=NULL WHERE ccode='2202'",
     .summary = {kFails, "Invalid use of Null"},
     .cash_sql = kCashLines,
     .cash_want = "2"},
    {.what = "NULL account side",
     .setup = "UPDATE code SET bproperty=NULL",
     .cash = {kFails, "Invalid use of Null"},
     .summary = {kFails, "Invalid use of Null"}},
    {.what = "NULL currency codes",
     .setup = "UPDATE foreigncurrency SET cexch_code=NULL",
     .summary = {kFails, "Invalid use of Null"},
     .cash_sql = kCashLines,
     .cash_want = "2"},
    // Not a number any period can have: refused, never wrapped into a label.
    {.what = "a period number no Long holds",
     .sys_setup = "UPDATE ua_period SET iid=1e300 WHERE iid=3",
     .cash = {kFails, "Overflow"},
     .summary = {kFails, "Overflow"}},
    // Inside the staging statement's remote queries the account set is a name: one
    // that would end itself there is refused before anything is sent.
    {.what = "account set name whose comment would hide the second table",
     .acc_db = "vxdata_001_2006.dbo.gl_cashtable --",
     .cash = {kFails, "Invalid object name 'vxdata_001_2006.dbo.gl_cashtable --.dbo.gl_cashtable'."}},
    {.what = "NULL ledger start date",
     .setup = "UPDATE accinformation SET cValue=NULL",
     .summary = {kFails, ""}},
};
#pragma GCC diagnostic pop

std::string ResultText(const Expect& e) {
  return e.outcome == kRows ? "rows" : e.outcome == kFails ? "failure" : "failed call";
}

std::string Replaced(std::string s, const std::string& from, const std::string& to) {
  for (size_t i = 0; (i = s.find(from, i)) != std::string::npos; i += to.size()) s.replace(i, from.size(), to);
  return s;
}

// A database name that can be a file of the server.
bool Nameable(const std::string& db) { return !db.empty() && db.size() < 200 && db.find('/') == std::string::npos; }

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TALLYPORT_REGISTRY", (tmp_.path() + "/registry").c_str(), 1);
    FillBalanceLedger(tmpl_);
    AddCashLines(tmpl_);
    auto r = RunTallyport({"server", "init", tmpl_.dir(), "--sa-password", kPassword});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  void TearDown() override { unsetenv("TALLYPORT_REGISTRY"); }

  // A fresh copy of the ledger with the case's setup, its databases also under the
  // case's names.
  void Prepare(const Case& c) {
    CopyServer(tmpl_.dir(), s_.dir());
    if (!c.setup.empty()) s_.Exec("vxdata_001_2006", c.setup);
    if (!c.sys_setup.empty()) s_.Exec("vxsystem", c.sys_setup);
    auto alias = [&](const std::string& name, const std::string& db) {
      if (Nameable(name) && !fs::exists(s_.DbPath(name)))
        fs::copy_file(s_.DbPath(db), s_.DbPath(name));
    };
    alias(c.acc_db, "vxdata_001_2006");
    alias(c.olap_db, "olap");
  }
  // What the account set holds, table by table.
  std::map<std::string, std::string> AccountSet(const std::string& db) {
    std::map<std::string, std::string> counts;
    for (const auto& t : Tables(s_, db)) counts[t] = s_.Scalar(db, "select count(*) from \"" + t + "\"");
    return counts;
  }

  TempDir tmp_, tmpl_dir_, work_dir_;
  // The compatibility edition's procedures take the server name in 20 characters.
  ShortLink work_link_{work_dir_.path()};
  EmbeddedServer tmpl_{tmpl_dir_.path()}, s_{work_link_.path()};
  const std::string hostile_ = tmp_.path() + "/srv'x;{y}}--/*z";
};

TEST_F(BadInput, RightRowsOrAClearFailure) {
  fs::create_directory(fs::path(hostile_).parent_path());
  fs::create_directory_symlink(s_.dir(), hostile_);
  const std::string trace = tmp_.path() + "/trace";
  int tried = 0;
  for (const Case& c : kCases) {
    for (const std::string edition : {"cashvouch", "summary", "compat"}) {
      const bool cash = edition == "cashvouch", compat = edition == "compat";
      const char* cls = cash ? "cashvouch" : "summary";
      const Expect& want = cash ? c.cash : compat && c.compat.outcome != kAsSummary ? c.compat : c.summary;
      if (want.outcome == kNotRun) continue;
      const std::string target = cash ? "Temp_ETL_GL_CashVouch" : "Temp_Etl_GL_Sum";
      // The analysis database the run writes, when the case names one that exists.
      const std::string olap = Nameable(c.olap_db) ? c.olap_db : "olap";
      const std::string server = c.server == kServer ? s_.dir() : c.server == kHostileServer ? hostile_ : c.server;
      const std::vector<std::string> values = {server, c.password, c.acc_db, server,
                                               c.password, c.olap_db, c.begin, c.end};
      // A new object for every call: a Summary object serves one run.
      auto create = [&] {
        com::ComPtr<com::IDispatch> obj;
        const com::GUID clsid = cash     ? editions::kCashVouchClsid
                                : compat ? editions::CompatEdition().summary_clsid
                                         : editions::CurrentEdition().summary_clsid;
        EXPECT_EQ(com::CreateFromLibrary(compat ? COMPAT_LIB : CURRENT_LIB, clsid, com::IID_IDispatch, obj.PutVoid()),
                  com::S_OK);
        return obj;
      };
      // The rows the same ledger gives with canonical arguments.
      Rows ref;
      if (want.outcome == kRows) {
        Prepare(c);
        std::vector<std::string> canonical = ExtractValues(s_, c.ref_begin, c.ref_end);
        canonical[1] = canonical[4] = kPassword;
        const CallResult r = CallExtract(create().get(), canonical);
        ASSERT_EQ(r.result, 0) << c.what << ": " << r.message;
        ref = TableRows(s_, "olap", target);
      }
      for (bool through_program : {true, false}) {
        SCOPED_TRACE(std::string(c.what) + ", " + edition + (through_program ? ", tallyport" : ", IDispatch"));
        ++tried;
        Prepare(c);
        const auto acc_before = AccountSet("vxdata_001_2006");
        const auto olap_before = Tables(s_, olap);
        int code;
        std::string message, output;
        if (through_program) {
          fs::remove(trace);
          // The passwords come through the environment, as a careful user passes them.
          std::vector<std::string> args = {cls,       "--acc-server", server,    "--acc-db", c.acc_db,
                                           "--olap-server", server,  "--olap-db", c.olap_db, "--begin",
                                           c.begin,   "--end",        c.end,     "--quiet",  "--json",
                                           "--trace", trace};
          if (compat) args.insert(args.begin() + 1, {"--edition", "compat"});
          auto r = RunTallyport(args, {{"TALLYPORT_ACC_PASSWORD", c.password}, {"TALLYPORT_OLAP_PASSWORD", c.password}},
                                60);
          EXPECT_EQ(r.signal, 0);
          code = r.exit_code;
          const std::string prefix = std::string("tallyport ") + cls + ": ";
          message = r.err.rfind(prefix, 0) == 0 ? r.err.substr(prefix.size(), r.err.find('\n') - prefix.size()) : r.err;
          const std::string sent = testsupport::ReadFile(trace);
          output = r.out + r.err + sent;
          if (want.outcome != kRows && std::string(want.message).find("TALLYPORT.MSG_DATE") != std::string::npos) {
            EXPECT_EQ(sent, "") << "a reversed range opens no connection";
          }
          // Values reach connection strings braced when they hold a separator or a
          // brace, and SQL literals with their quotes doubled.
          if (r.exit_code == 0) {
            for (const std::string& v : {server, c.acc_db, c.olap_db}) {
              if (v.find_first_of(";{}") != std::string::npos) {
                EXPECT_NE(sent.find("=" + ("{" + Replaced(v, "}", "}}") + "}")), std::string::npos) << v;
              }
            }
            if (cash) {
              EXPECT_NE(sent.find("OPENROWSET('SQLOLEDB','" + Replaced(server, "'", "''") + "';'sa';'***'"),
                        std::string::npos);
            }
          }
        } else {
          CallResult r = CallExtract(create().get(), values);
          code = r.failed_call ? 2 : r.result;
          message = r.message;
          output = r.message;
        }
        const int want_code = want.outcome == kRows ? 0 : want.outcome == kFails ? 1 : 2;
        EXPECT_EQ(code, want_code) << "wanted " << ResultText(want) << ", message: " << message.substr(0, 300);
        if (want.outcome != kRows) {
          EXPECT_FALSE(message.empty());
          EXPECT_NE(message.find(want.message), std::string::npos) << message.substr(0, 300);
        } else if (*(cash ? c.cash_sql : c.summary_sql)) {
          EXPECT_EQ(s_.Scalar(olap, cash ? c.cash_sql : c.summary_sql), cash ? c.cash_want : c.summary_want);
        } else if (!*c.cash_sql && !*c.summary_sql) {
          EXPECT_EQ(TableRows(s_, olap, target), ref);
        }
        EXPECT_EQ(output.find(kMarker), std::string::npos) << "the password is shown";
        // No statement did anything but its own work.
        EXPECT_EQ(AccountSet("vxdata_001_2006"), acc_before);
        auto olap_after = Tables(s_, olap);
        std::erase(olap_after, target);
        // A failed run of the compatibility edition keeps its second table.
        if (compat && code != 0) std::erase(olap_after, "GLJSC_Temp");
        EXPECT_EQ(olap_after, olap_before);
        EXPECT_TRUE(Tables(s_, "tempdb").empty() || want.outcome != kRows);
      }
    }
  }
  std::printf("%d bad inputs tried\n", tried);
}

// Arguments of every kind a late-bound host may pass through IDispatch: a null
// BSTR (COM's empty string), Null and Empty, numbers and dates as dates, an
// object, values by reference, sErrorMsg by value, and a wrong argument count.
// Each ends as rows, result 1 or a failed call with a message, never a crash.
TEST_F(BadInput, ArgumentsOfEveryKindThroughIDispatch) {
  // A new object for every call: a Summary object serves one run.
  auto create = [](bool is_cash) {
    com::ComPtr<com::IDispatch> obj;
    EXPECT_EQ(com::CreateFromLibrary(CURRENT_LIB, is_cash ? editions::kCashVouchClsid
                                                          : editions::CurrentEdition().summary_clsid,
                                     com::IID_IDispatch, obj.PutVoid()),
              com::S_OK);
    return obj;
  };
  const com::ComPtr<com::IDispatch> other = create(true);  // an object passed as an argument
  const std::string server = s_.dir();
  com::BSTR server_bstr = com::BstrFromUtf8(server);
  com::BSTR null_bstr = nullptr;
  struct ArgCase {
    const char* what;
    int slot;  // the argument replaced, 0..8
    std::function<com::VARIANT()> value;
    int want_cash, want_summary;  // 0 rows, 1 result 1, 2 a failed call
    unsigned count = 9;
  };
  auto v = [](com::VARTYPE vt, auto set) {
    return [=] {
      com::VARIANT x;
      com::VariantInit(&x);
      x.vt = vt;
      set(x);
      return x;
    };
  };
  const ArgCase cases[] = {
      {"a null BSTR as the server", 0, v(com::VT_BSTR, [](com::VARIANT& x) { x.bstrVal = nullptr; }), 1, 1},
      {"Null as the password", 1, v(com::VT_NULL, [](com::VARIANT&) {}), 1, 1},
      {"Empty as the database", 2, v(com::VT_EMPTY, [](com::VARIANT&) {}), 1, 1},
      {"an object as the server", 0, v(com::VT_DISPATCH, [&](com::VARIANT& x) { x.pdispVal = other.get(); }), 1, 1},
      {"the server by reference", 0, v(com::VT_BYREF | com::VT_BSTR, [&](com::VARIANT& x) { x.pbstrVal = &server_bstr; }), 0, 0},
      {"a null BSTR by reference", 3, v(com::VT_BYREF | com::VT_BSTR, [&](com::VARIANT& x) { x.pbstrVal = &null_bstr; }), 1, 1},
      {"a date as a date", 6, v(com::VT_DATE, [](com::VARIANT& x) { x.date = 38777.0; }), 0, 0},
      // Summary passes the date on as its text, which no server reads as a date.
      {"a date as a number", 7, v(com::VT_R8, [](com::VARIANT& x) { x.dblVal = 38807.0; }), 0, 1},
      {"a date beyond the year 9999", 7, v(com::VT_R8, [](com::VARIANT& x) { x.dblVal = 1e300; }), 2, 1},
      {"a date that is no number", 7, v(com::VT_R8, [](com::VARIANT& x) { x.dblVal = std::nan(""); }), 2, 1},
      {"Null as a date", 6, v(com::VT_NULL, [](com::VARIANT&) {}), 2, 1},
      {"Empty as a date", 6, v(com::VT_EMPTY, [](com::VARIANT&) {}), 0, 0},
      {"an object as a date", 6, v(com::VT_DISPATCH, [&](com::VARIANT& x) { x.pdispVal = other.get(); }), 2, 1},
      {"sErrorMsg by value", 8, v(com::VT_BSTR, [](com::VARIANT& x) { x.bstrVal = nullptr; }), 0, 0},
      {"sErrorMsg by a null reference", 8, v(com::VT_BYREF | com::VT_VARIANT, [&](com::VARIANT& x) { x.pvarVal = nullptr; }), 2, 2},
      {"eight arguments", 0, v(com::VT_BSTR, [&](com::VARIANT& x) { x.bstrVal = server_bstr; }), 2, 2, 8},
      {"ten arguments", 0, v(com::VT_BSTR, [&](com::VARIANT& x) { x.bstrVal = server_bstr; }), 2, 2, 10},
  };
  // The rows of each class with every argument as text.
  std::map<bool, Rows> ref;
  for (bool is_cash : {true, false}) {
    CopyServer(tmpl_.dir(), s_.dir());
    com::ComPtr<com::IDispatch> obj = create(is_cash);
    std::vector<std::string> values = ExtractValues(s_, "2006-03-01", "2006-03-31");
    values[1] = values[4] = kPassword;
    ASSERT_EQ(CallExtract(obj.get(), values).result, 0);
    ref[is_cash] = TableRows(s_, "olap", is_cash ? "Temp_ETL_GL_CashVouch" : "Temp_Etl_GL_Sum");
    ASSERT_FALSE(ref[is_cash].empty());
  }
  for (const auto& c : cases) {
    for (bool is_cash : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (is_cash ? ", CashVouch" : ", Summary"));
      CopyServer(tmpl_.dir(), s_.dir());
      std::vector<com::Variant> keep = {com::Variant::Text(server), com::Variant::Text(kPassword),
                                        com::Variant::Text("vxdata_001_2006"), com::Variant::Text(server),
                                        com::Variant::Text(kPassword), com::Variant::Text("olap"),
                                        com::Variant::Text("2006-03-01"), com::Variant::Text("2006-03-31")};
      com::Variant msg = com::Variant::Text("");
      com::VARIANT args[10];
      for (size_t i = 0; i < 8; ++i) args[i] = keep[i].raw();
      args[8].vt = com::VT_BYREF | com::VT_VARIANT;
      args[8].pvarVal = msg.raw_mut();
      args[9] = keep[0].raw();
      args[c.slot] = c.value();
      com::VARIANT result;
      com::VariantInit(&result);
      com::EXCEPINFO ei{};
      com::DISPID id = 0;
      com::ComPtr<com::IDispatch> obj = create(is_cash);
      ASSERT_EQ(com::GetDispId(obj.get(), "ExtractData", &id), com::S_OK);
      com::HRESULT hr = com::InvokeMethod(obj.get(), id, args, c.count, &result, &ei);
      int code = com::Failed(hr) ? 2 : com::Variant::FromRaw(result).ToI2();
      std::string text = com::Failed(hr) ? (ei.bstrDescription ? com::Utf8FromBstr(ei.bstrDescription) : "") : msg.IsNull() ? "" : msg.ToText();
      const int want = is_cash ? c.want_cash : c.want_summary;
      EXPECT_EQ(code, want) << text;
      if (want == 0) {
        EXPECT_EQ(TableRows(s_, "olap", is_cash ? "Temp_ETL_GL_CashVouch" : "Temp_Etl_GL_Sum"), ref[is_cash]);
      } else if (want == 1 || hr == com::DISP_E_EXCEPTION) {
        EXPECT_FALSE(text.empty());
      }
      com::VariantClear(&result);
      com::ClearExcepInfo(&ei);
    }
  }
  com::SysFreeString(server_bstr);
}

// A password glued to its option with '=' is a usage error that names the option
// and never shows the value.
TEST(BadInputUsage, UsageErrorsNeverShowAPassword) {
  TempDir d;
  const std::string pw = std::string("--acc-password=") + kMarker + "secret";
  const std::vector<std::vector<std::string>> cases = {
      {"cashvouch", "--acc-server", d.path(), "--acc-db", "x", "--olap-server", d.path(), "--olap-db", "o",
       "--begin", "2006-01-01", "--end", "2006-01-02", pw},
      {"summary", "--olap-password=" + std::string(kMarker) + "secret", "--acc-server", d.path()},
      {"server", "init", d.path() + "/s", "--sa-password=" + std::string(kMarker) + "secret"},
      {"procedures", "install", "--server", d.path(), "--db", "olap", "--password=" + std::string(kMarker) + "x"},
  };
  for (const auto& args : cases) {
    auto r = RunTallyport(args);
    EXPECT_EQ(r.exit_code, 64) << args[0];
    EXPECT_NE(r.err.find("=...; give the value as the next argument"), std::string::npos) << r.err;
    EXPECT_EQ((r.out + r.err).find(kMarker), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace reliability
