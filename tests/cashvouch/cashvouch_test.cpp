// The cash voucher run end to end through the tallyport program, with the account
// set on one embedded server and the analysis database on another.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/fixture.h"

namespace {

using testsupport::EmbeddedServer;
using testsupport::Rows;
using testsupport::RunTallyport;
using testsupport::TempDir;

std::vector<std::string> TraceLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string all = testsupport::ReadFile(path);
  for (size_t start = 0, nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(all.substr(start, nl - start));
  return lines;
}

class CashVouchRun : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::CreateAccountSet(acc_, "vxdata_001_2006", 2006, "001", {"97", "98x"});
    acc_.Exec("vxdata_001_2006", R"sql(
      INSERT INTO code (ccode, bproperty, bend) VALUES ('1001', 1, 1), ('2202', 0, 1);
      INSERT INTO department VALUES ('01', 'Sales'), ('A''1', 'O''Brien Dept');
      INSERT INTO customer VALUES ('C1', '客户一');
      INSERT INTO vendor VALUES ('S1', 'Vendor 😀');
      INSERT INTO person VALUES ('P1', 'Pat');
      INSERT INTO fitemss97 VALUES ('01', 'Item 97-01');
      INSERT INTO fitemss98x VALUES ('01', 'Item 98x-01');
      INSERT INTO fitemss98 (citemcode, citemname, cdirection) VALUES ('IN', 'Inflow', '流入'), ('OUT', 'Outflow', '流出');
      INSERT INTO gl_accvouch (iperiod, csign, isignseq, ino_id, inid, dbill_date, ccode, cdept_id, ccus_id, csup_id, cperson_id, citem_class, citem_id) VALUES
        (3, 'S', 1, 12, 1, '2006-03-01 00:00:00', '1001', '01', 'C1', NULL, 'P1', '97', '01'),
        (3, 'S', 1, 12, 2, '2006-03-01 00:00:00', '1001', 'A''1', NULL, 'S1', NULL, '98x', '01'),
        (3, 'S', 1, 13, 1, '2006-03-15 00:00:00', '2202', 'ZZ', NULL, NULL, NULL, NULL, NULL),
        (3, 'S', 1, 12345, 1, '2006-03-20 00:00:00', '1001', NULL, NULL, NULL, NULL, NULL, NULL),
        (4, 'S', 1, 1, 1, '2006-04-01 00:00:00', '1001', NULL, NULL, NULL, NULL, NULL, NULL);
      INSERT INTO gl_cashtable (iperiod, isignseq, ino_id, inid, ccashitem, md, mc) VALUES
        (3, 1, 12, 1, 'IN', 0, 150),
        (3, 1, 12, 2, 'IN', 150, 0),
        (3, 1, 13, 1, 'OUT', 0, 70),
        (3, 1, 12345, 1, 'OUT', 80, 0),
        (4, 1, 1, 1, 'IN', 5, 0);
    )sql");
    olap_.Exec("olap", "SELECT 1");
  }
  std::vector<std::string> Args(const std::string& begin, const std::string& end) const {
    return {"cashvouch", "--acc-server", acc_.dir(), "--acc-db", "vxdata_001_2006", "--olap-server",
            olap_.dir(), "--olap-db", "olap", "--begin", begin, "--end", end, "--quiet", "--json"};
  }
  // Runs with a registry of the test's own: without TermMisc.Terminal registered the
  // session id is empty and the stage is tempdb..Temp_ETL_GL_CashVouch.
  testsupport::RunResult Run(const std::string& begin, const std::string& end,
                             std::vector<std::string> extra = {}) {
    std::vector<std::string> args = Args(begin, end);
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTallyport(args, {{"TALLYPORT_REGISTRY", registry_}});
  }
  TempDir a_, o_, t_;
  std::string registry_ = t_.path() + "/registry";
  EmbeddedServer acc_{a_.path()}, olap_{o_.path()};
};

TEST_F(CashVouchRun, ExtractsStampsNamesAndDirections) {
  auto r = Run("2006-03-01", "2006-03-31");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  Rows got = olap_.Query(
      "olap",
      "select substr(Date,1,10), AccountTime, ifnull(VouchId,'NULL'), Code_No, ifnull(DepartmentName,'NULL'),"
      " ifnull(CustomerName,'NULL'), ifnull(SupplierName,'NULL'), ifnull(EmployeeName,'NULL'),"
      " ifnull(ItemName,'NULL'), CashItemId, NatInMoney, NatOutMoney, length(ID) from Temp_ETL_GL_CashVouch"
      " order by Date, NatInMoney");
  Rows want = {
      // Inflow item, debit account, nothing in: the credit becomes a negative inflow.
      {"2006-03-01", "2006.03", "S-0012   ", "1001", "Sales", "客户一", "NULL", "Pat", "Item 97-01", "IN", "-150", "0", "36"},
      // The same item code in another class is named from its own table; a code and a
      // name with apostrophes are matched and stored intact.
      {"2006-03-01", "2006.03", "S-0012   ", "1001", "O'Brien Dept", "NULL", "Vendor 😀", "NULL", "Item 98x-01", "IN", "150", "0", "36"},
      // Other item, credit account, nothing in: the outflow becomes 0 - (0) and 0.
      {"2006-03-15", "2006.03", "S-0013   ", "2202", "", "NULL", "NULL", "NULL", "NULL", "OUT", "0", "0", "36"},
      // Other item, debit account, an inflow: moved out as a negative outflow. A
      // voucher number of five digits gives no VouchId.
      {"2006-03-20", "2006.03", "NULL", "1001", "NULL", "NULL", "NULL", "NULL", "NULL", "OUT", "0", "-80", "36"},
  };
  EXPECT_EQ(got, want);
  EXPECT_FALSE(olap_.TableExists("tempdb", "Temp_ETL_GL_CashVouch"));
  // A second run over the same range appends the lines again.
  ASSERT_EQ(Run("2006-03-01", "2006-03-31").exit_code, 0);
  EXPECT_EQ(olap_.Scalar("olap", "select count(*) from Temp_ETL_GL_CashVouch"), "8");
  EXPECT_EQ(olap_.Scalar("olap", "select count(distinct ID) from Temp_ETL_GL_CashVouch"), "8");
}

TEST_F(CashVouchRun, EmptyRangeSucceedsAndFailuresKeepTheStage) {
  auto r = Run("2006-05-01", "2006-05-31");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(olap_.Scalar("olap", "select count(*) from Temp_ETL_GL_CashVouch"), "0");
  // A date outside the year's periods ends the run in the period pass.
  acc_.Exec("vxdata_001_2006",
            "INSERT INTO gl_accvouch (iperiod, csign, isignseq, ino_id, inid, dbill_date, ccode) VALUES (1, 'S', 1, 9, 1, '2007-01-02 00:00:00', '1001');"
            "INSERT INTO gl_cashtable (iperiod, isignseq, ino_id, inid, ccashitem, md, mc) VALUES (1, 1, 9, 1, 'IN', 1, 0);");
  r = Run("2007-01-01", "2007-01-31");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("Either BOF or EOF is True"), std::string::npos) << r.out;
  EXPECT_TRUE(olap_.TableExists("tempdb", "Temp_ETL_GL_CashVouch"));
  // The next run of the same session drops the leftover stage and succeeds.
  ASSERT_EQ(Run("2006-03-01", "2006-03-01").exit_code, 0);
  EXPECT_FALSE(olap_.TableExists("tempdb", "Temp_ETL_GL_CashVouch"));
  EXPECT_EQ(olap_.Scalar("olap", "select count(*) from Temp_ETL_GL_CashVouch"), "2");
}

TEST_F(CashVouchRun, WrongAccountPasswordFailsWithoutLeakingIt) {
  auto r = Run("2006-03-01", "2006-03-31", {"--acc-password", "s3cret"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("Login failed for user 'sa'."), std::string::npos) << r.out;
  EXPECT_EQ((r.out + r.err).find("s3cret"), std::string::npos);
}

// Each failure ends the run with result 1 and the failing layer's text; the stage
// stays behind for the next run of the session to drop.
TEST_F(CashVouchRun, FailuresEndTheRunWithTheirTexts) {
  struct Case {
    const char* setup_acc;
    const char* setup_olap;
    const char* message;
  } cases[] = {
      {"UPDATE department SET cdepname=NULL WHERE cdepcode='01'", "", "Invalid use of Null"},
      {"UPDATE gl_accvouch SET citem_class='ZZ' WHERE ino_id=12 AND inid=1", "", "Invalid object name 'fitemssZZ'."},
      {"UPDATE gl_cashtable SET ccashitem=NULL WHERE ino_id=13", "", "Invalid use of Null"},
      {"UPDATE gl_accvouch SET ccode=NULL WHERE ino_id=13", "", "Invalid use of Null"},
      {"", "CREATE TABLE Temp_ETL_GL_CashVouch (ID nvarchar(36), Date datetime)", "Invalid column name 'AccountTime'."},
  };
  for (const auto& c : cases) {
    // Each case on fresh servers: the fixture's servers are swapped for new ones.
    TempDir a, o;
    EmbeddedServer acc(a.path()), olap(o.path());
    std::swap(acc_, acc);
    std::swap(olap_, olap);
    SetUp();
    if (*c.setup_acc) acc_.Exec("vxdata_001_2006", c.setup_acc);
    if (*c.setup_olap) olap_.Exec("olap", c.setup_olap);
    auto r = Run("2006-03-01", "2006-03-31");
    EXPECT_EQ(r.exit_code, 1) << c.message;
    EXPECT_NE(r.out.find(std::string("\"sErrorMsg\": \"") + c.message + "\""), std::string::npos) << r.out;
    EXPECT_TRUE(olap_.TableExists("tempdb", "Temp_ETL_GL_CashVouch")) << c.message;
    std::swap(acc_, acc);
    std::swap(olap_, olap);
  }
  std::vector<std::string> args = Args("2006-03-01", "2006-03-01");
  args[2] = "no-such-host,1433";  // --acc-server
  auto r = RunTallyport(args, {{"TALLYPORT_REGISTRY", registry_}});
  EXPECT_EQ(r.exit_code, 1);
  // The connection layer's own text (the driver's, through ODBC), never an empty one.
  EXPECT_NE(r.out.find("\"result\": 1, \"sErrorMsg\": \""), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\"sErrorMsg\": \"\""), std::string::npos) << r.out;
}

// The statements sent for a small run are the component's texts, values without
// apostrophes spliced as they are (dates in the one SQL form, YYYYMMDD).
TEST_F(CashVouchRun, StatementsAreTheComponentsTexts) {
  TempDir t;
  const std::string trace = t.path() + "/trace";
  auto r = Run("2006-03-15", "2006-03-15", {"--trace", trace});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  std::vector<std::string> lines = TraceLines(trace);
  const std::string stage = "tempdb..Temp_ETL_GL_CashVouch";
  const std::string ddl =
      "(ID                   nvarchar(36)          not null default newid(),"
      "Date                 datetime             null,AccountTime          nvarchar(8)           null,"
      "VouchId              nvarchar(20)          null,Code_No              nvarchar(15)          null,"
      "cComCode             nvarchar(4)           null,DepartmentName         nvarchar(80)          null,"
      "CustomerName           nvarchar(142)          null,SupplierName           nvarchar(142)          null,"
      "EmployeeName           nvarchar(80)          null,";
  const std::string ddl_tail =
      "ItemName             nvarchar(80)          null,CashItemId          nvarchar(98)           null,"
      "NatInMoney                   decimal(27,8)        null,NatOutMoney                   decimal(27,8)        null,"
      "constraint PK_TEMP_ETL_GL_CASHVOUCH primary key nonclustered (ID))";
  const std::vector<std::string> want = {
      "Provider=sqloledb;SERVER=" + acc_.dir() + ";UID=sa;PWD=***;DATABASE=vxdata_001_2006",
      "Provider=sqloledb;SERVER=" + olap_.dir() + ";UID=sa;PWD=***;DATABASE=olap",
      "DRIVER={SQL Server};SERVER=" + acc_.dir() + ";UID=sa;PWD=***;database=vxsystem",
      "select name from sysobjects where name='Temp_ETL_GL_CashVouch'",
      "create table Temp_ETL_GL_CashVouch" + ddl + ddl_tail,
      "select name from tempdb..sysobjects where name='Temp_ETL_GL_CashVouch'",
      "create table " + stage + ddl + "cItem_class             nvarchar(80)          null," + ddl_tail,
      "insert into " + stage +
          "(date,VouchId,code_no,DepartmentName,CustomerName,SupplierName,EmployeeName,citem_class,ItemName,"
          "CashItemId,NatInMoney,NatOutMoney)  SELECT v.dbill_date,v.csign+'-'+REPLICATE('0', 4-len(v.ino_id))"
          "+convert(char(5),v.ino_id),v.ccode,v.cdept_id,v.ccus_id,v.csup_id,v.cperson_id,v.citem_class,"
          "v.citem_id,c.ccashitem,c.md,c.mc  FROM OPENROWSET('SQLOLEDB','" + acc_.dir() +
          "';'sa';'***','SELECT * FROM vxdata_001_2006.dbo.gl_cashtable') AS c  INNER JOIN OPENROWSET("
          "'SQLOLEDB','" + acc_.dir() + "';'sa';'***','SELECT * FROM vxdata_001_2006.dbo.gl_accvouch') AS v "
          " ON c.iperiod = v.iperiod and c.isignseq=v.isignseq and c.ino_id=v.ino_id and c.inid=v.inid and "
          "v.dbill_date>='20060315' and v.dbill_date<='20060315'",
      "select distinct date from " + stage,
      "select iyear,iid,dbegin from ua_period where cacc_id='001' and iyear=2006 and dbegin<='20060315' and dend>='20060315'",
      "update " + stage + " set AccountTime='2006.03' where date='20060315'",
      "select distinct DepartmentName from " + stage,
      "select cdepname from department where cdepcode='ZZ'",
      "update " + stage + " set DepartmentName=N'' where DepartmentName='ZZ'",
      "select distinct CustomerName from " + stage,
      "select distinct SupplierName from " + stage,
      "select distinct EmployeeName from " + stage,
      "select * from " + stage,
      "select cdirection from fitemss98 where citemcode='OUT'",
      "select bproperty from code where ccode='2202'",
      "select distinct ItemName,citem_class from " + stage,
      "insert  Into Temp_ETL_GL_CashVouch (date,AccountTime,VouchId,code_no,DepartmentName,CustomerName,"
      "SupplierName,EmployeeName,ItemName,CashItemId,NatInMoney,NatOutMoney)  select date,AccountTime,VouchId,"
      "code_no,DepartmentName,CustomerName,SupplierName,EmployeeName,ItemName,CashItemId,NatInMoney,NatOutMoney"
      " from " + stage,
      "select count(*) as n from " + stage,  // the run report's count, after the copy
      "drop table " + stage,
  };
  EXPECT_EQ(lines, want);
}

// One period query and one update per distinct date, however many lines share it;
// the period number is written "0#" (01, 03, and a three-digit number in full).
TEST_F(CashVouchRun, StampsOnePeriodLabelPerDistinctDate) {
  acc_.Exec("vxsystem", "UPDATE ua_period SET iid=100 WHERE iid=12");
  acc_.Exec("vxdata_001_2006", R"sql(
    INSERT INTO gl_accvouch (iperiod, csign, isignseq, ino_id, inid, dbill_date, ccode) VALUES
      (1, 'S', 1, 1, 1, '2006-01-05 00:00:00', '1001'), (12, 'S', 1, 1, 1, '2006-12-31 00:00:00', '1001');
    INSERT INTO gl_cashtable (iperiod, isignseq, ino_id, inid, ccashitem, md, mc) VALUES
      (1, 1, 1, 1, 'IN', 1, 0), (12, 1, 1, 1, 'IN', 1, 0);
  )sql");
  const std::string trace = t_.path() + "/trace";
  auto r = Run("2006-01-01", "2006-12-31", {"--trace", trace});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  auto lines = TraceLines(trace);
  auto count = [&](const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  };
  // Seven lines on six dates (two lines share 2006-03-01).
  EXPECT_EQ(count("select iyear,iid,dbegin from ua_period "), 6);
  EXPECT_EQ(count("update tempdb..Temp_ETL_GL_CashVouch set AccountTime="), 6);
  EXPECT_EQ(olap_.Query("olap", "select substr(Date,1,10), AccountTime, count(*) from Temp_ETL_GL_CashVouch"
                                " group by 1, 2 order by 1"),
            (Rows{{"2006-01-05", "2006.01", "1"},
                  {"2006-03-01", "2006.03", "2"},
                  {"2006-03-15", "2006.03", "1"},
                  {"2006-03-20", "2006.03", "1"},
                  {"2006-04-01", "2006.04", "1"},
                  {"2006-12-31", "2006.100", "1"}}));
}

// The direction rule over its cases: inflow item or not, debit account or not,
// something in NatInMoney or not.
TEST_F(CashVouchRun, DirectionRuleMovesAmountsBetweenColumns) {
  struct Case {
    const char *item, *account, *md, *mc, *in, *out;
  } cases[] = {
      {"IN", "1001", "0", "150", "-150", "0"},       // inflow, debit account, nothing in: moved in
      {"IN", "1001", "150", "0", "150", "0"},        // inflow, debit account, in: kept
      {"IN", "2202", "150", "0", "0", "0"},          // inflow, credit account, in: in becomes -(0)
      {"IN", "2202", "0", "60", "0", "60"},          // inflow, credit account, nothing in: kept
      {"IN", "1001", "NULL", "40", "-40", "0"},      // a NULL in counts as nothing in
      {"IN", "1001", "0.00001", "7", "1.0e-05", "7"},  // in below a currency's last place still counts
      {"OUT", "1001", "80", "0", "0", "-80"},        // other, debit account, in: moved out
      {"OUT", "1001", "0", "90", "0", "90"},         // other, debit account, nothing in: kept
      {"OUT", "2202", "0", "70", "0", "0"},          // other, credit account, nothing in: out becomes -(0)
      {"OUT", "2202", "30", "0", "30", "0"},         // other, credit account, in: kept
      {"NONE", "9999", "NULL", "NULL", "0", "NULL"}, // no item row, no account row; -(NULL) stays NULL
  };
  std::string sql;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const std::string no = std::to_string(100 + i);
    sql += "INSERT INTO gl_accvouch (iperiod, csign, isignseq, ino_id, inid, dbill_date, ccode) VALUES (6, 'S', 1, " +
           no + ", 1, '2006-06-10 00:00:00', '" + c.account + "');";
    sql += "INSERT INTO gl_cashtable (iperiod, isignseq, ino_id, inid, ccashitem, md, mc) VALUES (6, 1, " + no +
           ", 1, '" + c.item + "', " + c.md + ", " + c.mc + ");";
  }
  acc_.Exec("vxdata_001_2006", sql);
  auto r = Run("2006-06-10", "2006-06-10");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  Rows got = olap_.Query("olap", "select NatInMoney, NatOutMoney from Temp_ETL_GL_CashVouch order by VouchId");
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(got[i], (std::vector<std::string>{cases[i].in, cases[i].out}))
        << cases[i].item << " " << cases[i].account << " " << cases[i].md << " " << cases[i].mc;
}

// Runs the program in a terminal session of its own; returns its exit code and
// leaves its output in `out`.
int RunInNewSession(const std::vector<std::string>& args, const std::string& registry, const std::string& out) {
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    setenv("TALLYPORT_REGISTRY", registry.c_str(), 1);
    std::string bin = testsupport::TallyportBinary();
    std::vector<std::string> copy = args;
    std::vector<char*> argv{bin.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// With TermMisc.Terminal registered the stage carries the session id, and a stage
// that a failed run of one session left behind does not stop another session's run
// (its constraint name differs too).
TEST_F(CashVouchRun, LeftoverStageOfOneSessionBlocksNoOther) {
  auto reg = RunTallyport({"register"}, {{"TALLYPORT_REGISTRY", registry_}});
  ASSERT_EQ(reg.exit_code, 0) << reg.out << reg.err;
  acc_.Exec("vxdata_001_2006", "UPDATE department SET cdepname=NULL WHERE cdepcode='01'");
  auto r = Run("2006-03-01", "2006-03-31");
  ASSERT_EQ(r.exit_code, 1) << r.out;
  const std::string mine = "Temp_ETL_GL_CashVouch" + std::to_string(getsid(0));
  ASSERT_TRUE(olap_.TableExists("tempdb", mine));

  acc_.Exec("vxdata_001_2006", "UPDATE department SET cdepname='Sales' WHERE cdepcode='01'");
  const std::string out = t_.path() + "/other-session.out";
  EXPECT_EQ(RunInNewSession(Args("2006-03-01", "2006-03-31"), registry_, out), 0) << testsupport::ReadFile(out);
  EXPECT_EQ(olap_.Scalar("olap", "select count(*) from Temp_ETL_GL_CashVouch"), "4");
  EXPECT_TRUE(olap_.TableExists("tempdb", mine));  // still waiting for its own session
  EXPECT_EQ(olap_.Scalar("tempdb", "select count(*) from sqlite_master where type='table'"), "1");
}

}  // namespace
