// The data layer's own guarantees over the embedded engine: values read back typed
// (also through the spill file), SQL Server's error texts, the server procedures,
// OPENROWSET's login, fault injection at every operation, the trace, and two
// processes writing one server without damaging it.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <thread>
#include <functional>

#include <gtest/gtest.h>

#include "db/ado.h"
#include "db/connstr.h"
#include "db/conventions.h"
#include "db/fault.h"
#include "db/spool.h"
#include "db/sqlite/server.h"
#include "db/trace.h"
#include "tests/support/fixture.h"

namespace {

using testsupport::EmbeddedServer;
using testsupport::Rows;
using testsupport::TempDir;

std::string Conn(const std::string& dir, const std::string& db, const std::string& pw = "") {
  return db::ConnectionString(db::ClassKind::Summary, db::Role::Olap, dir, pw, db);
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const com::Error& e) {
    return e.what();
  }
  return "";
}

TEST(Layer, ValuesReadBackTypedByTheirColumnsAlsoFromTheSpillFile) {
  TempDir d;
  EmbeddedServer s(d.path());
  // Written with plain SQLite, as any tool may prepare a server.
  s.Exec("olap",
         "create table v (d datetime, b bit, m decimal(18,6), y money, i int, g bigint, f float, t nvarchar(10), u);"
         "insert into v values ('2006-03-01 10:30:00', 1, 0.1, 12345678901.2345, 7, 5000000000, 2.5, '0012', 3.25);"
         "insert into v values (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);"
         "insert into v values ('2006-03-02 00:00:00', 0, -150, 0, -7, 1, 3, '现金', 'x');");
  struct Want {
    const char* column;
    com::VARTYPE type;
    std::string text;  // first row
  } want[] = {
      {"d", com::VT_DATE, "2006-03-01 10:30:00"}, {"b", com::VT_BOOL, "True"},
      {"m", com::VT_DECIMAL, "0.1"},              {"y", com::VT_DECIMAL, "12345678901.2345"},
      {"i", com::VT_I4, "7"},                     {"g", com::VT_I8, "5000000000"},
      {"f", com::VT_R8, "2.5"},                   {"t", com::VT_BSTR, "0012"},
      {"u", com::VT_R8, "3.25"},
  };
  for (size_t memory_rows : {size_t{4096}, size_t{0}}) {
    SCOPED_TRACE(memory_rows);
    db::RowSpool::SetDefaultMemoryRowsForTesting(memory_rows);
    db::Connection cn;
    cn.Open(Conn(s.dir(), "olap"));
    auto rs = db::Recordset::Create();
    rs->Open("select * from v", cn, 2);
    for (const auto& w : want) {
      com::Variant v = rs->Field(w.column);
      EXPECT_EQ(v.type(), w.type) << w.column;
      EXPECT_EQ(v.ToText(), w.text) << w.column;
    }
    rs->MoveNext();
    for (const auto& w : want) EXPECT_TRUE(rs->Field(w.column).IsNull()) << w.column;
    rs->MoveNext();
    EXPECT_EQ(rs->Field("M").ToCurrency().ticks, -1500000);
    EXPECT_EQ(rs->Field("t").ToText(), "现金");
    EXPECT_FALSE(rs->Field("b").ToBool());
    rs->MoveNext();
    EXPECT_TRUE(rs->Eof());
    EXPECT_EQ(ErrorOf([&] { rs->MoveNext(); }),
              "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a "
              "current record.");
    rs->Close();
    rs->Open("select d from v where d>='20060301'", cn);
    EXPECT_EQ(ErrorOf([&] { (void)rs->Field("nosuch"); }),
              "Item cannot be found in the collection corresponding to the requested name or ordinal.");
    EXPECT_EQ(ErrorOf([&] { rs->Collect("d", com::Variant::Null()); }),
              "Current Recordset does not support updating. This may be a limitation of the provider, or of the "
              "selected locktype.");
    rs->Close();
  }
  db::RowSpool::SetDefaultMemoryRowsForTesting(4096);
}

TEST(Layer, FailuresReadAsSqlServersTexts) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "SELECT 1");
  db::Connection cn;
  cn.Open(Conn(s.dir(), "olap"));
  cn.Execute("create table T (ID varchar(36) not null, Code_No varchar(15) not null, md decimal(18,6) null,"
             "constraint PK_T primary key nonclustered (ID))");
  cn.Execute("insert into T (ID,Code_No,md) values ('a','1001',1)");
  struct Case {
    const char* sql;
    const char* text;
  } cases[] = {
      {"drop table tempdb..Missing", "Cannot drop the table 'Missing', because it does not exist or you do not have permission."},
      {"delete from Missing where md=1", "Invalid object name 'Missing'."},
      {"create table T (ID varchar(36) null)", "There is already an object named 'T' in the database."},
      {"insert into T (ID,Code_No,md) values ('a','1002',2)",
       "Violation of PRIMARY KEY constraint 'PK_T'. Cannot insert duplicate key in object 'dbo.T'."},
      {"insert into T (ID,md) values ('b',2)",
       "Cannot insert the value NULL into column 'Code_No', table 'olap.dbo.T'; column does not allow nulls. "
       "INSERT fails."},
      {"update T set nosuch=1 where md=1", "Invalid column name 'nosuch'."},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { cn.Execute(c.sql); }), c.text) << c.sql;
  // The failures left the table as it was, and the connection usable.
  EXPECT_EQ(s.Query("olap", "select ID, Code_No, md from T"), (Rows{{"a", "1001", "1"}}));
  cn.Execute("drop table T");
  EXPECT_FALSE(s.TableExists("olap", "T"));
}

TEST(Layer, AServerNameThatIsNoDirectoryGoesToSqlServer) {
  TempDir d;
  db::Connection cn;
  // Not a directory: a network name for the ODBC path, which fails with its own text.
  std::string text = ErrorOf([&] { cn.Open(Conn(d.path() + "/nosuch", "olap")); });
  EXPECT_FALSE(text.empty());
  EXPECT_FALSE(cn.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(d.path() + "/nosuch"));
  EXPECT_EQ(ErrorOf([&] { cn.Open("SERVER={unclosed;UID=sa"); }),
            db::kMalformedConnectionString);
}

TEST(Layer, ProceduresAreInstalledCheckedAndRecorded) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "SELECT 1");
  db::sqlite::InitServer(s.dir(), "olap-pw");
  db::Connection cn;
  cn.Open(Conn(s.dir(), "olap", "olap-pw"));
  auto call = [&](const std::string& proc, std::vector<std::pair<std::string, std::string>> args,
                  int size_of_first = 20) {
    db::Command cmd;
    cmd.SetActiveConnection(&cn);
    cmd.SetCommandTimeout(1800);
    cmd.SetCommandType(4);
    cmd.SetCommandText(proc);
    int sizes[] = {size_of_first, 50, 3, 4, 10, 10};
    for (size_t i = 0; i < args.size(); ++i)
      cmd.Append(db::Command::CreateParameter(args[i].first, 200, 1, sizes[i], com::Variant::Text(args[i].second)));
    cmd.Execute();
  };
  std::vector<std::pair<std::string, std::string>> qcbl = {
      {"@sAccServer", "acc"},     {"@sAccPwd", "secret"},     {"@sAccZtNo", "001"},
      {"@sAccYear", "2006"},      {"@sStartDate", "2006-04-01"}, {"@sEndDate", "2006-04-01"}};
  EXPECT_EQ(ErrorOf([&] { call("sp_gl_qcbl", qcbl); }), "Could not find stored procedure 'sp_gl_qcbl'.");
  EXPECT_EQ(ErrorOf([&] { db::sqlite::InstallProcedures(s.dir(), "wrong", "olap"); }), "Login failed for user 'sa'.");
  db::sqlite::InstallProcedures(s.dir(), "olap-pw", "olap");
  db::sqlite::InstallProcedures(s.dir(), "olap-pw", "olap");  // again: no harm

  call("SP_GL_QCBL", qcbl);
  auto ye = qcbl;
  ye.erase(ye.begin() + 4);  // no start date
  call("Sp_Gl_QcBlYE", ye);
  // A value longer than its parameter is refused by the command, naming it; the
  // server sees no call.
  auto long_server = qcbl;
  long_server[0].second = "a-server-name-of-21-c";
  std::string text = ErrorOf([&] { call("sp_gl_qcbl", long_server); });
  EXPECT_EQ(text.rfind("String or binary data would be truncated.", 0), 0u) << text;
  EXPECT_NE(text.find("@sAccServer"), std::string::npos) << text;
  // The server checks what the command does not: sizes it declares, names, count.
  EXPECT_NE(ErrorOf([&] { call("sp_gl_qcbl", long_server, 40); }).find("truncated"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { call("Sp_Gl_QcBlYE", qcbl); }).find("too many or too few arguments"), std::string::npos);
  auto misnamed = ye;
  misnamed[2].first = "@sZtNo";
  EXPECT_EQ(ErrorOf([&] { call("Sp_Gl_QcBlYE", misnamed); }),
            "'@sZtNo' is not a parameter for procedure 'Sp_Gl_QcBlYE'.");
  EXPECT_EQ(s.Query("olap", "select seq, name, args from tp_procedure_calls order by seq"),
            (Rows{{"1", "SP_GL_QCBL",
                   "@sAccServer=acc,@sAccPwd=***,@sAccZtNo=001,@sAccYear=2006,@sStartDate=2006-04-01,"
                   "@sEndDate=2006-04-01"},
                  {"2", "Sp_Gl_QcBlYE", "@sAccServer=acc,@sAccPwd=***,@sAccZtNo=001,@sAccYear=2006,@sEndDate=2006-04-01"}}));
}

TEST(Layer, OpenrowsetLogsIntoTheNamedServer) {
  TempDir d;
  EmbeddedServer olap(d.path() + "/olap-srv"), acc(d.path() + "/acc-srv");
  olap.Exec("olap", "create table dest (ccode nvarchar(15), md decimal(18,6))");
  acc.Exec("vxdata_001_2006", "create table gl_cashtable (ccode nvarchar(15), md decimal(18,6));"
                              "insert into gl_cashtable values ('1001', 12.5), ('1002', 0.1);");
  db::sqlite::InitServer(acc.dir(), "acc'pw");
  db::Connection cn;
  cn.Open(Conn(olap.dir(), "olap"));
  auto copy = [&](const std::string& pwd_literal) {
    cn.Execute("insert into dest (ccode,md) SELECT c.ccode,c.md FROM OPENROWSET('SQLOLEDB','" + acc.dir() +
               "';'sa';'" + pwd_literal + "','SELECT * FROM vxdata_001_2006.dbo.gl_cashtable') AS c ");
  };
  EXPECT_EQ(ErrorOf([&] { copy("wrong"); }), "Login failed for user 'sa'.");
  copy("acc''pw");
  EXPECT_EQ(olap.Query("olap", "select ccode, md from dest order by ccode"), (Rows{{"1001", "12.5"}, {"1002", "0.1"}}));
}

// Every operation of a small run fails in turn; each failure surfaces as the
// injected error at that operation, and the run after it is whole again.
TEST(Layer, AFaultAtEachOperationSurfacesThere) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "create table t (k nvarchar(5), n int); insert into t values ('a',1),('b',2);");
  std::vector<std::string> steps;
  auto run = [&] {
    steps.clear();
    db::Connection cn;
    steps.push_back("open");
    cn.Open(Conn(s.dir(), "olap"));
    steps.push_back("execute");
    cn.Execute("update t set n=n+10 where k='a'");
    auto rs = db::Recordset::Create();
    rs->SetLockType(3);
    steps.push_back("query");
    rs->Open("select * from t", cn, 2);
    while (!rs->Eof()) {
      rs->Collect("n", com::Variant::I4(0));
      steps.push_back("update");
      rs->Update();
      steps.push_back("fetch");
      rs->MoveNext();
    }
    rs->Close();
  };
  db::testing::FailAt(0, "");
  run();
  const long operations = db::testing::OperationCount();
  ASSERT_EQ(operations, 7);  // open, execute, query, 2 x (update, fetch)
  const std::vector<std::string> all = steps;
  for (long n = 1; n <= operations; ++n) {
    db::testing::FailAt(n, "injected fault");
    EXPECT_EQ(ErrorOf(run), "injected fault") << n;
    EXPECT_EQ(steps.back(), all[static_cast<size_t>(n - 1)]) << n;
  }
  db::testing::FailAt(0, "");
  EXPECT_EQ(ErrorOf(run), "");
}

TEST(Layer, TheTraceHasEveryStatementInOrderWithoutPasswords) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "create table t (k nvarchar(5), n int); insert into t values ('a',1);");
  db::sqlite::InitServer(s.dir(), "p}w");
  std::string trace = d.path() + "/trace.txt";
  setenv("TALLYPORT_TRACE", trace.c_str(), 1);
  {
    db::Connection cn;
    cn.Open(Conn(s.dir(), "olap", "p}w"));
    cn.Execute("update t set n=2\nwhere k='a'");
    auto rs = db::Recordset::Create();
    rs->SetLockType(3);
    rs->Open("select * from t", cn, 2);
    rs->Collect("k", com::Variant::Text("O'B"));
    rs->Update();
    rs->Close();
  }
  unsetenv("TALLYPORT_TRACE");
  EXPECT_EQ(testsupport::ReadFile(trace),
            "DRIVER={SQL Server};SERVER=" + s.dir() + ";UID=sa;PWD=***;DATABASE=olap\n"
            "update t set n=2 where k='a'\n"
            "select * from t\n");
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"SERVER=s;pwd={a;b}}c};DATABASE=x", "SERVER=s;pwd=***;DATABASE=x"},
      {"UID=sa;PWD = plain", "UID=sa;PWD = ***"},
      {"from openrowset ( 'SQLOLEDB' , 'srv' ; 'sa' ; 'it''s' , 'SELECT 1') as c",
       "from openrowset ( 'SQLOLEDB' , 'srv' ; 'sa' ; '***' , 'SELECT 1') as c"},
      {"a OPENROWSET('SQLOLEDB','s';'sa';'x') b OPENROWSET('SQLOLEDB','s';'sa';'y') c",
       "a OPENROWSET('SQLOLEDB','s';'sa';'***') b OPENROWSET('SQLOLEDB','s';'sa';'***') c"},
      {"select name from sysobjects where name='T'", "select name from sysobjects where name='T'"},
      {"OPENROWSET('SQLOLEDB','unclosed", "OPENROWSET('SQLOLEDB','unclosed"},
  };
  for (const auto& c : cases) EXPECT_EQ(db::MaskPasswords(c.in), c.out) << c.in;
}

// Two processes write the same tables of one server at once, through tempdb and
// the analysis database: every row lands and the files stay sound.
TEST(Layer, TwoProcessesWritingOneServerDoNotDamageIt) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "SELECT 1");
  {
    db::Connection cn;
    cn.Open(Conn(s.dir(), "olap"));
    cn.Execute("create table Fact (ID varchar(36) not null default newid(), Code_No varchar(15) null, "
               "md decimal(18,6) null, constraint PK_FACT primary key nonclustered (ID))");
  }
  constexpr int kRows = 150;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      int status = 0;
      try {
        db::Connection cn;
        cn.Open(Conn(s.dir(), "olap"));
        cn.SetCommandTimeout(0);
        std::string stage = "tempdb..Stage" + std::to_string(c);
        cn.Execute("create table " + stage + " (Code_No varchar(15) null, md decimal(18,6) null)");
        for (int i = 0; i < kRows; ++i) {
          cn.Execute("insert into " + stage + " (Code_No,md) values ('" + std::to_string(c) + "'," +
                     std::to_string(i) + ".5)");
          cn.Execute("insert into Fact (Code_No,md) values ('" + std::to_string(c) + "'," + std::to_string(i) + ".5)");
        }
        cn.Execute("drop table " + stage);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "child %d: %s\n", c, e.what());
        status = 1;
      }
      _exit(status);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(s.Query("olap", "select Code_No, count(*), count(distinct ID), sum(md) from Fact group by Code_No"),
            (Rows{{"0", "150", "150", "11250.0"}, {"1", "150", "150", "11250.0"}}));
  for (const char* db : {"olap", "tempdb"}) EXPECT_EQ(s.Scalar(db, "PRAGMA integrity_check"), "ok") << db;
}

}  // namespace

namespace {

// A process killed in the middle of its writes leaves the server sound, with every
// statement it finished; a busy database is waited for, as long as the command
// time-out allows.
TEST(Layer, AKilledWriterLosesNothingFinishedAndABusyDatabaseIsWaitedFor) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "create table t (n int)");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      db::Connection cn;
      cn.Open(Conn(s.dir(), "olap"));
      for (int i = 0;; ++i) cn.Execute("insert into t (n) values (" + std::to_string(i) + ")");
    } catch (...) {
    }
    _exit(1);
  }
  while (std::atoi(s.Scalar("olap", "select count(*) from t").c_str()) < 200) usleep(1000);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(s.Scalar("olap", "PRAGMA integrity_check"), "ok");
  // The rows are exactly the statements that completed: 0..n-1, none torn.
  Rows r = s.Query("olap", "select count(*), min(n), max(n) + 1 from t");
  EXPECT_EQ(r[0][1], "0");
  EXPECT_EQ(r[0][0], r[0][2]);

  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(s.DbPath("olap").c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE; insert into t values (-1)", nullptr, nullptr, nullptr), SQLITE_OK);
  db::Connection cn;
  cn.Open(Conn(s.dir(), "olap"));
  cn.SetCommandTimeout(1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf([&] { cn.Execute("insert into t (n) values (-2)"); }), "Query timeout expired");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  // Released while the next statement waits: it goes through.
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
  });
  cn.SetCommandTimeout(0);
  EXPECT_EQ(ErrorOf([&] { cn.Execute("insert into t (n) values (-2)"); }), "");
  release.join();
  sqlite3_close(holder);
  EXPECT_EQ(s.Scalar("olap", "select count(*) from t where n<0"), "2");
}

// The real program fails at the operation $TALLYPORT_FAULT names and reports that
// failure as the run's result.
TEST(Layer, TheProgramFailsWhereTheEnvironmentSays) {
  TempDir d;
  EmbeddedServer s(d.path());
  testsupport::CreateAccountSet(s);
  auto args = testsupport::ExtractArgs("summary", s, "2006-03-01", "2006-03-02");
  for (int n : {1, 5}) {
    std::string message = "injected at " + std::to_string(n);
    auto r = testsupport::RunTallyport(args, {{"TALLYPORT_FAULT", std::to_string(n) + ":" + message}});
    EXPECT_EQ(r.exit_code, 1) << n;
    EXPECT_NE((r.out + r.err).find(message), std::string::npos) << r.out << r.err;
  }
  EXPECT_EQ(testsupport::RunTallyport(args).exit_code, 0);
}

}  // namespace
