// The tallyport command as users and orchestrators run it: date checks that open
// nothing, exit codes, usage errors, --json, and passwords kept out of every output.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/fixture.h"

namespace {

using testsupport::RunTallyport;

struct DateCase {
  const char* cls;
  const char* begin;
  int exit_code;
  const char* message;
};

TEST(Host, DateChecksFailWithoutTouchingTheServers) {
  const DateCase cases[] = {
      {"cashvouch", "2006-03-02", 1, "{{Q6.GL.TALLYPORT.MSG_DATE}}"},
      {"summary", "2006-03-02", 1, "起始日期不能小于结束日期！"},
      {"cashvouch", "notadate", 2, "Type mismatch"},
      {"summary", "notadate", 1, "Type mismatch"},
  };
  for (const auto& c : cases) {
    testsupport::TempDir acc, olap;
    auto r = RunTallyport({c.cls, "--acc-server", acc.path(), "--acc-db", "vxdata_001_2006",
                           "--olap-server", olap.path(), "--olap-db", "olap", "--begin", c.begin,
                           "--end", "2006-03-01", "--quiet", "--json"});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.cls << " " << c.begin << "\n" << r.err;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(acc.path()));
    EXPECT_TRUE(std::filesystem::is_empty(olap.path()));
  }
}

TEST(Host, JsonReportsTheCallAndHidesPasswords) {
  testsupport::TempDir d;
  auto r = RunTallyport({"cashvouch", "--acc-server", d.path(), "--acc-db", "vxdata_001_2006",
                         "--olap-server", d.path(), "--olap-db", "olap", "--begin", "2006-03-02",
                         "--end", "2006-03-01", "--acc-password", "s3cr3t-acc", "--json"},
                        {{"TALLYPORT_OLAP_PASSWORD", "s3cr3t-olap"}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.rfind("{\"result\": 1, \"sErrorMsg\": \"{{Q6.GL.TALLYPORT.MSG_DATE}}\", "
                        "\"failedCall\": false, \"seconds\": ",
                        0),
            0u)
      << r.out;
  for (const auto& out : {r.out, r.err}) {
    EXPECT_EQ(out.find("s3cr3t"), std::string::npos);
  }
  auto bad = RunTallyport({"cashvouch", "--acc-server", d.path(), "--acc-db", "x", "--olap-server",
                           d.path(), "--olap-db", "olap", "--begin", "2006-13-01", "--end",
                           "2006-03-01", "--json"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.out.find("\"result\": null"), std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find("\"failedCall\": true"), std::string::npos) << bad.out;
}

// A run that succeeds exits 0, leaves the caller's message alone, and reports its
// rows both in --json and, for people, on standard error; --quiet keeps stderr clean.
TEST(Host, SuccessfulRunReportsItsRows) {
  testsupport::TempDir d;
  const std::map<std::string, std::string> env = {{"TALLYPORT_SA_PASSWORD", "pw-s3cr3t"},
                                                  {"TALLYPORT_ACC_PASSWORD", "pw-s3cr3t"},
                                                  {"TALLYPORT_OLAP_PASSWORD", "pw-s3cr3t"}};
  ASSERT_EQ(RunTallyport({"demo", d.path(), "--vouchers", "40", "--seed", "7"}, env).exit_code, 0);
  testsupport::EmbeddedServer s(d.path());
  auto args = testsupport::ExtractArgs("cashvouch", s, "2006-01-01", "2006-12-31");
  std::erase(args, "--quiet");
  std::string trace = d.path() + "/trace.sql";
  args.insert(args.end(), {"--trace", trace});
  auto r = RunTallyport(args, env);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The statements (one of them logs in to the account server) reach the trace
  // with the password masked.
  std::string traced = testsupport::ReadFile(trace);
  EXPECT_NE(traced.find("OPENROWSET"), std::string::npos);
  for (const auto& out : {r.out, r.err, traced}) EXPECT_EQ(out.find("s3cr3t"), std::string::npos);
  std::string rows = s.Scalar("olap", "select count(*) from Temp_ETL_GL_CashVouch");
  ASSERT_NE(rows, "0");
  EXPECT_NE(r.err.find("CashVouch: finished in "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Temp_ETL_GL_CashVouch: " + rows + " cash line rows"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("passes: connect "), std::string::npos) << r.err;

  args.insert(args.end(), {"--json", "--quiet", "--scope", "kept"});
  std::erase(args, "--trace");
  std::erase(args, trace);
  auto j = RunTallyport(args, env);
  ASSERT_EQ(j.exit_code, 0) << j.err;
  EXPECT_EQ(j.err, "");
  EXPECT_EQ(j.out.rfind("{\"result\": 0, \"sErrorMsg\": \"kept\", \"failedCall\": false, ", 0), 0u)
      << j.out;
  EXPECT_NE(j.out.find("\"report\": {\"class\": \"CashVouch\", \"ok\": true"), std::string::npos)
      << j.out;
}

TEST(Host, UsageErrorsExit64AndHelpExits0) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"cashvouch", "--begin", "2006-01-01"},
      {"summary", "--acc-server", "x", "--bogus"},
      {"summary", "--edition", "old", "--acc-server", "x", "--acc-db", "x", "--olap-server", "x",
       "--olap-db", "x", "--begin", "2006-01-01", "--end", "2006-01-01"},
      {"typelib", "extra"},
      {"cashvouch", "--begin"},
  };
  for (const auto& args : bad) {
    auto r = RunTallyport(args);
    EXPECT_EQ(r.exit_code, 64) << (args.empty() ? "" : args[0]);
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
  }
  for (const char* cmd : {"cashvouch", "summary", "register", "typelib"}) {
    auto r = RunTallyport({cmd, "--help"});
    EXPECT_EQ(r.exit_code, 0) << cmd;
    EXPECT_NE(r.out.find("usage:"), std::string::npos);
  }
}

TEST(Host, TypeLibraryTextOfEachEdition) {
  auto cur = RunTallyport({"typelib"});
  ASSERT_EQ(cur.exit_code, 0) << cur.err;
  EXPECT_NE(cur.out.find("version(4.1)"), std::string::npos);
  EXPECT_NE(cur.out.find("4E8A17CA-93D5-4B0E-A6F1-52C90D7E3B10"), std::string::npos);
  EXPECT_NE(cur.out.find("[id(0x60030010)]\n        HRESULT GetAccountBeginPeriod("),
            std::string::npos);
  auto compat = RunTallyport({"typelib", "--edition", "compat"});
  ASSERT_EQ(compat.exit_code, 0);
  EXPECT_NE(compat.out.find("version(3.5)"), std::string::npos);
  EXPECT_NE(compat.out.find("uuid(4E8A17CC-93D5-4B0E-A6F1-52C90D7E3B10)"), std::string::npos);
  EXPECT_EQ(compat.out.find("GetAccountBeginPeriod"), std::string::npos);
  EXPECT_NE(compat.out.find("[id(0x6003000E)]\n        HRESULT GetCexchIdFromCode("),
            std::string::npos);
}

TEST(Host, RegisterAndUnregisterThroughTheCommand) {
  testsupport::TempDir d;
  std::map<std::string, std::string> env = {{"TALLYPORT_REGISTRY", d.path() + "/registry"}};
  ASSERT_EQ(RunTallyport({"register"}, env).exit_code, 0);
  std::string reg = testsupport::ReadFile(d.path() + "/registry");
  EXPECT_NE(reg.find("Tallyport.CashVouch"), std::string::npos);
  EXPECT_NE(reg.find("TermMisc.Terminal"), std::string::npos);
  // Registered, the object is created by ProgID; the date check still answers.
  auto r = RunTallyport({"summary", "--acc-server", d.path(), "--acc-db", "x", "--olap-server",
                         d.path(), "--olap-db", "x", "--begin", "2006-03-02", "--end",
                         "2006-03-01", "--quiet"},
                        env);
  EXPECT_EQ(r.exit_code, 1);
  ASSERT_EQ(RunTallyport({"unregister"}, env).exit_code, 0);
  EXPECT_EQ(testsupport::ReadFile(d.path() + "/registry"), "");
}

}  // namespace
