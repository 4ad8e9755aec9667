// Summary: writes opening, cumulative and movement rows of a date range into
// Temp_Etl_GL_Sum. One object serves one run at a time; its state (working record,
// connections, voucher scope) lives in the object. The edition given at
// construction selects the compatibility behaviour.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "com/variant.h"
#include "editions/edition.h"
#include "summary/accmsg.h"

namespace db {
class Connection;
class Recordset;
}

namespace summary {

class Summary {
 public:
  explicit Summary(const editions::Edition& edition);
  ~Summary();

  // Returns 0 on success (sErrorMsg untouched, read as the voucher scope) and 1 on
  // failure (sErrorMsg := the failing layer's message). Never throws.
  int16_t ExtractData(const com::Variant& sAccServer, const com::Variant& sAccPwd,
                      const com::Variant& sAccDbName, const com::Variant& sOlapServer,
                      const com::Variant& sOlapPwd, const com::Variant& sOlapDbName,
                      const com::Variant& sBeginDate, const com::Variant& sEndDate,
                      com::Variant& sErrorMsg);

  // The steps; each throws on failure and relies on the state a run prepares.
  void CreatEipTable(const std::string& sEtlTableName, int16_t iType);
  void AddStartAcc(std::string& sPeriodStart);
  std::string GetFiscalDate(const std::string& sDate);
  bool GetCodeDc(const std::string& sCode);
  void GetCodeQc(const std::string& sSql2);
  void UpdateOneCode(db::Recordset& rsCode, com::DATE dI);
  void UpdateLjLd(db::Recordset& rsCode, const std::string& sDay);
  void AddLjLd(db::Recordset& rsCode, std::string& sDay);
  void AddOneAcc(com::DATE dI);
  std::string GetCexchId(const com::Variant& sCexchName);
  com::Currency nTOz(const com::Variant& mV);
  std::string GetAccountDay(const std::string& iperiod, const std::string& sS_E);
  com::Currency GetCodeDcValue(const std::string& sCode, db::Recordset& rsAcc,
                               const std::string& sM);
  std::string GetCexchIdFromCode(const com::Variant& sCode);
  int16_t GetAccountBeginPeriod();

  const AccMsgType& AccMsg() const { return acc_msg_; }

 private:
  db::Connection& Acc();
  db::Connection& Olap();
  db::Connection& Sys();
  // "cacc_id='NNN' and iyear=YYYY": the account set's periods.
  std::string PeriodWhere() const;
  void CompatStages(std::string& sPeriodStart, const std::string& label);
  void CompatLjLd(db::Recordset& rsCode, std::string& sDay);

  const editions::Edition& edition_;
  AccMsgType acc_msg_;
  std::unique_ptr<db::Connection> cn_acc_, cn_olap_, cn_sys_;
  std::string voucher_scope_;
  std::string jsc_table_ = "GLJSC_Temp";
};

}  // namespace summary
