// Fuzzes the VARIANT conversions from raw variants of every type the component
// meets: each conversion either answers or throws com::Error, never crashes.
#include <cstring>
#include <string>

#include "com/error.h"
#include "com/variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const com::VARTYPE kTypes[] = {com::VT_EMPTY, com::VT_NULL, com::VT_I2, com::VT_I4,
                                        com::VT_R8,    com::VT_CY,   com::VT_DATE, com::VT_BSTR,
                                        com::VT_BOOL,  com::VT_DECIMAL, com::VT_I8};
  com::VARIANT raw;
  com::VariantInit(&raw);
  raw.vt = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
  const uint8_t* p = data + 1;
  size_t n = size - 1;
  if (raw.vt == com::VT_BSTR) {
    raw.bstrVal = com::BstrFromUtf8(std::string(reinterpret_cast<const char*>(p), n));
  } else {
    std::memcpy(&raw.llVal, p, n < 16 ? n : 16);
    if (raw.vt == com::VT_DECIMAL && raw.decVal.scale > 28) raw.decVal.scale %= 29;
  }
  com::Variant v = com::Variant::FromRaw(raw);
  com::VariantClear(&raw);
  auto attempt = [](auto f) {
    try {
      f();
    } catch (const com::Error&) {
    }
  };
  attempt([&] { (void)v.ToText(); });
  attempt([&] { (void)v.ToCurrency(); });
  attempt([&] { (void)v.ToDate(); });
  attempt([&] { (void)v.ToBool(); });
  attempt([&] { (void)v.ToI2(); });
  attempt([&] { (void)v.ToDouble(); });
  return 0;
}
