// GUID text forms and BSTR / UTF-8 crossings.
#include <gtest/gtest.h>

#include <vector>

#include "com/com.h"

using namespace com;

TEST(Guid, ParsesAndFormatsRegistryForm) {
  GUID g;
  ASSERT_TRUE(ParseGuid("{4e8a17c2-93d5-4b0e-a6f1-52c90d7e3b10}", &g));
  EXPECT_EQ(FormatGuid(g), "{4E8A17C2-93D5-4B0E-A6F1-52C90D7E3B10}");
  GUID h;
  ASSERT_TRUE(ParseGuid("4E8A17C2-93D5-4B0E-A6F1-52C90D7E3B10", &h));
  EXPECT_EQ(g, h);
  EXPECT_EQ(FormatGuid(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
}

TEST(Guid, RejectsMalformedText) {
  GUID g = IID_NULL;
  for (const char* bad : {"", "{}", "{4E8A17C2-93D5-4B0E-A6F1-52C90D7E3B1}",
                          "{4E8A17C2-93D5-4B0E-A6F1-52C90D7E3B10", "4E8A17C2x93D5-4B0E-A6F1-52C90D7E3B10",
                          "{4E8A17C2-93D5-4B0E-A6F1-52C90D7E3B1G}"}) {
    EXPECT_FALSE(ParseGuid(bad, &g)) << bad;
  }
  EXPECT_EQ(g, IID_NULL);
}

TEST(Bstr, RoundTripsUnicodeAndCarriesItsLength) {
  for (const std::string& s : std::vector<std::string>{"", "abc", "O'Brien", "现金流入", "😀 emoji", std::string("a\0b", 3)}) {
    BSTR b = BstrFromUtf8(s);
    EXPECT_EQ(Utf8FromBstr(b), s);
    SysFreeString(b);
  }
  BSTR b = BstrFromUtf8("😀");
  EXPECT_EQ(SysStringLen(b), 2u);  // a surrogate pair
  SysFreeString(b);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(Utf8FromBstr(nullptr), "");
}

TEST(Bstr, InvalidInputBecomesReplacementCharacter) {
  EXPECT_EQ(Utf8FromUtf16(Utf16FromUtf8("a\xff" "b")), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Utf8FromUtf16(Utf16FromUtf8("\xC0\xAF")), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  std::u16string lone = {0xD800, u'x'};
  EXPECT_EQ(Utf8FromUtf16(lone), "\xEF\xBF\xBDx");
}
