// Choosing the engine from the connection text: a SERVER that names an existing
// directory is an embedded server; any other name is a SQL Server network name,
// reached through ODBC with the connection text as the component built it.
#include "db/engine.h"

#include "db/ado.h"
#include "db/connstr.h"
#include "db/sqlite/connection.h"
#include "db/sqlite/server.h"

#ifdef TALLYPORT_WITH_ODBC
#include "db/odbc/connection.h"
#endif

namespace db {

WriteBatch::WriteBatch() { sqlite::BeginWriteBatches(); }
WriteBatch::~WriteBatch() { sqlite::EndWriteBatches(); }
void WriteBatch::Commit() { sqlite::CommitWriteBatches(); }

std::string WriteBatch::CommitAfter(const std::exception& failure) {
  std::string message = failure.what();
  try {
    Commit();
  } catch (const std::exception& lost) {
    message += " " + std::string(lost.what());
  }
  return message;
}

std::unique_ptr<Session> OpenSession(const std::string& connection_text) {
  auto pairs = ParseConnectionString(connection_text);
  if (!pairs)
    throw Error(kMalformedConnectionString, 0, "08001");
  std::string server = ConnGet(*pairs, "SERVER").value_or("");
  if (sqlite::IsEmbeddedServer(server)) {
    return sqlite::OpenEmbeddedSession(server, ConnGet(*pairs, "UID").value_or(""),
                                       ConnGet(*pairs, "PWD").value_or(""),
                                       ConnGet(*pairs, "DATABASE").value_or(""));
  }
#ifdef TALLYPORT_WITH_ODBC
  return odbc::OpenOdbcSession(connection_text);
#else
  throw Error("SQL Server through ODBC is not part of this build, and '" + server +
                  "' is not an embedded server directory.",
              0, "08001");
#endif
}

}  // namespace db
