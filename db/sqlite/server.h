// An embedded server on disk: a directory whose databases are the files D.db
// (names matched regardless of case), with tempdb.db shared by all connections and
// the sa login's salted password hash in the file "login" of the directory.
#pragma once

#include <string>
#include <string_view>

namespace db::sqlite {

// Whether `server` (as given in SERVER=) names an existing directory.
bool IsEmbeddedServer(std::string_view server);

// Creates the directory if needed and sets the sa password (stored only as a
// salted hash). Re-keys an existing server. Throws db::Error.
void InitServer(const std::string& dir, const std::string& sa_password);

// Throws db::Error "Login failed for user 'sa'." unless user is sa (any case) and
// the password matches; a directory never initialised has the empty password.
void CheckLogin(const std::string& dir, std::string_view user, std::string_view password);

// The file of database `db` in the server directory (matched regardless of case);
// empty when there is none.
std::string DatabaseFile(const std::string& dir, std::string_view db);

// Installs the compatibility edition's server procedures sp_gl_qcbl and
// Sp_Gl_QcBlYE into database `db` of the server (after checking the login).
void InstallProcedures(const std::string& dir, std::string_view password, std::string_view db);

}  // namespace db::sqlite
