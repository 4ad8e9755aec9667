// ODBC handles, parameters and typed fetching. Values are fetched with
// SQLGetData by the column's SQL type: timestamps with their milliseconds, exact
// decimals through their character form (so money and decimal(27,8) never pass
// through a double), texts as UTF-16 in pieces, so a long text or one in any
// script arrives whole whatever the driver's client character set.
#include "db/odbc/statement.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "db/ado.h"
#include "db/odbc/error.h"

namespace db::odbc {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's SQLWCHAR must be UTF-16");

com::DATE DateOf(const SQL_TIMESTAMP_STRUCT& t) {
  com::DATE day = com::DateFromParts(t.year, t.month, t.day);
  double time = (t.hour * 3600.0 + t.minute * 60.0 + t.second) / 86400.0 + t.fraction / 8.64e13;
  // A COM date before 1899-12-30 is negative with the time of day counted away from zero.
  return day < 0 ? day - time : day + time;
}

SQL_TIMESTAMP_STRUCT TimestampOf(com::DATE d) {
  double day = std::trunc(d);
  long long ms = std::llround(std::fabs(d - day) * 86400000.0);
  if (ms >= 86400000) {
    ms -= 86400000;
    day += 1;
  }
  com::DateParts p = com::PartsFromDate(day);
  SQL_TIMESTAMP_STRUCT t{};
  t.year = static_cast<SQLSMALLINT>(p.year);
  t.month = static_cast<SQLUSMALLINT>(p.month);
  t.day = static_cast<SQLUSMALLINT>(p.day);
  t.hour = static_cast<SQLUSMALLINT>(ms / 3600000);
  t.minute = static_cast<SQLUSMALLINT>(ms / 60000 % 60);
  t.second = static_cast<SQLUSMALLINT>(ms / 1000 % 60);
  t.fraction = static_cast<SQLUINTEGER>(ms % 1000 * 1000000);
  return t;
}

// A decimal column's character form as an exact decimal. A form DECIMAL cannot
// hold as written (an exponent, more than 28 digits) goes through its nearest
// double's shortest fixed text, and beyond DECIMAL's range stays a double.
com::Variant DecimalValue(const char* text) {
  if (auto d = com::DecimalFromText(text)) return com::Variant::Decimal(*d);
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0') return com::Variant::Text(text);
  char buf[400];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  if (ec == std::errc())
    if (auto d = com::DecimalFromText(std::string_view(buf, static_cast<size_t>(p - buf))))
      return com::Variant::Decimal(*d);
  return com::Variant::R8(v);
}

template <typename T>
void Store(std::vector<unsigned char>* data, const T& v) {
  data->resize(sizeof v);
  std::memcpy(data->data(), &v, sizeof v);
}

}  // namespace

// ---------------------------------------------------------------- Handle

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
  SQLRETURN rc = SQLAllocHandle(type, parent, &h_);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    h_ = SQL_NULL_HANDLE;
    if (parent == SQL_NULL_HANDLE) throw Error("ODBC: cannot allocate an environment handle", 0, "HY001");
    ThrowDiagnostics(type == SQL_HANDLE_DBC ? SQL_HANDLE_ENV : SQL_HANDLE_DBC, parent, "SQLAllocHandle", rc);
  }
}

Handle::Handle(Handle&& o) noexcept : type_(o.type_), h_(o.h_), connected_(o.connected_) {
  o.h_ = SQL_NULL_HANDLE;
  o.connected_ = false;
}

Handle& Handle::operator=(Handle&& o) noexcept {
  if (this != &o) {
    Free();
    type_ = o.type_;
    h_ = o.h_;
    connected_ = o.connected_;
    o.h_ = SQL_NULL_HANDLE;
    o.connected_ = false;
  }
  return *this;
}

Handle::~Handle() { Free(); }

void Handle::Free() noexcept {
  if (h_ == SQL_NULL_HANDLE) return;
  if (connected_) SQLDisconnect(h_);
  SQLFreeHandle(type_, h_);
  h_ = SQL_NULL_HANDLE;
  connected_ = false;
}

// ---------------------------------------------------------------- Params

void Params::AddText(const std::string& utf8, bool is_null) {
  std::u16string w = com::Utf16FromUtf8(utf8);
  const size_t bytes = w.size() * sizeof(char16_t);
  Param p{SQL_C_WCHAR, w.size() > 4000 ? SQLSMALLINT{SQL_WLONGVARCHAR} : SQLSMALLINT{SQL_WVARCHAR},
          std::max<SQLULEN>(1, w.size()), 0, {}, is_null ? SQL_NULL_DATA : static_cast<SQLLEN>(bytes)};
  p.data.resize(bytes + sizeof(char16_t));  // room for the terminator, so data() is never null
  std::memcpy(p.data.data(), w.data(), bytes);
  params_.push_back(std::move(p));
}

void Params::Add(const com::Variant& v) {
  Param p{SQL_C_CHAR, SQL_VARCHAR, 1, 0, {}, 0};
  switch (v.type()) {
    case com::VT_NULL:
    case com::VT_EMPTY:
      p.data.resize(1);
      p.indicator = SQL_NULL_DATA;
      break;
    case com::VT_I2:
    case com::VT_I4:
      p.c_type = SQL_C_SLONG;
      p.sql_type = SQL_INTEGER;
      Store(&p.data, static_cast<SQLINTEGER>(v.ToDouble()));
      break;
    case com::VT_I8:
      p.c_type = SQL_C_SBIGINT;
      p.sql_type = SQL_BIGINT;
      Store(&p.data, static_cast<SQLBIGINT>(v.raw().llVal));
      break;
    case com::VT_BOOL:
      p.c_type = SQL_C_BIT;
      p.sql_type = SQL_BIT;
      Store(&p.data, static_cast<unsigned char>(v.ToBool() ? 1 : 0));
      break;
    case com::VT_R8:
      p.c_type = SQL_C_DOUBLE;
      p.sql_type = SQL_DOUBLE;
      p.size = 15;
      Store(&p.data, v.ToDouble());
      break;
    case com::VT_DATE:
      p.c_type = SQL_C_TYPE_TIMESTAMP;
      p.sql_type = SQL_TYPE_TIMESTAMP;
      p.size = 23;
      p.digits = 3;
      Store(&p.data, TimestampOf(v.ToDate()));
      break;
    case com::VT_DECIMAL:
    case com::VT_CY: {
      // Exact text, declared with the precision and scale it needs.
      std::string t = v.ToText();
      size_t dot = t.find('.');
      size_t digits = 0;
      for (char c : t) digits += (c >= '0' && c <= '9');
      p.sql_type = SQL_DECIMAL;
      p.digits = static_cast<SQLSMALLINT>(dot == std::string::npos ? 0 : t.size() - dot - 1);
      p.size = std::max<SQLULEN>(digits, 1);
      p.data.assign(t.begin(), t.end());
      p.data.push_back('\0');
      p.indicator = static_cast<SQLLEN>(t.size());
      break;
    }
    default: AddText(v.ToText(), false); return;
  }
  if (p.indicator != SQL_NULL_DATA && p.c_type != SQL_C_CHAR) p.indicator = static_cast<SQLLEN>(p.data.size());
  params_.push_back(std::move(p));
}

void Params::BindTo(SQLHSTMT stmt) {
  for (size_t i = 0; i < params_.size(); ++i) {
    Param& p = params_[i];
    Check(SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, p.c_type, p.sql_type, p.size,
                           p.digits, p.data.data(), static_cast<SQLLEN>(p.data.size()), &p.indicator),
          SQL_HANDLE_STMT, stmt, "SQLBindParameter");
  }
}

// ---------------------------------------------------------------- Stmt

Stmt::Stmt(SQLHDBC dbc, int timeout_seconds) : h_(SQL_HANDLE_STMT, dbc) {
  Check(SQLSetStmtAttr(h_.get(), SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(std::max(0, timeout_seconds))), 0),
        SQL_HANDLE_STMT, h_.get(), "SQLSetStmtAttr");
}

void Stmt::ExecDirect(const std::string& sql) {
  std::string text = sql;
  Check(SQLExecDirect(h_.get(), Sql(text), static_cast<SQLINTEGER>(text.size())), SQL_HANDLE_STMT, h_.get(),
        "SQLExecDirect");
}

bool Stmt::SkipToRows() {
  for (;;) {
    SQLSMALLINT n = 0;
    Check(SQLNumResultCols(h_.get(), &n), SQL_HANDLE_STMT, h_.get(), "SQLNumResultCols");
    if (n > 0) return true;
    if (Check(SQLMoreResults(h_.get()), SQL_HANDLE_STMT, h_.get(), "SQLMoreResults") == SQL_NO_DATA) return false;
  }
}

void Stmt::Drain() {
  while (Check(SQLMoreResults(h_.get()), SQL_HANDLE_STMT, h_.get(), "SQLMoreResults") != SQL_NO_DATA) {
  }
  Check(SQLFreeStmt(h_.get(), SQL_CLOSE), SQL_HANDLE_STMT, h_.get(), "SQLFreeStmt");
}

SQLLEN Stmt::RowCount() {
  SQLLEN n = 0;
  Check(SQLRowCount(h_.get(), &n), SQL_HANDLE_STMT, h_.get(), "SQLRowCount");
  return n;
}

// ---------------------------------------------------------------- OdbcCursor

OdbcCursor::OdbcCursor(std::unique_ptr<Stmt> stmt) : stmt_(std::move(stmt)) {
  if (!stmt_->SkipToRows()) {
    done_ = true;
    stmt_.reset();
    return;
  }
  SQLHSTMT h = stmt_->get();
  SQLSMALLINT n = 0;
  Check(SQLNumResultCols(h, &n), SQL_HANDLE_STMT, h, "SQLNumResultCols");
  for (SQLUSMALLINT i = 1; i <= n; ++i) {
    std::vector<SQLCHAR> name(256);
    SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    for (;;) {
      Check(SQLDescribeCol(h, i, name.data(), static_cast<SQLSMALLINT>(name.size()), &len, &type, &size, &digits,
                           &nullable),
            SQL_HANDLE_STMT, h, "SQLDescribeCol");
      if (static_cast<size_t>(len) < name.size()) break;
      name.resize(static_cast<size_t>(len) + 1);
    }
    char type_name[128] = {};
    SQLSMALLINT type_name_len = 0;
    Check(SQLColAttribute(h, i, SQL_DESC_TYPE_NAME, type_name, sizeof type_name, &type_name_len, nullptr),
          SQL_HANDLE_STMT, h, "SQLColAttribute");
    names_.emplace_back(reinterpret_cast<const char*>(name.data()), static_cast<size_t>(std::max<SQLSMALLINT>(len, 0)));
    types_.push_back(type);
    kinds_.push_back(KindOf(type, type_name));
  }
}

bool OdbcCursor::Next(std::vector<com::Variant>* row) {
  if (done_) return false;
  SQLHSTMT h = stmt_->get();
  if (Check(SQLFetch(h), SQL_HANDLE_STMT, h, "SQLFetch") == SQL_NO_DATA) {
    done_ = true;
    stmt_->Drain();
    stmt_.reset();
    return false;
  }
  const size_t n = types_.size();
  row->resize(n + keys_.size());
  for (size_t i = 0; i < n; ++i) (*row)[i] = Value(static_cast<SQLUSMALLINT>(i + 1), kinds_[i]);
  for (size_t k = 0; k < keys_.size(); ++k) (*row)[n + k] = (*row)[keys_[k]];
  return true;
}

OdbcCursor::Kind OdbcCursor::KindOf(SQLSMALLINT sql_type, const std::string& type_name) {
  switch (sql_type) {
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_DATE: return Kind::Date;
    case SQL_BIT: return Kind::Bit;
    case SQL_DECIMAL:
    case SQL_NUMERIC: return Kind::Decimal;
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER: return Kind::Integer;
    case SQL_BIGINT: return Kind::BigInt;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: return Kind::Float;
    default: break;
  }
  // Some drivers (SQLite's) describe a decimal or money column as a text type but
  // keep its declared type name; its values are still amounts.
  std::string lower;
  for (char c : type_name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  for (const char* prefix : {"decimal", "numeric", "money", "smallmoney"})
    if (lower.rfind(prefix, 0) == 0) return Kind::Decimal;
  return Kind::Text;
}

com::Variant OdbcCursor::Value(SQLUSMALLINT col, Kind kind) {
  SQLHSTMT h = stmt_->get();
  SQLLEN ind = 0;
  auto get = [&](SQLSMALLINT c_type, void* buf, SQLLEN size) {
    Check(SQLGetData(h, col, c_type, buf, size, &ind), SQL_HANDLE_STMT, h, "SQLGetData");
    return ind != SQL_NULL_DATA;
  };
  switch (kind) {
    case Kind::Date: {
      SQL_TIMESTAMP_STRUCT t{};
      return get(SQL_C_TYPE_TIMESTAMP, &t, sizeof t) ? com::Variant::Date(DateOf(t)) : com::Variant::Null();
    }
    case Kind::Bit: {
      unsigned char b = 0;
      return get(SQL_C_BIT, &b, sizeof b) ? com::Variant::Bool(b != 0) : com::Variant::Null();
    }
    case Kind::Decimal: {
      // Read as text in full: a text-typed column may hold something longer than a number.
      com::Variant text = TextValue(col);
      return text.IsNull() ? text : DecimalValue(text.ToText().c_str());
    }
    case Kind::Integer: {
      SQLINTEGER v = 0;
      return get(SQL_C_SLONG, &v, sizeof v) ? com::Variant::I4(v) : com::Variant::Null();
    }
    case Kind::BigInt: {
      SQLBIGINT v = 0;
      if (!get(SQL_C_SBIGINT, &v, sizeof v)) return com::Variant::Null();
      com::VARIANT r;
      com::VariantInit(&r);
      r.vt = com::VT_I8;
      r.llVal = v;
      return com::Variant::FromRaw(r);
    }
    case Kind::Float: {
      double v = 0;
      return get(SQL_C_DOUBLE, &v, sizeof v) ? com::Variant::R8(v) : com::Variant::Null();
    }
    case Kind::Text: break;
  }
  return TextValue(col);
}

com::Variant OdbcCursor::TextValue(SQLUSMALLINT col) {
  SQLHSTMT h = stmt_->get();
  std::u16string text;
  SQLWCHAR buf[2048];
  constexpr size_t kRoom = sizeof buf / sizeof buf[0] - 1;  // one unit holds the terminator
  for (;;) {
    SQLLEN ind = 0;
    SQLRETURN rc = Check(SQLGetData(h, col, SQL_C_WCHAR, buf, sizeof buf, &ind), SQL_HANDLE_STMT, h, "SQLGetData");
    if (rc == SQL_NO_DATA) break;  // every piece has been read
    if (ind == SQL_NULL_DATA) return com::Variant::Null();
    size_t units = ind == SQL_NO_TOTAL ? kRoom : std::min(kRoom, static_cast<size_t>(ind) / sizeof(SQLWCHAR));
    text.append(reinterpret_cast<const char16_t*>(buf), units);
    if (rc == SQL_SUCCESS) break;  // a truncated piece comes with SQL_SUCCESS_WITH_INFO
  }
  return com::Variant::Text(com::Utf8FromUtf16(text));
}

}  // namespace db::odbc
