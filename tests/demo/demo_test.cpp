// The main job on the demo account set: the data is the same for a seed and
// internally consistent, and both extractions land the rows the data implies.
#include <gtest/gtest.h>

#include "tests/support/fixture.h"

namespace {

using testsupport::EmbeddedServer;
using testsupport::RunTallyport;
using testsupport::TempDir;

std::string Dump(const EmbeddedServer& s) {
  std::string out;
  for (const char* t : {"gl_accvouch", "gl_cashtable", "code", "gl_accsum", "gl_accass", "GL_AccMultiAss"})
    for (const auto& row : s.Query("vxdata_001_2006", std::string("select * from ") + t))
      for (const auto& v : row) out += v + "|";
  return out;
}

TEST(Demo, SameSeedSameData) {
  TempDir a, b, c;
  ASSERT_EQ(RunTallyport({"demo", a.path(), "--vouchers", "300", "--seed", "7"}).exit_code, 0);
  ASSERT_EQ(RunTallyport({"demo", b.path(), "--vouchers", "300", "--seed", "7"}).exit_code, 0);
  ASSERT_EQ(RunTallyport({"demo", c.path(), "--vouchers", "300", "--seed", "8"}).exit_code, 0);
  EmbeddedServer sa(a.path()), sb(b.path()), sc(c.path());
  EXPECT_EQ(Dump(sa), Dump(sb));
  EXPECT_NE(Dump(sa), Dump(sc));
}

// Each query counts the rows that break one rule of consistent books; all must be 0.
TEST(Demo, BooksAreConsistent) {
  TempDir d;
  auto run = RunTallyport({"demo", d.path(), "--vouchers", "600", "--seed", "3"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EmbeddedServer s(d.path());
  const std::string db = "vxdata_001_2006";
  // A stored balance as a debit-positive amount.
  auto debit_side = [](const std::string& side, const std::string& amount) {
    return "(case " + side + " when '借' then " + amount + " when '贷' then -" + amount + " else 0 end)";
  };
  const std::string signed_b = debit_side("cbegind_c", "mb"), signed_e = debit_side("cendd_c", "me");
  const struct {
    const char* rule;
    std::string sql;
  } kRules[] = {
      {"every voucher balances",
       "select iperiod from gl_accvouch group by iperiod, isignseq, ino_id having round(sum(md) - sum(mc), 2) <> 0"},
      {"every voucher account is a last-level account of the chart",
       "select 1 from gl_accvouch where ccode not in (select ccode from code where bend = 1)"},
      {"every voucher line lies in its period",
       "select 1 from gl_accvouch where cast(substr(dbill_date, 6, 2) as int) <> iperiod"},
      {"every cash line joins a voucher line of the same cash account",
       "select 1 from gl_cashtable c left join gl_accvouch v on c.iperiod = v.iperiod and c.isignseq = v.isignseq"
       " and c.ino_id = v.ino_id and c.inid = v.inid where v.ccode is null or v.ccode <> c.ccode"},
      {"the cash lines of a voucher line add up to it",
       "select 1 from gl_cashtable c join gl_accvouch v using (iperiod, isignseq, ino_id, inid)"
       " group by v.i_id having round(v.md - sum(c.md), 2) <> 0 or round(v.mc - sum(c.mc), 2) <> 0"
       " or round(v.md_f - sum(c.md_f), 2) <> 0"},
      {"dimensions follow the account's flags",
       "select 1 from gl_accvouch v join code c using (ccode) where (v.cdept_id is null) = (c.bdept = 1)"
       " or (v.ccus_id is null) = (c.bcus = 1) or (v.csup_id is null) = (c.bsup = 1)"
       " or (v.cperson_id is null) = (c.bperson = 1) or (v.citem_id is null) = (c.bitem = 1)"},
      {"every item class on a voucher has its item table",
       "select 1 from gl_accvouch where citem_class is not null and citem_class not in"
       " (select substr(name, 8) from sqlite_master where type = 'table' and name like 'fitemss%')"},
      {"the opening balance sheet balances",
       "select 1 from (select sum(" + signed_b + ") t from gl_accsum where iperiod = 1) where round(t, 2) <> 0"},
      {"period movements are the posted, non-void voucher lines",
       "select 1 from gl_accsum s left join (select ccode, iperiod, sum(md) md, sum(mc) mc from gl_accvouch"
       " where ibook = 1 and iflag is null group by 1, 2) v using (ccode, iperiod)"
       " where round(s.md - coalesce(v.md, 0), 2) <> 0 or round(s.mc - coalesce(v.mc, 0), 2) <> 0"},
      {"each period closes where the next one opens",
       "select 1 from gl_accsum a join gl_accsum b on b.ccode = a.ccode and b.iperiod = a.iperiod + 1"
       " where round(" + debit_side("a.cendd_c", "a.me") + " - " + debit_side("b.cbegind_c", "b.mb") + ", 2) <> 0"},
      {"a period closes at opening plus movements",
       "select 1 from gl_accsum join code using (ccode) where round(" + signed_e + " - " + signed_b +
           " - md + mc, 2) <> 0"},
      {"balances by dimension add up to the account's",
       "select 1 from (select ccode, iperiod, sum(" + signed_e + ") e from gl_accass group by 1, 2) a"
       " join gl_accsum s using (ccode, iperiod) where round(a.e - " + debit_side("s.cendd_c", "s.me") + ", 2) <> 0"},
      {"openings by dimension add up to the account's",
       "select 1 from (select ccode, sum(mb) m from GL_AccMultiAss where iperiod = 1 group by ccode) m"
       " join gl_accsum s on s.ccode = m.ccode and s.iperiod = 1 where round(m.m - " +
           debit_side("s.cbegind_c", "s.mb") +
           " * (case (select bproperty from code where ccode = m.ccode) when 1 then 1 else -1 end), 2) <> 0"},
  };
  for (const auto& r : kRules)
    EXPECT_EQ(s.Scalar(db, "select count(*) from (" + r.sql + ")"), "0") << r.rule;
  // The rules above must not hold vacuously.
  EXPECT_NE(s.Scalar(db, "select count(*) from gl_cashtable where md_f <> 0 or mc_f <> 0"), "0");
  EXPECT_NE(s.Scalar(db, "select count(*) from gl_accass"), "0");
  EXPECT_EQ(s.Scalar(db, "select count(distinct iperiod) from gl_accvouch"), "12");
  EXPECT_EQ(s.Scalar("vxsystem", "select count(*) from ua_period where cacc_id='001' and iyear=2006"), "12");
  EXPECT_NE(run.out.find(s.Scalar(db, "select count(*) from gl_accvouch") + " voucher lines, " +
                         s.Scalar(db, "select count(*) from gl_cashtable") + " cash lines"),
            std::string::npos)
      << run.out;
}

TEST(Demo, MainJobLandsTheRowsTheDataImplies) {
  TempDir d;
  ASSERT_EQ(RunTallyport({"demo", d.path(), "--vouchers", "400"}).exit_code, 0);
  EmbeddedServer s(d.path());
  auto cv = RunTallyport(testsupport::ExtractArgs("cashvouch", s, "2006-01-01", "2006-12-31"));
  ASSERT_EQ(cv.exit_code, 0) << cv.err;
  EXPECT_EQ(s.Scalar("olap", "select count(*) from Temp_ETL_GL_CashVouch"),
            s.Scalar("vxdata_001_2006", "select count(*) from gl_cashtable"));
  auto args = testsupport::ExtractArgs("summary", s, "2006-01-01", "2006-12-31");
  args.push_back("--json");
  auto sm = RunTallyport(args);
  ASSERT_EQ(sm.exit_code, 0) << sm.err;
  // Movement rows: one per account, day, currency and dimensions of posted,
  // non-void vouchers with a non-zero amount.
  std::string groups = s.Scalar(
      "vxdata_001_2006",
      "select count(*) from (select 1 from gl_accvouch where ibook=1 and (iflag is null or iflag=2)"
      " group by ccode, cexch_name, dbill_date, cdept_id, cperson_id, ccus_id, csup_id, citem_id, citem_class"
      " having sum(md)<>0 or sum(mc)<>0 or (cexch_name is not null and (sum(md_f)<>0 or sum(mc_f)<>0)))");
  EXPECT_NE(sm.out.find("\"kind\": \"movement\", \"rows\": " + groups + "}"), std::string::npos) << sm.out;
  EXPECT_EQ(s.Scalar("olap", "select count(*) from Temp_Etl_GL_Sum where Date>'2006-01-01 00:00:00' or md<>0 or mc<>0"), groups);
}

}  // namespace
