// Type descriptions of the two dual interfaces: one table per interface, in slot
// order, with dispatch ids, names and parameter types. The same table answers
// GetIDsOfNames, drives Invoke, fixes the order of the vtable methods (checked by
// the tests through the slots) and prints the type library text.
#pragma once

#include <string>
#include <vector>

#include "com/com.h"
#include "editions/edition.h"

namespace component {

enum class PType { None, Variant, Text, I2, Bool, Currency, Date, Recordset };

struct ParamDesc {
  const char* name;
  PType type;
  bool by_value;  // parameters are by reference unless marked by value
};

struct MethodDesc {
  com::DISPID id;
  const char* name;
  std::vector<ParamDesc> params;
  PType result;
};

struct InterfaceDesc {
  const char* name;  // "_CashVouch"
  com::IID iid;
  std::vector<com::IID> earlier_iids;
  std::vector<MethodDesc> methods;  // slot order, after the seven of IDispatch
};

const InterfaceDesc& CashVouchInterface();
const InterfaceDesc& SummaryInterface(const editions::Edition& e);

// The slot of a dispatch id, or -1.
int SlotOfDispId(const InterfaceDesc& d, com::DISPID id);
// The slot of a method name matched without regard to case, or -1.
int SlotOfName(const InterfaceDesc& d, const std::string& name);

// The type library as IDL text: library, the AccMsgType record, both interfaces
// with their earlier IIDs as aliases, and both classes.
std::string TypeLibraryText(const editions::Edition& e);

}  // namespace component
