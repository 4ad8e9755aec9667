// The ODBC engine: connection-text mapping as pure cases, and sessions through the
// unixODBC driver manager with the SQLite ODBC driver standing in for a server
// (typed values, Unicode texts, cursors side by side, write-back by key, the
// driver's own error texts). Session tests skip only when the SQLite3 ODBC driver
// is not registered (scripts/odbc-setup.sh registers it).
#include <sql.h>
#include <sqlext.h>
#include <stdlib.h>

#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "db/ado.h"
#include "db/connstr.h"
#include "db/odbc/connection.h"
#include "tests/support/fixture.h"

namespace {

using db::odbc::MapConnectionText;

std::string Map(const std::string& text, bool freetds, const std::string& driver = "SQL Server") {
  return MapConnectionText(text, driver, [freetds](const std::string&) { return freetds; });
}

db::Error ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const db::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no db::Error was thrown";
  return db::Error("");
}

TEST(OdbcMapping, ComponentTexts) {
  struct Case {
    const char* in;
    bool freetds;
    const char* out;
  } cases[] = {
      {"Provider=sqloledb;SERVER=db1;UID=sa;PWD=pw;DATABASE=vxdata_001_2006", false,
       "DRIVER={SQL Server};SERVER=db1;UID=sa;PWD=pw;DATABASE=vxdata_001_2006"},
      {"Provider=SQLOLEDB;SERVER=db1,1433;UID=sa;PWD=pw;DATABASE=d", true,
       "DRIVER={SQL Server};SERVER=db1,1433;UID=sa;PWD=pw;DATABASE=d;ClientCharset=UTF-8"},
      {"Provider=sqloledb;SERVER=db1\\OLAP;UID=sa;PWD=;DATABASE=d", false,
       "DRIVER={SQL Server};SERVER=db1\\OLAP;UID=sa;PWD=;DATABASE=d"},
      // A value the component wrote braced stays braced: it cannot add a keyword.
      {"Provider=sqloledb;SERVER=db1;UID=sa;PWD={a;DATABASE=x}}};DATABASE=d", false,
       "DRIVER={SQL Server};SERVER=db1;UID=sa;PWD={a;DATABASE=x}}};DATABASE=d"},
      // Each key once, the first occurrence winning.
      {"Provider=sqloledb;SERVER=a;UID=sa;PWD=p;DATABASE=d;DATABASE=e", false,
       "DRIVER={SQL Server};SERVER=a;UID=sa;PWD=p;DATABASE=d"},
      {"DRIVER={SQL Server};SERVER=db1;UID=sa;PWD=pw;database=vxsystem", false,
       "DRIVER={SQL Server};SERVER=db1;UID=sa;PWD=pw;database=vxsystem"},
      {"DRIVER={SQL Server};SERVER=db1;UID=sa;PWD=pw;database=vxsystem", true,
       "DRIVER={SQL Server};SERVER=db1;UID=sa;PWD=pw;database=vxsystem;ClientCharset=UTF-8"},
      {"DRIVER={SQL Server};SERVER=db1;ClientCharset=CP936", true,
       "DRIVER={SQL Server};SERVER=db1;ClientCharset=CP936"},
  };
  for (const Case& c : cases) EXPECT_EQ(Map(c.in, c.freetds), c.out) << c.in;

  // The mapped hostile text reads back with the password whole and the right database.
  auto pairs = db::ParseConnectionString(Map(cases[3].in, false));
  ASSERT_TRUE(pairs);
  EXPECT_EQ(db::ConnGet(*pairs, "PWD"), "a;DATABASE=x}");
  EXPECT_EQ(db::ConnGet(*pairs, "DATABASE"), "d");
}

TEST(OdbcMapping, ConfiguredDriverIsAskedAboutAndNamed) {
  std::string asked;
  std::string out = MapConnectionText("Provider=sqloledb;SERVER=h;UID=sa;PWD=p;DATABASE=d", "My;Driver",
                                      [&](const std::string& d) {
                                        asked = d;
                                        return false;
                                      });
  EXPECT_EQ(asked, "My;Driver");
  EXPECT_EQ(out, "DRIVER={My;Driver};SERVER=h;UID=sa;PWD=p;DATABASE=d");
}

TEST(OdbcMapping, RefusalsNeverQuoteTheText) {
  for (const char* text : {"Provider=sqloledb;SERVER=h;UID=sa;PWD={s3cret;DATABASE=d",
                           "Provider=MSDASQL;SERVER=h;UID=sa;PWD=s3cret;DATABASE=d"}) {
    db::Error e = ErrorOf([&] { Map(text, false); });
    EXPECT_FALSE(std::string(e.what()).empty()) << text;
    EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos) << e.what();
  }
}

bool DriverRegistered(const std::string& name) {
  SQLHENV env = SQL_NULL_HANDLE;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return false;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLCHAR desc[256], attrs[2048];
  SQLSMALLINT dl = 0, al = 0;
  bool found = false;
  for (SQLUSMALLINT dir = SQL_FETCH_FIRST;
       !found && SQL_SUCCEEDED(SQLDrivers(env, dir, desc, sizeof desc, &dl, attrs, sizeof attrs, &al));
       dir = SQL_FETCH_NEXT)
    found = name == reinterpret_cast<const char*>(desc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return found;
}

// A session on a fresh SQLite file through the SQLite3 ODBC driver.
class OdbcSqlite : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!DriverRegistered("SQLite3"))
      GTEST_SKIP() << "the SQLite3 ODBC driver is not registered (run scripts/odbc-setup.sh)";
    path_ = dir_.path() + "/t.db";
    s_ = db::odbc::OpenOdbcSession(text());
    s_->SetCommandTimeout(0);
  }
  std::string text() const { return "DRIVER=SQLite3;Database=" + path_; }

  std::vector<std::vector<com::Variant>> Rows(const std::string& sql) {
    auto c = s_->Query(sql);
    std::vector<std::vector<com::Variant>> rows;
    std::vector<com::Variant> row;
    while (c->Next(&row)) rows.push_back(row);
    return rows;
  }

  testsupport::TempDir dir_;
  std::string path_;
  std::unique_ptr<db::Session> s_;
};

TEST_F(OdbcSqlite, ValuesArriveTypedByColumn) {
  s_->Execute(
      "create table t (id int primary key, d datetime, dd date, a decimal(27,8), m money, b bit, g bigint, "
      "f float, s nvarchar(50))");
  s_->Execute(
      "insert into t values (1, '2024-02-29 13:45:10.250', '2024-01-02', 1234.5678, 0.1, 1, 9000000000, 1.5, "
      "'ab')");
  s_->Execute("insert into t (id) values (2)");
  s_->Execute("insert into t (id, d, a, b) values (3, '1899-12-29 06:00:00', '-0.00000001', 0)");

  auto c = s_->Query("select * from t order by id");
  EXPECT_EQ(c->columns(), (std::vector<std::string>{"id", "d", "dd", "a", "m", "b", "g", "f", "s"}));
  std::vector<com::Variant> r;
  ASSERT_TRUE(c->Next(&r));
  ASSERT_EQ(r.size(), 9u);
  EXPECT_EQ(r[0].type(), com::VT_I4);
  EXPECT_EQ(r[1].type(), com::VT_DATE);
  EXPECT_NEAR(r[1].ToDate(), com::DateFromParts(2024, 2, 29, 13, 45, 10) + 0.25 / 86400, 1e-9);
  EXPECT_EQ(r[2].ToDate(), com::DateFromParts(2024, 1, 2));
  EXPECT_EQ(r[3].type(), com::VT_DECIMAL);
  EXPECT_EQ(r[3].ToText(), "1234.5678");
  EXPECT_EQ(r[4].type(), com::VT_DECIMAL);
  EXPECT_EQ(r[4].ToText(), "0.1");
  EXPECT_EQ(r[5].type(), com::VT_BOOL);
  EXPECT_TRUE(r[5].ToBool());
  EXPECT_EQ(r[6].type(), com::VT_I8);
  EXPECT_EQ(r[6].raw().llVal, 9000000000LL);
  EXPECT_EQ(r[7].type(), com::VT_R8);
  EXPECT_EQ(r[7].ToDouble(), 1.5);
  EXPECT_EQ(r[8].type(), com::VT_BSTR);
  EXPECT_EQ(r[8].ToText(), "ab");

  ASSERT_TRUE(c->Next(&r));
  for (size_t i = 1; i < r.size(); ++i) EXPECT_TRUE(r[i].IsNull()) << c->columns()[i];

  // Before 1899-12-30 a COM date counts its time of day away from zero.
  ASSERT_TRUE(c->Next(&r));
  EXPECT_DOUBLE_EQ(r[1].ToDate(), -1.25);
  EXPECT_EQ(r[3].ToText(), "-0.00000001");
  EXPECT_FALSE(r[5].ToBool());
  EXPECT_FALSE(c->Next(&r));
  EXPECT_FALSE(c->Next(&r));  // stays at the end
}

TEST_F(OdbcSqlite, UnicodeTextsArriveWhole) {
  // The long text puts an emoji across the edge of the first piece that is read.
  std::string long_text = std::string(2046, 'x') + "😀";
  for (int i = 0; i < 3000; ++i) long_text += "账";
  s_->Execute("create table u (id int, s nvarchar(4000), l text)");
  s_->Execute("insert into u values (1, '中文 😀 ünï', '" + long_text + "')");
  auto rows = Rows("select s, l from u");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].ToText(), "中文 😀 ünï");
  EXPECT_EQ(rows[0][1].ToText(), long_text);
}

TEST_F(OdbcSqlite, CursorsSideBySideWithStatementsBetween) {
  s_->Execute("create table a (n int)");
  s_->Execute("create table log (n int)");
  for (int i = 1; i <= 3; ++i) s_->Execute("insert into a values (" + std::to_string(i) + ")");
  auto outer = s_->Query("select n from a order by n");
  std::vector<com::Variant> row, inner_row;
  int seen = 0;
  while (outer->Next(&row)) {
    ++seen;
    auto inner = s_->Query("select count(*) from a where n >= " + row[0].ToText());
    ASSERT_TRUE(inner->Next(&inner_row));
    EXPECT_EQ(inner_row[0].ToDouble(), 4 - seen);
    s_->Execute("insert into log values (" + row[0].ToText() + ")");
  }
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(Rows("select count(*) from log")[0][0].ToDouble(), 3);
}

TEST_F(OdbcSqlite, UpdatableRowsAreWrittenBackByTheirKey) {
  s_->Execute("create table p (name nvarchar(20), id int primary key, amt decimal(18,4), d datetime)");
  s_->Execute("insert into p values ('one', 1, 1.5, '2020-01-01'), ('two', 2, 2.5, '2020-01-02')");
  db::UpdateTarget target;
  auto c = s_->QueryForUpdate("SELECT  *  FROM p", &target);
  EXPECT_EQ(target.table, "p");
  EXPECT_EQ(target.key_names, std::vector<std::string>{"id"});
  EXPECT_EQ(c->columns().size(), 4u);
  std::vector<std::vector<com::Variant>> rows;
  std::vector<com::Variant> row;
  while (c->Next(&row)) rows.push_back(row);
  c.reset();
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_EQ(rows[1].size(), 5u);  // columns, then the key
  EXPECT_EQ(rows[1][4].ToText(), "2");
  const com::DATE when = com::DateFromParts(2021, 3, 4, 5, 6, 7) + 0.5 / 86400;
  s_->UpdateRow(target, {rows[1][4]},
                {{"name", com::Variant::Text("中文😀")},
                 {"amt", com::Variant::Decimal(*com::DecimalFromText("-12.3456"))},
                 {"d", com::Variant::Date(when)}});
  auto after = Rows("select name, amt, d from p order by id");
  EXPECT_EQ(after[0][0].ToText(), "one");
  EXPECT_EQ(after[0][1].ToText(), "1.5");
  EXPECT_EQ(after[1][0].ToText(), "中文😀");
  EXPECT_EQ(after[1][1].ToText(), "-12.3456");
  EXPECT_NEAR(after[1][2].ToDate(), when, 1e-9);

  // Without a primary key every comparable column is the key, NULL included.
  s_->Execute("create table q (a int, b nvarchar(10))");
  s_->Execute("insert into q values (1, NULL), (1, 'x')");
  c = s_->QueryForUpdate("select * from q", &target);
  EXPECT_EQ(target.key_names, (std::vector<std::string>{"a", "b"}));
  rows.clear();
  while (c->Next(&row)) rows.push_back(row);
  c.reset();
  ASSERT_EQ(rows.size(), 2u);
  const auto& null_row = rows[0][1].IsNull() ? rows[0] : rows[1];
  s_->UpdateRow(target, {null_row[2], null_row[3]}, {{"a", com::Variant::I4(7)}});
  auto q = Rows("select a, b from q order by a");
  EXPECT_EQ(q[0][0].ToDouble(), 1);
  EXPECT_EQ(q[0][1].ToText(), "x");
  EXPECT_EQ(q[1][0].ToDouble(), 7);
  EXPECT_TRUE(q[1][1].IsNull());

  // A row gone since it was read is reported, not silently skipped.
  s_->Execute("delete from p where id = 1");
  db::Error e = ErrorOf(
      [&] { s_->UpdateRow({"p", {"id"}}, {com::Variant::I4(1)}, {{"name", com::Variant::Text("z")}}); });
  EXPECT_STREQ(e.what(),
               "Row cannot be located for updating. Some values may have been changed since it was last read.");

  EXPECT_FALSE(std::string(ErrorOf([&] { s_->QueryForUpdate("select a from q", &target); }).what()).empty());
}

TEST_F(OdbcSqlite, DriverErrorsKeepTheDriversText) {
  s_->Execute("create table t (n int)");
  struct Case {
    std::function<void()> run;
    const char* part;
  } cases[] = {
      {[&] { s_->Execute("selec 1"); }, "syntax error"},
      {[&] { s_->Query("select * from nosuch"); }, "no such table: nosuch"},
      {[&] { s_->Execute("insert into nosuch values (1)"); }, "no such table: nosuch"},
      {[&] { s_->CallProcedure("nosuch", {{"@a", "1", false}}, 0); }, "[SQLite]"},
  };
  for (const Case& c : cases) {
    db::Error e = ErrorOf(c.run);
    std::string m = e.what();
    EXPECT_EQ(m.rfind("[SQLite]", 0), 0u) << m;  // the driver's own prefix
    EXPECT_NE(m.find(c.part), std::string::npos) << m;
    EXPECT_EQ(e.sqlstate().size(), 5u) << m;
  }
  // The session is still usable after its statements failed.
  EXPECT_EQ(Rows("select count(*) from t")[0][0].ToDouble(), 0);
}

TEST_F(OdbcSqlite, DataLayerRunsTheUpdateLoopOverOdbc) {
  s_->Execute("create table j (ID varchar(36) primary key, cashItemid varchar(20), NatInMoney decimal(27,8))");
  s_->Execute("insert into j values ('A', '101', 5), ('B', '102', NULL)");
  s_.reset();
  db::Connection cn;
  cn.Open(text());  // no SERVER directory: the ODBC engine
  auto rs = db::Recordset::Create();
  rs->SetLockType(3);
  rs->Open("select * from j", cn, 2, -1, -1);
  int n = 0;
  while (!rs->Eof()) {
    rs->Collect("natinmoney", com::Variant::Text(rs->Field("CASHITEMID").ToText() + ".25"));
    rs->Update();
    rs->MoveNext();
    ++n;
  }
  rs->Close();
  EXPECT_EQ(n, 2);
  rs = db::Recordset::Create();
  rs->Open("select ID, NatInMoney from j order by ID", cn, 2, -1, -1);
  EXPECT_EQ(rs->Field("NatInMoney").ToText(), "101.25");
  rs->MoveNext();
  EXPECT_EQ(rs->Field("NatInMoney").ToText(), "102.25");
}

TEST_F(OdbcSqlite, SqloledbTextsReachTheConfiguredDriver) {
  s_->Execute("create table t (n int)");
  s_.reset();
  setenv("TALLYPORT_ODBC_DRIVER", "SQLite3", 1);
  auto s = db::odbc::OpenOdbcSession("Provider=sqloledb;SERVER=anyhost;UID=sa;PWD=pw;DATABASE=" + path_);
  unsetenv("TALLYPORT_ODBC_DRIVER");
  s->Execute("insert into t values (42)");
  auto c = s->Query("select n from t");
  std::vector<com::Variant> row;
  ASSERT_TRUE(c->Next(&row));
  EXPECT_EQ(row[0].ToDouble(), 42);
}

TEST(OdbcOpen, FailuresCarryTheDriverManagersTextWithoutThePassword) {
  db::Error e = ErrorOf(
      [] { db::odbc::OpenOdbcSession("DRIVER={No Such Driver};SERVER=h;UID=sa;PWD=s3cret;DATABASE=d"); });
  std::string m = e.what();
  EXPECT_EQ(m.rfind("[unixODBC][Driver Manager]", 0), 0u) << m;
  EXPECT_EQ(m.find("s3cret"), std::string::npos) << m;
}

TEST(OdbcOpen, FreeTdsRefusalComesFromTheDriver) {
  if (!DriverRegistered("FreeTDS") && !DriverRegistered("SQL Server"))
    GTEST_SKIP() << "no FreeTDS driver is registered (run scripts/odbc-setup.sh)";
  setenv("TALLYPORT_ODBC_DRIVER", DriverRegistered("SQL Server") ? "SQL Server" : "FreeTDS", 1);
  // Port 1 on the local host: refused at once.
  db::Error e = ErrorOf(
      [] { db::odbc::OpenOdbcSession("Provider=sqloledb;SERVER=127.0.0.1,1;UID=sa;PWD=s3cret;DATABASE=d"); });
  unsetenv("TALLYPORT_ODBC_DRIVER");
  std::string m = e.what();
  EXPECT_EQ(m.rfind("[FreeTDS]", 0), 0u) << m;
  EXPECT_EQ(e.sqlstate().substr(0, 2), "08") << m;
  EXPECT_EQ(m.find("s3cret"), std::string::npos) << m;
}

}  // namespace
