// A small run of each class and edition is interrupted at every data operation in
// turn, once by a failure there and once by SIGKILL there. A failure is reported
// as exactly that (exit status 1, the injected text) and never as a crash; a kill
// leaves every database file sound and no temporary file behind. Either way the next run of the same session
// leaves exactly what a run on fresh tables leaves, plus only what the interrupted
// run keeps by design: cash lines it had already copied, and the compatibility
// edition's cumulative rows, which are dated before its range.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/reliability/ledger.h"

namespace reliability {
namespace {

using testsupport::RunTallyport;
using testsupport::TempDir;

struct WalkCase {
  const char* name;
  const char* cls;
  bool compat;
  const char* begin;
  const char* end;
};

enum class Interruption { kFault, kKill };

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(Interruption i, std::ostream* os) { *os << (i == Interruption::kKill ? "kill" : "fault"); }

// The number the program reports at exit under TALLYPORT_FAULT=count.
long OperationsOf(const testsupport::RunResult& r) {
  const std::string tag = "tallyport: ";
  const std::string tail = " data operations\n";
  size_t end = r.err.rfind(tail);
  if (end == std::string::npos) return -1;
  size_t start = r.err.rfind(tag, end);
  if (start == std::string::npos) return -1;
  return std::strtol(r.err.c_str() + start + tag.size(), nullptr, 10);
}

// `got` holds each row of `base` at least once and at most twice, and nothing else.
bool OnceOrTwice(const Rows& got, const Rows& base) {
  std::map<std::vector<std::string>, int> want, have;
  for (const auto& r : base) ++want[r];
  for (const auto& r : got) ++have[r];
  for (const auto& [row, n] : have)
    if (!want.count(row) || n < want[row] || n > 2 * want[row]) return false;
  for (const auto& [row, n] : want)
    if (have[row] < n) return false;
  return true;
}

std::pair<Rows, Rows> SplitByDate(const Rows& rows, const std::string& begin, const std::string& end) {
  Rows in, out;
  for (const auto& r : rows) {
    const std::string day = r[0].substr(0, 10);
    (day >= begin && day <= end ? in : out).push_back(r);
  }
  return {in, out};
}

class InterruptedRun : public ::testing::TestWithParam<std::tuple<WalkCase, Interruption>> {};

TEST_P(InterruptedRun, AtEachOperationAndTheNextRunRepairs) {
  const WalkCase& c = std::get<0>(GetParam());
  const bool kill = std::get<1>(GetParam()) == Interruption::kKill;
  const bool cash = std::string(c.cls) == "cashvouch";
  const std::string target = cash ? "Temp_ETL_GL_CashVouch" : "Temp_Etl_GL_Sum";
  TempDir tmpl_dir, work_dir, reg_dir;
  EmbeddedServer tmpl(tmpl_dir.path());
  if (cash) FillCashLedger(tmpl);
  else FillBalanceLedger(tmpl);
  ASSERT_FALSE(HasFatalFailure());
  ShortLink link(work_dir.path());
  EmbeddedServer s(link.path());
  auto args = testsupport::ExtractArgs(c.cls, s, c.begin, c.end);
  if (c.compat) args.insert(args.begin() + 1, {"--edition", "compat"});
  // A registry of the test's own with TermMisc.Terminal: the stage carries this
  // process's session id, which every run of the walk shares.
  // Temporary files go to the test's own directory, where a killed run must leave none.
  const std::map<std::string, std::string> env = {{"TALLYPORT_REGISTRY", reg_dir.path() + "/registry"},
                                                  {"TMPDIR", reg_dir.path()}};
  auto temporary_files = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(reg_dir.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  };
  ASSERT_EQ(RunTallyport({"register"}, env).exit_code, 0);
  auto with = [&](const char* name, const std::string& value) {
    auto e = env;
    e[name] = value;
    return e;
  };

  CopyServer(tmpl.dir(), s.dir());
  auto r = RunTallyport(args, with("TALLYPORT_FAULT", "count"));
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const long total = OperationsOf(r);
  ASSERT_GT(total, 20) << r.err;
  const Rows clean = TableRows(s, "olap", target);
  ASSERT_FALSE(clean.empty());
  const auto olap_tables = Tables(s, "olap"), tempdb_tables = Tables(s, "tempdb");
  const auto no_temporary_files = temporary_files();
  const auto [clean_in, clean_out] = SplitByDate(clean, c.begin, c.end);
  if (c.compat) {
    ASSERT_FALSE(clean_out.empty()) << "the compatibility run is meant to write cumulative rows";
  }
  const std::string stage = "Temp_ETL_GL_CashVouch" + std::to_string(getsid(0));

  bool copied = false;
  int stages_left = 0;
  for (long n = 1; n <= total; ++n) {
    SCOPED_TRACE(std::string(c.name) + (kill ? ": killed" : ": fault") + " at operation " + std::to_string(n) +
                 " of " + std::to_string(total));
    CopyServer(tmpl.dir(), s.dir());
    if (kill) {
      r = RunTallyport(args, with("TALLYPORT_KILL_AT", std::to_string(n)));
      EXPECT_EQ(r.signal, SIGKILL) << r.exit_code << r.out << r.err;
      ExpectServerSound(s, "after the kill");
      EXPECT_EQ(temporary_files(), no_temporary_files);
    } else {
      const std::string message = "injected fault " + std::to_string(n) + ".";
      r = RunTallyport(args, with("TALLYPORT_FAULT", std::to_string(n) + ":" + message));
      EXPECT_EQ(r.signal, 0);
      EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
      EXPECT_NE(r.err.find("tallyport " + std::string(c.cls) + ": " + message + "\n"), std::string::npos) << r.err;
    }
    if (cash) {
      // The copy is one statement: all of the range's lines or none. A failed run
      // keeps what it did, so once a failure comes after the copy every later one
      // does too; a killed run loses what the engine's batch had not committed.
      const Rows left = TableRows(s, "olap", target);
      EXPECT_TRUE(left.empty() || left == clean);
      if (!kill) {
        EXPECT_TRUE(!copied || !left.empty()) << "lines copied by an earlier failure point are missing";
      }
      copied = !left.empty();
      stages_left += s.TableExists("tempdb", stage);
    }

    r = RunTallyport(args, env);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const Rows after = TableRows(s, "olap", target);
    if (cash) {
      Rows want = clean;
      if (copied) want.insert(want.end(), clean.begin(), clean.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(after, want);
    } else if (c.compat) {
      // The range is rebuilt exactly; cumulative rows before it are outside every
      // run's delete, so those of the failed run stay beside the new ones.
      const auto [in, out] = SplitByDate(after, c.begin, c.end);
      EXPECT_EQ(in, clean_in);
      EXPECT_TRUE(OnceOrTwice(out, clean_out)) << out.size() << " rows before the range";
    } else {
      EXPECT_EQ(after, clean);
    }
    EXPECT_EQ(Tables(s, "olap"), olap_tables);
    EXPECT_EQ(Tables(s, "tempdb"), tempdb_tables);
    if (HasFailure()) break;  // one point's report is enough to act on
  }
  if (cash && !kill) {
    EXPECT_TRUE(copied) << "a failure at the last operation comes after the copy";
    EXPECT_GT(stages_left, total / 2) << "most failure points leave the session's stage for the next run to drop";
  }
  ExpectServerSound(s, "at the end");
  std::printf("%s: %ld operations, each %s\n", c.name, total, kill ? "killed" : "failed");
}

INSTANTIATE_TEST_SUITE_P(
    Runs, InterruptedRun,
    ::testing::Combine(::testing::Values(WalkCase{"CashVouch", "cashvouch", false, "2006-03-01", "2006-03-31"},
                                         WalkCase{"SummaryOrdinary", "summary", false, "2006-03-02", "2006-03-03"},
                                         WalkCase{"SummaryBackfill", "summary", false, "2006-03-01", "2006-03-02"},
                                         WalkCase{"SummaryCompat", "summary", true, "2006-03-01", "2006-03-03"}),
                       ::testing::Values(Interruption::kFault, Interruption::kKill)),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) +
             (std::get<1>(p.param) == Interruption::kKill ? "Killed" : "Failed");
    });

}  // namespace
}  // namespace reliability
