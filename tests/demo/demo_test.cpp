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
  for (const char* t : {"gl_accvouch", "gl_cashtable", "code", "gl_accsum", "GL_AccMultiAss"})
    for (const auto& row : s.Query("vxdata_001_2006", std::string("select * from ") + t))
      for (const auto& v : row) out += v + "|";
  return out;
}

TEST(Demo, SameSeedSameDataAndConsistent) {
  TempDir a, b, c;
  ASSERT_EQ(RunTallyport({"demo", a.path(), "--vouchers", "300", "--seed", "7"}).exit_code, 0);
  ASSERT_EQ(RunTallyport({"demo", b.path(), "--vouchers", "300", "--seed", "7"}).exit_code, 0);
  ASSERT_EQ(RunTallyport({"demo", c.path(), "--vouchers", "300", "--seed", "8"}).exit_code, 0);
  EmbeddedServer sa(a.path()), sb(b.path()), sc(c.path());
  EXPECT_EQ(Dump(sa), Dump(sb));
  EXPECT_NE(Dump(sa), Dump(sc));
  const std::string db = "vxdata_001_2006";
  // Every cash line joins a voucher line; every voucher balances; every voucher
  // account is a last-level account of the chart.
  EXPECT_EQ(sa.Scalar(db, "select count(*) from gl_cashtable c left join gl_accvouch v on c.iperiod=v.iperiod"
                          " and c.isignseq=v.isignseq and c.ino_id=v.ino_id and c.inid=v.inid where v.ccode is null"),
            "0");
  EXPECT_EQ(sa.Scalar(db, "select count(*) from (select iperiod, ino_id from gl_accvouch group by iperiod, ino_id"
                          " having round(sum(md)-sum(mc), 2) <> 0)"),
            "0");
  EXPECT_EQ(sa.Scalar(db, "select count(*) from gl_accvouch where ccode not in (select ccode from code where bend=1)"), "0");
  EXPECT_EQ(sa.Scalar("vxsystem", "select count(*) from ua_period where cacc_id='001' and iyear=2006"), "12");
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
