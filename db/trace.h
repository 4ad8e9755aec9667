// Every data operation passes through here: statements, queries, connection opens
// and procedure calls are written to the trace file named by $TALLYPORT_TRACE
// (passwords masked), and every operation, fetches included, is counted for the
// fault injection of tests (db/fault.h).
#pragma once

#include <string>

namespace db {

// Counts one data operation; throws db::Error when fault injection chose it.
void CountOperation();

// Counts the operation, then appends the text (passwords masked, on one line) to
// the trace file when tracing is on. Tracing never fails an operation.
void TraceStatement(const std::string& text);

// Whether a trace file is named, so callers build a trace text only when needed.
bool Tracing();

// The text with every password replaced by ***: PWD= values of connection texts and
// the password of OPENROWSET('provider','server';'user';'password',...).
std::string MaskPasswords(const std::string& text);

}  // namespace db
