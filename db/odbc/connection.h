// SQL Server through ODBC: a Session over one ODBC connection, opened with the
// connection text as the component built it (Provider=sqloledb texts mapped to the
// configured SQL Server ODBC driver).
#pragma once

#include <memory>
#include <string>

#include "db/engine.h"

namespace db::odbc {

// Throws db::Error with the driver's diagnostic text when the connection fails.
std::unique_ptr<Session> OpenOdbcSession(const std::string& connection_text);

}  // namespace db::odbc
