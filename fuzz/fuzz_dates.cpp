// Fuzzes the date parser and the date crossing into SQL: no crash, and every
// accepted text reads back as the same day through the SQL form.
#include <cstdlib>
#include <string>

#include "com/error.h"
#include "com/variant.h"
#include "db/sqltext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto d = com::ParseDateText(text);
  if (!d) {
    try {
      (void)db::SqlDate(text);
      std::abort();  // SqlDate accepted what the parser refused
    } catch (const com::Error&) {
    }
    return 0;
  }
  std::string sql = db::SqlDate(*d);
  auto back = com::ParseDateText(sql);
  if (!back || *back != *d) std::abort();
  if (com::ParseDateText(com::FormatDateText(*d)) != d) std::abort();
  return 0;
}
