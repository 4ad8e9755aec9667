// Fault injection, for tests only: the Nth data operation (connection open,
// statement, query or procedure call, counted from 1 per process) fails with a
// given message as an engine error would. Also set by $TALLYPORT_FAULT="N:message",
// so tests can drive the real program.
#pragma once

#include <string>

namespace db::testing {

void FailAt(long n, std::string message);  // n <= 0 switches it off
long OperationCount();                     // operations seen since the last FailAt

}  // namespace db::testing
