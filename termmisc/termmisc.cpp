// The TermMisc.Terminal stand-in: an outside class whose GetSessionId answers the
// terminal session id of the calling process (the POSIX session id, getsid(0)).
// The extraction only creates it by ProgID and calls GetSessionId by name.
#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <string>

#include "com/error.h"
#include "com/registry.h"

namespace {

const com::GUID kClsid = com::GuidFromString("{7C1A0E55-2B4D-4F1A-9E3C-0D5B6A7F8E21}");
constexpr com::DISPID kGetSessionId = 1;
std::atomic<long> g_live{0};

class Terminal final : public com::IDispatch {
 public:
  Terminal() { ++g_live; }
  ~Terminal() { --g_live; }
  com::HRESULT QueryInterface(com::REFIID riid, void** ppv) override {
    if (ppv == nullptr) return com::E_POINTER;
    *ppv = nullptr;
    if (riid != com::IID_IUnknown && riid != com::IID_IDispatch) return com::E_NOINTERFACE;
    AddRef();
    *ppv = this;
    return com::S_OK;
  }
  com::ULONG AddRef() override { return ++refs_; }
  com::ULONG Release() override {
    com::ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  com::HRESULT GetTypeInfoCount(uint32_t* n) override {
    if (n) *n = 0;
    return com::S_OK;
  }
  com::HRESULT GetTypeInfo(uint32_t, com::LCID, com::ITypeInfo**) override { return com::E_NOTIMPL; }
  com::HRESULT GetIDsOfNames(com::REFIID, com::OLECHAR** names, uint32_t count, com::LCID,
                             com::DISPID* ids) override {
    if (names == nullptr || ids == nullptr || count == 0) return com::E_POINTER;
    bool known = strcasecmp(com::Utf8FromUtf16(names[0]).c_str(), "GetSessionId") == 0;
    ids[0] = known ? kGetSessionId : com::DISPID_UNKNOWN;
    return known ? com::S_OK : com::DISP_E_UNKNOWNNAME;
  }
  com::HRESULT Invoke(com::DISPID id, com::REFIID, com::LCID, uint16_t, com::DISPPARAMS* params,
                      com::VARIANT* result, com::EXCEPINFO*, uint32_t*) override {
    if (id != kGetSessionId) return com::DISP_E_MEMBERNOTFOUND;
    if (params != nullptr && params->cArgs != 0) return com::DISP_E_BADPARAMCOUNT;
    if (result != nullptr) {
      com::VariantClear(result);
      result->vt = com::VT_I4;
      result->lVal = static_cast<int32_t>(getsid(0));
    }
    return com::S_OK;
  }

 private:
  std::atomic<com::ULONG> refs_{1};
};

class Factory final : public com::IClassFactory {
 public:
  com::HRESULT QueryInterface(com::REFIID riid, void** ppv) override {
    if (ppv == nullptr) return com::E_POINTER;
    *ppv = nullptr;
    if (riid != com::IID_IUnknown && riid != com::IID_IClassFactory) return com::E_NOINTERFACE;
    AddRef();
    *ppv = this;
    return com::S_OK;
  }
  com::ULONG AddRef() override { return 2; }  // a static object: never freed
  com::ULONG Release() override { return 1; }
  com::HRESULT CreateInstance(com::IUnknown* outer, com::REFIID riid, void** ppv) override {
    if (ppv == nullptr) return com::E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return com::CLASS_E_NOAGGREGATION;
    auto* t = new Terminal();
    com::HRESULT hr = t->QueryInterface(riid, ppv);
    t->Release();
    return hr;
  }
  com::HRESULT LockServer(int32_t) override { return com::S_OK; }
};

Factory g_factory;

std::string OwnPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnPath), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) com::HRESULT DllGetClassObject(com::REFCLSID clsid,
                                                                      com::REFIID riid, void** ppv) {
  if (ppv == nullptr) return com::E_POINTER;
  *ppv = nullptr;
  if (clsid != kClsid) return com::CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

__attribute__((visibility("default"))) com::HRESULT DllCanUnloadNow() {
  return g_live.load() == 0 ? com::S_OK : com::S_FALSE;
}

__attribute__((visibility("default"))) com::HRESULT DllRegisterServer() {
  try {
    com::Registry::RegisterClass({kClsid, "TermMisc.Terminal", OwnPath(), "Apartment", {}});
    return com::S_OK;
  } catch (const std::exception&) {
    return com::E_FAIL;
  }
}

__attribute__((visibility("default"))) com::HRESULT DllUnregisterServer() {
  try {
    com::Registry::UnregisterClass(kClsid);
    return com::S_OK;
  } catch (const std::exception&) {
    return com::E_FAIL;
  }
}

}  // extern "C"
