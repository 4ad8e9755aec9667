// Fuzzes the dialect layer's tokenizer and plan shapes: any text either normalizes
// or is refused with db::Error, and a value spliced between quotes through SqlText
// always stays one literal of the statement.
#include <cstdlib>
#include <string>

#include "db/ado.h"
#include "db/sqlite/dialect.h"
#include "db/sqltext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  try {
    (void)db::sqlite::Normalize(in);
  } catch (const db::Error&) {
  }
  std::string stmt = "update tempdb..T set DepartmentName=N'" + db::SqlText(in) +
                     "' where DepartmentName='" + db::SqlText(in) + "'";
  db::sqlite::Shape s = db::sqlite::Normalize(stmt);
  if (s.literals.size() != 2 || s.literals[0].value != in || s.literals[1].value != in) std::abort();
  return 0;
}
