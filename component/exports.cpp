// The in-process server's exports. TALLYPORT_EDITION_COMPAT (the build switch)
// selects which edition this library is; everything else is shared.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "com/error.h"
#include "com/registry.h"
#include "component/objects.h"

#ifndef TALLYPORT_EDITION_COMPAT
#error "build with TALLYPORT_EDITION_COMPAT=0 or 1"
#endif

namespace component {

const editions::Edition& ThisEdition() {
  return TALLYPORT_EDITION_COMPAT ? editions::CompatEdition() : editions::CurrentEdition();
}

namespace {

std::string OwnPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnPath), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

// The same library file, wherever it was installed from.
bool SameLibrary(const std::string& a, const std::string& b) {
  return std::filesystem::path(a).filename() == std::filesystem::path(b).filename();
}

std::vector<com::ClassEntry> OwnClasses() {
  const auto& e = ThisEdition();
  std::string path = OwnPath();
  auto with_current = [](std::vector<com::GUID> v, const com::GUID& cur) {
    v.push_back(cur);
    return v;
  };
  return {
      {editions::kCashVouchClsid, "Tallyport.CashVouch", path, "Apartment",
       with_current(editions::kCashVouchEarlierIids, editions::kCashVouchIid)},
      {e.summary_clsid, "Tallyport.Summary", path, "Apartment",
       with_current(e.summary_earlier_iids, e.summary_iid)},
  };
}

}  // namespace
}  // namespace component

extern "C" {

__attribute__((visibility("default"))) com::HRESULT DllGetClassObject(com::REFCLSID clsid,
                                                                      com::REFIID riid, void** ppv) {
  return component::GetClassObject(clsid, riid, ppv);
}

__attribute__((visibility("default"))) com::HRESULT DllCanUnloadNow() {
  return component::CanUnloadNow() ? com::S_OK : com::S_FALSE;
}

__attribute__((visibility("default"))) com::HRESULT DllRegisterServer() {
  try {
    const auto& e = component::ThisEdition();
    com::Registry::RegisterTypeLib({editions::kTypeLibId, e.typelib_version, 0, component::OwnPath()});
    for (const auto& c : component::OwnClasses()) com::Registry::RegisterClass(c);
    return com::S_OK;
  } catch (const com::Error& err) {
    return err.hr();
  } catch (const std::exception&) {
    return com::E_FAIL;
  }
}

__attribute__((visibility("default"))) com::HRESULT DllUnregisterServer() {
  try {
    const auto& e = component::ThisEdition();
    // Both editions register CashVouch's CLSID and the same ProgIDs, and the last
    // registration wins; a class now served by another library is not ours to remove.
    for (const auto& c : component::OwnClasses()) {
      auto found = com::Registry::FindClass(c.clsid);
      if (found && component::SameLibrary(found->server_path, c.server_path))
        com::Registry::UnregisterClass(c.clsid);
    }
    com::Registry::UnregisterTypeLib(editions::kTypeLibId, e.typelib_version);
    return com::S_OK;
  } catch (const com::Error& err) {
    return err.hr();
  } catch (const std::exception&) {
    return com::E_FAIL;
  }
}

// The type library as IDL text, for `tallyport typelib`; the caller frees it with free().
__attribute__((visibility("default"))) char* TallyportTypeLibText() {
  std::string t = component::TypeLibraryText(component::ThisEdition());
  char* out = static_cast<char*>(std::malloc(t.size() + 1));
  if (out) std::memcpy(out, t.c_str(), t.size() + 1);
  return out;
}

}  // extern "C"
