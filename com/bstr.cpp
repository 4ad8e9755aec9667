// BSTR allocation (UTF-16, byte length before the characters) and UTF-8 crossings.
#include <cstdlib>
#include <cstring>

#include "com/com.h"

namespace com {

BSTR SysAllocStringLen(const OLECHAR* s, uint32_t len) {
  auto* block = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) + (len + 1) * sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  block[0] = len * static_cast<uint32_t>(sizeof(OLECHAR));
  auto* chars = reinterpret_cast<OLECHAR*>(block + 1);
  if (s != nullptr) std::memcpy(chars, s, len * sizeof(OLECHAR));
  else std::memset(chars, 0, len * sizeof(OLECHAR));
  chars[len] = 0;
  return chars;
}

BSTR SysAllocString(const OLECHAR* s) {
  if (s == nullptr) return nullptr;
  uint32_t n = 0;
  while (s[n] != 0) ++n;
  return SysAllocStringLen(s, n);
}

void SysFreeString(BSTR s) {
  if (s != nullptr) std::free(reinterpret_cast<uint32_t*>(s) - 1);
}

uint32_t SysStringLen(BSTR s) {
  return s == nullptr ? 0 : reinterpret_cast<uint32_t*>(s)[-1] / sizeof(OLECHAR);
}

std::u16string Utf16FromUtf8(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    auto c = static_cast<unsigned char>(in[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) { cp = c; n = 1; }
    else if ((c >> 5) == 0x6) { cp = c & 0x1F; n = 2; }
    else if ((c >> 4) == 0xE) { cp = c & 0x0F; n = 3; }
    else if ((c >> 3) == 0x1E) { cp = c & 0x07; n = 4; }
    else { out.push_back(0xFFFD); ++i; continue; }
    bool ok = i + n <= in.size();
    for (size_t k = 1; ok && k < n; ++k) {
      auto cc = static_cast<unsigned char>(in[i + k]);
      if ((cc >> 6) != 0x2) ok = false;
      else cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

std::string Utf8FromUtf16(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

BSTR BstrFromUtf8(std::string_view utf8) {
  std::u16string u = Utf16FromUtf8(utf8);
  return SysAllocStringLen(u.data(), static_cast<uint32_t>(u.size()));
}

std::string Utf8FromBstr(BSTR s) {
  return Utf8FromUtf16(std::u16string_view(s == nullptr ? u"" : s, SysStringLen(s)));
}

}  // namespace com
