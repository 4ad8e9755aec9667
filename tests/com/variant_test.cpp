// Variant conversions as the component relies on them, with their errors.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "com/error.h"
#include "com/variant.h"

using namespace com;

namespace {

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.description();
  }
  return "";
}

Variant Dec(const char* t) { return Variant::Decimal(*DecimalFromText(t)); }

}  // namespace

TEST(Variant, TextConversions) {
  struct Case {
    Variant v;
    std::string text;
  } cases[] = {
      {Variant(), ""},
      {Variant::Text("O'Brien"), "O'Brien"},
      {Variant::I2(-7), "-7"},
      {Variant::R8(12.5), "12.5"},
      {Variant::R8(0.1), "0.1"},
      {Variant::R8(100), "100"},
      {Variant::Cy(Currency::FromTicks(-125000)), "-12.5"},
      {Variant::Cy(Currency::FromTicks(1)), "0.0001"},
      {Dec("150.00000000"), "150"},
      {Dec("-0.10"), "-0.1"},
      {Variant::Bool(true), "True"},
      {Variant::Date(DateFromParts(2006, 3, 1)), "2006-03-01"},
      {Variant::Date(DateFromParts(2006, 3, 1, 13, 5, 9)), "2006-03-01 13:05:09"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.v.ToText(), c.text);
  EXPECT_EQ(ErrorOf([] { (void)Variant::Null().ToText(); }), "Invalid use of Null");
}

TEST(Variant, CurrencyIsExactAndRoundsHalfAwayFromZero) {
  struct Case {
    Variant v;
    int64_t ticks;
  } cases[] = {
      {Variant::R8(12.5), 125000},       {Variant::R8(0.00005), 1},
      {Variant::R8(-0.00005), -1},       {Variant::R8(0.1 + 0.2), 3000},
      {Variant::Text("123.45"), 1234500}, {Variant::Text(" -7 "), -70000},
      {Dec("99999999999.9999"), 999999999999999}, {Variant(), 0},
      {Variant::Bool(true), -10000},
  };
  for (const auto& c : cases) EXPECT_EQ(c.v.ToCurrency().ticks, c.ticks) << c.v.ToText();
  EXPECT_EQ(ErrorOf([] { (void)Variant::Null().ToCurrency(); }), "Invalid use of Null");
  EXPECT_EQ(ErrorOf([] { (void)Variant::Text("abc").ToCurrency(); }), "Type mismatch");
  EXPECT_EQ(ErrorOf([] { (void)Variant::R8(1e20).ToCurrency(); }), "Overflow");
  EXPECT_EQ(ErrorOf([] { (void)(-Currency::FromTicks(INT64_MIN)); }), "Overflow");
}

TEST(Variant, CurrencyText) {
  EXPECT_EQ(Currency::FromTicks(1000000).ToText(), "100");
  EXPECT_EQ(Currency::FromTicks(-125000).ToText(), "-12.5");
  EXPECT_EQ(Currency::FromTicks(1).ToText(), "0.0001");
  EXPECT_EQ(Currency::FromTicks(0).ToText(), "0");
  EXPECT_EQ(Currency::Parse("1.23456")->ticks, 12346);
  EXPECT_FALSE(Currency::Parse("1.2.3"));
  EXPECT_FALSE(Currency::Parse("1e400"));
}

TEST(Variant, BoolIntAndDateConversions) {
  EXPECT_TRUE(Variant::I4(5).ToBool());
  EXPECT_FALSE(Variant::Text("false").ToBool());
  EXPECT_TRUE(Variant::Text("TRUE").ToBool());
  EXPECT_EQ(ErrorOf([] { (void)Variant::Text("yes").ToBool(); }), "Type mismatch");
  EXPECT_EQ(ErrorOf([] { (void)Variant::Null().ToBool(); }), "Invalid use of Null");

  EXPECT_EQ(Variant::R8(2.5).ToI2(), 2);  // half to even
  EXPECT_EQ(Variant::R8(3.5).ToI2(), 4);
  EXPECT_EQ(Variant::Text("05").ToI2(), 5);
  EXPECT_EQ(ErrorOf([] { (void)Variant::I4(40000).ToI2(); }), "Overflow");

  EXPECT_EQ(Variant::Text("2006-03-01").ToDate(), DateFromParts(2006, 3, 1));
  EXPECT_EQ(ErrorOf([] { (void)Variant::Text("notadate").ToDate(); }), "Type mismatch");
}

TEST(Dates, AcceptedAndRejectedForms) {
  const DATE d = DateFromParts(2006, 3, 1);
  for (const char* ok : {"2006-03-01", "2006/03/01", "20060301", "2006-3-1", "2006/3/01"})
    EXPECT_EQ(ParseDateText(ok), d) << ok;
  EXPECT_EQ(ParseDateText("2006-03-01 10:30"), DateFromParts(2006, 3, 1, 10, 30, 0));
  EXPECT_EQ(ParseDateText("20060301 10:30:15"), DateFromParts(2006, 3, 1, 10, 30, 15));
  for (const char* bad : {"", "notadate", "2006-02-30", "2006-13-01", "2006-03-01x",
                          "2006-03/01", "10000-01-01", "0001-01-01", "2006-03-01 25:00",
                          "2006-03-01; drop table x"})
    EXPECT_FALSE(ParseDateText(bad)) << bad;
  EXPECT_TRUE(ParseDateText("2004-02-29"));
  EXPECT_FALSE(ParseDateText("1900-02-29"));
}

TEST(Dates, ComEpochAndPartsRoundTrip) {
  EXPECT_EQ(DateFromParts(1899, 12, 30), 0.0);
  EXPECT_EQ(DateFromParts(1900, 1, 1), 2.0);
  EXPECT_EQ(FormatDateText(DateFromParts(1899, 12, 29, 6, 0, 0)), "1899-12-29 06:00:00");
  // Found by fuzzing: a raw date far outside the calendar overflowed day arithmetic.
  EXPECT_EQ(ErrorOf([] { (void)Variant::Date(-1e287).ToText(); }), "Overflow");
  EXPECT_EQ(ErrorOf([] { (void)Variant::Date(std::nan("")).ToText(); }), "Overflow");
  for (int y : {100, 1753, 2006, 9999}) {
    DateParts p = PartsFromDate(DateFromParts(y, 12, 31, 23, 59, 59));
    EXPECT_EQ(p.year, y);
    EXPECT_EQ(p.second, 59);
  }
}

TEST(Variant, CopiesOwnTheirTextAndReadThroughReferences) {
  Variant a = Variant::Text("现金");
  Variant b = a;
  a = Variant::I2(1);
  EXPECT_EQ(b.ToText(), "现金");
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = b.raw_mut();
  Variant c = Variant::FromRaw(ref);
  EXPECT_EQ(c.type(), VT_BSTR);
  EXPECT_EQ(c.ToText(), "现金");
  EXPECT_EQ(DecimalToText(DecimalNegate(*DecimalFromText("1.5"))), "-1.5");
}
