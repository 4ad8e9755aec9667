// VARIANT ownership and the conversions the component performs, with the
// automation run-time's rounding rules: currency rounds half away from zero at four
// decimals, 16-bit integers round half to even. Decimal text is handled exactly
// through 128-bit integers, never through binary floating point.
#include "com/variant.h"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "com/error.h"

namespace com {

using i128 = __int128;

// ---------------------------------------------------------------- raw VARIANT

void VariantInit(VARIANT* v) { std::memset(v, 0, sizeof *v); }

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) return E_POINTER;
  if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
  if ((v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN) && v->punkVal != nullptr) v->punkVal->Release();
  VariantInit(v);
  return S_OK;
}

namespace {

// The variant a by-reference variant points at, or the variant itself.
const VARIANT& Deref(const VARIANT& v) {
  if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal != nullptr) return Deref(*v.pvarVal);
  return v;
}

// Reads a by-reference basic value into a by-value copy (no ownership taken).
VARIANT ByValue(const VARIANT& in) {
  const VARIANT& v = Deref(in);
  if (!(v.vt & VT_BYREF)) return v;
  VARIANT out;
  VariantInit(&out);
  out.vt = static_cast<VARTYPE>(v.vt & ~VT_BYREF);
  switch (out.vt) {
    case VT_I2: out.iVal = *v.piVal; break;
    case VT_I4: out.lVal = *v.plVal; break;
    case VT_R8: out.dblVal = *v.pdblVal; break;
    case VT_CY: out.cyVal = *v.pcyVal; break;
    case VT_DATE: out.date = *v.pdate; break;
    case VT_BSTR: out.bstrVal = *v.pbstrVal; break;
    case VT_BOOL: out.boolVal = *v.pboolVal; break;
    case VT_DECIMAL: out.decVal = *v.pdecVal; break;
    case VT_DISPATCH: out.pdispVal = *v.ppdispVal; break;
    case VT_UNKNOWN: out.punkVal = *v.ppunkVal; break;
    default: ThrowTypeMismatch();
  }
  return out;
}

}  // namespace

HRESULT VariantCopy(VARIANT* dst, const VARIANT* src) {
  if (dst == nullptr || src == nullptr) return E_POINTER;
  VARIANT tmp;
  try {
    tmp = ByValue(*src);
  } catch (const Error& e) {
    return e.hr();
  }
  VariantClear(dst);
  *dst = tmp;
  if (dst->vt == VT_BSTR && tmp.bstrVal != nullptr)
    dst->bstrVal = SysAllocStringLen(tmp.bstrVal, SysStringLen(tmp.bstrVal));
  if ((dst->vt == VT_DISPATCH || dst->vt == VT_UNKNOWN) && dst->punkVal != nullptr)
    dst->punkVal->AddRef();
  return S_OK;
}

// ---------------------------------------------------------------- exact decimal text

namespace {

// A decimal number as mantissa * 10^-scale.
struct Exact {
  i128 mant = 0;
  int scale = 0;
};

constexpr i128 kMantMax = (static_cast<i128>(1) << 100);  // generous bound; checked by callers

// Parses "[+-]digits[.digits][e[+-]digits]" (blanks around allowed). Digits beyond
// what 128 bits hold are rounded half away from zero.
std::optional<Exact> ParseExact(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  if (t.empty()) return std::nullopt;
  bool neg = false;
  size_t i = 0;
  if (t[i] == '+' || t[i] == '-') neg = t[i++] == '-';
  Exact e;
  bool digits = false, dot = false, rounded_up = false, dropping = false;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c == '.' && !dot) {
      dot = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    digits = true;
    if (dropping || e.mant >= kMantMax / 10) {
      // Out of precision: round on the first dropped digit, scale the rest away.
      if (!dropping) {
        dropping = true;
        rounded_up = c >= '5';
      }
      if (!dot) --e.scale;  // integer digit dropped: multiply later
      continue;
    }
    e.mant = e.mant * 10 + (c - '0');
    if (dot) ++e.scale;
  }
  if (!digits) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool eneg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) eneg = t[i++] == '-';
    int ex = 0;
    bool exd = false;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
      exd = true;
      if (ex < 10000) ex = ex * 10 + (t[i] - '0');
    }
    if (!exd) return std::nullopt;
    e.scale += eneg ? ex : -ex;
  }
  if (i != t.size()) return std::nullopt;
  if (rounded_up) e.mant += 1;
  if (neg) e.mant = -e.mant;
  return e;
}

// Rescales to `scale` decimals, rounding half away from zero; false on overflow.
bool Rescale(Exact e, int scale, i128 limit, i128* out) {
  i128 m = e.mant;
  while (e.scale < scale) {
    if (m > limit / 10 || m < -limit / 10) return false;
    m *= 10;
    ++e.scale;
  }
  if (e.scale > scale) {
    if (e.scale - scale > 38) {
      m = 0;
    } else {
      i128 div = 1;
      for (int k = 0; k < e.scale - scale; ++k) div *= 10;
      i128 q = m / div, r = m % div;
      i128 ar = r < 0 ? -r : r;
      if (ar * 2 >= div) q += (m < 0 ? -1 : 1);
      m = q;
    }
  }
  if (m > limit || m < -limit) return false;
  *out = m;
  return true;
}

std::string I128ToText(i128 v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  unsigned __int128 u = neg ? static_cast<unsigned __int128>(-(v + 1)) + 1 : v;
  std::string s;
  while (u > 0) {
    s.push_back(static_cast<char>('0' + static_cast<int>(u % 10)));
    u /= 10;
  }
  if (neg) s.push_back('-');
  return std::string(s.rbegin(), s.rend());
}

// mant * 10^-scale as plain text without trailing zeros.
std::string ScaledText(i128 mant, int scale) {
  bool neg = mant < 0;
  std::string digits = I128ToText(neg ? -mant : mant);
  if (scale > 0) {
    if (static_cast<int>(digits.size()) <= scale)
      digits.insert(0, static_cast<size_t>(scale - static_cast<int>(digits.size()) + 1), '0');
    digits.insert(digits.size() - static_cast<size_t>(scale), ".");
    while (digits.back() == '0') digits.pop_back();
    if (digits.back() == '.') digits.pop_back();
  }
  if (neg && digits != "0") digits.insert(0, "-");
  return digits;
}

// The shortest text that reads back as the same double.
std::string ShortestDouble(double d) {
  char buf[64];
  for (int prec = 15; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}

constexpr i128 kCyMax = static_cast<i128>(std::numeric_limits<int64_t>::max());
const i128 kDecMax = (static_cast<i128>(1) << 96) - 1;

}  // namespace

// ---------------------------------------------------------------- Currency

Currency Currency::FromInt(int64_t units) {
  if (units > kCyMax / 10000 || units < -kCyMax / 10000) ThrowOverflow();
  return Currency{units * 10000};
}

std::optional<Currency> Currency::Parse(std::string_view text) {
  auto e = ParseExact(text);
  i128 m;
  if (!e || !Rescale(*e, 4, kCyMax, &m)) return std::nullopt;
  return Currency{static_cast<int64_t>(m)};
}

Currency Currency::FromDouble(double d) {
  if (!std::isfinite(d)) ThrowOverflow();
  auto c = Parse(ShortestDouble(d));
  if (!c) ThrowOverflow();
  return *c;
}

Currency Currency::operator-() const {
  if (ticks == std::numeric_limits<int64_t>::min()) ThrowOverflow();
  return Currency{-ticks};
}

std::string Currency::ToText() const { return ScaledText(ticks, 4); }

// ---------------------------------------------------------------- DECIMAL

std::string DecimalToText(const DECIMAL& d) {
  i128 m = (static_cast<i128>(d.Hi32) << 64) | d.Lo64;
  if (d.sign & 0x80) m = -m;
  return ScaledText(m, d.scale);
}

std::optional<DECIMAL> DecimalFromText(std::string_view text) {
  auto e = ParseExact(text);
  if (!e) return std::nullopt;
  int scale = e->scale < 0 ? 0 : (e->scale > 28 ? 28 : e->scale);
  i128 m;
  if (!Rescale(*e, scale, kDecMax, &m)) return std::nullopt;
  DECIMAL d{};
  d.scale = static_cast<uint8_t>(scale);
  if (m < 0) {
    d.sign = 0x80;
    m = -m;
  }
  d.Hi32 = static_cast<uint32_t>(m >> 64);
  d.Lo64 = static_cast<uint64_t>(m);
  return d;
}

DECIMAL DecimalNegate(const DECIMAL& d) {
  DECIMAL r = d;
  r.sign ^= 0x80;
  return r;
}

// ---------------------------------------------------------------- dates

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*m <= 2));
}

const int64_t kComEpoch = DaysFromCivil(1899, 12, 30);

bool ValidDay(int y, int m, int d) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

// Reads 1..max digits; false if none.
bool Digits(std::string_view t, size_t* i, size_t min, size_t max, int* out) {
  size_t start = *i;
  int v = 0;
  while (*i < t.size() && *i - start < max && t[*i] >= '0' && t[*i] <= '9') v = v * 10 + (t[(*i)++] - '0');
  if (*i - start < min) return false;
  *out = v;
  return true;
}

}  // namespace

DATE DateFromParts(int year, int month, int day, int hour, int minute, int second) {
  double days = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month),
                                                  static_cast<unsigned>(day)) - kComEpoch);
  double t = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  return days >= 0 ? days + t : days - t;
}

DateParts PartsFromDate(DATE d) {
  // COM dates run from year 100 to 9999; anything else (or NaN) has no calendar day.
  if (!(d >= -657434.0 && d < 2958466.0)) ThrowOverflow();
  double ip = std::trunc(d);
  double frac = std::fabs(d - ip);
  auto secs = static_cast<int64_t>(std::llround(frac * 86400.0));
  auto days = static_cast<int64_t>(ip);
  if (secs >= 86400) {  // rounding reached midnight of the next day
    secs -= 86400;
    days += d >= 0 ? 1 : -1;
  }
  DateParts p{};
  CivilFromDays(days + kComEpoch, &p.year, &p.month, &p.day);
  p.hour = static_cast<int>(secs / 3600);
  p.minute = static_cast<int>(secs / 60 % 60);
  p.second = static_cast<int>(secs % 60);
  return p;
}

std::string FormatDate(DATE d, bool compact, bool with_time) {
  DateParts p = PartsFromDate(d);
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, compact ? "%04d%02d%02d" : "%04d-%02d-%02d", p.year, p.month, p.day);
  if (with_time || p.hour != 0 || p.minute != 0 || p.second != 0)
    std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), " %02d:%02d:%02d", p.hour, p.minute, p.second);
  return buf;
}

std::string FormatDateText(DATE d) { return FormatDate(d, false, false); }

std::optional<DATE> ParseDateText(std::string_view t) {
  size_t i = 0;
  int y, m, d, hh = 0, mm = 0, ss = 0;
  if (t.size() >= 8 && t.find_first_not_of("0123456789") >= 8) {
    // YYYYMMDD
    y = (t[0] - '0') * 1000 + (t[1] - '0') * 100 + (t[2] - '0') * 10 + (t[3] - '0');
    m = (t[4] - '0') * 10 + (t[5] - '0');
    d = (t[6] - '0') * 10 + (t[7] - '0');
    i = 8;
  } else {
    if (!Digits(t, &i, 4, 4, &y)) return std::nullopt;
    if (i >= t.size() || (t[i] != '-' && t[i] != '/')) return std::nullopt;
    char sep = t[i++];
    if (!Digits(t, &i, 1, 2, &m)) return std::nullopt;
    if (i >= t.size() || t[i] != sep) return std::nullopt;
    ++i;
    if (!Digits(t, &i, 1, 2, &d)) return std::nullopt;
  }
  if (i < t.size()) {
    if (t[i] != ' ' && t[i] != 'T') return std::nullopt;
    ++i;
    if (!Digits(t, &i, 1, 2, &hh) || i >= t.size() || t[i] != ':') return std::nullopt;
    ++i;
    if (!Digits(t, &i, 2, 2, &mm)) return std::nullopt;
    if (i < t.size() && t[i] == ':') {
      ++i;
      if (!Digits(t, &i, 2, 2, &ss)) return std::nullopt;
    }
    if (i != t.size() || hh > 23 || mm > 59 || ss > 59) return std::nullopt;
  }
  if (!ValidDay(y, m, d)) return std::nullopt;
  return DateFromParts(y, m, d, hh, mm, ss);
}

// ---------------------------------------------------------------- Variant

Variant::Variant() { VariantInit(&v_); }
Variant::Variant(const Variant& o) {
  VariantInit(&v_);
  VariantCopy(&v_, &o.v_);
}
Variant::Variant(Variant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
Variant& Variant::operator=(const Variant& o) {
  if (this != &o) {
    VARIANT tmp;
    VariantInit(&tmp);
    VariantCopy(&tmp, &o.v_);
    VariantClear(&v_);
    v_ = tmp;
  }
  return *this;
}
Variant& Variant::operator=(Variant&& o) noexcept {
  if (this != &o) {
    VariantClear(&v_);
    v_ = o.v_;
    VariantInit(&o.v_);
  }
  return *this;
}
Variant::~Variant() { VariantClear(&v_); }

Variant Variant::FromRaw(const VARIANT& raw) {
  Variant r;
  HRESULT hr = VariantCopy(&r.v_, &raw);
  if (Failed(hr)) ThrowTypeMismatch();
  return r;
}
Variant Variant::Null() {
  Variant r;
  r.v_.vt = VT_NULL;
  return r;
}
Variant Variant::Text(std::string_view utf8) {
  Variant r;
  r.v_.vt = VT_BSTR;
  r.v_.bstrVal = BstrFromUtf8(utf8);
  return r;
}
Variant Variant::I2(int16_t v) {
  Variant r;
  r.v_.vt = VT_I2;
  r.v_.iVal = v;
  return r;
}
Variant Variant::I4(int32_t v) {
  Variant r;
  r.v_.vt = VT_I4;
  r.v_.lVal = v;
  return r;
}
Variant Variant::R8(double v) {
  Variant r;
  r.v_.vt = VT_R8;
  r.v_.dblVal = v;
  return r;
}
Variant Variant::Cy(Currency v) {
  Variant r;
  r.v_.vt = VT_CY;
  r.v_.cyVal.int64 = v.ticks;
  return r;
}
Variant Variant::Date(DATE v) {
  Variant r;
  r.v_.vt = VT_DATE;
  r.v_.date = v;
  return r;
}
Variant Variant::Bool(bool v) {
  Variant r;
  r.v_.vt = VT_BOOL;
  r.v_.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
  return r;
}
Variant Variant::Decimal(const DECIMAL& v) {
  Variant r;
  r.v_.decVal = v;
  r.v_.vt = VT_DECIMAL;
  return r;
}
Variant Variant::Dispatch(IDispatch* d) {
  Variant r;
  r.v_.vt = VT_DISPATCH;
  r.v_.pdispVal = d;
  if (d != nullptr) d->AddRef();
  return r;
}

VARTYPE Variant::type() const {
  const VARIANT& v = Deref(v_);
  return static_cast<VARTYPE>(v.vt & ~VT_BYREF);
}

VARIANT Variant::Detach() {
  VARIANT out = v_;
  VariantInit(&v_);
  return out;
}

namespace {

// The value as an exact decimal; texts must be numbers. Null and others throw.
Exact NumericOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY: return {};
    case VT_NULL: ThrowInvalidNull();
    case VT_I2: return {v.iVal, 0};
    case VT_I4: return {v.lVal, 0};
    case VT_I8: return {v.llVal, 0};
    case VT_BOOL: return {v.boolVal ? -1 : 0, 0};
    case VT_CY: return {v.cyVal.int64, 4};
    case VT_R8:
    case VT_DATE: {
      double d = v.vt == VT_R8 ? v.dblVal : v.date;
      if (!std::isfinite(d)) ThrowOverflow();
      auto e = ParseExact(ShortestDouble(d));
      if (!e) ThrowOverflow();
      return *e;
    }
    case VT_DECIMAL: {
      i128 m = (static_cast<i128>(v.decVal.Hi32) << 64) | v.decVal.Lo64;
      return {(v.decVal.sign & 0x80) ? -m : m, v.decVal.scale};
    }
    case VT_BSTR: {
      auto e = ParseExact(Utf8FromBstr(v.bstrVal));
      if (!e) ThrowTypeMismatch();
      return *e;
    }
    default: ThrowTypeMismatch();
  }
}

double DoubleOf(const Exact& e) {
  std::string s = I128ToText(e.mant) + "e" + std::to_string(-e.scale);
  return std::strtod(s.c_str(), nullptr);
}

}  // namespace

std::string Variant::ToText() const {
  VARIANT v = ByValue(v_);
  switch (v.vt) {
    case VT_EMPTY: return "";
    case VT_NULL: ThrowInvalidNull();
    case VT_BSTR: return Utf8FromBstr(v.bstrVal);
    case VT_BOOL: return v.boolVal ? "True" : "False";
    case VT_DATE: return FormatDateText(v.date);
    case VT_CY: return Currency{v.cyVal.int64}.ToText();
    case VT_DECIMAL: return DecimalToText(v.decVal);
    case VT_R8: return ShortestDouble(v.dblVal);
    case VT_I2: return std::to_string(v.iVal);
    case VT_I4: return std::to_string(v.lVal);
    case VT_I8: return std::to_string(v.llVal);
    default: ThrowTypeMismatch();
  }
}

bool Variant::ToBool() const {
  VARIANT v = ByValue(v_);
  if (v.vt == VT_BOOL) return v.boolVal != 0;
  if (v.vt == VT_BSTR) {
    std::string t = Utf8FromBstr(v.bstrVal);
    std::string low;
    for (char c : t) low.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    if (low == "true") return true;
    if (low == "false") return false;
  }
  return NumericOf(v).mant != 0;
}

Currency Variant::ToCurrency() const {
  VARIANT v = ByValue(v_);
  i128 m;
  if (!Rescale(NumericOf(v), 4, kCyMax, &m)) ThrowOverflow();
  return Currency{static_cast<int64_t>(m)};
}

double Variant::ToDouble() const {
  VARIANT v = ByValue(v_);
  if (v.vt == VT_R8) return v.dblVal;
  if (v.vt == VT_DATE) return v.date;
  return DoubleOf(NumericOf(v));
}

DATE Variant::ToDate() const {
  VARIANT v = ByValue(v_);
  if (v.vt == VT_DATE) return v.date;
  if (v.vt == VT_NULL) ThrowInvalidNull();
  if (v.vt == VT_BSTR) {
    auto d = ParseDateText(Utf8FromBstr(v.bstrVal));
    if (!d) ThrowTypeMismatch();
    return *d;
  }
  double d = DoubleOf(NumericOf(v));
  if (d < -657434.0 || d > 2958465.999988426) ThrowOverflow();
  return d;
}

int16_t Variant::ToI2() const {
  VARIANT v = ByValue(v_);
  if (v.vt == VT_I2) return v.iVal;
  double d = ToDouble();
  int old = std::fegetround();
  std::fesetround(FE_TONEAREST);
  double r = std::nearbyint(d);
  std::fesetround(old);
  if (!(r >= -32768.0 && r <= 32767.0)) ThrowOverflow();
  return static_cast<int16_t>(r);
}

IDispatch* Variant::ToDispatch() const {
  VARIANT v = ByValue(v_);
  if (v.vt != VT_DISPATCH || v.pdispVal == nullptr) ThrowTypeMismatch();
  return v.pdispVal;
}

}  // namespace com
