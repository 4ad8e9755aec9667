// The fault walk inside one process, through IDispatch, with the component linked
// into this test: each failure comes back as result 1 with the injected text, and
// under LeakSanitizer nothing a failed run leaves behind leaks.
#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "com/error.h"
#include "component/objects.h"
#include "db/fault.h"
#include "editions/edition.h"
#include "tests/reliability/ledger.h"

// The component as linked into this test is the current edition.
namespace component {
const editions::Edition& ThisEdition() { return editions::CurrentEdition(); }
}  // namespace component

namespace reliability {
namespace {

using testsupport::TempDir;

com::ComPtr<com::IDispatch> Create(const com::GUID& clsid) {
  com::ComPtr<com::IClassFactory> factory;
  EXPECT_EQ(component::GetClassObject(clsid, com::IID_IClassFactory, factory.PutVoid()), com::S_OK);
  com::ComPtr<com::IDispatch> obj;
  EXPECT_EQ(factory->CreateInstance(nullptr, com::IID_IDispatch, obj.PutVoid()), com::S_OK);
  return obj;
}

struct InProcessCase {
  const char* name;
  bool cash;
  const char* begin;
  const char* end;
};

void PrintTo(const InProcessCase& c, std::ostream* os) { *os << c.name; }

class InProcessWalk : public ::testing::TestWithParam<InProcessCase> {
 protected:
  void SetUp() override { setenv("TALLYPORT_REGISTRY", (reg_.path() + "/registry").c_str(), 1); }
  void TearDown() override {
    db::testing::FailAt(0, "");
    unsetenv("TALLYPORT_REGISTRY");
  }
  TempDir reg_;
};

TEST_P(InProcessWalk, EachOperationFailsAsResultOne) {
  const InProcessCase& c = GetParam();
  const com::GUID clsid = c.cash ? editions::kCashVouchClsid : editions::CurrentEdition().summary_clsid;
  const std::string target = c.cash ? "Temp_ETL_GL_CashVouch" : "Temp_Etl_GL_Sum";
  TempDir tmpl_dir, work_dir;
  EmbeddedServer tmpl(tmpl_dir.path()), s(work_dir.path());
  if (c.cash) FillCashLedger(tmpl);
  else FillBalanceLedger(tmpl);
  ASSERT_FALSE(HasFatalFailure());
  const auto values = ExtractValues(s, c.begin, c.end);
  auto run = [&] {
    auto obj = Create(clsid);
    return CallExtract(obj.get(), values);
  };

  CopyServer(tmpl.dir(), s.dir());
  db::testing::FailAt(0, "");
  CallResult r = run();
  ASSERT_EQ(r.result, 0) << r.message;
  const long total = db::testing::OperationCount();
  ASSERT_GT(total, 20);
  const Rows clean = TableRows(s, "olap", target);
  ASSERT_FALSE(clean.empty());
  Rows doubled = clean;
  doubled.insert(doubled.end(), clean.begin(), clean.end());
  std::sort(doubled.begin(), doubled.end());

  for (long n = 1; n <= total; ++n) {
    SCOPED_TRACE(std::string(c.name) + ": fault at operation " + std::to_string(n) + " of " + std::to_string(total));
    CopyServer(tmpl.dir(), s.dir());
    const std::string message = "injected fault " + std::to_string(n) + ".";
    db::testing::FailAt(n, message);
    r = run();
    EXPECT_FALSE(r.failed_call);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.message, message);
    db::testing::FailAt(0, "");
    r = run();
    ASSERT_EQ(r.result, 0) << r.message;
    const Rows after = TableRows(s, "olap", target);
    // Cash lines copied before a failure at the run's last steps stay.
    if (c.cash) {
      EXPECT_TRUE(after == clean || after == doubled) << after.size() << " rows";
    } else {
      EXPECT_EQ(after, clean);
    }
    EXPECT_TRUE(Tables(s, "tempdb").empty());
    if (HasFailure()) break;
  }
  EXPECT_TRUE(component::CanUnloadNow());
}

INSTANTIATE_TEST_SUITE_P(Runs, InProcessWalk,
                         ::testing::Values(InProcessCase{"CashVouch", true, "2006-03-01", "2006-03-31"},
                                           InProcessCase{"Summary", false, "2006-03-02", "2006-03-03"}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace reliability
