// AccMsgType: the working record of a Summary run, the public record type of the
// type library (28 members in declaration order).
#pragma once

#include <string>

#include "com/variant.h"

namespace summary {

struct AccMsgType {
  std::string sAccServer;
  std::string sAccPwd;
  std::string sZtNo;
  std::string sZtYear;
  std::string sStartDate;
  std::string sPeriodStart;
  std::string sQyDate;
  std::string sZtFirstDay;
  std::string sPeriodBeginDate;
  std::string sEndDate;
  bool bBulu = false;
  std::string sEtlTableName;
  std::string cCode;
  bool bDc = false;
  std::string cDept_id;
  std::string cPerson_id;
  std::string cCus_id;
  std::string cSup_id;
  std::string cItem_id;
  std::string cItem_class;
  com::Currency Mb;
  com::Currency Mb_f;
  com::Currency Md;
  com::Currency Md_f;
  com::Currency Mc;
  com::Currency Mc_f;
  com::Currency cMe;
  com::Currency cMe_f;
};

// Field names and type names of the record, in declaration order, for the type
// library text ("BSTR", "VARIANT_BOOL", "CURRENCY").
struct AccMsgField {
  const char* name;
  const char* idl_type;
};
extern const AccMsgField kAccMsgFields[28];

}  // namespace summary
