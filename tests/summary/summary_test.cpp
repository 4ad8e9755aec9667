// The balance run end to end through the tallyport program on an embedded server:
// the range rule, opening rows and their signs, movement rows with their
// dimensions, scopes and filters, and the failures with their texts.
#include <gtest/gtest.h>

#include "tests/support/fixture.h"

namespace {

using testsupport::EmbeddedServer;
using testsupport::Rows;
using testsupport::RunTallyport;
using testsupport::TempDir;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

class SummaryRun : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::CreateAccountSet(s_, "vxdata_001_2006", 2006, "001", {"97"}, gl_start_);
    s_.Exec("vxdata_001_2006", R"sql(
      INSERT INTO code (ccode, bproperty, cexch_name, bend, bperson, bcus, bsup, bdept, bitem, bcDefine4, bcDefine5) VALUES
        ('1001', 1, NULL, 1, 0, 0, 0, 0, 0, 0, 0),
        ('1122', 1, NULL, 1, 0, 1, 0, 1, 0, 0, 0),
        ('2202', 0, 'USD', 1, 0, 0, 0, 0, 0, 1, 0),
        ('6602', 1, NULL, 1, 0, 0, 0, 0, 0, 0, 1),
        ('2203', 0, NULL, 1, 0, 0, 0, 0, 0, 0, 0),
        ('1002', 1, NULL, 1, 0, 0, 0, 0, 0, 0, 0),
        ('10', 1, NULL, 0, 0, 0, 0, 0, 0, 0, 0);
      INSERT INTO foreigncurrency VALUES ('人民币', 'RMB', -1), ('USD', 'USD', 0);
      INSERT INTO gl_accsum (ccode, iperiod, cexch_name, cbegind_c, mb, mb_f) VALUES
        ('1001', 1, NULL, '贷', 100, 0),
        ('2202', 1, 'USD', '借', 50.5, 7),
        ('6602', 1, NULL, NULL, 9, 0),
        ('2203', 1, NULL, NULL, 8, 0),
        ('1002', 1, NULL, '借', 20, 1.5);
      INSERT INTO GL_AccMultiAss (ccode, iperiod, cDept_id, cCus_id, cItem_Class, cItem_id, mb, mb_f) VALUES
        ('1122', 1, '01', 'C1', NULL, NULL, 30, 0),
        ('1122', 1, '01', 'C1', NULL, NULL, 12.25, 0),
        ('1122', 1, '02', NULL, '97', '01', 5, 0);
      INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, cexch_name, md, mc, md_f, mc_f, cdept_id, ccus_id, citem_class, citem_id, ibook, iflag, ccheck) VALUES
        (3, '2006-03-01 00:00:00', '1001', NULL, 0.1, 0, 0, 0, NULL, NULL, NULL, NULL, 1, NULL, NULL),
        (3, '2006-03-01 00:00:00', '1001', NULL, 0.2, 0, 0, 0, NULL, NULL, NULL, NULL, 1, 2, NULL),
        (3, '2006-03-01 00:00:00', '1122', NULL, 0, 40, 0, 0, ' 01 ', 'C1', '97', '01', 1, NULL, NULL),
        (3, '2006-03-02 00:00:00', '2202', 'USD', 0, 70, 0, 10, NULL, NULL, NULL, NULL, 1, NULL, 'auditor'),
        (3, '2006-03-02 00:00:00', '2202', NULL, 5, 0, 3, 0, NULL, NULL, NULL, NULL, 1, NULL, NULL),
        (3, '2006-03-02 00:00:00', '1122', NULL, 1, 0, 0, 0, NULL, NULL, NULL, '01', 1, NULL, NULL),
        (3, '2006-03-03 00:00:00', '1001', NULL, 7, 0, 0, 0, NULL, NULL, NULL, NULL, 0, NULL, 'auditor'),
        (3, '2006-03-03 00:00:00', '1001', NULL, 8, 0, 0, 0, NULL, NULL, NULL, NULL, 1, 1, NULL),
        (3, '2006-03-03 00:00:00', '6602', NULL, 4, 4, 0, 0, NULL, NULL, NULL, NULL, 1, NULL, NULL),
        (3, '2006-03-04 00:00:00', '1001', NULL, 0, 0, 0, 0, NULL, NULL, NULL, NULL, 1, NULL, NULL),
        (13, '2006-03-04 00:00:00', '1001', NULL, 9, 0, 0, 0, NULL, NULL, NULL, NULL, 1, NULL, NULL);
    )sql");
  }
  testsupport::RunResult Run(const std::string& begin, const std::string& end,
                             const std::string& scope = "", const std::string& trace = "") {
    auto args = testsupport::ExtractArgs("summary", s_, begin, end);
    if (!trace.empty()) args.insert(args.end(), {"--trace", trace});
    if (!scope.empty()) {
      args.push_back("--scope");
      args.push_back(scope);
    }
    args.push_back("--json");
    return RunTallyport(args);
  }
  Rows Facts(const std::string& where = "1") {
    return s_.Query("olap",
                    "select Code_No, substr(Date,1,10), AccountTime, CurrencyID, DepartmentID, CustomerID,"
                    " SupplierID, EmployeeID, cItem_id, cItem_class, mb, mb_f, md, md_f, mc, mc_f, me, me_f"
                    " from Temp_Etl_GL_Sum where " + where + " order by Date, Code_No, DepartmentID, mb, md, mc");
  }
  std::string gl_start_ = "2006-01-01";
  TempDir dir_;
  EmbeddedServer s_{dir_.path()};
};

TEST_F(SummaryRun, OrdinaryRunWritesMovementRowsOnly) {
  auto r = Run("2006-03-01", "2006-03-04");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const Rows want = {
      // 0.1 + 0.2 exactly; iflag 2 counts, iflag 1, unposted, period 13 and zero groups do not.
      {"1001", "2006-03-01", "2006.03", "RMB", "", "", "", "", "", "", "0", "0", "0.3", "0", "0", "0", "0", "0"},
      // Dimensions trimmed; item key is class then code.
      {"1122", "2006-03-01", "2006.03", "RMB", "01", "C1", "", "", "9701", "97", "0", "0", "0", "0", "40", "0", "0", "0"},
      // An item code without a class.
      {"1122", "2006-03-02", "2006.03", "RMB", "", "", "", "", "01", "", "0", "0", "1", "0", "0", "0", "0", "0"},
      // Foreign amounts only with a currency name; CurrencyID from the account.
      {"2202", "2006-03-02", "2006.03", "USD", "", "", "", "", "", "", "0", "0", "0", "0", "70", "10", "0", "0"},
      {"2202", "2006-03-02", "2006.03", "USD", "", "", "", "", "", "", "0", "0", "5", "0", "0", "0", "0", "0"},
      // Debits equal to credits still make a row.
      {"6602", "2006-03-03", "2006.03", "RMB", "", "", "", "", "", "", "0", "0", "4", "0", "4", "0", "0", "0"},
  };
  EXPECT_EQ(Facts(), want);
  // sErrorMsg is untouched on success.
  EXPECT_NE(r.out.find("\"result\": 0, \"sErrorMsg\": \"\""), std::string::npos) << r.out;
  // A second run over the same range rebuilds it without duplicates.
  ASSERT_EQ(Run("2006-03-01", "2006-03-04").exit_code, 0);
  EXPECT_EQ(Facts(), want);
}

// Many small lines and a large amount keep every ten-thousandth.
TEST_F(SummaryRun, AmountsAreExact) {
  s_.Exec("vxdata_001_2006", R"sql(
    INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook)
      WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000)
      SELECT 3, '2006-03-05 00:00:00', '1001', 0.1, 0.0001, 1 FROM n;
    INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, cexch_name, md, mc, md_f, mc_f, ibook) VALUES
      (3, '2006-03-05 00:00:00', '2202', 'USD', 123456789.1234, 0, 0.0001, 0, 1),
      (3, '2006-03-05 00:00:00', '2202', 'USD', 0.0003, 0, 0.0002, 0, 1);
  )sql");
  ASSERT_EQ(Run("2006-03-05", "2006-03-05").exit_code, 0);
  EXPECT_EQ(s_.Query("olap", "select Code_No, md, mc, md_f from Temp_Etl_GL_Sum order by Code_No"),
            (Rows{{"1001", "100", "0.1", "0"}, {"2202", "123456789.1237", "0", "0.0003"}}));
}

TEST_F(SummaryRun, AuditedScopeCountsCheckedVouchers) {
  auto r = Run("2006-03-01", "2006-03-04", " 1 ");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  Rows got = s_.Query("olap", "select Code_No, md, mc from Temp_Etl_GL_Sum order by Code_No, md");
  Rows want = {{"1001", "7", "0"}, {"2202", "0", "70"}};
  EXPECT_EQ(got, want);
  EXPECT_NE(r.out.find("\"sErrorMsg\": \" 1 \""), std::string::npos) << r.out;
}

TEST_F(SummaryRun, BackfillRunWritesSignedOpeningRows) {
  s_.Exec("olap", "SELECT 1");
  auto r = Run("2006-01-01", "2006-03-01");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  Rows got = s_.Query("olap",
                      "select Code_No, substr(Date,1,10), AccountTime, CurrencyID, ifnull(DepartmentID,'NULL'),"
                      " ifnull(CustomerID,'NULL'), ifnull(cItem_id,'NULL'), mb, mb_f, md from Temp_Etl_GL_Sum"
                      " where Date='2006-01-01 00:00:00' order by Code_No, mb");
  Rows want = {
      // A credit balance of a debit account is negative.
      {"1001", "2006-01-01", "2006.01", "RMB", "NULL", "NULL", "NULL", "-100", "0", "0"},
      // A balance on the account's own side keeps its sign.
      {"1002", "2006-01-01", "2006.01", "RMB", "NULL", "NULL", "NULL", "20", "1.5", "0"},
      // Breakdown rows are summed per dimension combination; NULL codes as empty text.
      {"1122", "2006-01-01", "2006.01", "RMB", "02", "", "9701", "5", "0", "0"},
      {"1122", "2006-01-01", "2006.01", "RMB", "01", "C1", "", "42.25", "0", "0"},
      // A debit balance of a credit account is negative too.
      {"2202", "2006-01-01", "2006.01", "USD", "NULL", "NULL", "NULL", "-50.5", "-7", "0"},
      // 6602 (bcDefine5) is broken down and has no GL_AccMultiAss rows: no row. The
      // plain account after it keeps a balance without a side word as stored.
      {"2203", "2006-01-01", "2006.01", "RMB", "NULL", "NULL", "NULL", "8", "0", "0"},
  };
  EXPECT_EQ(got, want);
}

// G ledger start, B..E requested: which rows of other runs survive, whether opening
// rows are written, and the days rebuilt. Cumulative rows (ledger started in period
// 3) sit at 2006-02-28.
TEST_F(SummaryRun, RangeRuleDecidesWhatIsClearedAndRebuilt) {
  s_.Exec("vxdata_001_2006",
          "UPDATE gl_accsum SET md=0, md_f=0, mc=0, mc_f=0;"
          "UPDATE GL_AccMultiAss SET addmd=0, addmd_f=0, addmc=0, addmc_f=0;");
  ASSERT_EQ(Run("2006-06-01", "2006-06-01").exit_code, 0);  // creates the table
  struct Case {
    const char* g;
    const char* b;
    const char* e;
    const char* survivors;
    const char* rebuilt;
  } cases[] = {
      // G < B: ordinary run over B..E.
      {"2006-01-01", "2006-03-02", "2006-03-03", "2006-02-15,2006-03-01,2006-03-04", "2006-03-02,2006-03-03"},
      {"2006-03-01", "2006-03-02", "2006-03-03", "2006-02-15,2006-03-01,2006-03-04", "2006-03-02,2006-03-03"},
      // B <= G < E: backfill over G..E, everything up to E cleared.
      {"2006-03-02", "2006-03-02", "2006-03-03", "2006-03-04", "2006-01-01,2006-02-28,2006-03-02,2006-03-03"},
      {"2006-03-02", "2006-03-01", "2006-03-03", "2006-03-04", "2006-01-01,2006-02-28,2006-03-02,2006-03-03"},
      // E <= G: the single day G, everything up to G cleared.
      {"2006-03-02", "2006-02-01", "2006-02-10", "2006-03-03,2006-03-04", "2006-01-01,2006-02-28,2006-03-02"},
  };
  for (const auto& c : cases) {
    s_.Exec("vxdata_001_2006", std::string("UPDATE accinformation SET cValue='") + c.g + "'");
    s_.Exec("olap",
            "DELETE FROM Temp_Etl_GL_Sum;"
            "INSERT INTO Temp_Etl_GL_Sum (ID, Date, Code_No) VALUES"
            " ('s1', '2006-02-15 00:00:00', 'S'), ('s2', '2006-03-01 00:00:00', 'S'),"
            " ('s3', '2006-03-02 00:00:00', 'S'), ('s4', '2006-03-03 00:00:00', 'S'),"
            " ('s5', '2006-03-04 00:00:00', 'S')");
    auto r = Run(c.b, c.e);
    ASSERT_EQ(r.exit_code, 0) << c.g << " " << c.b << " " << r.out;
    auto dates = [&](const std::string& where) {
      return s_.Scalar("olap", "select group_concat(d) from (select distinct substr(Date,1,10) d"
                               " from Temp_Etl_GL_Sum where " + where + " order by 1)");
    };
    EXPECT_EQ(dates("Code_No='S'"), c.survivors) << c.g << " " << c.b << " " << c.e;
    EXPECT_EQ(dates("Code_No<>'S'"), c.rebuilt) << c.g << " " << c.b << " " << c.e;
  }
}

TEST_F(SummaryRun, RangeRuleAndFailuresLeaveTheTableAsItWas) {
  ASSERT_EQ(Run("2006-03-01", "2006-03-04").exit_code, 0);
  const Rows before = Facts();
  // Before the year's first period: nothing deleted.
  s_.Exec("vxdata_001_2006", "UPDATE accinformation SET cValue='2005-12-15'");
  auto r = Run("2005-12-01", "2006-03-04");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Facts(), before);
  // A voucher account missing from the chart of accounts.
  s_.Exec("vxdata_001_2006",
          "UPDATE accinformation SET cValue='2006-01-01';"
          "INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook) VALUES (3, '2006-03-04 00:00:00', '9999', 0, 0, 1)");
  r = Run("2006-03-04", "2006-03-04");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("科目表code没有科目:[9999],但凭证表gl_accvouch中有此科目!请检查数据。"), std::string::npos) << r.err;
}

TEST_F(SummaryRun, LedgerStartedLaterAddsCumulativeRowsInBackfillRuns) {
  s_.Exec("vxdata_001_2006",
          "UPDATE accinformation SET cValue='2006-03-02';"
          "UPDATE GL_AccMultiAss SET addmd=1, addmd_f=0, addmc=2.5, addmc_f=0;");
  // A NULL amount in the period-1 record cannot be written: the run says so.
  auto r = Run("2006-02-01", "2006-02-10");
  EXPECT_EQ(r.exit_code, 1) << r.out;
  s_.Exec("vxdata_001_2006", "UPDATE gl_accsum SET md=3, md_f=0, mc=4, mc_f=0");
  // The range lies before the ledger's start: it becomes that one day, a backfill run.
  r = Run("2006-02-01", "2006-02-10");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(s_.Scalar("olap", "select group_concat(d) from (select distinct substr(Date,1,10) d from Temp_Etl_GL_Sum order by 1)"),
            "2006-01-01,2006-02-28,2006-03-02");
  // Cumulative rows sit at the end of the period before the start period (3).
  Rows got = s_.Query("olap",
                      "select Code_No, AccountTime, ifnull(DepartmentID,'NULL'), ifnull(cItem_id,'NULL'), md, mc, mb, me"
                      " from Temp_Etl_GL_Sum where Date='2006-02-28 00:00:00' order by Code_No, DepartmentID");
  Rows want = {{"1001", "2006.02", "NULL", "NULL", "3", "4", "0", "0"},
               {"1002", "2006.02", "NULL", "NULL", "3", "4", "0", "0"},
               {"1122", "2006.02", "01", "", "2", "5", "0", "0"},
               {"1122", "2006.02", "02", "9701", "1", "2.5", "0", "0"},
               {"2202", "2006.02", "NULL", "NULL", "3", "4", "0", "0"},
               {"2203", "2006.02", "NULL", "NULL", "3", "4", "0", "0"}};
  EXPECT_EQ(got, want);
  // An ordinary run afterwards adds no cumulative rows again.
  ASSERT_EQ(Run("2006-03-03", "2006-03-04").exit_code, 0);
  EXPECT_EQ(s_.Scalar("olap", "select count(*) from Temp_Etl_GL_Sum where Date='2006-02-28 00:00:00'"), "6");
}

TEST_F(SummaryRun, CurrencyFallsBackToTheAccountSetsOwn) {
  // A currency name foreigncurrency lacks, and then no home currency at all: the
  // account set's cCurCode of its year answers.
  s_.Exec("vxdata_001_2006", "UPDATE code SET cexch_name='GBP' WHERE ccode='2202'");
  ASSERT_EQ(Run("2006-03-02", "2006-03-02").exit_code, 0);
  EXPECT_EQ(s_.Scalar("olap", "select group_concat(distinct CurrencyID) from Temp_Etl_GL_Sum"), "RMB");
  s_.Exec("vxsystem", "UPDATE UA_Account SET cCurCode='CNY'");
  s_.Exec("vxdata_001_2006", "DELETE FROM foreigncurrency");
  ASSERT_EQ(Run("2006-03-01", "2006-03-01").exit_code, 0);
  EXPECT_EQ(s_.Scalar("olap", "select group_concat(distinct CurrencyID) from Temp_Etl_GL_Sum where Date='2006-03-01 00:00:00'"),
            "CNY");
}

// The statements of a small ordinary run are the component's texts, dates in the
// one SQL form; a value with an apostrophe arrives as it was.
TEST_F(SummaryRun, StatementsAreTheComponentsTexts) {
  const std::string trace = dir_.path() + "/trace";
  ASSERT_EQ(Run("2006-03-03", "2006-03-03", "", trace).exit_code, 0);
  const std::string periods = "from ua_period where cacc_id='001' and iyear=2006 and ";
  const std::string create =
      "create table Temp_Etl_GL_Sum(ID                   varchar(36)          not null default newid(),"
      "Date                 datetime             null,AccountTime          varchar(8)           null,"
      "Code_No              varchar(15)          null,cComCode             varchar(4)           null,"
      "DepartmentID         varchar(30)          null,CustomerID           varchar(25)          null,"
      "SupplierID           varchar(25)          null,EmployeeID           varchar(25)          null,"
      "cItem_id             varchar(98)          null,cItem_class          varchar(4)           null,"
      "mb                   decimal(18,6)        null,mb_f                 decimal(18,6)        null,"
      "CurrencyID           varchar(8)           null,md                   decimal(18,6)        null,"
      "md_f                 decimal(18,6)        null,mc                   decimal(18,6)        null,"
      "mc_f                 decimal(18,6)        null,me                   decimal(18,6)        null,"
      "me_f                 decimal(18,6)        null,constraint PK_TEMP_ETL_GL_SUM primary key nonclustered (ID))";
  ASSERT_EQ(create.size(), 1049u);
  const std::vector<std::string> want = {
      "DRIVER={SQL Server};SERVER=" + s_.dir() + ";UID=sa;PWD=***;DATABASE=vxdata_001_2006",
      "DRIVER={SQL Server};SERVER=" + s_.dir() + ";UID=sa;PWD=***;DATABASE=olap",
      "select name from sysobjects where name='Temp_Etl_GL_Sum'",
      create,
      "select cValue from accinformation where cSysid='GL' and cName='dGLStartDate'",
      "DRIVER={SQL Server};SERVER=" + s_.dir() + ";UID=sa;PWD=***;database=vxsystem",
      "select iid,dbegin " + periods + "dbegin<='20060303' order by iid desc",
      "select iid,dbegin " + periods + "iid=1",
      "delete  from Temp_Etl_GL_Sum where date>='20060303' and date<='20060303'",
      "select iyear,iid,dbegin " + periods + "dbegin<='20060101' and dend>='20060101'",
      "select iid,dbegin,dend " + periods + "iid=1",
      "select gl_accvouch.ccode,gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,ccus_id,"
      "csup_id,citem_id,citem_class,sum(md) as summd,sum(mc) as summc,sum(md_f) as summd_f,sum(mc_f) as "
      "summc_f from gl_accvouch where gl_accvouch.dbill_date>='20060303' and gl_accvouch.dbill_date<='20060303'"
      " and ibook=1 and (iflag is null or iflag=2) and iperiod>=1 and iperiod<=12 group by gl_accvouch.ccode,"
      "gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,ccus_id,csup_id,citem_id,citem_class",
      "select bproperty from code where ccode='6602'",
      "select iyear,iid,dbegin " + periods + "dbegin<='20060303' and dend>='20060303'",
      "select cexch_name from code where ccode='6602'",
      "select cexch_code from foreigncurrency where iotherused=-1",
      "insert into Temp_Etl_GL_Sum (code_no,Date,AccountTime,CurrencyID,departmentid,customerid,supplierid,"
      "employeeid,citem_id,citem_class,mb,mb_f,md,md_f,mc,mc_f,me,me_f)  values ('6602','20060303','2006.03',"
      "'RMB','','','','','','',0,0 ,4,0,4,0,0,0)",
  };
  EXPECT_EQ(Lines(testsupport::ReadFile(trace)), want);

  s_.Exec("vxdata_001_2006",
          "INSERT INTO code (ccode, bproperty, bend) VALUES ('A''1', 1, 1);"
          "INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook, cdept_id) VALUES"
          " (3, '2006-03-06 00:00:00', 'A''1', 2, 0, 1, 'O''B')");
  ASSERT_EQ(Run("2006-03-06", "2006-03-06").exit_code, 0);
  EXPECT_EQ(s_.Query("olap", "select Code_No, DepartmentID, md from Temp_Etl_GL_Sum where Date='2006-03-06 00:00:00'"),
            (Rows{{"A'1", "O'B", "2"}}));
}

}  // namespace
