// Variant: an owning C++ wrapper of VARIANT with the conversions the component
// performs (text, boolean, currency, date, 16-bit integer). Conversions follow the
// automation rules a host expects and throw com::Error with "Type mismatch",
// "Invalid use of Null" or "Overflow". By-reference variants are read through.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "com/com.h"

namespace com {

// A currency amount: signed 64-bit ten-thousandths. Arithmetic is exact.
struct Currency {
  int64_t ticks = 0;  // value * 10000

  static Currency FromTicks(int64_t t) { return Currency{t}; }
  static Currency FromInt(int64_t units);  // throws Overflow
  // Rounds half away from zero to four decimals; throws Overflow outside the range.
  static Currency FromDouble(double d);
  // Parses "[-]digits[.digits]" exactly, rounding half away from zero past four
  // decimals. nullopt on any other text or when out of range.
  static std::optional<Currency> Parse(std::string_view text);
  bool IsZero() const { return ticks == 0; }
  Currency operator-() const;  // throws Overflow for the minimum
  friend bool operator==(Currency a, Currency b) { return a.ticks == b.ticks; }
  // Plain decimal text: "100", "-12.5", "0.0001" (no trailing zeros, no grouping).
  std::string ToText() const;
};

class Variant {
 public:
  Variant();  // VT_EMPTY
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  // Takes a copy of a raw VARIANT (deep copy; by-reference values are dereferenced).
  static Variant FromRaw(const VARIANT& raw);
  static Variant Null();
  static Variant Text(std::string_view utf8);
  static Variant I2(int16_t v);
  static Variant I4(int32_t v);
  static Variant R8(double v);
  static Variant Cy(Currency v);
  static Variant Date(DATE v);
  static Variant Bool(bool v);
  static Variant Decimal(const DECIMAL& v);
  // Holds a new reference to the interface.
  static Variant Dispatch(IDispatch* d);

  VARTYPE type() const;  // after by-reference resolution
  bool IsNull() const { return type() == VT_NULL; }
  bool IsEmpty() const { return type() == VT_EMPTY; }

  // Text the way the automation run-time converts: numbers in invariant form
  // ("12.5"), booleans "True"/"False", dates "YYYY-MM-DD" plus " hh:mm:ss" when
  // the time is not midnight. Empty gives "", Null throws InvalidNull.
  std::string ToText() const;
  bool ToBool() const;          // non-zero numbers true; "True"/"False" texts
  Currency ToCurrency() const;  // numbers and numeric texts; Empty is 0
  DATE ToDate() const;          // dates, numbers, and texts accepted by ParseDateText
  int16_t ToI2() const;         // rounds half to even as the run-time does
  double ToDouble() const;
  IDispatch* ToDispatch() const;  // borrowed pointer; throws TypeMismatch otherwise

  const VARIANT& raw() const { return v_; }
  VARIANT* raw_mut() { return &v_; }
  // Hands the VARIANT to a caller who will VariantClear it; this becomes Empty.
  VARIANT Detach();

 private:
  VARIANT v_;
};

// Accepted date texts: YYYY-MM-DD, YYYY/MM/DD, YYYYMMDD (one- or two-digit month
// and day in the separated forms), each optionally followed by " hh:mm[:ss]" (also
// "T" before the time). Anything else, or an impossible day, is nullopt.
std::optional<DATE> ParseDateText(std::string_view text);
// COM date <-> calendar parts. Time is rounded to the nearest second; a date
// outside years 100..9999 throws "Overflow".
DATE DateFromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
struct DateParts {
  int year, month, day, hour, minute, second;
};
DateParts PartsFromDate(DATE d);
// "YYYY-MM-DD" or "YYYY-MM-DD hh:mm:ss" when the time is not midnight.
std::string FormatDateText(DATE d);
// The one date formatter: "YYYYMMDD" when compact, else "YYYY-MM-DD"; then
// " hh:mm:ss" when the time is not midnight or with_time asks for it.
std::string FormatDate(DATE d, bool compact, bool with_time);

// Decimal helpers: exact conversions used by the data layer.
std::string DecimalToText(const DECIMAL& d);                         // "-12.50000000" form trimmed
std::optional<DECIMAL> DecimalFromText(std::string_view text);        // nullopt if not a number
DECIMAL DecimalNegate(const DECIMAL& d);

}  // namespace com
