// Reading ODBC diagnostics into db::Error. A failing call may leave several
// records; warnings (SQLSTATE class 01, such as SQL Server's "Changed database
// context") come before the real error on some drivers, so the first record of
// another class is the one reported, as a client of the server would show it.
#include "db/odbc/error.h"

#include <algorithm>
#include <vector>

#include "db/ado.h"

namespace db::odbc {

SQLRETURN Check(SQLRETURN rc, SQLSMALLINT handle_type, SQLHANDLE handle, const char* what) {
  if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA) return rc;
  ThrowDiagnostics(handle_type, handle, what, rc);
}

void ThrowDiagnostics(SQLSMALLINT handle_type, SQLHANDLE handle, const char* what, SQLRETURN rc) {
  struct Record {
    std::string state, message;
    SQLINTEGER native;
  };
  std::vector<Record> records;
  for (SQLSMALLINT i = 1; handle != SQL_NULL_HANDLE; ++i) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLCHAR> msg(1024);
    SQLSMALLINT len = 0;
    SQLRETURN r = SQLGetDiagRec(handle_type, handle, i, state, &native, msg.data(),
                                static_cast<SQLSMALLINT>(msg.size()), &len);
    if (r == SQL_SUCCESS_WITH_INFO && static_cast<size_t>(len) >= msg.size()) {
      msg.resize(static_cast<size_t>(len) + 1);
      r = SQLGetDiagRec(handle_type, handle, i, state, &native, msg.data(), static_cast<SQLSMALLINT>(msg.size()),
                        &len);
    }
    if (r != SQL_SUCCESS && r != SQL_SUCCESS_WITH_INFO) break;
    size_t n = std::min(static_cast<size_t>(len < 0 ? 0 : len), msg.size() - 1);
    records.push_back({std::string(reinterpret_cast<const char*>(state)),
                       std::string(reinterpret_cast<const char*>(msg.data()), n), native});
  }
  if (records.empty())
    throw Error(std::string("ODBC call ") + what + " failed (return code " + std::to_string(rc) + ")", 0, "HY000");
  const Record* pick = &records.front();
  for (const Record& r : records)
    if (r.state.compare(0, 2, "01") != 0) {
      pick = &r;
      break;
    }
  throw Error(pick->message, static_cast<int>(pick->native), pick->state);
}

}  // namespace db::odbc
