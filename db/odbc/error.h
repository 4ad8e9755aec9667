// The one checking wrapper for calls into ODBC: a failing call's diagnostics are
// read with SQLGetDiagRec and thrown as db::Error carrying the driver's message
// (with the prefixes the driver manager and driver give it), the native error
// number and the SQLSTATE. Nothing else in db/odbc inspects a SQLRETURN.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>

namespace db::odbc {

// Returns rc when it is SQL_SUCCESS, SQL_SUCCESS_WITH_INFO or SQL_NO_DATA; any
// other result throws db::Error with the first error record of `handle`. `what`
// names the call, for the rare failure that leaves no record.
SQLRETURN Check(SQLRETURN rc, SQLSMALLINT handle_type, SQLHANDLE handle, const char* what);

[[noreturn]] void ThrowDiagnostics(SQLSMALLINT handle_type, SQLHANDLE handle, const char* what, SQLRETURN rc);

// A UTF-8 text as the narrow ODBC calls take it (the driver manager passes narrow
// texts to the driver unchanged; FreeTDS reads them as its ClientCharset, UTF-8).
inline SQLCHAR* Sql(std::string& s) { return reinterpret_cast<SQLCHAR*>(s.data()); }

}  // namespace db::odbc
