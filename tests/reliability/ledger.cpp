#include "tests/reliability/ledger.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "com/error.h"
#include "com/registry.h"

namespace reliability {
namespace fs = std::filesystem;

namespace {

// Under LeakSanitizer a program that leaks exits 1, the status of a failed
// extraction: the programs these tests run report a leak with 23 instead, so a
// leak on a failure path cannot pass for the failure itself.
const bool kLeaksExitApart = [] {
  const char* had = std::getenv("LSAN_OPTIONS");
  std::string options = had && *had ? std::string(had) + ":exitcode=23" : "exitcode=23";
  return setenv("LSAN_OPTIONS", options.c_str(), 1) == 0;
}();

}  // namespace

void FillCashLedger(const EmbeddedServer& s) {
  testsupport::CreateAccountSet(s, "vxdata_001_2006", 2006, "001", {"97"});
  s.Exec("vxdata_001_2006", "INSERT INTO code (ccode, bproperty, bend) VALUES ('1001', 1, 1), ('2202', 0, 1)");
  AddCashLines(s);
}

void AddCashLines(const EmbeddedServer& s) {
  s.Exec("vxdata_001_2006", R"sql(
    INSERT INTO department VALUES ('01', 'Sales');
    INSERT INTO customer VALUES ('C1', '客户一');
    INSERT INTO vendor VALUES ('S1', 'Vendor 😀');
    INSERT INTO person VALUES ('P1', 'Pat');
    INSERT INTO fitemss97 VALUES ('01', 'Item 97-01');
    INSERT INTO fitemss98 (citemcode, citemname, cdirection) VALUES ('IN', 'Inflow', '流入'), ('OUT', 'Outflow', '流出');
    INSERT INTO gl_accvouch (iperiod, csign, isignseq, ino_id, inid, dbill_date, ccode, cdept_id, ccus_id, csup_id, cperson_id, citem_class, citem_id) VALUES
      (3, 'S', 1, 12, 1, '2006-03-01 00:00:00', '1001', '01', 'C1', NULL, 'P1', '97', '01'),
      (3, 'S', 1, 13, 1, '2006-03-02 00:00:00', '2202', NULL, NULL, 'S1', NULL, NULL, NULL),
      (4, 'S', 1, 1, 1, '2006-04-01 00:00:00', '1001', NULL, NULL, NULL, NULL, NULL, NULL);
    INSERT INTO gl_cashtable (iperiod, isignseq, ino_id, inid, ccashitem, md, mc) VALUES
      (3, 1, 12, 1, 'IN', 0, 150),
      (3, 1, 13, 1, 'OUT', 30, 0),
      (4, 1, 1, 1, 'IN', 5, 0);
  )sql");
}

void FillBalanceLedger(const EmbeddedServer& s) {
  testsupport::CreateAccountSet(s, "vxdata_001_2006", 2006, "001", {"97"}, "2006-03-01");
  s.Exec("vxdata_001_2006", R"sql(
    INSERT INTO code (ccode, bproperty, cexch_name, bend, bperson, bcus, bsup, bdept, bitem) VALUES
      ('1001', 1, NULL, 1, 0, 0, 0, 0, 0),
      ('1122', 1, NULL, 1, 0, 0, 0, 1, 0),
      ('2202', 0, 'USD', 1, 0, 0, 0, 0, 0);
    INSERT INTO foreigncurrency VALUES ('人民币', 'RMB', -1), ('USD', 'USD', 0);
    INSERT INTO gl_accsum (ccode, iperiod, cexch_name, cbegind_c, mb, mb_f, md, md_f, mc, mc_f, cendd_c, me, me_f) VALUES
      ('1001', 1, NULL, '贷', 100, 0, 3, 0, 4, 0, '借', 5, 0),
      ('1001', 3, NULL, '借', 60, 0, 1, 0, 2, 0, '借', 59, 0),
      ('2202', 1, 'USD', '借', 50.5, 7, 1, 1, 2, 2, '贷', 9, 1),
      ('2202', 3, 'USD', '贷', 40, 6, 0, 0, 0, 0, '贷', 40, 6);
    INSERT INTO GL_AccMultiAss (ccode, iperiod, cDept_id, mb, mb_f, addmd, addmd_f, addmc, addmc_f) VALUES
      ('1122', 1, '01', 30, 0, 1, 0, 2.5, 0);
    INSERT INTO gl_accass (ccode, iperiod, cbegind_c, mb, mb_f, cDept_id) VALUES
      ('1122', 3, '借', 30, 0, '01');
    INSERT INTO gl_accvouch (iperiod, dbill_date, ccode, cexch_name, md, mc, md_f, mc_f, cdept_id, ibook) VALUES
      (3, '2006-03-01 00:00:00', '1001', NULL, 10, 0, 0, 0, NULL, 1),
      (3, '2006-03-01 00:00:00', '1122', NULL, 0, 4, 0, 0, '01', 1),
      (3, '2006-03-02 00:00:00', '2202', 'USD', 0, 7, 0, 1, NULL, 1),
      (3, '2006-03-03 00:00:00', '1001', NULL, 2.5, 0, 0, 0, NULL, 1);
  )sql");
  auto r = testsupport::RunTallyport({"procedures", "install", "--server", s.dir(), "--db", "olap"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
}

void CopyServer(const std::string& from, const std::string& to) {
  for (const auto& e : fs::directory_iterator(to)) fs::remove_all(e.path());
  for (const auto& e : fs::directory_iterator(from)) fs::copy(e.path(), fs::path(to) / e.path().filename());
}

Rows TableRows(const EmbeddedServer& s, const std::string& db, const std::string& table) {
  if (!s.TableExists(db, table)) return {};
  Rows rows = s.Query(db, "select * from " + table);
  Rows cols = s.Query(db, "select lower(name) from pragma_table_info('" + table + "')");
  for (size_t c = 0; c < cols.size(); ++c) {
    if (cols[c][0] != "id") continue;
    for (auto& r : rows) r.erase(r.begin() + static_cast<long>(c));
    break;
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::vector<std::string> Tables(const EmbeddedServer& s, const std::string& db) {
  std::vector<std::string> names;
  if (!fs::exists(s.DbPath(db))) return names;
  for (auto& r : s.Query(db, "select name from sqlite_schema where type='table' order by name"))
    names.push_back(r[0]);
  return names;
}

void ExpectServerSound(const EmbeddedServer& s, const std::string& context) {
  for (const auto& e : fs::directory_iterator(s.dir())) {
    if (e.path().extension() != ".db") continue;
    const std::string db = e.path().stem().string();
    EXPECT_EQ(s.Scalar(db, "PRAGMA integrity_check"), "ok") << db << ", " << context;
  }
}

ShortLink::ShortLink(const std::string& target) {
  static int n = 0;
  path_ = "/tmp/tpr" + std::to_string(getpid() % 100000) + "_" + std::to_string(n++);
  fs::remove(path_);
  fs::create_directory_symlink(target, path_);
}

ShortLink::~ShortLink() {
  std::error_code ec;
  fs::remove(path_, ec);
}

CallResult CallExtract(com::IDispatch* obj, const std::vector<std::string>& values,
                       const std::string& message_in) {
  com::DISPID id = 0;
  EXPECT_EQ(com::GetDispId(obj, "ExtractData", &id), com::S_OK);
  std::vector<com::Variant> vals;
  for (const auto& v : values) vals.push_back(com::Variant::Text(v));
  com::Variant msg = com::Variant::Text(message_in);
  com::VARIANT args[9];
  for (size_t i = 0; i < 8; ++i) args[i] = vals.at(i).raw();
  args[8].vt = com::VT_BYREF | com::VT_VARIANT;
  args[8].pvarVal = msg.raw_mut();
  com::VARIANT result;
  com::VariantInit(&result);
  com::EXCEPINFO ei{};
  com::HRESULT hr = com::InvokeMethod(obj, id, args, 9, &result, &ei);
  CallResult r;
  r.failed_call = com::Failed(hr);
  if (r.failed_call) {
    r.message = ei.bstrDescription ? com::Utf8FromBstr(ei.bstrDescription) : "";
  } else {
    com::Variant res = com::Variant::FromRaw(result);
    r.result = res.ToI2();
    r.message = msg.IsNull() ? "" : msg.ToText();
  }
  com::VariantClear(&result);
  com::ClearExcepInfo(&ei);
  return r;
}

std::vector<std::string> ExtractValues(const EmbeddedServer& s, const std::string& begin,
                                       const std::string& end) {
  return {s.dir(), "", "vxdata_001_2006", s.dir(), "", "olap", begin, end};
}

}  // namespace reliability
