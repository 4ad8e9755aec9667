// Two threads extract at once, each with objects of its own against a server of
// its own. The cash voucher run state is per thread and a Summary object's state
// its own, so both land exactly the rows a run alone lands. Built and run under
// ThreadSanitizer too, where any data race between the runs fails the test.
#include <cstdlib>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "com/error.h"
#include "com/registry.h"
#include "editions/edition.h"
#include "tests/reliability/ledger.h"

namespace reliability {
namespace {

using testsupport::TempDir;

constexpr int kRounds = 3;

struct Outcome {
  std::vector<CallResult> calls;
};

// kRounds of a CashVouch run and a Summary run, each on a new object.
void Extract(const EmbeddedServer& s, std::latch& start, Outcome& out) {
  start.arrive_and_wait();
  for (int round = 0; round < kRounds; ++round) {
    for (const com::GUID& clsid : {editions::kCashVouchClsid, editions::CurrentEdition().summary_clsid}) {
      com::ComPtr<com::IDispatch> obj;
      if (com::Failed(com::CreateFromLibrary(CURRENT_LIB, clsid, com::IID_IDispatch, obj.PutVoid()))) {
        out.calls.push_back({true, -1, "cannot create the object"});
        continue;
      }
      out.calls.push_back(CallExtract(obj.get(), ExtractValues(s, "2006-03-01", "2006-03-31")));
    }
  }
}

TEST(Threads, TwoThreadsExtractAtOnceEachWithItsOwnObjects) {
  TempDir reg, ref_dir, a_dir, b_dir;
  setenv("TALLYPORT_REGISTRY", (reg.path() + "/registry").c_str(), 1);
  EmbeddedServer ref(ref_dir.path()), a(a_dir.path()), b(b_dir.path());
  for (const auto* s : {&ref, &a, &b}) {
    FillBalanceLedger(*s);
    AddCashLines(*s);
  }
  ASSERT_FALSE(HasFatalFailure());
  // What the same runs land one after another on one thread.
  std::latch ready(1);
  Outcome alone;
  Extract(ref, ready, alone);
  for (const auto& c : alone.calls) ASSERT_EQ(c.result, 0) << c.message;

  std::latch start(2);
  Outcome out_a, out_b;
  std::thread ta(Extract, std::cref(a), std::ref(start), std::ref(out_a));
  std::thread tb(Extract, std::cref(b), std::ref(start), std::ref(out_b));
  ta.join();
  tb.join();
  unsetenv("TALLYPORT_REGISTRY");
  for (const auto* out : {&out_a, &out_b}) {
    ASSERT_EQ(out->calls.size(), alone.calls.size());
    for (const auto& c : out->calls) EXPECT_EQ(c.result, 0) << c.message;
  }
  for (const char* table : {"Temp_ETL_GL_CashVouch", "Temp_Etl_GL_Sum"}) {
    const Rows want = TableRows(ref, "olap", table);
    ASSERT_FALSE(want.empty()) << table;
    EXPECT_EQ(TableRows(a, "olap", table), want) << table;
    EXPECT_EQ(TableRows(b, "olap", table), want) << table;
  }
  EXPECT_EQ(TableRows(a, "olap", "Temp_ETL_GL_CashVouch").size(), static_cast<size_t>(2 * kRounds));
}

}  // namespace
}  // namespace reliability
