// Fault injection, for tests only: the Nth data operation fails with a given
// message, as an engine error would. Operations are counted from 1 per process:
// connection opens, statements, recordset opens, fetches (MoveNext), write-backs
// (Update) and procedure calls. Also set by $TALLYPORT_FAULT="N:message", so tests
// can drive the real program and fail each point of a run in turn.
#pragma once

#include <string>

namespace db::testing {

void FailAt(long n, std::string message);  // restarts the count; n <= 0 switches it off
long OperationCount();                     // operations seen since the last FailAt

}  // namespace db::testing
