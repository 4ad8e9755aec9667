// The class registry: a file-backed store of what in-process servers register
// (type libraries, classes with their ProgIDs, library paths and interfaces), and
// activation by ProgID or CLSID through it. The file lives at $TALLYPORT_REGISTRY,
// else $XDG_CONFIG_HOME/tallyport/registry, else ~/.config/tallyport/registry.
// Every change is made under an exclusive file lock and written atomically
// (temporary file, then rename), so concurrent registrations never tear the file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "com/com.h"

namespace com {

struct TypeLibEntry {
  GUID libid;
  std::string version;  // "4.1"
  uint32_t lcid = 0;
  std::string path;  // library that carries the type description
};

struct ClassEntry {
  GUID clsid;
  std::string progid;
  std::string server_path;  // InprocServer32
  std::string threading_model = "Apartment";
  std::vector<GUID> interfaces;  // earlier IIDs first, the current one last
};

// The path of the registry file in use (environment consulted at each call).
std::string RegistryPath();

// Reads and changes the registry file. Each call is one locked transaction.
class Registry {
 public:
  static void RegisterTypeLib(const TypeLibEntry& e);
  static void UnregisterTypeLib(const GUID& libid, const std::string& version);
  static void RegisterClass(const ClassEntry& e);
  static void UnregisterClass(const GUID& clsid);

  static std::optional<ClassEntry> FindClass(const GUID& clsid);
  static std::optional<ClassEntry> FindProgId(const std::string& progid);
  static std::vector<ClassEntry> Classes();
  static std::vector<TypeLibEntry> TypeLibs();
};

// Resolves "Tallyport.Summary" or "{CLSID}" to a CLSID through the registry.
// Returns CO_E_CLASSSTRING / REGDB_E_CLASSNOTREG on failure.
HRESULT CLSIDFromProgID(const std::string& progid, CLSID* out);

// Loads the class's library (kept loaded for the life of the process unless
// CoFreeUnusedLibraries finds it idle), asks DllGetClassObject for a factory and
// creates one instance. The library must be registered for the CLSID.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, REFIID riid, void** ppv);
// The same, from a library path given directly (no registry involved).
HRESULT CreateFromLibrary(const std::string& library_path, REFCLSID clsid, REFIID riid, void** ppv);
// Unloads libraries whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

// Late binding helpers for hosts: the id of a method by name, and a call with
// positional arguments given in natural order (the helper reverses them).
HRESULT GetDispId(IDispatch* d, const std::string& name, DISPID* out);
HRESULT InvokeMethod(IDispatch* d, DISPID id, VARIANT* args_in_order, uint32_t count,
                     VARIANT* result, EXCEPINFO* excep);

}  // namespace com
