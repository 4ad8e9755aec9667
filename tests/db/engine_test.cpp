// The ADO-shaped layer over the embedded engine: opening with SQL Server's errors,
// statements of the component's forms with SQL Server's meaning, snapshot
// recordsets (also past the in-memory part), write-back, and the trace.
#include <sqlite3.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "db/ado.h"
#include "db/conventions.h"
#include "db/engine.h"
#include "db/spool.h"
#include "db/trace.h"
#include "db/sqlite/server.h"
#include "tests/support/fixture.h"

namespace {

using testsupport::EmbeddedServer;
using testsupport::TempDir;

std::string Conn(const EmbeddedServer& s, const std::string& db, const std::string& pw = "") {
  return db::ConnectionString(db::ClassKind::Summary, db::Role::Acc, s.dir(), pw, db);
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const db::Error& e) {
    return e.what();
  }
  return "";
}

TEST(Engine, OpenFailsWithSqlServersTexts) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "SELECT 1");
  db::sqlite::InitServer(s.dir(), "right");
  db::Connection cn;
  EXPECT_EQ(ErrorOf([&] { cn.Open(Conn(s, "olap", "wrong")); }), "Login failed for user 'sa'.");
  EXPECT_EQ(ErrorOf([&] { cn.Open(Conn(s, "nosuch", "right")); }),
            "Cannot open database \"nosuch\" requested by the login. The login failed.");
  EXPECT_EQ(ErrorOf([&] { cn.Open(Conn(s, "OLAP", "right")); }), "");
  EXPECT_TRUE(cn.IsOpen());
}

TEST(Engine, FactTableStatementsKeepSqlServersMeaning) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "SELECT 1");
  db::Connection cn;
  cn.Open(Conn(s, "olap"));
  cn.SetCommandTimeout(0);
  auto rs = db::Recordset::Create();
  EXPECT_FALSE(db::OpenExistenceTest(*rs, cn, "Temp_Etl_GL_Sum", false));
  rs->Close();
  cn.Execute(
      "create table Temp_Etl_GL_Sum(ID                   varchar(36)          not null default newid(),"
      "Date                 datetime             null,Code_No              varchar(15)          null,"
      "md                   decimal(18,6)        null,constraint PK_TEMP_ETL_GL_SUM primary key nonclustered (ID))");
  EXPECT_TRUE(db::OpenExistenceTest(*rs, cn, "Temp_Etl_GL_Sum", false));
  rs->Close();
  // The constraint name is an object of the database, as on SQL Server.
  EXPECT_EQ(ErrorOf([&] {
              cn.Execute("create table Other(ID varchar(36) not null default newid(),"
                         "constraint PK_TEMP_ETL_GL_SUM primary key nonclustered (ID))");
            }),
            "There is already an object named 'PK_TEMP_ETL_GL_SUM' in the database. Could not create "
            "constraint or index. See previous errors.");
  EXPECT_FALSE(s.TableExists("olap", "Other"));  // the failed statement left nothing
  for (const char* date : {"20060301", "2006-03-02", "20060303 10:00:00"})
    cn.Execute(std::string("insert into Temp_Etl_GL_Sum (code_no,Date,md) values ('O''Brien','") + date + "',0.1)");
  cn.Execute("insert into Temp_Etl_GL_Sum (code_no,Date,md) values ('1001 ','20060305',0.2)");
  EXPECT_EQ(s.Scalar("olap", "select group_concat(length(ID)) from Temp_Etl_GL_Sum"), "36,36,36,36");
  EXPECT_EQ(s.Scalar("olap", "select Date from Temp_Etl_GL_Sum where md=0.2"), "2006-03-05 00:00:00");
  // Dates compare chronologically whatever form the literal has; text ignores case
  // and trailing blanks; sums are exact.
  rs->Open("select sum(md) as summd from Temp_Etl_GL_Sum where date>='2006-03-02' and date<='20060305'", cn);
  EXPECT_EQ(rs->Field("SUMMD").ToCurrency().ticks, 4000);  // 03-02, 03-03 10:00 and 03-05
  rs->Close();
  rs->Open("select Code_No, Date from Temp_Etl_GL_Sum where code_no='1001' order by date desc", cn, -1);
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(rs->Field("code_no").ToText(), "1001 ");
  EXPECT_EQ(rs->Field("date").type(), com::VT_DATE);
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  EXPECT_EQ(ErrorOf([&] { (void)rs->Field("date"); }),
            "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.");
  rs->Close();
  // DISTINCT and GROUP BY treat '1001' and '1001 ' (and case) as one, as SQL Server does.
  cn.Execute("insert into Temp_Etl_GL_Sum (code_no,Date,md) values ('1001','20060305',0.3)");
  rs->Open("select distinct code_no from Temp_Etl_GL_Sum where date='20060305'", cn, 2);
  EXPECT_EQ(rs->Field("Code_No").ToText().substr(0, 4), "1001");
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  rs->Close();
  rs->Open("select code_no,sum(md) as s from Temp_Etl_GL_Sum where date='20060305' group by code_no", cn);
  EXPECT_EQ(rs->Field("s").ToCurrency().ticks, 5000);
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  rs->Close();
  cn.Execute("delete  from Temp_Etl_GL_Sum where date>='20060301' and date<='20060302'");
  EXPECT_EQ(s.Scalar("olap", "select count(*) from Temp_Etl_GL_Sum"), "3");
  EXPECT_EQ(ErrorOf([&] { cn.Execute("delete from Nowhere where date<='20060101'"); }),
            "Invalid object name 'Nowhere'.");
  // Not a date at all: 241; a well-formed but impossible day: 242, as SQL Server says.
  EXPECT_EQ(ErrorOf([&] { cn.Execute("delete from Temp_Etl_GL_Sum where date<='notadate'"); }),
            "Conversion failed when converting date and/or time from character string.");
  EXPECT_EQ(ErrorOf([&] { cn.Execute("delete from Temp_Etl_GL_Sum where date<='20060230'"); }),
            "The conversion of a varchar data type to a datetime data type resulted in an out-of-range value.");
  EXPECT_EQ(ErrorOf([&] { cn.Execute("insert into T select a+b from X"); }),
            "Invalid object name 'T'.");
}

TEST(Engine, RecordsetsSeeTheRowsAsTheyStoodAndWriteBack) {
  for (size_t memory_rows : {size_t{4096}, size_t{2}}) {
    db::RowSpool::SetDefaultMemoryRowsForTesting(memory_rows);
    TempDir d;
    EmbeddedServer s(d.path());
    s.Exec("olap", "create table stage (DepartmentName nvarchar(80), NatInMoney decimal(27,8), NatOutMoney decimal(27,8));"
                   "insert into stage values ('01',150,0),('02',0,70),('01',NULL,40),('03',80,0),(NULL,1,1);");
    db::Connection cn;
    cn.Open(Conn(s, "olap"));
    // The name pass rewrites the very values it walks: the walk is not disturbed.
    auto work = db::Recordset::Create();
    work->Open("select distinct DepartmentName from stage", cn, 2);
    int seen = 0;
    for (; !work->Eof(); work->MoveNext()) {
      com::Variant code = work->Field("DepartmentName");
      if (code.IsNull()) continue;
      ++seen;
      cn.Execute("update stage set DepartmentName=N'Dept " + code.ToText() + "' where DepartmentName='" + code.ToText() + "'");
    }
    work->Close();
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(s.Scalar("olap", "select group_concat(ifnull(DepartmentName,'NULL'),'|') from stage"),
              "Dept 01|Dept 02|Dept 01|Dept 03|NULL");
    // An updatable walk moves one amount into the other with its sign reversed.
    auto rs = db::Recordset::Create();
    rs->SetLockType(3);
    rs->Open("select * from stage", cn, 2);
    for (; !rs->Eof(); rs->MoveNext()) {
      com::Variant in = rs->Field("NatInMoney");
      if (in.IsNull() || in.ToCurrency().IsZero()) {
        rs->Collect("NatInMoney", com::Variant::Cy(-rs->Field("natoutmoney").ToCurrency()));
        rs->Collect("NatOutMoney", com::Variant::I2(0));
      }
      rs->Update();
    }
    rs->Close();
    EXPECT_EQ(s.Scalar("olap", "select group_concat(NatInMoney || '/' || NatOutMoney, ' ') from stage"),
              "150/0 -70/0 -40/0 80/0 1/1");
  }
  db::RowSpool::SetDefaultMemoryRowsForTesting(4096);
}

TEST(Engine, TempdbIsSharedAndTheTraceHidesPasswords) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "SELECT 1");
  db::sqlite::InitServer(s.dir(), "pw;x");
  std::string trace = d.path() + "/trace.txt";
  setenv("TALLYPORT_TRACE", trace.c_str(), 1);
  db::Connection a, b;
  a.Open(Conn(s, "olap", "pw;x"));
  b.Open(Conn(s, "olap", "pw;x"));
  a.Execute("create table tempdb..Stage7(ID nvarchar(36) not null default newid(),Date datetime null,"
            "constraint PK_STAGE7 primary key nonclustered (ID))");
  auto rs = db::Recordset::Create();
  EXPECT_TRUE(db::OpenExistenceTest(*rs, b, "Stage7", true));
  rs->Close();
  b.Execute("drop table tempdb..Stage7");
  EXPECT_FALSE(db::OpenExistenceTest(*rs, a, "Stage7", true));
  rs->Close();
  unsetenv("TALLYPORT_TRACE");
  std::string t = testsupport::ReadFile(trace);
  EXPECT_NE(t.find("PWD=***;DATABASE=olap"), std::string::npos) << t;
  EXPECT_NE(t.find("select name from tempdb..sysobjects where name='Stage7'"), std::string::npos);
  EXPECT_EQ(t.find("pw;x"), std::string::npos);
  EXPECT_EQ(db::MaskPasswords("x OPENROWSET('SQLOLEDB','srv';'sa';'p''w','SELECT 1') y"),
            "x OPENROWSET('SQLOLEDB','srv';'sa';'***','SELECT 1') y");
}

// Inside a write batch the sessions of a thread still see each other's statements
// at once, a failed statement leaves the ones before it, a writer elsewhere is not
// shut out while the run goes on, and everything is durable once committed.
TEST(Engine, BatchedSessionsSeeEachOtherAndCommitForOthers) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "create table t (k nvarchar(5) not null primary key, n int);");
  db::WriteBatch batch;
  db::Connection a, b;
  a.Open(Conn(s, "olap"));
  b.Open(Conn(s, "olap"));
  a.Execute("create table tempdb..w (k nvarchar(5), n int)");
  b.Execute("insert into tempdb..w values ('a', 1)");
  a.Execute("update tempdb..w set n=n+1 where k='A'");
  auto rs = db::Recordset::Create();
  rs->Open("select n from tempdb..w where k='a'", b, 2);
  EXPECT_EQ(rs->Field("n").ToText(), "2");
  rs->Close();
  a.Execute("insert into t values ('x', 1)");
  EXPECT_NE(ErrorOf([&] { a.Execute("insert into t values ('x', 2)"); }), "");
  b.Execute("insert into t values ('y', 3)");
  rs->Open("select count(*) as c from t", a, 2);
  EXPECT_EQ(rs->Field("c").ToText(), "2");
  rs->Close();

  // Another writer waits for the batch only until the batch's age is reached.
  std::atomic<bool> written{false};
  std::thread other([&] {
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(s.DbPath("olap").c_str(), &h), SQLITE_OK);
    sqlite3_busy_timeout(h, 20000);
    EXPECT_EQ(sqlite3_exec(h, "insert into t values ('z', 4)", nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(h);
    sqlite3_close(h);
    written = true;
  });
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; !written && std::chrono::steady_clock::now() - start < std::chrono::seconds(10); ++i) {
    a.Execute("update t set n=n+1 where k='x'");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  other.join();
  EXPECT_TRUE(written);
  batch.Commit();
  EXPECT_EQ(s.Scalar("olap", "select group_concat(k, ',') from (select k from t order by k)"), "x,y,z");
  EXPECT_EQ(s.Scalar("tempdb", "select n from w"), "2");
}

// A tempdb table searched by value again and again gets an index under the text
// collation, which finds exactly the rows a scan finds; it is no object of the
// database's catalogue.
TEST(Engine, TempdbTablesSearchedByValueGetAnIndexThatFindsTheSameRows) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "create table dummy (k int);");
  db::Connection cn;
  cn.Open(Conn(s, "olap"));
  cn.Execute("create table tempdb..stage (code nvarchar(10), d datetime, name nvarchar(20))");
  for (int i = 0; i < 600; ++i) {
    const std::string code = i % 3 == 0 ? "c" + std::to_string(i % 20) : i % 3 == 1 ? "C" + std::to_string(i % 20) + "  " : "C" + std::to_string(i % 20);
    cn.Execute("insert into tempdb..stage (code, d) values ('" + code + "', '2006-01-" + std::to_string(1 + i % 20) + "')");
  }
  for (int k = 0; k < 20; ++k) {
    cn.Execute("update tempdb..stage set name=N'n" + std::to_string(k) + "' where code='C" + std::to_string(k) + "'");
    cn.Execute("update tempdb..stage set d='2007-02-01' where d='200601" + std::string(k + 1 < 10 ? "0" : "") + std::to_string(k + 1) + "' and name=N'n" + std::to_string(k) + "'");
  }
  EXPECT_EQ(s.Scalar("tempdb", "select count(*) from stage where name is null or name <> 'n' || cast(substr(trim(code), 2) as int)"), "0");
  EXPECT_EQ(s.Scalar("tempdb", "select count(*) from stage where d = '2007-02-01 00:00:00'"), "600");
  EXPECT_EQ(s.Scalar("tempdb", "select count(*) from sqlite_schema where type='index' and name like 'tp_seek_stage_%'"), "3");
  auto rs = db::Recordset::Create();
  for (const char* name : {"stage", "tp_seek_stage_code"}) {
    rs->Open(std::string("select name from tempdb..sysobjects where name='") + name + "'", cn, 2);
    EXPECT_EQ(rs->Eof(), name != std::string("stage")) << name;
    rs->Close();
  }
}

// Two runs at once, each writing two databases in the opposite order, inside their
// batches: neither waits for the other while holding a lock the other needs.
TEST(Engine, BatchesOfTwoThreadsWritingTwoDatabasesNeverWaitForEachOther) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("one", "create table t (k int);");
  s.Exec("two", "create table t (k int);");
  // Both runs hold their first database's lock before either writes its second.
  std::barrier both(2);
  constexpr int kRounds = 20;
  auto run = [&](const std::string& first, const std::string& second, std::string* error) {
    try {
      db::WriteBatch batch;
      db::Connection a, b;
      a.Open(Conn(s, first));
      b.Open(Conn(s, second));
      a.SetCommandTimeout(5);
      b.SetCommandTimeout(5);
      for (int i = 0; i < kRounds; ++i) {
        a.Execute("insert into t values (" + std::to_string(i) + ")");
        both.arrive_and_wait();
        b.Execute("insert into t values (" + std::to_string(i) + ")");
        both.arrive_and_wait();  // neither takes its first lock again before both are done
      }
      batch.Commit();
    } catch (const std::exception& e) {
      *error = e.what();
      both.arrive_and_drop();  // the other run goes on alone
    }
  };
  std::string e1, e2;
  std::thread t1(run, "one", "two", &e1), t2(run, "two", "one", &e2);
  t1.join();
  t2.join();
  EXPECT_EQ(e1, "");
  EXPECT_EQ(e2, "");
  EXPECT_EQ(s.Scalar("one", "select count(*) from t"), std::to_string(2 * kRounds));
  EXPECT_EQ(s.Scalar("two", "select count(*) from t"), std::to_string(2 * kRounds));
}

// A key left to its newid() default gets a fresh GUID from every kind of insert the
// engine runs, and the table keeps a default any SQLite tool can use.
TEST(Engine, NewIdDefaultsGiveFreshGuidsHereAndInPlainSqlite) {
  TempDir d;
  EmbeddedServer s(d.path());
  s.Exec("olap", "create table src (n int); insert into src values (1),(2),(3);");
  db::Connection cn;
  cn.Open(Conn(s, "olap"));
  cn.Execute("create table T (ID nvarchar(36) not null default newid(), n int)");
  cn.Execute("insert into T (n) values (10), (11)");
  cn.Execute("insert into T (n) select n from src");
  cn.Execute("insert into T (ID, n) values ('given', 20)");
  s.Exec("olap", "insert into T (n) values (30);");
  EXPECT_EQ(s.Scalar("olap", "select count(distinct ID) from T"), "7");
  EXPECT_EQ(s.Scalar("olap", "select count(*) from T where ID = 'given'"), "1");
  const std::string guid = "[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]";
  EXPECT_EQ(s.Scalar("olap", "select count(*) from T where ID <> 'given' and length(ID) = 36 and ID = upper(ID) and "
                             "substr(ID, 9, 1) = '-' and substr(ID, 14, 2) = '-4' and substr(ID, 19, 1) = '-' and "
                             "substr(ID, 20, 1) in ('8','9','A','B') and substr(ID, 24, 1) = '-' and ID glob '" + guid + "*'"),
            "6");
}

}  // namespace
