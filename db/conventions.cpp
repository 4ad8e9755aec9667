// Connection strings, the account-set key of the account database name, and the
// terminal session id. Values enter connection strings through ConnValue only, so
// a password holding ';' can never add a keyword.
#include "db/conventions.h"

#include <cmath>

#include "com/comptr.h"
#include "com/error.h"
#include "com/registry.h"
#include "db/sqltext.h"

namespace db {

long long PeriodNumber(const com::Variant& iid) {
  const double d = std::trunc(iid.ToDouble());
  if (!(d >= -2147483648.0 && d <= 2147483647.0)) com::ThrowOverflow();
  return static_cast<long long>(d);
}

std::string ConnectionString(ClassKind cls, Role role, std::string_view server,
                             std::string_view password, std::string_view database) {
  // CashVouch reaches the account and analysis databases through the OLE DB
  // provider; everything else goes through the ODBC driver.
  const bool oledb = cls == ClassKind::CashVouch && role != Role::Sys;
  std::string s = oledb ? "Provider=sqloledb;SERVER=" : "DRIVER={SQL Server};SERVER=";
  s += ConnValue(server);
  s += ";UID=sa;PWD=";
  s += ConnValue(password);
  if (role == Role::Sys) {
    s += ";database=vxsystem";
  } else {
    s += ";DATABASE=";
    s += ConnValue(database);
  }
  return s;
}

AccountSetKey AccountSetFromDbName(std::string_view name) {
  // Positions count characters (UTF-16 units, as the name's own string type does).
  const std::u16string u = com::Utf16FromUtf8(name);
  std::u16string lower = u;
  for (char16_t& c : lower)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  size_t found = lower.find(u"vxdata");
  size_t pos = found == std::u16string::npos ? 0 : found + 1;  // 1-based, 0 when absent
  // Mid(name, start, n): start is 1-based; past the end gives a short or empty piece.
  auto mid = [&](size_t start, size_t n) -> std::string {
    if (start < 1 || start > u.size()) return "";
    return com::Utf8FromUtf16(std::u16string_view(u).substr(start - 1, n));
  };
  return {mid(pos + 7, 3), mid(pos + 11, 4)};
}

std::string GetTerminalSessionId() {
  try {
    com::CLSID clsid;
    if (com::Failed(com::CLSIDFromProgID("TermMisc.Terminal", &clsid))) return "";
    com::ComPtr<com::IDispatch> t;
    if (com::Failed(com::CoCreateInstance(clsid, nullptr, com::IID_IDispatch, t.PutVoid())))
      return "";
    com::DISPID id;
    if (com::Failed(com::GetDispId(t.get(), "GetSessionId", &id))) return "";
    com::VARIANT r;
    com::VariantInit(&r);
    com::HRESULT hr = com::InvokeMethod(t.get(), id, nullptr, 0, &r, nullptr);
    com::Variant v = com::Variant::FromRaw(r);
    com::VariantClear(&r);
    if (com::Failed(hr)) return "";
    return v.ToText();
  } catch (...) {
    return "";  // no session id is a valid answer: the run uses the bare table name
  }
}

bool OpenExistenceTest(Recordset& rs, Connection& cn, std::string_view table, bool in_tempdb) {
  std::string sql = in_tempdb ? "select name from tempdb..sysobjects where name='"
                              : "select name from sysobjects where name='";
  sql += SqlText(table);
  sql += "'";
  rs.Open(sql, cn, 2);
  return !rs.Eof();
}

}  // namespace db
