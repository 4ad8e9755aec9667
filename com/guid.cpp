// GUIDs in registry form, and the identifiers of the standard interfaces.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "com/com.h"

namespace com {

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `n` hex digits at text[*pos]; false on anything else.
bool ReadHex(std::string_view text, size_t* pos, int n, uint64_t* out) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) {
    if (*pos >= text.size()) return false;
    int h = HexValue(text[(*pos)++]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(h);
  }
  *out = v;
  return true;
}

bool Expect(std::string_view text, size_t* pos, char c) {
  if (*pos >= text.size() || text[*pos] != c) return false;
  ++*pos;
  return true;
}

}  // namespace

bool ParseGuid(std::string_view text, GUID* out) {
  bool braced = !text.empty() && text.front() == '{';
  if (braced) {
    if (text.back() != '}') return false;
    text = text.substr(1, text.size() - 2);
  }
  if (text.size() != 36) return false;
  size_t pos = 0;
  uint64_t d1, d2, d3, d4a, d4b;
  if (!ReadHex(text, &pos, 8, &d1) || !Expect(text, &pos, '-') || !ReadHex(text, &pos, 4, &d2) ||
      !Expect(text, &pos, '-') || !ReadHex(text, &pos, 4, &d3) || !Expect(text, &pos, '-') ||
      !ReadHex(text, &pos, 4, &d4a) || !Expect(text, &pos, '-') || !ReadHex(text, &pos, 12, &d4b))
    return false;
  GUID g;
  g.Data1 = static_cast<uint32_t>(d1);
  g.Data2 = static_cast<uint16_t>(d2);
  g.Data3 = static_cast<uint16_t>(d3);
  g.Data4[0] = static_cast<uint8_t>(d4a >> 8);
  g.Data4[1] = static_cast<uint8_t>(d4a);
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(d4b >> (8 * (5 - i)));
  *out = g;
  return true;
}

std::string FormatGuid(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

GUID GuidFromString(std::string_view text) {
  GUID g;
  if (!ParseGuid(text, &g)) {
    std::fprintf(stderr, "malformed GUID literal: %.*s\n", static_cast<int>(text.size()),
                 text.data());
    std::abort();
  }
  return g;
}

}  // namespace com
