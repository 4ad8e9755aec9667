// SQL Server through ODBC: a Session over one ODBC connection, opened with the
// connection text as the component built it (Provider=sqloledb texts mapped to the
// configured SQL Server ODBC driver).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "db/engine.h"

namespace db::odbc {

// Throws db::Error with the driver's diagnostic text when the connection fails.
// The driver for Provider=sqloledb texts is $TALLYPORT_ODBC_DRIVER, else "SQL Server".
std::unique_ptr<Session> OpenOdbcSession(const std::string& connection_text);

// The text handed to the driver manager for a connection text of the component:
// - "Provider=sqloledb;SERVER=..;UID=..;PWD=..;DATABASE=.." becomes
//   "DRIVER={<sqloledb_driver>};SERVER=..;UID=..;PWD=..;DATABASE=.." plus any other keys;
// - a DRIVER= (or DSN=) text passes unchanged;
// - for a driver that `is_freetds` names, ClientCharset=UTF-8 is added unless given.
// Server names (host, host,port, host\instance) pass as they are.
// A rewritten sqloledb text carries each key once (the first occurrence, as ODBC
// reads it) and braced values where a value holds ';', '{' or '}'. Throws db::Error for a malformed
// text or another OLE DB provider; the error never quotes the text.
std::string MapConnectionText(const std::string& text, const std::string& sqloledb_driver,
                              const std::function<bool(const std::string& driver)>& is_freetds);

}  // namespace db::odbc
