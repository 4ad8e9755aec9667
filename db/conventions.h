// How the extraction reaches its three databases: the connection strings of each
// class and role, table existence tests, the account-set number and year cut from
// the account database name, and the terminal session id of the staging table.
#pragma once

#include <string>
#include <string_view>

#include "db/ado.h"

namespace db {

enum class Role { Acc, Olap, Sys };
enum class ClassKind { CashVouch, Summary };

// The connection string of a class and role, built from the fixed fragments with
// the values written through ConnValue (a value with ';', '{' or '}' is braced).
// For Role::Sys the db argument is ignored ("database=vxsystem").
std::string ConnectionString(ClassKind cls, Role role, std::string_view server,
                             std::string_view password, std::string_view database);

// "select name from sysobjects where name='T'" (or tempdb..sysobjects) opened on
// `rs` over `cn` with a dynamic cursor; the caller closes `rs` when it has acted.
// Returns whether a row came back.
bool OpenExistenceTest(Recordset& rs, Connection& cn, std::string_view table, bool in_tempdb);

// Account-set number and year from "vxdata_NNN_YYYY": the search for "vxdata" ignores
// case, the pieces keep the name's own; positions past the end give short or empty
// pieces, never an error.
struct AccountSetKey {
  std::string zt_no;
  std::string zt_year;
};
AccountSetKey AccountSetFromDbName(std::string_view acc_db_name);

// A fiscal period number (ua_period.iid) as a whole number, its fraction dropped.
// A value no Long can hold (an embedded server's file may store anything) throws
// "Overflow", as the run-time's conversion does, never a wrapped number.
long long PeriodNumber(const com::Variant& iid);

// The terminal session id as text from TermMisc.Terminal.GetSessionId, created by
// ProgID and called by name; "" on any failure. Never throws.
std::string GetTerminalSessionId();

}  // namespace db
