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
        ('1001', 1, NULL, 1, 0), ('1122', 1, 'EUR', 1, 1), ('2202', 0, NULL, 1, 0);
      INSERT INTO foreigncurrency VALUES ('人民币', 'RMB', -1);
      INSERT INTO gl_accsum (ccode, iperiod, cexch_name, cbegind_c, mb, mb_f, md, md_f, mc, mc_f, cendd_c, me, me_f) VALUES
        ('1001', 1, NULL, '贷', 100, 0, 1, 0, 2, 0, '借', 5, 0),
        ('1001', 3, NULL, '贷', 100, 0, 1, 0, 2, 0, '借', 5, 0),
        ('1001', 4, NULL, '借', 60, 0, 1, 0, 2, 0, '借', 5, 0),
        ('2202', 1, NULL, '贷', 9, 0, 9, 0, 9, 0, '贷', 9, 0);
      INSERT INTO gl_accass (ccode, iperiod, cbegind_c, mb, mb_f, cDept_id) VALUES
        ('1122', 3, '借', 30, 0, '01'), ('1122', 4, '贷', 30, 0, '01');
      -- Audited but not posted: never counted by this edition.
      INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook, ccheck) VALUES
        (3, '2006-03-07 00:00:00', '1001', 1000, 0, 0, 'auditor');
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
  // What the failed run wrote stays: the openings of the start period, dated the
  // start day, signed by the account's side, in mb and me alike.
  EXPECT_EQ(s_.Query("olap", "select Code_No, Date, ifnull(DepartmentID, 'NULL'), mb, me, ifnull(md, 'NULL')"
                             " from GLJSC_Temp order by Code_No"),
            (Rows{{"1001", "2006-04-01 00:00:00", "NULL", "60", "60", "NULL"},
                  {"1122", "2006-04-01 00:00:00", "01", "-30", "-30", "NULL"}}));
  // A leftover the next run does not rebuild must not feed its cumulative stage.
  s_.Exec("olap", "INSERT INTO GLJSC_Temp (ID, Date, Code_No) VALUES ('stale', '2006-04-01 00:00:00', '2202')");
  EXPECT_EQ(RunTallyport({"procedures", "install", "--server", s_.dir(), "--db", "olap"}).exit_code, 0);
  ASSERT_EQ(Run("2006-04-01", "2006-04-02").exit_code, 0);
  EXPECT_FALSE(s_.TableExists("olap", "GLJSC_Temp"));
  EXPECT_EQ(s_.Query("olap", "select Code_No from Temp_Etl_GL_Sum where Date='2006-03-31 00:00:00'"),
            (Rows{{"1001"}}));
}

TEST_F(CompatRun, UnknownCurrencyNameGivesAnEmptyCurrencyId) {
  auto r = Run("2006-03-05", "2006-03-05");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  // 1122's currency EUR is not in foreigncurrency: no account-set fallback here.
  s_.Exec("vxdata_001_2006", "INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook) VALUES (3, '2006-03-06 00:00:00', '1122', 3, 0, 1)");
  ASSERT_EQ(Run("2006-03-06", "2006-03-06").exit_code, 0);
  EXPECT_EQ(s_.Scalar("olap", "select CurrencyID from Temp_Etl_GL_Sum where Code_No='1122' and md=3"), "");
}

// Which runs are backfill runs, and the procedures each calls.
TEST_F(CompatRun, ProceduresOfBackfillRuns) {
  struct Case {
    const char* g;
    const char* begin;
    const char* end;
    const char* calls;
  } cases[] = {
      {"2006-01-10", "2006-01-05", "2006-01-12", "sp_gl_qcbl"},  // start period 1
      {"2006-01-01", "2006-01-01", "2006-01-02", ""},            // starts on the year's first day
      {"2006-03-10", "2006-03-11", "2006-03-12", ""},            // ledger started before the range
      {"2006-04-01", "2006-03-20", "2006-04-02", "sp_gl_qcbl,Sp_Gl_QcBlYE"},
  };
  for (const auto& c : cases) {
    s_.Exec("vxdata_001_2006", std::string("UPDATE accinformation SET cValue='") + c.g + "'");
    s_.Exec("olap", "DELETE FROM tp_procedure_calls");
    auto r = Run(c.begin, c.end);
    ASSERT_EQ(r.exit_code, 0) << c.g << " " << r.out;
    EXPECT_EQ(s_.Scalar("olap", "select ifnull(group_concat(name), '') from (select name from tp_procedure_calls order by seq)"),
              c.calls)
        << c.g << " " << c.begin;
  }
}

// The statements of a two-day ordinary run: the second table's life, openings to it
// alone in a fresh object, the start day's movement pass and the day loop's query.
TEST_F(CompatRun, StatementsAreTheComponentsTexts) {
  const std::string trace = dir_.path() + "/trace";
  auto args = testsupport::ExtractArgs("summary", s_, "2006-03-05", "2006-03-06");
  args.insert(args.begin() + 1, {"--edition", "compat"});
  args.insert(args.end(), {"--trace", trace});
  ASSERT_EQ(RunTallyport(args).exit_code, 0);
  std::vector<std::string> lines;
  const std::string text = testsupport::ReadFile(trace);
  for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  ASSERT_GT(lines.size(), 8u);
  EXPECT_EQ(lines[4], "select name from sysobjects where name='GLJSC_Temp'");
  EXPECT_EQ(lines[5].substr(0, 35), "create table GLJSC_Temp(ID         ");
  const std::string key = "null,constraint PK_GLJSC_Temp primary key nonclustered (ID))";
  EXPECT_EQ(lines[5].substr(lines[5].size() - key.size()), key);
  EXPECT_EQ(lines[5].size(), 1039u);  // the fact table's 1,049 with the other two names
  lines.erase(lines.begin(), lines.begin() + 6);
  const std::string periods = "from ua_period where cacc_id='001' and iyear=2006 and ";
  const std::string fiscal5 = "select iyear,iid,dbegin " + periods + "dbegin<='20060305' and dend>='20060305'";
  const std::string fiscal6 = "select iyear,iid,dbegin " + periods + "dbegin<='20060306' and dend>='20060306'";
  const std::string home = "select cexch_code from foreigncurrency where iotherused=-1";
  const std::string movement = "insert into Temp_Etl_GL_Sum (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,"
                               "mc_f,me,me_f)  values ('1001',";
  const std::vector<std::string> want = {
      "delete  from GLJSC_Temp",
      "select cValue from accinformation where cSysid='GL' and cName='dGLStartDate'",
      "DRIVER={SQL Server};SERVER=" + s_.dir() + ";UID=sa;PWD=***;database=vxsystem",
      "select iid,dbegin " + periods + "dbegin<='20060305' order by iid desc",
      "select iid,dbegin " + periods + "iid=1",
      "delete  from Temp_Etl_GL_Sum where date>='20060305' and date<='20060306'",
      fiscal5,
      "select ccode,bproperty,bperson, bcus, bsup, bdept, bitem from code where bend=1",
      "select * from gl_accsum where iperiod=3 and ccode='1001'",
      "select cexch_name from code where ccode='1001'",
      home,
      "insert into GLJSC_Temp (code_no,Date,AccountTime,CurrencyID,mb,mb_f,me,me_f)  values ('1001','20060305',"
      "'2006.03','RMB',-100,0,-100,0)",
      "select * from gl_accass where iperiod=3 and ccode='1122'",
      "select cexch_name from code where ccode='1122'",
      "select cexch_code from foreigncurrency where cexch_name='EUR'",
      "insert into GLJSC_Temp (code_no,Date,AccountTime,CurrencyID,departmentid,employeeid,customerid,supplierid,"
      "citem_id,citem_class,mb,mb_f,me,me_f)  values ('1122','20060305','2006.03','','01','','','','','',30,0,30,0)",
      "select * from gl_accsum where iperiod=3 and ccode='2202'",
      "select gl_accvouch.ccode,gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,ccus_id,"
      "csup_id,citem_id,citem_class,sum(md) as summd,sum(mc) as summc,sum(md_f) as summd_f,sum(mc_f) as "
      "summc_f from gl_accvouch where gl_accvouch.dbill_date>='20060305' and gl_accvouch.dbill_date<='20060305'"
      " and ibook=1 and (iflag is null or iflag=2) and iperiod>=1 and iperiod<=12 group by gl_accvouch.ccode,"
      "gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,ccus_id,csup_id,citem_id,citem_class",
      "select bproperty from code where ccode='1001'",
      fiscal5,
      "select cexch_name from code where ccode='1001'",
      home,
      movement + "'20060305','2006.03','RMB',0,0 ,5,0,0,0,0,0)",
      "select gl_accvouch.ccode,gl_accvouch.cexch_name,cdept_id,cperson_id,ccus_id,csup_id,citem_id,citem_class,"
      "sum(md) as summd,sum(mc) as summc,sum(md_f) as summd_f,sum(mc_f) as summc_f from gl_accvouch where  "
      "gl_accvouch.dbill_date='20060306' and ibook=1 and (iflag is null or iflag=2) group by gl_accvouch.ccode,"
      "gl_accvouch.cexch_name,cdept_id,cperson_id,ccus_id,csup_id,citem_id,citem_class",
      "select bproperty from code where ccode='1001'",
      fiscal6,
      "select cexch_name from code where ccode='1001'",
      home,
      movement + "'20060306','2006.03','RMB',0,0 ,6,0,0,0,0,0)",
      "select name from sysobjects where name='GLJSC_Temp'",
      "Drop Table GLJSC_Temp",
  };
  EXPECT_EQ(lines, want);
}

}  // namespace
