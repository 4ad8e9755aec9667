// The crossings into SQL and connection strings, the account-set key and the
// terminal session id.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "com/error.h"
#include "com/registry.h"
#include "db/conventions.h"
#include "db/sqltext.h"

namespace {

using namespace db;

TEST(SqlText, DoublesApostrophesOnly) {
  EXPECT_EQ(SqlText("O'Brien"), "O''Brien");
  EXPECT_EQ(SqlText("x' or '1'='1"), "x'' or ''1''=''1");
  EXPECT_EQ(SqlText("a;--/*b*/"), "a;--/*b*/");
  EXPECT_EQ(SqlText("现金"), "现金");
  EXPECT_EQ(SqlText(com::Variant::Null()), "");
  EXPECT_EQ(SqlText(com::Variant::Text("A'1")), "A''1");
}

TEST(SqlDate, OneLanguageNeutralForm) {
  for (const char* in : {"2006-03-01", "2006/3/1", "20060301"}) EXPECT_EQ(SqlDate(in), "20060301");
  EXPECT_EQ(SqlDate("2006-03-01 10:30"), "20060301 10:30:00");
  EXPECT_EQ(SqlDate(com::DateFromParts(2006, 12, 31)), "20061231");
  EXPECT_THROW(SqlDate("2006-02-30"), com::Error);
  EXPECT_THROW(SqlDate("20060301'; drop table x --"), com::Error);
}

TEST(SqlAmount, PlainDecimalText) {
  EXPECT_EQ(SqlAmount(com::Currency::FromTicks(1000000)), "100");
  EXPECT_EQ(SqlAmount(com::Currency::FromTicks(-125000)), "-12.5");
  EXPECT_EQ(SqlAmount(com::Currency::FromTicks(1)), "0.0001");
  EXPECT_EQ(SqlAmount(com::Variant::Decimal(*com::DecimalFromText("150.00000000"))), "150");
  EXPECT_EQ(SqlAmount(com::Variant::R8(0.1)), "0.1");
  EXPECT_EQ(SqlAmount(com::Variant::Null()), "");
  EXPECT_EQ(SqlAmount(com::Variant::Text("-0012.50")), "-12.5");
  EXPECT_EQ(SqlAmount(com::Variant::Bool(true)), "-1");
  EXPECT_THROW(SqlAmount(com::Variant::Text("1,5); drop table x")), com::Error);
  // A date spliced as an amount would silently become arithmetic.
  EXPECT_THROW(SqlAmount(com::Variant::Date(com::DateFromParts(2006, 3, 1))), com::Error);
}

TEST(ConnectionStrings, ExactForPlainValuesAndBracedForHostileOnes) {
  struct Case {
    ClassKind cls;
    Role role;
    const char* want;
  } cases[] = {
      {ClassKind::CashVouch, Role::Acc, "Provider=sqloledb;SERVER=srv;UID=sa;PWD=pw;DATABASE=db"},
      {ClassKind::CashVouch, Role::Olap, "Provider=sqloledb;SERVER=srv;UID=sa;PWD=pw;DATABASE=db"},
      {ClassKind::CashVouch, Role::Sys, "DRIVER={SQL Server};SERVER=srv;UID=sa;PWD=pw;database=vxsystem"},
      {ClassKind::Summary, Role::Acc, "DRIVER={SQL Server};SERVER=srv;UID=sa;PWD=pw;DATABASE=db"},
      {ClassKind::Summary, Role::Olap, "DRIVER={SQL Server};SERVER=srv;UID=sa;PWD=pw;DATABASE=db"},
      {ClassKind::Summary, Role::Sys, "DRIVER={SQL Server};SERVER=srv;UID=sa;PWD=pw;database=vxsystem"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConnectionString(c.cls, c.role, "srv", "pw", "db"), c.want);
  EXPECT_EQ(ConnectionString(ClassKind::Summary, Role::Acc, "host,1433", "x;DATABASE=other",
                             "vxdata_001_2006"),
            "DRIVER={SQL Server};SERVER=host,1433;UID=sa;PWD={x;DATABASE=other};DATABASE=vxdata_001_2006");
  EXPECT_EQ(ConnValue("a}b{"), "{a}}b{}");
  EXPECT_EQ(ConnValue(" pad"), "{ pad}");
  EXPECT_EQ(ConnValue("tab\t"), "{tab\t}");
  EXPECT_EQ(ConnValue("host\\inst"), "host\\inst");
}

TEST(AccountSet, PiecesOfTheDatabaseName) {
  struct Case {
    const char* name;
    const char* no;
    const char* year;
  } cases[] = {
      {"vxdata_001_2006", "001", "2006"}, {"VXDATA_002_2007", "002", "2007"},
      {"acct2006", "06", ""},             {"my_vxdata_003_2008x", "003", "2008"},
      {"vxdata_01", "01", ""},            {"", "", ""},
      {"vxdata", "", ""},
      // Positions count characters, not bytes.
      {"账套vxdata_005_2009", "005", "2009"},
  };
  for (const auto& c : cases) {
    AccountSetKey k = AccountSetFromDbName(c.name);
    EXPECT_EQ(k.zt_no, c.no) << c.name;
    EXPECT_EQ(k.zt_year, c.year) << c.name;
  }
}

TEST(SessionId, FromTheRegisteredClassOrEmpty) {
  auto dir = std::filesystem::temp_directory_path() / ("tp-sid-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  setenv("TALLYPORT_REGISTRY", (dir / "registry").c_str(), 1);
  EXPECT_EQ(GetTerminalSessionId(), "");  // not registered: no id, no error
  void* lib = dlopen(TERMMISC_LIB, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr);
  ASSERT_EQ(reinterpret_cast<com::DllRegisterServerFn>(dlsym(lib, "DllRegisterServer"))(), com::S_OK);
  EXPECT_EQ(GetTerminalSessionId(), std::to_string(getsid(0)));
  // A registration that points at a missing library also gives the empty id.
  com::Registry::RegisterClass({com::GuidFromString("{7C1A0E55-2B4D-4F1A-9E3C-0D5B6A7F8E21}"),
                                "TermMisc.Terminal", (dir / "gone.so").string(), "Apartment", {}});
  EXPECT_EQ(GetTerminalSessionId(), "");
  std::filesystem::remove_all(dir);
  unsetenv("TALLYPORT_REGISTRY");
}

}  // namespace

#include "db/ado.h"
#include "db/sqlite/server.h"

namespace {

TEST(EmbeddedServer, LoginAndDatabaseFiles) {
  auto dir = (std::filesystem::temp_directory_path() / ("tp-srv-" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(dir);
  using namespace db::sqlite;
  EXPECT_TRUE(IsEmbeddedServer(dir));
  EXPECT_FALSE(IsEmbeddedServer(dir + "/missing"));
  EXPECT_FALSE(IsEmbeddedServer(""));
  // Never initialised: the empty password only.
  EXPECT_NO_THROW(CheckLogin(dir, "sa", ""));
  EXPECT_THROW(CheckLogin(dir, "sa", "x"), db::Error);
  InitServer(dir, "p'w;d");
  EXPECT_NO_THROW(CheckLogin(dir, "SA", "p'w;d"));
  for (auto [user, pw] : {std::pair{"sa", ""}, {"sa", "p'w;"}, {"admin", "p'w;d"}}) {
    try {
      CheckLogin(dir, user, pw);
      ADD_FAILURE() << user << "/" << pw << " logged in";
    } catch (const db::Error& e) {
      EXPECT_STREQ(e.what(), "Login failed for user 'sa'.");
      EXPECT_EQ(std::string(e.what()).find("p'w"), std::string::npos);
    }
  }
  // The password is not kept in clear anywhere in the directory.
  for (const auto& f : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(f.path());
    std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(all.find("p'w;d"), std::string::npos);
  }
  InitServer(dir, "new");  // re-keys
  EXPECT_THROW(CheckLogin(dir, "sa", "p'w;d"), db::Error);
  EXPECT_NO_THROW(CheckLogin(dir, "sa", "new"));

  std::ofstream(dir + "/VXDATA_001_2006.db").put('x');
  EXPECT_EQ(DatabaseFile(dir, "vxdata_001_2006"), dir + "/VXDATA_001_2006.db");
  EXPECT_EQ(DatabaseFile(dir, "olap"), "");
  EXPECT_EQ(DatabaseFile(dir, "../etc/passwd"), "");
  std::filesystem::remove_all(dir);
}

}  // namespace

#include "db/connstr.h"

namespace {

// What ConnectionString writes, ODBC's reading gives back: the same four values,
// whatever they hold, and no other keyword.
TEST(ConnectionStrings, ReadBackExactlyTheValuesWritten) {
  const char* hostile[] = {"plain", "x;DATABASE=other", "{a}", "a}}b", "}{;", " lead", "",
                           "UID=admin;PWD=x", "现金;😀"};
  for (const char* server : hostile)
    for (const char* pwd : hostile) {
      std::string s = db::ConnectionString(db::ClassKind::Summary, db::Role::Olap, server, pwd, "olap");
      auto pairs = db::ParseConnectionString(s);
      ASSERT_TRUE(pairs) << s;
      ASSERT_EQ(pairs->size(), 5u) << s;
      EXPECT_EQ(db::ConnGet(*pairs, "server"), server);
      EXPECT_EQ(db::ConnGet(*pairs, "PWD"), pwd);
      EXPECT_EQ(db::ConnGet(*pairs, "uid"), "sa");
      EXPECT_EQ(db::ConnGet(*pairs, "database"), "olap");
    }
  EXPECT_FALSE(db::ParseConnectionString("PWD={open"));
  EXPECT_FALSE(db::ParseConnectionString("PWD={a}b"));
  EXPECT_FALSE(db::ParseConnectionString("=x"));
}

}  // namespace
