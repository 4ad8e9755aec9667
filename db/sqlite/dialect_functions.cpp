// The SQL Server functions, operator and collation that translated statements call
// inside SQLite: REPLICATE, LEN, CONVERT(char(n), x), '+' with SQL Server's typing,
// an exact SUM, and TPCI, the case-insensitive, trailing-blank-insensitive
// comparison of SQL Server's default collation.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "com/variant.h"
#include "db/sqlite/dialect.h"

namespace db::sqlite {
namespace {

using i128 = __int128;

std::string TextOf(sqlite3_value* v) {
  const unsigned char* t = sqlite3_value_text(v);
  return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_value_bytes(v)))
           : std::string();
}

size_t Utf8Length(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

void Replicate(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  sqlite3_int64 n = sqlite3_value_int64(argv[1]);
  if (n < 0) {  // a negative count yields NULL, not an error
    sqlite3_result_null(ctx);
    return;
  }
  std::string s = TextOf(argv[0]), out;
  // Results are cut at 8,000 bytes, as for a non-(max) string.
  while (n-- > 0 && out.size() + s.size() <= 8000) out += s;
  sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void Len(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  std::string s = TextOf(argv[0]);
  while (!s.empty() && s.back() == ' ') s.pop_back();  // trailing blanks do not count
  sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(Utf8Length(s)));
}

// tp_convert_char(x, n): CONVERT(char(n), x), blank-padded to n; an integer too
// long for n gives '*'.
void ConvertChar(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  auto n = static_cast<size_t>(sqlite3_value_int64(argv[1]));
  std::string s = TextOf(argv[0]);
  if (Utf8Length(s) > n) {
    if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER) s = "*";
    else s = s.substr(0, n);  // byte cut is safe for the ASCII codes this carries
  }
  size_t len = Utf8Length(s);
  if (len < n) s.append(n - len, ' ');
  sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

bool IsNumber(sqlite3_value* v) {
  int t = sqlite3_value_type(v);
  return t == SQLITE_INTEGER || t == SQLITE_FLOAT;
}

// tp_plus(a, b): texts concatenate, numbers add, NULL yields NULL; a text meeting a
// number must read as a number (int outranks varchar).
void Plus(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  if (!IsNumber(argv[0]) && !IsNumber(argv[1])) {
    std::string s = TextOf(argv[0]) + TextOf(argv[1]);
    sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return;
  }
  for (int i = 0; i < 2; ++i) {
    if (IsNumber(argv[i])) continue;
    std::string t = TextOf(argv[i]);
    char* end = nullptr;
    std::strtod(t.c_str(), &end);
    if (t.empty() || end == t.c_str() || *end != '\0') {
      std::string msg = "Conversion failed when converting the varchar value '" + t +
                        "' to data type int.";
      sqlite3_result_error(ctx, msg.c_str(), -1);
      return;
    }
  }
  if (sqlite3_value_numeric_type(argv[0]) == SQLITE_INTEGER &&
      sqlite3_value_numeric_type(argv[1]) == SQLITE_INTEGER) {
    sqlite3_result_int64(ctx, sqlite3_value_int64(argv[0]) + sqlite3_value_int64(argv[1]));
  } else {
    sqlite3_result_double(ctx, sqlite3_value_double(argv[0]) + sqlite3_value_double(argv[1]));
  }
}

// Exact SUM: integers add as integers; any other number joins a 128-bit decimal
// at ten decimal places through its shortest round-trip text, so that amounts add
// up without binary drift.
// SQLite aligns aggregate contexts to 8 bytes only, so the 128-bit total is kept
// as bytes and copied in and out.
struct SumState {
  bool any;
  bool real;
  unsigned char total[sizeof(i128)];  // value * 10^10
};

i128 TotalOf(const SumState* s) {
  i128 v;
  std::memcpy(&v, s->total, sizeof v);
  return v;
}
void AddTo(SumState* s, i128 v) {
  i128 t = TotalOf(s) + v;
  std::memcpy(s->total, &t, sizeof t);
}

constexpr int kSumScale = 10;

void SumStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<SumState*>(sqlite3_aggregate_context(ctx, sizeof(SumState)));
  if (s == nullptr) return;
  int t = sqlite3_value_numeric_type(argv[0]);
  if (t == SQLITE_NULL) return;
  s->any = true;
  if (t == SQLITE_INTEGER) {
    i128 v = sqlite3_value_int64(argv[0]);
    for (int i = 0; i < kSumScale; ++i) v *= 10;
    AddTo(s, v);
    return;
  }
  s->real = true;
  std::string text;
  if (t == SQLITE_FLOAT) {
    char buf[64];
    double d = sqlite3_value_double(argv[0]);
    for (int prec = 15; prec <= 17; ++prec) {
      std::snprintf(buf, sizeof buf, "%.*g", prec, d);
      if (std::strtod(buf, nullptr) == d) break;
    }
    text = buf;
  } else {
    text = TextOf(argv[0]);
  }
  auto dec = com::DecimalFromText(text);
  if (!dec) {
    sqlite3_result_error(ctx, "Operand data type is invalid for sum operator.", -1);
    return;
  }
  i128 m = (static_cast<i128>(dec->Hi32) << 64) | dec->Lo64;
  for (int i = dec->scale; i < kSumScale; ++i) m *= 10;
  for (int i = kSumScale; i < dec->scale; ++i) m /= 10;
  AddTo(s, (dec->sign & 0x80) ? -m : m);
}

void SumFinal(sqlite3_context* ctx) {
  auto* s = static_cast<SumState*>(sqlite3_aggregate_context(ctx, 0));
  if (s == nullptr || !s->any) {
    sqlite3_result_null(ctx);
    return;
  }
  i128 unit = 1;
  for (int i = 0; i < kSumScale; ++i) unit *= 10;
  if (!s->real) {
    i128 v = TotalOf(s) / unit;
    if (v > INT64_MAX || v < INT64_MIN) {
      sqlite3_result_error(ctx, "Arithmetic overflow error converting expression to data type bigint.", -1);
      return;
    }
    sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(v));
    return;
  }
  // The exact total as decimal text, then the nearest double: exact for amounts
  // below 10^11 read back at four decimals.
  const i128 total = TotalOf(s);
  bool neg = total < 0;
  i128 a = neg ? -total : total;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(a % 10)));
    a /= 10;
  } while (a > 0);
  while (digits.size() <= kSumScale) digits.insert(digits.begin(), '0');
  digits.insert(digits.size() - kSumScale, ".");
  if (neg) digits.insert(digits.begin(), '-');
  sqlite3_result_double(ctx, std::strtod(digits.c_str(), nullptr));
}

// TPCI: blanks at the end do not count, ASCII letters compare without case.
int CompareTpci(void*, int n1, const void* p1, int n2, const void* p2) {
  auto* a = static_cast<const unsigned char*>(p1);
  auto* b = static_cast<const unsigned char*>(p2);
  while (n1 > 0 && a[n1 - 1] == ' ') --n1;
  while (n2 > 0 && b[n2 - 1] == ' ') --n2;
  int n = n1 < n2 ? n1 : n2;
  for (int i = 0; i < n; ++i) {
    int ca = a[i] >= 'A' && a[i] <= 'Z' ? a[i] + 32 : a[i];
    int cb = b[i] >= 'A' && b[i] <= 'Z' ? b[i] + 32 : b[i];
    if (ca != cb) return ca - cb;
  }
  return n1 - n2;
}

}  // namespace

void RegisterDialectFunctions(sqlite3* db) {
  const int det = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  sqlite3_create_function(db, "replicate", 2, det, nullptr, Replicate, nullptr, nullptr);
  sqlite3_create_function(db, "len", 1, det, nullptr, Len, nullptr, nullptr);
  sqlite3_create_function(db, "tp_convert_char", 2, det, nullptr, ConvertChar, nullptr, nullptr);
  sqlite3_create_function(db, "tp_plus", 2, det, nullptr, Plus, nullptr, nullptr);
  sqlite3_create_function(db, "sum", 1, det, nullptr, nullptr, SumStep, SumFinal);
  sqlite3_create_collation(db, "TPCI", SQLITE_UTF8, nullptr, CompareTpci);
}

}  // namespace db::sqlite
