// Prepared statements and typed values of the embedded engine. SQLite stores a
// datetime as text, a bit as an integer and a decimal as an integer or a real; the
// declared type of the column says which VARIANT a SQL Server client would get, so
// values are read back by it (a real in a decimal column exactly, through its
// shortest round-trip text).
#include "db/sqlite/statement.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "db/ado.h"

namespace db::sqlite {
namespace {

bool Has(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

com::Variant Int64(sqlite3_int64 v, bool wide) {
  if (!wide && v >= INT32_MIN && v <= INT32_MAX) return com::Variant::I4(static_cast<int32_t>(v));
  com::VARIANT r;
  com::VariantInit(&r);
  r.vt = com::VT_I8;
  r.llVal = v;
  return com::Variant::FromRaw(r);
}

std::string_view TextOf(sqlite3_stmt* st, int i) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
  return {p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, i))};
}

// A decimal column's value exactly: integers and texts as written, a real through
// the shortest text that reads back as the same double.
com::Variant DecimalValue(sqlite3_stmt* st, int i, int storage) {
  if (storage == SQLITE_FLOAT) {
    double d = sqlite3_column_double(st, i);
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
    if (ec == std::errc()) {
      if (auto dec = com::DecimalFromText(std::string_view(buf, static_cast<size_t>(end - buf))))
        return com::Variant::Decimal(*dec);
    }
    return com::Variant::R8(d);  // beyond the decimal range
  }
  std::string_view text = TextOf(st, i);
  if (auto dec = com::DecimalFromText(text)) return com::Variant::Decimal(*dec);
  return com::Variant::Text(text);
}

}  // namespace

ColumnKind KindOfDeclType(const char* decl_type) {
  if (decl_type == nullptr || *decl_type == '\0') return ColumnKind::Untyped;
  std::string d(decl_type);
  for (char& c : d) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (Has(d, "date")) return ColumnKind::Date;
  if (d == "bit") return ColumnKind::Bit;
  if (Has(d, "dec") || Has(d, "numeric") || Has(d, "money")) return ColumnKind::Decimal;
  if (Has(d, "bigint")) return ColumnKind::BigInt;
  if (Has(d, "int")) return ColumnKind::Integer;
  if (Has(d, "float") || Has(d, "real") || Has(d, "double")) return ColumnKind::Float;
  if (Has(d, "char") || Has(d, "text") || Has(d, "uniqueidentifier")) return ColumnKind::Text;
  return ColumnKind::Untyped;
}

Stmt::Stmt(sqlite3* db, const std::string& sql, const ErrorContext& ctx) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st_);  // null-safe; nothing was made
    ThrowSqlite(db, ctx);
  }
}

Stmt::~Stmt() { sqlite3_finalize(st_); }

void Stmt::Reset() {
  sqlite3_reset(st_);
  sqlite3_clear_bindings(st_);
}

void Stmt::BindText(int i, std::string_view text) {
  if (sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
    ThrowSqlite(db_);
}

void Stmt::BindNumber(int i, const std::string& number) {
  int rc;
  if (number.find_first_of(".eE") == std::string::npos) {
    errno = 0;
    long long v = std::strtoll(number.c_str(), nullptr, 10);
    // An integer beyond 64 bits is a number still, as SQL Server reads it.
    rc = errno == ERANGE ? sqlite3_bind_double(st_, i, std::strtod(number.c_str(), nullptr))
                         : sqlite3_bind_int64(st_, i, v);
  } else {
    rc = sqlite3_bind_double(st_, i, std::strtod(number.c_str(), nullptr));
  }
  if (rc != SQLITE_OK) ThrowSqlite(db_);
}

void Stmt::Bind(int i, const com::Variant& v) {
  int rc;
  switch (v.type()) {
    case com::VT_NULL:
    case com::VT_EMPTY: rc = sqlite3_bind_null(st_, i); break;
    case com::VT_I2:
    case com::VT_I4: rc = sqlite3_bind_int64(st_, i, static_cast<sqlite3_int64>(v.ToDouble())); break;
    case com::VT_I8: rc = sqlite3_bind_int64(st_, i, v.raw().llVal); break;
    case com::VT_BOOL: rc = sqlite3_bind_int(st_, i, v.ToBool() ? 1 : 0); break;
    case com::VT_R8: rc = sqlite3_bind_double(st_, i, v.ToDouble()); break;
    case com::VT_DATE: {
      std::string t = com::FormatDate(v.ToDate(), false, true);
      rc = sqlite3_bind_text(st_, i, t.c_str(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      break;
    }
    default: {
      // Decimals and currency as exact text: a decimal column's NUMERIC affinity
      // stores the number.
      std::string t = v.ToText();
      rc = sqlite3_bind_text(st_, i, t.c_str(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    }
  }
  if (rc != SQLITE_OK) ThrowSqlite(db_);
}

bool Stmt::Step(const ErrorContext& ctx) {
  int rc = sqlite3_step(st_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(st_);  // ends the statement's read or write before the error travels
  ThrowSqlite(db_, ctx);
}

void Stmt::Run(const ErrorContext& ctx) {
  while (Step(ctx)) {
  }
  sqlite3_reset(st_);
}

com::Variant Stmt::Column(int i) const { return Column(i, KindOfDeclType(sqlite3_column_decltype(st_, i))); }

com::Variant Stmt::Column(int i, ColumnKind kind) const {
  const int storage = sqlite3_column_type(st_, i);
  if (storage == SQLITE_NULL) return com::Variant::Null();
  switch (kind) {
    case ColumnKind::Date: {
      std::string_view text = TextOf(st_, i);
      if (auto d = com::ParseDateText(text)) return com::Variant::Date(*d);
      return com::Variant::Text(text);
    }
    case ColumnKind::Bit: return com::Variant::Bool(sqlite3_column_int64(st_, i) != 0);
    case ColumnKind::Decimal: return DecimalValue(st_, i, storage);
    case ColumnKind::Text: return com::Variant::Text(TextOf(st_, i));
    case ColumnKind::Float:
      if (storage == SQLITE_TEXT) return com::Variant::Text(TextOf(st_, i));
      return com::Variant::R8(sqlite3_column_double(st_, i));
    case ColumnKind::Integer:
    case ColumnKind::BigInt:
    case ColumnKind::Untyped: break;
  }
  switch (storage) {
    case SQLITE_INTEGER: return Int64(sqlite3_column_int64(st_, i), kind == ColumnKind::BigInt);
    case SQLITE_FLOAT: return com::Variant::R8(sqlite3_column_double(st_, i));
    default: return com::Variant::Text(TextOf(st_, i));
  }
}

StmtCursor::StmtCursor(Stmt* stmt, int visible, std::unique_ptr<Stmt> owned)
    : stmt_(stmt), owned_(std::move(owned)) {
  sqlite3_stmt* st = stmt_->get();
  for (int i = 0; i < visible; ++i) columns_.emplace_back(sqlite3_column_name(st, i));
  const int n = sqlite3_column_count(st);
  for (int i = 0; i < n; ++i) kinds_.push_back(KindOfDeclType(sqlite3_column_decltype(st, i)));
}

StmtCursor::~StmtCursor() { sqlite3_reset(stmt_->get()); }

bool StmtCursor::Next(std::vector<com::Variant>* row) {
  if (done_ || !stmt_->Step()) {
    done_ = true;
    return false;
  }
  row->resize(kinds_.size());
  for (size_t i = 0; i < kinds_.size(); ++i) (*row)[i] = stmt_->Column(static_cast<int>(i), kinds_[i]);
  return true;
}

}  // namespace db::sqlite
