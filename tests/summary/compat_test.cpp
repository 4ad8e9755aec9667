// The compatibility edition's balance run through `tallyport summary --edition compat`:
// GLJSC_Temp's life, the day loop covering every day once, movement rows without
// dimensions, openings every run, and the server procedures of backfill runs.
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/support/fixture.h"

namespace {

using testsupport::EmbeddedServer;
using testsupport::Rows;
using testsupport::RunTallyport;
using testsupport::TempDir;

class CompatRun : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::CreateAccountSet(s_, "vxdata_001_2006", 2006, "001", {"97"}, "2006-01-01");
    s_.Exec("vxdata_001_2006", R"sql(
      INSERT INTO code (ccode, bproperty, cexch_name, bend, bdept) VALUES
        ('1001', 1, NULL, 1, 0), ('1122', 1, 'EUR', 1, 1);
      INSERT INTO foreigncurrency VALUES ('人民币', 'RMB', -1);
      INSERT INTO gl_accsum (ccode, iperiod, cexch_name, cbegind_c, mb, mb_f, md, md_f, mc, mc_f, cendd_c, me, me_f) VALUES
        ('1001', 1, NULL, '贷', 100, 0, 1, 0, 2, 0, '借', 5, 0),
        ('1001', 3, NULL, '贷', 100, 0, 1, 0, 2, 0, '借', 5, 0),
        ('1001', 4, NULL, '借', 60, 0, 1, 0, 2, 0, '借', 5, 0);
      INSERT INTO gl_accass (ccode, iperiod, cbegind_c, mb, mb_f, cDept_id) VALUES ('1122', 3, '借', 30, 0, '01');
    )sql");
    // One posted voucher line a day from 03-01 to 03-20, with a dimension.
    std::string sql;
    for (int d = 1; d <= 20; ++d)
      sql += "INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook, cdept_id) VALUES (3, '2006-03-" +
             std::string(d < 10 ? "0" : "") + std::to_string(d) + " 00:00:00', '1001', " + std::to_string(d) +
             ", 0, 1, '01');";
    s_.Exec("vxdata_001_2006", sql);
    s_.Exec("olap", "SELECT 1");
    EXPECT_EQ(RunTallyport({"procedures", "install", "--server", s_.dir(), "--db", "olap"}).exit_code, 0);
  }
  testsupport::RunResult Run(const std::string& begin, const std::string& end, const std::string& scope = "") {
    auto args = testsupport::ExtractArgs("summary", s_, begin, end);
    args.insert(args.begin() + 1, {"--edition", "compat"});
    if (!scope.empty()) args.insert(args.end(), {"--scope", scope});
    args.push_back("--json");
    return RunTallyport(args);
  }
  // The procedures take the server name in 20 characters: the server is reached
  // through a short link to the temporary directory.
  static std::string ShortLink(const std::string& target) {
    static int n = 0;
    std::string link = "/tmp/tpc" + std::to_string(getpid() % 100000) + "_" + std::to_string(n++);
    std::filesystem::remove(link);
    std::filesystem::create_directory_symlink(target, link);
    return link;
  }
  void TearDown() override { std::filesystem::remove(s_.dir()); }
  TempDir dir_;
  EmbeddedServer s_{ShortLink(dir_.path())};
};

TEST_F(CompatRun, EveryDayOnceWithoutDimensionsAndOpeningsInTheSecondTable) {
  for (auto [begin, end, days] : {std::tuple{"2006-03-05", "2006-03-05", 1}, {"2006-03-05", "2006-03-14", 10}}) {
    s_.Exec("olap", "DROP TABLE IF EXISTS Temp_Etl_GL_Sum");
    auto r = Run(begin, end, "1");  // "1" still means posted vouchers here
    ASSERT_EQ(r.exit_code, 0) << r.out;
    Rows got = s_.Query("olap", "select count(*), count(distinct Date), sum(md), count(DepartmentID) from Temp_Etl_GL_Sum where md<>0");
    int first = 5, last = 5 + days - 1;
    EXPECT_EQ(got[0][0], std::to_string(days));
    EXPECT_EQ(got[0][1], std::to_string(days));
    EXPECT_EQ(got[0][2], std::to_string((first + last) * days / 2));
    EXPECT_EQ(got[0][3], "0");  // movement rows carry no dimension columns
    EXPECT_FALSE(s_.TableExists("olap", "GLJSC_Temp"));
    // Not a backfill run: no procedure was called.
    EXPECT_EQ(s_.Scalar("olap", "select count(*) from tp_procedure_calls"), "0");
  }
}

TEST_F(CompatRun, BackfillCallsTheProceduresAndWritesCumulativeRows) {
  s_.Exec("vxdata_001_2006", "UPDATE accinformation SET cValue='2006-04-01'");
  auto r = Run("2006-04-01", "2006-04-02");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(s_.Query("olap", "select name from tp_procedure_calls order by seq"),
            (Rows{{"sp_gl_qcbl"}, {"Sp_Gl_QcBlYE"}}));
  std::string args = s_.Scalar("olap", "select args from tp_procedure_calls where seq=1");
  EXPECT_EQ(args, "@sAccServer=" + s_.dir() + ",@sAccPwd=***,@sAccZtNo=001,@sAccYear=2006,@sStartDate=2006-04-01,@sEndDate=2006-04-01");
  // Cumulative rows of the accounts in GLJSC_Temp, at the end of period 3.
  EXPECT_EQ(s_.Query("olap", "select Code_No, AccountTime, md, mc from Temp_Etl_GL_Sum where Date='2006-03-31 00:00:00'"),
            (Rows{{"1001", "2006.03", "1", "2"}}));
  EXPECT_FALSE(s_.TableExists("olap", "GLJSC_Temp"));
}

TEST_F(CompatRun, FailuresKeepGljscAndAMissingProcedureIsNamed) {
  s_.Exec("vxdata_001_2006", "UPDATE accinformation SET cValue='2006-04-01'");
  s_.Exec("olap", "DELETE FROM tp_procedures WHERE name='sp_gl_qcbl'");
  auto r = Run("2006-04-01", "2006-04-02");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("Could not find stored procedure 'sp_gl_qcbl'."), std::string::npos) << r.out;
  EXPECT_TRUE(s_.TableExists("olap", "GLJSC_Temp"));
  // The next run clears the leftover before it writes, and drops it at the end.
  EXPECT_EQ(RunTallyport({"procedures", "install", "--server", s_.dir(), "--db", "olap"}).exit_code, 0);
  ASSERT_EQ(Run("2006-04-01", "2006-04-02").exit_code, 0);
  EXPECT_FALSE(s_.TableExists("olap", "GLJSC_Temp"));
  EXPECT_EQ(s_.Scalar("olap", "select count(*) from Temp_Etl_GL_Sum where Date='2006-03-31 00:00:00'"), "1");
}

TEST_F(CompatRun, UnknownCurrencyNameGivesAnEmptyCurrencyId) {
  auto r = Run("2006-03-05", "2006-03-05");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  // 1122's currency EUR is not in foreigncurrency: no account-set fallback here.
  s_.Exec("vxdata_001_2006", "INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook) VALUES (3, '2006-03-06 00:00:00', '1122', 3, 0, 1)");
  ASSERT_EQ(Run("2006-03-06", "2006-03-06").exit_code, 0);
  EXPECT_EQ(s_.Scalar("olap", "select CurrencyID from Temp_Etl_GL_Sum where Code_No='1122' and md=3"), "");
}

}  // namespace
