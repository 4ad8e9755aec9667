// Fault injection, for tests only: the Nth data operation fails with a given
// message, as an engine error would. Operations are counted from 1 per process:
// connection opens, statements, recordset opens, fetches (MoveNext), write-backs
// (Update) and procedure calls. Also set by $TALLYPORT_FAULT="N:message", so tests
// can drive the real program and fail each point of a run in turn.
// $TALLYPORT_FAULT=count prints "tallyport: N data operations" on standard error
// when the process exits, so a test knows how many points a run has.
// $TALLYPORT_KILL_AT=N raises SIGKILL at the Nth operation, before it runs: a test
// can end the program abruptly at any point of a run and look at what it left.
#pragma once

#include <string>

namespace db::testing {

void FailAt(long n, std::string message);  // restarts the count; n <= 0 switches it off
long OperationCount();                     // operations seen since the last FailAt

}  // namespace db::testing
