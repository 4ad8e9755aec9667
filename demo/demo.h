// The demo account set: an embedded server with a realistic, internally consistent
// account set vxdata_001_2006, its vxsystem, an empty analysis database olap and the
// compatibility edition's server procedures, ready for both extractions.
#pragma once

#include <cstdint>
#include <string>

namespace demo {

struct DemoOptions {
  int64_t vouchers = 2000;     // voucher headers across the year
  uint64_t seed = 20060101;    // same seed, same data
  std::string sa_password;     // the server's sa password ("" allowed)
};

struct DemoSummary {
  int64_t voucher_lines = 0;
  int64_t cash_lines = 0;
  int64_t accounts = 0;
};

// Creates (or replaces) the demo databases in `dir`. Throws std::runtime_error.
DemoSummary CreateDemo(const std::string& dir, const DemoOptions& options);

}  // namespace demo
