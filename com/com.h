// The portable COM runtime: the binary types and interfaces that a COM host and
// an in-process server agree on. Layouts and vtable orders follow COM's own, so
// a host that calls slot N of an interface reaches the method documented there.
// Interfaces have no virtual destructors: objects die through Release().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace com {

using HRESULT = int32_t;
using ULONG = uint32_t;
using DISPID = int32_t;
using LCID = uint32_t;
using VARIANT_BOOL = int16_t;
using DATE = double;  // days since 1899-12-30; the fraction is the time of day

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr HRESULT MakeHr(uint32_t v) { return static_cast<HRESULT>(v); }
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002);
constexpr HRESULT E_POINTER = MakeHr(0x80004003);
constexpr HRESULT E_FAIL = MakeHr(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHr(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHr(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHr(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = MakeHr(0x800401F3);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHr(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHr(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHr(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHr(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHr(0x80020006);
constexpr HRESULT DISP_E_EXCEPTION = MakeHr(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MakeHr(0x8002000A);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHr(0x8002000E);
constexpr HRESULT RPC_E_WRONG_THREAD = MakeHr(0x8001010E);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// ---------------------------------------------------------------- GUID

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

bool operator==(const GUID& a, const GUID& b);
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, hex in any case).
// Returns false and leaves *out untouched on any other text.
bool ParseGuid(std::string_view text, GUID* out);
// Registry form: upper-case hex inside braces.
std::string FormatGuid(const GUID& g);
// Parses a GUID known to be valid at compile time; aborts on a malformed literal.
GUID GuidFromString(std::string_view text);

// ---------------------------------------------------------------- BSTR
// UTF-16 text, prefixed by its byte length (uint32) and zero-terminated. A null
// BSTR is the empty string.

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

BSTR SysAllocString(const OLECHAR* s);
BSTR SysAllocStringLen(const OLECHAR* s, uint32_t len);
void SysFreeString(BSTR s);
uint32_t SysStringLen(BSTR s);
// UTF-8 <-> BSTR. Invalid UTF-8 bytes become U+FFFD; unpaired surrogates likewise.
BSTR BstrFromUtf8(std::string_view utf8);
std::string Utf8FromBstr(BSTR s);
std::u16string Utf16FromUtf8(std::string_view utf8);
std::string Utf8FromUtf16(std::u16string_view u16);

// ---------------------------------------------------------------- VARIANT

enum VARENUM : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I8 = 20,
  VT_RECORD = 36,
  VT_BYREF = 0x4000,
};
using VARTYPE = uint16_t;

// Currency: a signed 64-bit count of ten-thousandths.
struct CY {
  int64_t int64;
};

// Decimal: 96-bit magnitude, a scale of 0..28 and a sign byte (0x80 negative).
struct DECIMAL {
  uint16_t wReserved;
  uint8_t scale;
  uint8_t sign;
  uint32_t Hi32;
  uint64_t Lo64;
};

struct IUnknown;
struct IDispatch;
struct VARIANT;

struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int16_t iVal;
    int32_t lVal;
    int64_t llVal;
    double dblVal;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    DECIMAL decVal;  // kept inside the union: our VARIANT is 24 bytes
    int16_t* piVal;
    int32_t* plVal;
    double* pdblVal;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    VARIANT_BOOL* pboolVal;
    DECIMAL* pdecVal;
    VARIANT* pvarVal;
  };
};

void VariantInit(VARIANT* v);
// Frees what the variant owns (BSTR, interface reference) and sets it to VT_EMPTY.
HRESULT VariantClear(VARIANT* v);
// Deep copy: BSTRs are duplicated, interfaces AddRef'ed.
HRESULT VariantCopy(VARIANT* dst, const VARIANT* src);

// ---------------------------------------------------------------- interfaces

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
  virtual HRESULT LockServer(int32_t lock) = 0;
};

struct DISPPARAMS {
  VARIANT* rgvarg;            // arguments in reverse order, as COM passes them
  DISPID* rgdispidNamedArgs;  // unused by our surface; must be null with cNamedArgs 0
  uint32_t cArgs;
  uint32_t cNamedArgs;
};

struct EXCEPINFO {
  uint16_t wCode;
  uint16_t wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  uint32_t dwHelpContext;
  void* pvReserved;
  void* pfnDeferredFillIn;
  HRESULT scode;
};

constexpr uint16_t DISPATCH_METHOD = 1;
constexpr uint16_t DISPATCH_PROPERTYGET = 2;
constexpr DISPID DISPID_UNKNOWN = -1;

struct ITypeInfo;  // not offered: GetTypeInfo answers E_NOTIMPL

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(uint32_t* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(uint32_t itinfo, LCID lcid, ITypeInfo** pptinfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, OLECHAR** names, uint32_t cNames, LCID lcid,
                                DISPID* dispids) = 0;
  virtual HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, uint16_t flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excep, uint32_t* argErr) = 0;
};

extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;
extern const IID IID_IDispatch;
extern const IID IID_NULL;

// Signatures of the four exports of an in-process server.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

}  // namespace com
