// Summary: the run's contract (trap first, then the date check, the single trap and
// the result) is in place; the balance stages behind it are not built yet, and a
// run says so through the trap instead of pretending to succeed.
#include "summary/summary.h"

#include <exception>

#include "com/error.h"
#include "report/report.h"

namespace summary {
namespace {

[[noreturn]] void NotBuilt(const char* step) {
  throw com::Error(com::E_NOTIMPL, std::string("Summary.") + step +
                                       " is not available in this build of Tallyport");
}

std::string Trim(std::string s) {
  const char* ws = " \t";
  s.erase(0, s.find_first_not_of(ws));
  s.erase(s.find_last_not_of(ws) + 1);
  return s;
}

}  // namespace

const AccMsgField kAccMsgFields[28] = {
    {"sAccServer", "BSTR"},     {"sAccPwd", "BSTR"},          {"sZtNo", "BSTR"},
    {"sZtYear", "BSTR"},        {"sStartDate", "BSTR"},       {"sPeriodStart", "BSTR"},
    {"sQyDate", "BSTR"},        {"sZtFirstDay", "BSTR"},      {"sPeriodBeginDate", "BSTR"},
    {"sEndDate", "BSTR"},       {"bBulu", "VARIANT_BOOL"},    {"sEtlTableName", "BSTR"},
    {"cCode", "BSTR"},          {"bDc", "VARIANT_BOOL"},      {"cDept_id", "BSTR"},
    {"cPerson_id", "BSTR"},     {"cCus_id", "BSTR"},          {"cSup_id", "BSTR"},
    {"cItem_id", "BSTR"},       {"cItem_class", "BSTR"},      {"Mb", "CURRENCY"},
    {"Mb_f", "CURRENCY"},       {"Md", "CURRENCY"},           {"Md_f", "CURRENCY"},
    {"Mc", "CURRENCY"},         {"Mc_f", "CURRENCY"},         {"cMe", "CURRENCY"},
    {"cMe_f", "CURRENCY"},
};

Summary::Summary(const editions::Edition& edition) : edition_(edition) {}
Summary::~Summary() = default;

int16_t Summary::ExtractData(const com::Variant& sAccServer, const com::Variant& sAccPwd,
                             const com::Variant& sAccDbName, const com::Variant& sOlapServer,
                             const com::Variant& sOlapPwd, const com::Variant& sOlapDbName,
                             const com::Variant& sBeginDate, const com::Variant& sEndDate,
                             com::Variant& sErrorMsg) {
  // The incoming message is the voucher scope of the current edition.
  if (!edition_.compat) voucher_scope_ = sErrorMsg.IsNull() ? "" : Trim(sErrorMsg.ToText());
  report::BeginRun("Summary");
  try {
    // Inside the trap: a date that cannot be read ends the run with its message.
    if (sEndDate.ToDate() < sBeginDate.ToDate()) {
      report::EndRun(false);
      sErrorMsg = com::Variant::Text("起始日期不能小于结束日期！");
      return 1;
    }
    acc_msg_.sEtlTableName = "Temp_Etl_GL_Sum";
    acc_msg_.sAccServer = sAccServer.ToText();
    acc_msg_.sAccPwd = sAccPwd.ToText();
    CreatEipTable(acc_msg_.sEtlTableName, 0);
  } catch (const std::exception& e) {
    report::EndRun(false);
    sErrorMsg = com::Variant::Text(e.what());
    return 1;
  }
  report::EndRun(true);
  return 0;
}

void Summary::CreatEipTable(const std::string&, int16_t) { NotBuilt("CreatEipTable"); }
void Summary::AddStartAcc(std::string&) { NotBuilt("AddStartAcc"); }
std::string Summary::GetFiscalDate(const std::string&) { NotBuilt("GetFiscalDate"); }
bool Summary::GetCodeDc(const std::string&) { NotBuilt("GetCodeDc"); }
void Summary::GetCodeQc(const std::string&) { NotBuilt("GetCodeQc"); }
void Summary::UpdateOneCode(db::Recordset&, com::DATE) { NotBuilt("UpdateOneCode"); }
void Summary::UpdateLjLd(db::Recordset&, const std::string&) { NotBuilt("UpdateLjLd"); }
void Summary::AddLjLd(db::Recordset&, std::string&) { NotBuilt("AddLjLd"); }
void Summary::AddOneAcc(com::DATE) { NotBuilt("AddOneAcc"); }
std::string Summary::GetCexchId(const com::Variant&) { NotBuilt("GetCexchId"); }
com::Currency Summary::nTOz(const com::Variant& mV) {
  // Null reads as zero; anything else converts to currency or fails.
  return mV.IsNull() ? com::Currency{} : mV.ToCurrency();
}
std::string Summary::GetAccountDay(const std::string&, const std::string&) {
  NotBuilt("GetAccountDay");
}
com::Currency Summary::GetCodeDcValue(const std::string&, db::Recordset&, const std::string&) {
  NotBuilt("GetCodeDcValue");
}
std::string Summary::GetCexchIdFromCode(const com::Variant&) { NotBuilt("GetCexchIdFromCode"); }
int16_t Summary::GetAccountBeginPeriod() { NotBuilt("GetAccountBeginPeriod"); }

}  // namespace summary
