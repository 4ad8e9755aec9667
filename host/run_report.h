// The run report that the component writes as JSON ($TALLYPORT_REPORT), turned into
// the few lines a person reads after a run.
#pragma once

#include <string>

namespace host {

// Lines such as "Summary: finished in 0.141 s", rows per table and kind, and the
// passes with their times. Empty when `json` is not a report (nothing to show).
std::string DescribeRunReport(const std::string& json);

}  // namespace host
