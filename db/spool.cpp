// RowSpool; see spool.h. The spill format is a tag byte per value followed by its
// payload: fixed-size numbers as they are, texts and decimals as a length and UTF-8.
#include "db/spool.h"

#include <atomic>
#include <cstring>

#include "db/ado.h"

namespace db {
namespace {

std::atomic<size_t> g_default_rows{4096};

void Put(std::FILE* f, const void* p, size_t n) {
  if (std::fwrite(p, 1, n, f) != n) throw Error("cannot write the recordset's spill file");
}
void Get(std::FILE* f, void* p, size_t n) {
  if (std::fread(p, 1, n, f) != n) throw Error("cannot read the recordset's spill file");
}

void PutText(std::FILE* f, const std::string& s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  Put(f, &n, sizeof n);
  Put(f, s.data(), n);
}
std::string GetText(std::FILE* f) {
  uint32_t n;
  Get(f, &n, sizeof n);
  std::string s(n, '\0');
  if (n) Get(f, s.data(), n);
  return s;
}

void Write(std::FILE* f, const com::Variant& v) {
  const com::VARIANT& r = v.raw();
  uint8_t tag = static_cast<uint8_t>(v.type());
  Put(f, &tag, 1);
  switch (v.type()) {
    case com::VT_EMPTY:
    case com::VT_NULL: break;
    case com::VT_BSTR: PutText(f, v.ToText()); break;
    case com::VT_DECIMAL: Put(f, &r.decVal, sizeof r.decVal); break;
    default: Put(f, &r.llVal, sizeof r.llVal); break;  // every other type fits 8 bytes
  }
}

com::Variant Read(std::FILE* f) {
  uint8_t tag;
  Get(f, &tag, 1);
  com::VARIANT r;
  com::VariantInit(&r);
  switch (tag) {
    case com::VT_EMPTY: return {};
    case com::VT_NULL: return com::Variant::Null();
    case com::VT_BSTR: return com::Variant::Text(GetText(f));
    case com::VT_DECIMAL: {
      com::DECIMAL d;
      Get(f, &d, sizeof d);
      return com::Variant::Decimal(d);
    }
    default:
      Get(f, &r.llVal, sizeof r.llVal);
      r.vt = tag;
      return com::Variant::FromRaw(r);
  }
}

}  // namespace

RowSpool::RowSpool(size_t memory_rows) : limit_(memory_rows) {}
RowSpool::~RowSpool() {
  if (file_) std::fclose(file_);
}

void RowSpool::SetDefaultMemoryRowsForTesting(size_t n) { g_default_rows = n; }
size_t RowSpool::DefaultMemoryRows() { return g_default_rows; }

void RowSpool::Append(std::vector<com::Variant>&& row) {
  ++count_;
  if (memory_.size() < limit_) {
    memory_.push_back(std::move(row));
    return;
  }
  if (file_ == nullptr) {
    file_ = std::tmpfile();  // unlinked: nothing is left behind, whatever happens
    if (file_ == nullptr) throw Error("cannot create the recordset's spill file");
  }
  uint32_t n = static_cast<uint32_t>(row.size());
  Put(file_, &n, sizeof n);
  for (const auto& v : row) Write(file_, v);
}

void RowSpool::Finish() {
  read_ = 0;
  // A full disk shows here at the latest, before any row is read back.
  if (file_ && (std::fflush(file_) != 0 || std::ferror(file_) || std::fseek(file_, 0, SEEK_SET) != 0))
    throw Error("cannot write the recordset's spill file");
}

bool RowSpool::Next(std::vector<com::Variant>* row) {
  if (read_ >= count_) return false;
  if (read_ < memory_.size()) {
    *row = std::move(memory_[read_]);
  } else {
    uint32_t n;
    Get(file_, &n, sizeof n);
    row->clear();
    for (uint32_t i = 0; i < n; ++i) row->push_back(Read(file_));
  }
  ++read_;
  return true;
}

}  // namespace db
