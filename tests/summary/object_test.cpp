// The Summary object driven in-process, as a host holding one object would: the
// steps a run never calls (GetCodeDcValue, UpdateLjLd, GetCodeQc, nTOz) and the
// calendar look-ups, reached with the state a run that failed late leaves behind;
// several runs on one object; and one late-bound call through the built library.
#include <cstdlib>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "com/comptr.h"
#include "com/error.h"
#include "com/registry.h"
#include "com/variant.h"
#include "db/ado.h"
#include "db/conventions.h"
#include "editions/edition.h"
#include "summary/summary.h"
#include "tests/support/fixture.h"

namespace {

using com::Currency;
using com::Variant;
using testsupport::EmbeddedServer;
using testsupport::Rows;
using testsupport::TempDir;

Currency Cy(int64_t ten_thousandths) { return Currency::FromTicks(ten_thousandths); }

class SummaryObject : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::CreateAccountSet(s_);
    s_.Exec("vxdata_001_2006", R"sql(
      INSERT INTO code (ccode, bproperty, cexch_name, bend) VALUES ('1001', 1, NULL, 1), ('2202', 0, NULL, 1);
      INSERT INTO foreigncurrency VALUES ('人民币', 'RMB', -1);
      INSERT INTO gl_accsum (ccode, iperiod, cexch_name, cbegind_c, mb, mb_f, md, md_f, mc, mc_f, cendd_c, me, me_f) VALUES
        ('2202', 1, NULL, '贷', 100, 10, 1, 2, 3, 4, '借', 30, 5),
        ('9999', 1, NULL, '贷', 1, 1, 1, 1, 1, 1, '贷', 1, 1);
      INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook) VALUES
        (3, '2006-03-01 00:00:00', '1001', 5, 0, 1),
        (3, '2006-03-02 00:00:00', '9999', 0, 0, 1);
      CREATE TABLE balances (id INTEGER, cbegind_c TEXT, cendd_c TEXT, Mb NUMERIC, Mb_f NUMERIC, me NUMERIC, Me_f NUMERIC);
      INSERT INTO balances VALUES
        (1, '贷', '借', 100, 7, 50, 50),
        (2, 'X', NULL, 100, 7, 50, 50),
        (3, NULL, '贷', 100, 7, 50, 50);
    )sql");
    s_.Exec("olap", "SELECT 1");
  }
  int Run(summary::Summary& o, const std::string& begin, const std::string& end, Variant& msg,
          const std::string& olap_db = "olap") {
    const Variant server = Variant::Text(s_.dir()), pwd = Variant::Text("");
    return o.ExtractData(server, pwd, Variant::Text("vxdata_001_2006"), server, pwd, Variant::Text(olap_db),
                         Variant::Text(begin), Variant::Text(end), msg);
  }
  // A run that ends at the movement of the account missing from the chart: the
  // connections and the working record stay as the run left them.
  void FailLate(summary::Summary& o) {
    Variant msg = Variant::Text("");
    ASSERT_EQ(Run(o, "2006-03-01", "2006-03-02", msg), 1);
    ASSERT_NE(msg.ToText().find("[9999]"), std::string::npos) << msg.ToText();
  }
  // A record set of our own on the account set or the analysis database.
  com::ComPtr<db::Recordset> Open(const std::string& db_name, const std::string& sql) {
    auto& cn = db_name == "olap" ? olap_ : acc_;
    if (!cn.IsOpen())
      cn.Open(db::ConnectionString(db::ClassKind::Summary, db_name == "olap" ? db::Role::Olap : db::Role::Acc,
                                   s_.dir(), "", db_name));
    auto rs = db::Recordset::Create();
    rs->Open(sql, cn);
    return rs;
  }
  TempDir dir_;
  EmbeddedServer s_{dir_.path()};
  db::Connection acc_, olap_;
};

TEST_F(SummaryObject, SignedBalanceFollowsTheAccountsSide) {
  summary::Summary o(editions::CurrentEdition());
  FailLate(o);
  struct Case {
    const char* code;
    int row;
    const char* sM;
    int64_t want;  // ten-thousandths
  } cases[] = {
      {"1001", 1, "mb", -1000000},   // debit account, credit opening: negative
      {"2202", 1, "mb", 1000000},    // credit account, same row: positive
      {"1001", 1, "mb_f", -70000},
      {"2202", 1, "me_f", -500000},  // credit account, debit closing
      {"1001", 1, "me", 500000},
      {"1001", 2, "mb", 1000000},    // a side word neither debit nor credit
      {"2202", 2, "me", 500000},     // a NULL side
      {"1001", 3, "me", -500000},
      {"1001", 1, "MB", 0},          // not one of the four names: zero
      {"1001", 1, "mb ", 0},
  };
  for (const auto& c : cases) {
    auto rs = Open("vxdata_001_2006", "select * from balances where id=" + std::to_string(c.row));
    EXPECT_EQ(o.GetCodeDcValue(c.code, *rs, c.sM), Cy(c.want)) << c.code << " " << c.row << " " << c.sM;
  }
  // The account is checked first, whatever sM names.
  auto rs = Open("vxdata_001_2006", "select * from balances where id=1");
  try {
    o.GetCodeDcValue("9999", *rs, "zz");
    ADD_FAILURE() << "no error";
  } catch (const com::Error& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.hr()), 0x80040BB9u);
    EXPECT_EQ(e.source(), "Summary.GetCodeDc");
    EXPECT_STREQ(e.what(), "科目表code没有科目:[9999],但凭证表gl_accvouch中有此科目!请检查数据。");
  }
  EXPECT_EQ(o.nTOz(Variant::Null()), Cy(0));
  EXPECT_EQ(o.nTOz(Variant::R8(12.5)), Cy(125000));
}

TEST_F(SummaryObject, BalanceRowsWrittenAndReadBack) {
  summary::Summary o(editions::CurrentEdition());
  FailLate(o);
  s_.Exec("olap",
          "INSERT INTO Temp_Etl_GL_Sum (ID, Code_No, AccountTime, CurrencyID, mb, mb_f) VALUES"
          " ('a', '2202', '2006.02', 'USD', 7.25, NULL), ('b', '1001', '2006.02', 'RMB', 1, 1)");
  // GetCodeQc reads the first matching row into the working record; NULL is zero,
  // and without a row the record keeps its values.
  o.GetCodeQc(" where Code_No='2202'");
  EXPECT_EQ(o.AccMsg().Mb, Cy(72500));
  EXPECT_EQ(o.AccMsg().Mb_f, Cy(0));
  o.GetCodeQc(" where Code_No='none'");
  EXPECT_EQ(o.AccMsg().Mb, Cy(72500));

  // UpdateLjLd: the period-1 balances signed by the account's side, the movements
  // as stored, label and currency from the fact-table row, date as given.
  auto row = Open("olap", "select code_no, AccountTime, CurrencyID from Temp_Etl_GL_Sum where ID='a'");
  o.UpdateLjLd(*row, "2006-02-28");
  // An account without a period-1 record is passed over.
  auto other = Open("olap", "select code_no, AccountTime, CurrencyID from Temp_Etl_GL_Sum where ID='b'");
  o.UpdateLjLd(*other, "2006-02-28");
  EXPECT_EQ(s_.Query("olap",
                     "select Code_No, Date, AccountTime, CurrencyID, mb, mb_f, md, md_f, mc, mc_f, me, me_f,"
                     " ifnull(DepartmentID, 'NULL') from Temp_Etl_GL_Sum where Date<'2006-03-01'"),
            (Rows{{"2202", "2006-02-28 00:00:00", "2006.02", "USD", "100", "10", "1", "2", "3", "4", "-30", "-5",
                   "NULL"}}));
}

TEST_F(SummaryObject, CalendarLookups) {
  summary::Summary o(editions::CurrentEdition());
  FailLate(o);
  for (auto [day, label] : {std::pair{"2006-03-01", "2006.03"}, {"2006-03-31", "2006.03"},
                            {"2006-01-01", "2006.01"}, {"2006-12-31", "2006.12"}})
    EXPECT_EQ(o.GetFiscalDate(day), label) << day;
  EXPECT_THROW(o.GetFiscalDate("2007-01-01"), com::Error);
  // "s" is the first day; anything else, "S" and "" included, the last.
  const std::string first = o.GetAccountDay("1", "s");
  EXPECT_EQ(Variant::Text(first).ToDate(), Variant::Text("2006-01-01").ToDate()) << first;
  for (const char* sel : {"e", "S", ""})
    EXPECT_EQ(Variant::Text(o.GetAccountDay("1", sel)).ToDate(), Variant::Text("2006-01-31").ToDate()) << sel;
  EXPECT_THROW(o.GetAccountDay("13", "s"), com::Error);
  for (auto [start, period] : {std::pair{"2006-01-01", 1}, {"2006-05-01", 5}, {"2006-05-31", 5}}) {
    s_.Exec("vxdata_001_2006", std::string("UPDATE accinformation SET cValue='") + start + "'");
    EXPECT_EQ(o.GetAccountBeginPeriod(), period) << start;
  }
  s_.Exec("vxdata_001_2006", "UPDATE accinformation SET cValue='2007-01-05'");
  EXPECT_THROW(o.GetAccountBeginPeriod(), com::Error);
}

// One object, several runs: each opens its own connections, so neither a failed
// run nor a released one gets in the way of the next.
TEST_F(SummaryObject, RunsAgainAfterFailureAndSuccess) {
  summary::Summary o(editions::CurrentEdition());
  FailLate(o);
  s_.Exec("vxdata_001_2006", "DELETE FROM gl_accvouch WHERE ccode='9999'");
  Variant msg = Variant::Text("kept");
  ASSERT_EQ(Run(o, "2006-03-01", "2006-03-02", msg), 0) << msg.ToText();
  EXPECT_EQ(msg.ToText(), "kept");
  // The released connections are not used again by a step called after the run.
  EXPECT_THROW(o.GetCodeDc("1001"), com::Error);
  msg = Variant::Text("");
  EXPECT_EQ(Run(o, "2006-03-01", "2006-03-02", msg, "nosuchdb"), 1);
  EXPECT_NE(msg.ToText().find("nosuchdb"), std::string::npos) << msg.ToText();
  msg = Variant::Text("");
  ASSERT_EQ(Run(o, "2006-03-01", "2006-03-02", msg), 0) << msg.ToText();
  EXPECT_EQ(s_.Query("olap", "select Code_No, md from Temp_Etl_GL_Sum"), (Rows{{"1001", "5"}}));
}

TEST_F(SummaryObject, DateArgumentsAreCheckedBeforeAnyConnection) {
  summary::Summary o(editions::CurrentEdition());
  const Variant nowhere = Variant::Text(dir_.path() + "/missing"), pwd = Variant::Text("");
  const Variant db = Variant::Text("vxdata_001_2006");
  struct Case {
    const char* begin;
    const char* end;
    const char* message;
  } cases[] = {{"2006-03-02", "2006-03-01", "起始日期不能小于结束日期！"},
               {"2006-13-45", "2006-03-01", "Type mismatch"},
               {"2006-03-01", "yesterday", "Type mismatch"}};
  for (const auto& c : cases) {
    Variant msg = Variant::Text("1");
    EXPECT_EQ(o.ExtractData(nowhere, pwd, db, nowhere, pwd, db, Variant::Text(c.begin), Variant::Text(c.end), msg), 1);
    EXPECT_EQ(msg.ToText(), c.message) << c.begin << " " << c.end;
  }
}

// The compatibility edition writes opening rows to Temp_Etl_GL_Sum only while the
// working record holds movement amounts, which only an earlier run on the same
// object leaves there; GLJSC_Temp receives them in every run.
TEST_F(SummaryObject, CompatOpeningsFollowTheWorkingRecord) {
  s_.Exec("vxdata_001_2006",
          "DELETE FROM gl_accvouch WHERE ccode='9999';"
          "INSERT INTO gl_accsum (ccode, iperiod, cbegind_c, mb, mb_f) VALUES ('1001', 3, '贷', 40, 0)");
  summary::Summary o(editions::CompatEdition());
  Variant msg = Variant::Text("");
  const std::string openings = "select Code_No, Date, mb, me from Temp_Etl_GL_Sum where md is null";
  ASSERT_EQ(Run(o, "2006-03-01", "2006-03-01", msg), 0) << msg.ToText();
  EXPECT_EQ(s_.Query("olap", openings), Rows{});
  EXPECT_EQ(o.AccMsg().Md, Cy(50000));
  ASSERT_EQ(Run(o, "2006-03-01", "2006-03-01", msg), 0) << msg.ToText();
  EXPECT_EQ(s_.Query("olap", openings), (Rows{{"1001", "2006-03-01 00:00:00", "-40", "-40"}}));
  EXPECT_FALSE(s_.TableExists("olap", "GLJSC_Temp"));
}

// Late binding through the built library, as a host without our headers calls it.
TEST_F(SummaryObject, StepsByNameThroughTheLibrary) {
  const auto& ed = editions::CurrentEdition();
  com::ComPtr<com::IDispatch> d;
  ASSERT_EQ(com::CreateFromLibrary(CURRENT_LIB, ed.summary_clsid, com::IID_IDispatch, d.PutVoid()), com::S_OK);
  auto call = [&](const std::string& name, std::vector<com::VARIANT> args, com::VARIANT* result) {
    com::DISPID id;
    ASSERT_EQ(com::GetDispId(d.get(), name, &id), com::S_OK) << name;
    com::EXCEPINFO ei{};
    ASSERT_EQ(com::InvokeMethod(d.get(), id, args.data(), static_cast<uint32_t>(args.size()), result, &ei),
              com::S_OK)
        << name;
  };
  const Variant server = Variant::Text(s_.dir()), pwd = Variant::Text(""), db = Variant::Text("vxdata_001_2006");
  const Variant olap = Variant::Text("olap"), begin = Variant::Text("2006-03-01"), end = Variant::Text("2006-03-02");
  Variant msg = Variant::Text("");
  com::VARIANT by_ref;
  by_ref.vt = com::VT_BYREF | com::VT_VARIANT;
  by_ref.pvarVal = msg.raw_mut();
  Variant result;
  call("ExtractData", {server.raw(), pwd.raw(), db.raw(), server.raw(), pwd.raw(), olap.raw(), begin.raw(),
                       end.raw(), by_ref},
       result.raw_mut());
  EXPECT_EQ(result.ToI2(), 1);
  EXPECT_NE(msg.ToText().find("[9999]"), std::string::npos) << msg.ToText();

  auto rs = Open("vxdata_001_2006", "select * from balances where id=1");
  Variant code = Variant::Text("1001"), sM = Variant::Text("mb"), rs_arg = Variant::Dispatch(rs.get());
  Variant value;
  call("GetCodeDcValue", {code.raw(), rs_arg.raw(), sM.raw()}, value.raw_mut());
  EXPECT_EQ(value.ToCurrency(), Cy(-1000000));
}

}  // namespace
