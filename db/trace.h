// Every statement, query, connection open and procedure call passes through here:
// it is written to the trace file named by $TALLYPORT_TRACE (passwords masked), and
// counted for fault injection in tests.
#pragma once

#include <string>

namespace db {

// Traces and counts one data operation; throws db::Error when fault injection
// chose this operation (see db/fault.h).
void TraceStatement(const std::string& text);

// The text with every password replaced by ***: PWD= values of connection texts and
// the password of OPENROWSET('provider','server';'user';'password',...).
std::string MaskPasswords(const std::string& text);

}  // namespace db
