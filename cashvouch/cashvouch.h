// CashVouch: extracts the cash-flow lines of a date range into
// Temp_ETL_GL_CashVouch through a per-session staging table in tempdb. The run
// state (connections, table names, account-set key, work recordsets) lives once per
// thread and is shared by every CashVouch object on that thread.
#pragma once

#include <cstdint>
#include <string>

#include "com/variant.h"

namespace cashvouch {

class CashVouch {
 public:
  // Runs one extraction. Returns 0 on success (sErrorMsg untouched) and 1 on
  // failure (sErrorMsg := the failing layer's message). A date argument that is not
  // a date throws com::Error (the call itself fails, sErrorMsg untouched).
  int16_t ExtractData(const com::Variant& sAccServer, const com::Variant& sAccPwd,
                      const com::Variant& sAccDbName, const com::Variant& sOlapServer,
                      const com::Variant& sOlapPwd, const com::Variant& sOlapDbName,
                      const com::Variant& sBeginDate, const com::Variant& sEndDate,
                      com::Variant& sErrorMsg);

  // The steps of the run; each relies on the thread's run state set by ExtractData
  // and throws on any failure.
  void SetFiscalDate();
  void SetDept();
  void SetCus();
  void SetSup();
  void SetPerson();
  void SetItem();
  void SetJe();
  std::string GetFx(const std::string& sItemid);
  bool GetCodeFx(const std::string& sCode_id);
  void CopyData();
};

}  // namespace cashvouch
