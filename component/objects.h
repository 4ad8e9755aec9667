// The two dual interfaces as vtables (after IUnknown's three and IDispatch's four
// slots, in the order of the type description) and the class-object entry points.
#pragma once

#include "com/com.h"
#include "component/typedesc.h"
#include "editions/edition.h"

namespace component {

// _CashVouch, slot order as in the type description.
struct ICashVouch : com::IDispatch {
  virtual com::HRESULT ExtractData(com::VARIANT sAccServer, com::VARIANT sAccPwd,
                                   com::VARIANT sAccDbName, com::VARIANT sOlapServer,
                                   com::VARIANT sOlapPwd, com::VARIANT sOlapDbName,
                                   com::VARIANT sBeginDate, com::VARIANT sEndDate,
                                   com::VARIANT* sErrorMsg, com::VARIANT* result) = 0;
  virtual com::HRESULT SetFiscalDate() = 0;
  virtual com::HRESULT SetDept() = 0;
  virtual com::HRESULT SetCus() = 0;
  virtual com::HRESULT SetSup() = 0;
  virtual com::HRESULT SetPerson() = 0;
  virtual com::HRESULT SetItem() = 0;
  virtual com::HRESULT SetJe() = 0;
  virtual com::HRESULT GetFx(com::BSTR* sItemid, com::BSTR* result) = 0;
  virtual com::HRESULT GetCodeFx(com::BSTR* sCode_id, com::VARIANT_BOOL* result) = 0;
  virtual com::HRESULT CopyData() = 0;
};

// _Summary, slot order as in the type description. The compatibility edition's
// interface is the first fifteen slots.
struct ISummary : com::IDispatch {
  virtual com::HRESULT ExtractData(com::VARIANT sAccServer, com::VARIANT sAccPwd,
                                   com::VARIANT sAccDbName, com::VARIANT sOlapServer,
                                   com::VARIANT sOlapPwd, com::VARIANT sOlapDbName,
                                   com::VARIANT sBeginDate, com::VARIANT sEndDate,
                                   com::VARIANT* sErrorMsg, com::VARIANT* result) = 0;
  virtual com::HRESULT CreatEipTable(com::BSTR* sEtlTableName, int16_t* iType) = 0;
  virtual com::HRESULT AddStartAcc(com::BSTR* sPeriodStart) = 0;
  virtual com::HRESULT GetFiscalDate(com::BSTR* sDate, com::BSTR* result) = 0;
  virtual com::HRESULT GetCodeDc(com::BSTR* sCode, com::VARIANT_BOOL* result) = 0;
  virtual com::HRESULT GetCodeQc(com::BSTR* sSql2) = 0;
  virtual com::HRESULT UpdateOneCode(com::IDispatch** rsCode, com::DATE* dI) = 0;
  virtual com::HRESULT UpdateLjLd(com::IDispatch** rsCode, com::BSTR* sDay) = 0;
  virtual com::HRESULT AddLjLd(com::IDispatch** rsCode, com::BSTR* sDay) = 0;
  virtual com::HRESULT AddOneAcc(com::DATE* dI) = 0;
  virtual com::HRESULT GetCexchId(com::VARIANT* sCexchName, com::BSTR* result) = 0;
  virtual com::HRESULT nTOz(com::VARIANT* mV, com::CY* result) = 0;
  virtual com::HRESULT GetAccountDay(com::BSTR* iperiod, com::BSTR* sS_E, com::BSTR* result) = 0;
  virtual com::HRESULT GetCodeDcValue(com::BSTR* sCode, com::IDispatch** rsAcc, com::BSTR* sM,
                                      com::CY* result) = 0;
  virtual com::HRESULT GetCexchIdFromCode(com::VARIANT* sCode, com::BSTR* result) = 0;
  virtual com::HRESULT GetAccountBeginPeriod(int16_t* result) = 0;
};

// The edition this library was built as (one build switch selects it).
const editions::Edition& ThisEdition();

com::HRESULT GetClassObject(com::REFCLSID clsid, com::REFIID riid, void** ppv);
// True when no object, factory or server lock is outstanding.
bool CanUnloadNow();

}  // namespace component
