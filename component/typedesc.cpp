// The method tables of _CashVouch and _Summary and the type library text built
// from them. The compatibility edition's _Summary is the current table without
// GetAccountBeginPeriod, renumbered from 0x60030000, one id a slot.
#include "component/typedesc.h"

#include <strings.h>

#include <cstdio>
#include <sstream>

#include "summary/accmsg.h"

namespace component {
namespace {

using P = ParamDesc;
constexpr PType V = PType::Variant, T = PType::Text, I2 = PType::I2, B = PType::Bool,
                CY = PType::Currency, D = PType::Date, RS = PType::Recordset, N = PType::None;

std::vector<ParamDesc> ExtractParams() {
  return {{"sAccServer", V, true},  {"sAccPwd", V, true},    {"sAccDbName", V, true},
          {"sOlapServer", V, true}, {"sOlapPwd", V, true},   {"sOlapDbName", V, true},
          {"sBeginDate", V, true},  {"sEndDate", V, true},   {"sErrorMsg", V, false}};
}

std::vector<MethodDesc> SummaryMethods(bool compat) {
  std::vector<MethodDesc> m = {
      {0, "ExtractData", ExtractParams(), V},
      {0, "CreatEipTable", {P{"sEtlTableName", T, false}, P{"iType", I2, false}}, N},
      {0, "AddStartAcc", {P{"sPeriodStart", T, false}}, N},
      {0, "GetFiscalDate", {P{"sDate", T, false}}, T},
      {0, "GetCodeDc", {P{"sCode", T, false}}, B},
      {0, "GetCodeQc", {P{"sSql2", T, false}}, N},
      {0, "UpdateOneCode", {P{"rsCode", RS, false}, P{"dI", D, false}}, N},
      {0, "UpdateLjLd", {P{"rsCode", RS, false}, P{"sDay", T, false}}, N},
      {0, "AddLjLd", {P{"rsCode", RS, false}, P{"sDay", T, false}}, N},
      {0, "AddOneAcc", {P{"dI", D, false}}, N},
      {0, "GetCexchId", {P{"sCexchName", V, false}}, T},
      {0, "nTOz", {P{"mV", V, false}}, CY},
      {0, "GetAccountDay", {P{"iperiod", T, false}, P{"sS_E", T, false}}, T},
      {0, "GetCodeDcValue", {P{"sCode", T, false}, P{"rsAcc", RS, false}, P{"sM", T, false}}, CY},
      {0, "GetCexchIdFromCode", {P{"sCode", V, false}}, T},
      {0, "GetAccountBeginPeriod", {}, I2},
  };
  if (compat) m.pop_back();
  com::DISPID id = compat ? 0x60030000 : 0x60030001;
  for (auto& x : m) x.id = id++;
  return m;
}

InterfaceDesc MakeSummary(const editions::Edition& e) {
  return {"_Summary", e.summary_iid, e.summary_earlier_iids, SummaryMethods(e.compat)};
}

const char* IdlType(PType t) {
  switch (t) {
    case PType::Variant: return "VARIANT";
    case PType::Text: return "BSTR";
    case PType::I2: return "short";
    case PType::Bool: return "VARIANT_BOOL";
    case PType::Currency: return "CURRENCY";
    case PType::Date: return "DATE";
    case PType::Recordset: return "_Recordset*";
    case PType::None: return "void";
  }
  return "?";
}

std::string Uuid(const com::GUID& g) {
  std::string s = com::FormatGuid(g);
  return s.substr(1, s.size() - 2);
}

void PrintInterface(std::ostringstream& o, const InterfaceDesc& d) {
  o << "    [\n      odl,\n      uuid(" << Uuid(d.iid)
    << "),\n      hidden,\n      dual,\n      nonextensible,\n      oleautomation\n    ]\n"
    << "    interface " << d.name << " : IDispatch {\n";
  for (const auto& m : d.methods) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(m.id));
    o << "        [id(" << id << ")]\n        HRESULT " << m.name << "(";
    bool first = true;
    for (const auto& p : m.params) {
      o << (first ? "\n" : ",\n") << "                        "
        << (p.by_value ? "[in] " : "[in, out] ") << IdlType(p.type) << (p.by_value ? " " : "* ")
        << p.name;
      first = false;
    }
    if (m.result != PType::None)
      o << (first ? "\n" : ",\n") << "                        [out, retval] " << IdlType(m.result)
        << "* result";
    o << ");\n";
  }
  o << "    };\n\n";
  for (const auto& iid : d.earlier_iids)
    o << "    // earlier interface, an alias of " << d.name << "\n    typedef [uuid(" << Uuid(iid)
      << "), hidden] " << d.name << " " << d.name << "_" << Uuid(iid).substr(0, 8) << ";\n\n";
}

}  // namespace

const InterfaceDesc& CashVouchInterface() {
  static const InterfaceDesc d{
      "_CashVouch",
      editions::kCashVouchIid,
      editions::kCashVouchEarlierIids,
      {
          {0x60030000, "ExtractData", ExtractParams(), V},
          {0x60030001, "SetFiscalDate", {}, N},
          {0x60030002, "SetDept", {}, N},
          {0x60030003, "SetCus", {}, N},
          {0x60030004, "SetSup", {}, N},
          {0x60030005, "SetPerson", {}, N},
          {0x60030006, "SetItem", {}, N},
          {0x60030007, "SetJe", {}, N},
          {0x60030008, "GetFx", {P{"sItemid", T, false}}, T},
          {0x60030009, "GetCodeFx", {P{"sCode_id", T, false}}, B},
          {0x6003000A, "CopyData", {}, N},
      }};
  return d;
}

const InterfaceDesc& SummaryInterface(const editions::Edition& e) {
  static const InterfaceDesc current = MakeSummary(editions::CurrentEdition());
  static const InterfaceDesc compat = MakeSummary(editions::CompatEdition());
  return e.compat ? compat : current;
}

int SlotOfDispId(const InterfaceDesc& d, com::DISPID id) {
  for (size_t i = 0; i < d.methods.size(); ++i)
    if (d.methods[i].id == id) return static_cast<int>(i);
  return -1;
}

int SlotOfName(const InterfaceDesc& d, const std::string& name) {
  for (size_t i = 0; i < d.methods.size(); ++i)
    if (strcasecmp(d.methods[i].name, name.c_str()) == 0) return static_cast<int>(i);
  return -1;
}

std::string TypeLibraryText(const editions::Edition& e) {
  std::ostringstream o;
  o << "// Type library of Tallyport, " << e.name << " edition\n[\n  uuid("
    << Uuid(editions::kTypeLibId) << "),\n  version(" << e.typelib_version
    << "),\n  lcid(0)\n]\nlibrary Tallyport\n{\n    importlib(\"stdole2.tlb\");\n\n";
  o << "    typedef [uuid(" << Uuid(editions::kAccMsgTypeGuid) << ")]\n    struct AccMsgType {\n";
  for (const auto& f : summary::kAccMsgFields) o << "        " << f.idl_type << " " << f.name << ";\n";
  o << "    } AccMsgType;\n\n";
  PrintInterface(o, CashVouchInterface());
  PrintInterface(o, SummaryInterface(e));
  o << "    [uuid(" << Uuid(editions::kCashVouchClsid) << ")]\n    coclass CashVouch {\n"
    << "        [default] interface _CashVouch;\n    };\n\n";
  o << "    [uuid(" << Uuid(e.summary_clsid) << ")]\n    coclass Summary {\n"
    << "        [default] interface _Summary;\n    };\n};\n";
  return o.str();
}

}  // namespace component
