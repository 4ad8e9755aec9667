// Every method of both classes called by a late-bound host outside the order the
// run keeps: on a fresh object, after a run that failed halfway, and after a run
// that succeeded, with plausible arguments and with ones of the wrong kind. Each
// call succeeds or fails with an error the host can read; none crashes, and none
// leaves the next run unable to land its rows.
#include <map>

#include <gtest/gtest.h>

#include "com/error.h"
#include "com/registry.h"
#include "editions/edition.h"
#include "tests/reliability/ledger.h"

namespace reliability {
namespace {

using com::Variant;
using testsupport::TempDir;

struct Step {
  const char* name;
  std::vector<Variant> args;  // in call order
};

std::vector<Step> CashSteps() {
  return {{"SetFiscalDate", {}}, {"SetDept", {}},  {"SetCus", {}},   {"SetSup", {}},
          {"SetPerson", {}},     {"SetItem", {}},  {"SetJe", {}},    {"CopyData", {}},
          {"GetFx", {Variant::Text("IN")}},        {"GetCodeFx", {Variant::Text("1001")}},
          {"GetFx", {Variant::Null()}},            {"GetCodeFx", {Variant::Dispatch(nullptr)}}};
}

std::vector<Step> SummarySteps() {
  const Variant day = Variant::Text("2006-03-01"), code = Variant::Text("1001"), none = Variant::Dispatch(nullptr);
  return {{"CreatEipTable", {Variant::Text("Temp_Etl_GL_Sum"), Variant::I2(0)}},
          {"AddStartAcc", {Variant::Text("3")}},
          {"GetFiscalDate", {day}},
          {"GetCodeDc", {code}},
          {"GetCodeQc", {Variant::Text(" where code_no='1001'")}},
          {"UpdateOneCode", {none, Variant::Date(38777)}},
          {"UpdateLjLd", {none, day}},
          {"AddLjLd", {none, day}},
          {"AddOneAcc", {Variant::Date(38777)}},
          {"GetCexchId", {Variant::Text("USD")}},
          {"nTOz", {Variant::Text("12.5")}},
          {"GetAccountDay", {Variant::Text("3"), Variant::Text("e")}},
          {"GetCodeDcValue", {code, none, Variant::Text("mb")}},
          {"GetCexchIdFromCode", {code}},
          {"GetAccountBeginPeriod", {}},
          {"GetFiscalDate", {Variant::Null()}},
          {"GetAccountDay", {Variant::Text("1; drop table code"), Variant::Text("s")}},
          {"CreatEipTable", {Variant::Text("x"), Variant::Text("not a number")}},
          {"GetCexchIdFromCode", {Variant::Dispatch(nullptr)}}};
}

// Calls each step; returns how many answered S_OK.
int CallSteps(com::IDispatch* obj, const std::vector<Step>& steps, const std::string& when) {
  int ok = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(s.name) + " " + when);
    com::DISPID id = 0;
    if (com::Failed(com::GetDispId(obj, s.name, &id))) continue;  // not in this edition
    std::vector<com::VARIANT> raw;
    for (const auto& a : s.args) raw.push_back(a.raw());
    com::VARIANT result;
    com::VariantInit(&result);
    com::EXCEPINFO ei{};
    const com::HRESULT hr = com::InvokeMethod(obj, id, raw.data(), static_cast<uint32_t>(raw.size()), &result, &ei);
    if (hr == com::DISP_E_EXCEPTION) {
      EXPECT_FALSE(ei.bstrDescription == nullptr || com::Utf8FromBstr(ei.bstrDescription).empty());
    } else if (hr == com::S_OK) {
      ++ok;
    } else {
      EXPECT_EQ(hr, com::DISP_E_TYPEMISMATCH) << std::hex << hr;
    }
    com::VariantClear(&result);
    com::ClearExcepInfo(&ei);
  }
  return ok;
}

// Each table of a database with its number of rows.
std::map<std::string, std::string> TableCounts(const EmbeddedServer& s, const std::string& db) {
  std::map<std::string, std::string> counts;
  for (const auto& t : Tables(s, db)) counts[t] = s.Scalar(db, "select count(*) from \"" + t + "\"");
  return counts;
}

struct EditionCase {
  const char* name;
  bool compat;
};

void PrintTo(const EditionCase& c, std::ostream* os) { *os << c.name; }

class StepsOutOfOrder : public ::testing::TestWithParam<EditionCase> {};

TEST_P(StepsOutOfOrder, FailCleanlyAndLeaveTheNextRunWhole) {
  const bool compat = GetParam().compat;
  const char* lib = compat ? COMPAT_LIB : CURRENT_LIB;
  const com::GUID summary_clsid = (compat ? editions::CompatEdition() : editions::CurrentEdition()).summary_clsid;
  TempDir reg, tmpl_dir, work_dir;
  setenv("TALLYPORT_REGISTRY", (reg.path() + "/registry").c_str(), 1);
  EmbeddedServer tmpl(tmpl_dir.path());
  FillBalanceLedger(tmpl);
  AddCashLines(tmpl);
  ASSERT_FALSE(HasFatalFailure());
  ShortLink link(work_dir.path());
  EmbeddedServer s(link.path());
  auto create = [&](const com::GUID& clsid) {
    com::ComPtr<com::IDispatch> obj;
    EXPECT_EQ(com::CreateFromLibrary(lib, clsid, com::IID_IDispatch, obj.PutVoid()), com::S_OK);
    return obj;
  };
  const auto values = ExtractValues(s, "2006-03-01", "2006-03-31");
  // The rows of both classes, each run alone on fresh tables.
  std::map<std::string, Rows> clean;
  CopyServer(tmpl.dir(), s.dir());
  ASSERT_EQ(CallExtract(create(editions::kCashVouchClsid).get(), values).result, 0);
  ASSERT_EQ(CallExtract(create(summary_clsid).get(), values).result, 0);
  for (const char* t : {"Temp_ETL_GL_CashVouch", "Temp_Etl_GL_Sum"}) clean[t] = TableRows(s, "olap", t);

  for (const char* before : {"fresh", "after a failed run", "after a run"}) {
    CopyServer(tmpl.dir(), s.dir());
    auto cash = create(editions::kCashVouchClsid), summary = create(summary_clsid);
    if (std::string(before) != "fresh") {
      const bool fail = std::string(before) == "after a failed run";
      // An item class without its table ends the cash run in SetItem, a voucher
      // account missing from the chart ends the balance run in its movement pass.
      if (fail) {
        s.Exec("vxdata_001_2006", "UPDATE gl_accvouch SET citem_class='ZZ' WHERE citem_class='97';"
                                  "INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, md, mc, ibook)"
                                  " VALUES (3, '2006-03-03 00:00:00', '9999', 1, 0, 1)");
      }
      EXPECT_EQ(CallExtract(cash.get(), values).result, fail ? 1 : 0);
      EXPECT_EQ(CallExtract(summary.get(), values).result, fail ? 1 : 0);
    }
    // Steps that need no run (nTOz, a look-up through an open connection) answer,
    // and none of them touches the account set, whatever text it was given.
    const auto account_set = TableCounts(s, "vxdata_001_2006");
    EXPECT_GT(CallSteps(cash.get(), CashSteps(), before) + CallSteps(summary.get(), SummarySteps(), before), 0);
    EXPECT_EQ(TableCounts(s, "vxdata_001_2006"), account_set) << before;
    // Whatever the steps did, a run on new objects over fresh tables lands its rows.
    CopyServer(tmpl.dir(), s.dir());
    EXPECT_EQ(CallExtract(create(editions::kCashVouchClsid).get(), values).result, 0) << before;
    EXPECT_EQ(CallExtract(create(summary_clsid).get(), values).result, 0) << before;
    for (const char* t : {"Temp_ETL_GL_CashVouch", "Temp_Etl_GL_Sum"}) EXPECT_EQ(TableRows(s, "olap", t), clean[t]) << before;
  }
  unsetenv("TALLYPORT_REGISTRY");
}

INSTANTIATE_TEST_SUITE_P(Editions, StepsOutOfOrder,
                         ::testing::Values(EditionCase{"Current", false}, EditionCase{"Compat", true}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace reliability
