// Opening a session on an embedded server: the sa login is checked against the
// server directory and the database must exist there.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "db/engine.h"

namespace db::sqlite {

// Throws db::Error with SQL Server's texts: "Login failed for user 'sa'." or
// "Cannot open database \"D\" requested by the login. The login failed."
std::unique_ptr<Session> OpenEmbeddedSession(const std::string& dir, std::string_view user,
                                             std::string_view password, std::string_view database);

// The write batches of this thread's embedded sessions (db::WriteBatch).
void BeginWriteBatches();
void CommitWriteBatches();         // throws db::Error when a commit failed
void EndWriteBatches() noexcept;   // commits what is open; a failure is kept for the next Commit

}  // namespace db::sqlite
