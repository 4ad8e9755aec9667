// The SQL Server functions, operator and collation that translated statements call
// inside SQLite: REPLICATE, LEN, CONVERT(char(n), x), '+' with SQL Server's typing,
// an exact SUM, and TPCI, the case-insensitive, trailing-blank-insensitive
// comparison of SQL Server's default collation.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
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

// A text read as SQL Server reads it for a number: blanks around, a sign, digits
// with at most one point (an exponent only for a float). Sets *integral when it
// has no point or exponent.
bool NumberText(const std::string& t, bool* integral) {
  size_t i = 0, n = t.size();
  while (i < n && t[i] == ' ') ++i;
  while (n > i && t[n - 1] == ' ') --n;
  if (i < n && (t[i] == '-' || t[i] == '+')) ++i;
  bool digit = false, point = false, exp = false;
  for (; i < n; ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !point && !exp) {
      point = true;
    } else if ((c == 'e' || c == 'E') && digit && !exp) {
      exp = true;
      digit = false;
      if (i + 1 < n && (t[i + 1] == '-' || t[i + 1] == '+')) ++i;
    } else {
      return false;
    }
  }
  *integral = !point && !exp;
  return digit;
}

// Sets *out to the numeric value of v; false (with SQL Server's error set on ctx)
// for a text that is no number.
bool ToNumber(sqlite3_context* ctx, sqlite3_value* v, sqlite3_value* type, sqlite3_value** out,
              sqlite3_value** owned) {
  *out = v;
  if (IsNumber(v) || sqlite3_value_type(v) == SQLITE_NULL) return true;
  std::string t = TextOf(v);
  bool integral = false;
  if (!NumberText(t, &integral)) {
    std::string msg = "Conversion failed when converting the " + (type ? TextOf(type) : std::string("varchar")) +
                      " value '" + t + "' to data type int.";
    sqlite3_result_error(ctx, msg.c_str(), -1);
    return false;
  }
  (void)integral;
  *owned = sqlite3_value_dup(v);
  sqlite3_value_numeric_type(*owned);  // applies numeric affinity to the copy
  *out = *owned;
  return true;
}

// tp_number(x[, type]): x as SQL Server converts it where a number is needed (a
// text column compared with or computed against a number); `type` names the text's
// type in the error.
void ToNumberFn(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  sqlite3_value* v = nullptr;
  sqlite3_value* owned = nullptr;
  if (ToNumber(ctx, argv[0], argc > 1 ? argv[1] : nullptr, &v, &owned)) sqlite3_result_value(ctx, v);
  sqlite3_value_free(owned);
}

// tp_plus(a, b[, type_a, type_b]): texts concatenate, numbers add, NULL yields
// NULL; a text meeting a number must read as a number (int outranks varchar).
void Plus(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  if (!IsNumber(argv[0]) && !IsNumber(argv[1])) {
    std::string s = TextOf(argv[0]) + TextOf(argv[1]);
    sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return;
  }
  sqlite3_value* a = nullptr;
  sqlite3_value* b = nullptr;
  sqlite3_value* owned_a = nullptr;
  sqlite3_value* owned_b = nullptr;
  if (ToNumber(ctx, argv[0], argc > 2 ? argv[2] : nullptr, &a, &owned_a) &&
      ToNumber(ctx, argv[1], argc > 3 ? argv[3] : nullptr, &b, &owned_b)) {
    if (sqlite3_value_type(a) == SQLITE_INTEGER && sqlite3_value_type(b) == SQLITE_INTEGER) {
      sqlite3_int64 r = 0;
      if (__builtin_add_overflow(sqlite3_value_int64(a), sqlite3_value_int64(b), &r))
        sqlite3_result_error(ctx, "Arithmetic overflow error converting expression to data type bigint.", -1);
      else
        sqlite3_result_int64(ctx, r);
    } else {
      sqlite3_result_double(ctx, sqlite3_value_double(a) + sqlite3_value_double(b));
    }
  }
  sqlite3_value_free(owned_a);
  sqlite3_value_free(owned_b);
}

// Exact SUM: integers add as integers; any other number joins a 128-bit decimal
// at ten decimal places through its shortest round-trip text, so that amounts add
// up without binary drift.
// SQLite aligns aggregate contexts to 8 bytes only, so the 128-bit total is kept
// as bytes and copied in and out.
struct SumState {
  bool any;
  bool real;
  bool approx;  // a float beyond the exact range: the sum is a float sum, as SUM(float)
  double fsum;
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
    s->fsum += static_cast<double>(v);
    for (int i = 0; i < kSumScale; ++i) v *= 10;
    AddTo(s, v);
    return;
  }
  s->real = true;
  std::string text;
  if (t == SQLITE_FLOAT) {
    char buf[64];
    double d = sqlite3_value_double(argv[0]);
    // Most amounts have at most four decimals: when r / 10^4 is the very double,
    // it is also the value of the shortest text (below 10^11 doubles are closer
    // together than 10^-4, so no other such decimal reads as d).
    if (std::fabs(d) < 1e11) {
      const double r = std::nearbyint(d * 1e4);
      if (r / 1e4 == d) {
        s->fsum += d;
        i128 m = static_cast<i128>(static_cast<int64_t>(r));
        for (int i = 4; i < kSumScale; ++i) m *= 10;
        AddTo(s, m);
        return;
      }
    }
    for (int prec = 15; prec <= 17; ++prec) {
      std::snprintf(buf, sizeof buf, "%.*g", prec, d);
      if (std::strtod(buf, nullptr) == d) break;
    }
    text = buf;
  } else {
    text = TextOf(argv[0]);
  }
  s->fsum += sqlite3_value_double(argv[0]);
  auto dec = com::DecimalFromText(text);
  if (!dec) {
    if (t == SQLITE_FLOAT) {
      s->approx = true;
      return;
    }
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
  if (s->approx) {
    sqlite3_result_double(ctx, s->fsum);
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

// The next code point of UTF-8 text (a stray byte stands for itself), folded as a
// case- and width-insensitive collation compares it: Latin, Greek and Cyrillic
// capitals to small letters, full-width ASCII forms to ASCII.
uint32_t NextFolded(const unsigned char* s, int n, int* i) {
  uint32_t c = s[*i];
  int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
  if (len > 1 && *i + len <= n) {
    uint32_t cp = c & (0x7F >> len);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      ok = ok && (s[*i + k] & 0xC0) == 0x80;
      cp = (cp << 6) | (s[*i + k] & 0x3F);
    }
    if (ok) c = cp;
    else len = 1;
  } else {
    len = 1;
  }
  *i += len;
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0x80) return c;
  if (c >= 0xFF01 && c <= 0xFF5E) c -= 0xFF01 - 0x21;  // full-width forms
  if (c >= 'A' && c <= 'Z') return c + 32;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F))
    return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

// TPCI: blanks at the end do not count, letters compare without case or width.
// A new upper-case GUID text, version 4, as newid() gives it.
void NewId(sqlite3_context* ctx, int, sqlite3_value**) {
  unsigned char b[16];
  sqlite3_randomness(sizeof b, b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  static const char kHex[] = "0123456789ABCDEF";
  char out[36];
  int o = 0;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
    out[o++] = kHex[b[i] >> 4];
    out[o++] = kHex[b[i] & 15];
  }
  sqlite3_result_text(ctx, out, o, SQLITE_TRANSIENT);
}

int CompareTpci(void*, int n1, const void* p1, int n2, const void* p2) {
  auto* a = static_cast<const unsigned char*>(p1);
  auto* b = static_cast<const unsigned char*>(p2);
  while (n1 > 0 && a[n1 - 1] == ' ') --n1;
  while (n2 > 0 && b[n2 - 1] == ' ') --n2;
  int i = 0, j = 0;
  while (i < n1 && j < n2) {
    uint32_t ca = NextFolded(a, n1, &i);
    uint32_t cb = NextFolded(b, n2, &j);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return (i < n1) - (j < n2);
}

}  // namespace

void RegisterDialectFunctions(sqlite3* db) {
  const int det = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  sqlite3_create_function(db, "replicate", 2, det, nullptr, Replicate, nullptr, nullptr);
  sqlite3_create_function(db, "len", 1, det, nullptr, Len, nullptr, nullptr);
  sqlite3_create_function(db, "tp_convert_char", 2, det, nullptr, ConvertChar, nullptr, nullptr);
  for (int argc : {2, 4}) sqlite3_create_function(db, "tp_plus", argc, det, nullptr, Plus, nullptr, nullptr);
  for (int argc : {1, 2}) sqlite3_create_function(db, "tp_number", argc, det, nullptr, ToNumberFn, nullptr, nullptr);
  sqlite3_create_function(db, "sum", 1, det, nullptr, nullptr, SumStep, SumFinal);
  sqlite3_create_function(db, "tp_newid", 0, SQLITE_UTF8, nullptr, NewId, nullptr, nullptr);
  sqlite3_create_collation(db, "TPCI", SQLITE_UTF8, nullptr, CompareTpci);
}

}  // namespace db::sqlite
