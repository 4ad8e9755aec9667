// RowSpool: the rows of one query, read to the end when the recordset opens, so the
// recordset sees them as they stood then and the engine's statement is finished
// before the caller runs anything else on the connection. Rows stay in memory up to
// a limit and spill past it to an unlinked temporary file, read back in order.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "com/variant.h"

namespace db {

class RowSpool {
 public:
  explicit RowSpool(size_t memory_rows = 4096);
  ~RowSpool();
  RowSpool(const RowSpool&) = delete;
  RowSpool& operator=(const RowSpool&) = delete;

  void Append(std::vector<com::Variant>&& row);
  // Ends writing; reading starts at the first row.
  void Finish();
  // The next row in order; false past the last.
  bool Next(std::vector<com::Variant>* row);
  size_t rows() const { return count_; }

  // Tests shrink the in-memory part to exercise the spill.
  static void SetDefaultMemoryRowsForTesting(size_t n);
  static size_t DefaultMemoryRows();

 private:
  size_t limit_;
  std::vector<std::vector<com::Variant>> memory_;
  std::FILE* file_ = nullptr;
  size_t count_ = 0;
  size_t read_ = 0;
};

}  // namespace db
