// CashVouch: the run's contract (date check before the trap, the single trap, the
// result) is in place; the extraction steps behind it are not built yet, and a run
// says so through the trap instead of pretending to succeed.
#include "cashvouch/cashvouch.h"

#include <exception>

#include "com/error.h"
#include "report/report.h"

namespace cashvouch {
namespace {

[[noreturn]] void NotBuilt(const char* step) {
  throw com::Error(com::E_NOTIMPL, std::string("CashVouch.") + step +
                                       " is not available in this build of Tallyport");
}

}  // namespace

int16_t CashVouch::ExtractData(const com::Variant& sAccServer, const com::Variant& sAccPwd,
                               const com::Variant& sAccDbName, const com::Variant& sOlapServer,
                               const com::Variant& sOlapPwd, const com::Variant& sOlapDbName,
                               const com::Variant& sBeginDate, const com::Variant& sEndDate,
                               com::Variant& sErrorMsg) {
  // The dates are converted before the trap: a date that cannot be read fails the
  // call itself, not the run.
  const com::DATE begin = sBeginDate.ToDate();
  const com::DATE end = sEndDate.ToDate();
  if (end < begin) {
    sErrorMsg = com::Variant::Text("{{Q6.GL.TALLYPORT.MSG_DATE}}");
    return 1;
  }
  report::BeginRun("CashVouch");
  try {
    SetFiscalDate();
  } catch (const std::exception& e) {
    report::EndRun(false);
    sErrorMsg = com::Variant::Text(e.what());
    return 1;
  }
  report::EndRun(true);
  return 0;
}

void CashVouch::SetFiscalDate() { NotBuilt("SetFiscalDate"); }
void CashVouch::SetDept() { NotBuilt("SetDept"); }
void CashVouch::SetCus() { NotBuilt("SetCus"); }
void CashVouch::SetSup() { NotBuilt("SetSup"); }
void CashVouch::SetPerson() { NotBuilt("SetPerson"); }
void CashVouch::SetItem() { NotBuilt("SetItem"); }
void CashVouch::SetJe() { NotBuilt("SetJe"); }
std::string CashVouch::GetFx(const std::string&) { NotBuilt("GetFx"); }
bool CashVouch::GetCodeFx(const std::string&) { NotBuilt("GetCodeFx"); }
void CashVouch::CopyData() { NotBuilt("CopyData"); }

}  // namespace cashvouch
