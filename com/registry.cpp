// The class registry file and activation through it.
//
// The file is plain text, one entry a line, fields separated by tabs:
//   T <TAB> {libid} <TAB> version <TAB> lcid <TAB> library path
//   C <TAB> {clsid} <TAB> ProgID <TAB> InprocServer32 path <TAB> ThreadingModel <TAB> {iid},{iid},...
// Lines are kept in the order they were written, so unregistering what was
// registered leaves the file as it was. Changes happen under flock() on a lock file
// beside it and are written to a temporary file that is renamed over the old one.
#include "com/registry.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <strings.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "com/comptr.h"
#include "com/error.h"

namespace com {
namespace fs = std::filesystem;

std::string RegistryPath() {
  if (const char* p = std::getenv("TALLYPORT_REGISTRY"); p && *p) return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
    return std::string(x) + "/tallyport/registry";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config/tallyport/registry";
}

namespace {

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> out;
  std::string cur;
  std::istringstream in(line);
  while (std::getline(in, cur, sep)) out.push_back(cur);
  if (!line.empty() && line.back() == sep) out.emplace_back();
  return out;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) lines.push_back(l);
  return lines;
}

void CheckField(const std::string& v) {
  if (v.find_first_of("\t\n\r") != std::string::npos)
    throw Error(E_INVALIDARG, "registry values may not contain tabs or line breaks");
}

// One locked read-modify-write of the registry file.
template <class F>
void Transaction(F&& change) {
  std::string path = RegistryPath();
  fs::path dir = fs::path(path).parent_path();
  std::error_code ec;
  if (!dir.empty()) fs::create_directories(dir, ec);
  std::string lock_path = path + ".lock";
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw Error(E_FAIL, "cannot open the registry lock " + lock_path);
  if (::flock(fd, LOCK_EX) != 0) {
    ::close(fd);
    throw Error(E_FAIL, "cannot lock the registry " + path);
  }
  struct Unlock {
    int fd;
    ~Unlock() {
      ::flock(fd, LOCK_UN);
      ::close(fd);
    }
  } unlock{fd};
  std::vector<std::string> lines = ReadLines(path);
  change(lines);
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (const auto& l : lines) out << l << '\n';
    out.flush();
    if (!out) throw Error(E_FAIL, "cannot write the registry " + path);
  }
  int tfd = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
  if (tfd >= 0) {
    ::fsync(tfd);
    ::close(tfd);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw Error(E_FAIL, "cannot replace the registry " + path);
  }
}

std::string ClassLine(const ClassEntry& e) {
  for (const auto* f : {&e.progid, &e.server_path, &e.threading_model}) CheckField(*f);
  std::string iids;
  for (const auto& i : e.interfaces) iids += (iids.empty() ? "" : ",") + FormatGuid(i);
  return "C\t" + FormatGuid(e.clsid) + "\t" + e.progid + "\t" + e.server_path + "\t" +
         e.threading_model + "\t" + iids;
}

std::optional<ClassEntry> ParseClass(const std::string& line) {
  auto f = Split(line, '\t');
  if (f.size() != 6 || f[0] != "C") return std::nullopt;
  ClassEntry e;
  if (!ParseGuid(f[1], &e.clsid)) return std::nullopt;
  e.progid = f[2];
  e.server_path = f[3];
  e.threading_model = f[4];
  for (const auto& s : Split(f[5], ',')) {
    GUID g;
    if (ParseGuid(s, &g)) e.interfaces.push_back(g);
  }
  return e;
}

std::optional<TypeLibEntry> ParseTypeLib(const std::string& line) {
  auto f = Split(line, '\t');
  if (f.size() != 5 || f[0] != "T") return std::nullopt;
  TypeLibEntry e;
  if (!ParseGuid(f[1], &e.libid)) return std::nullopt;
  e.version = f[2];
  e.lcid = static_cast<uint32_t>(std::strtoul(f[3].c_str(), nullptr, 10));
  e.path = f[4];
  return e;
}

}  // namespace

void Registry::RegisterTypeLib(const TypeLibEntry& e) {
  CheckField(e.version);
  CheckField(e.path);
  std::string line = "T\t" + FormatGuid(e.libid) + "\t" + e.version + "\t" +
                     std::to_string(e.lcid) + "\t" + e.path;
  Transaction([&](std::vector<std::string>& lines) {
    for (auto& l : lines) {
      auto t = ParseTypeLib(l);
      if (t && t->libid == e.libid && t->version == e.version) {
        l = line;
        return;
      }
    }
    lines.push_back(line);
  });
}

void Registry::UnregisterTypeLib(const GUID& libid, const std::string& version) {
  Transaction([&](std::vector<std::string>& lines) {
    std::erase_if(lines, [&](const std::string& l) {
      auto t = ParseTypeLib(l);
      return t && t->libid == libid && t->version == version;
    });
  });
}

void Registry::RegisterClass(const ClassEntry& e) {
  std::string line = ClassLine(e);
  Transaction([&](std::vector<std::string>& lines) {
    // A ProgID names one class: a re-registration under another CLSID replaces it.
    std::erase_if(lines, [&](const std::string& l) {
      auto c = ParseClass(l);
      return c && c->clsid != e.clsid && c->progid == e.progid;
    });
    for (auto& l : lines) {
      auto c = ParseClass(l);
      if (c && c->clsid == e.clsid) {
        l = line;
        return;
      }
    }
    lines.push_back(line);
  });
}

void Registry::UnregisterClass(const GUID& clsid) {
  Transaction([&](std::vector<std::string>& lines) {
    std::erase_if(lines, [&](const std::string& l) {
      auto c = ParseClass(l);
      return c && c->clsid == clsid;
    });
  });
}

std::vector<ClassEntry> Registry::Classes() {
  std::vector<ClassEntry> out;
  for (const auto& l : ReadLines(RegistryPath()))
    if (auto c = ParseClass(l)) out.push_back(*c);
  return out;
}

std::vector<TypeLibEntry> Registry::TypeLibs() {
  std::vector<TypeLibEntry> out;
  for (const auto& l : ReadLines(RegistryPath()))
    if (auto t = ParseTypeLib(l)) out.push_back(*t);
  return out;
}

std::optional<ClassEntry> Registry::FindClass(const GUID& clsid) {
  for (auto& c : Classes())
    if (c.clsid == clsid) return c;
  return std::nullopt;
}

std::optional<ClassEntry> Registry::FindProgId(const std::string& progid) {
  for (auto& c : Classes())
    if (strcasecmp(c.progid.c_str(), progid.c_str()) == 0) return c;
  return std::nullopt;
}

HRESULT CLSIDFromProgID(const std::string& progid, CLSID* out) {
  if (out == nullptr) return E_POINTER;
  if (!progid.empty() && progid.front() == '{') return ParseGuid(progid, out) ? S_OK : CO_E_CLASSSTRING;
  try {
    auto c = Registry::FindProgId(progid);
    if (!c) return CO_E_CLASSSTRING;
    *out = c->clsid;
    return S_OK;
  } catch (const Error& e) {
    return e.hr();
  }
}

// ---------------------------------------------------------------- activation

namespace {

struct Loaded {
  void* handle;
  DllCanUnloadNowFn can_unload;
};

std::mutex g_libs_mutex;
std::map<std::string, Loaded>& Libraries() {
  static std::map<std::string, Loaded> libs;
  return libs;
}

HRESULT LoadAndCreate(const std::string& path, REFCLSID clsid, REFIID riid, void** ppv) {
  void* handle;
  {
    std::lock_guard<std::mutex> lock(g_libs_mutex);
    auto& libs = Libraries();
    auto it = libs.find(path);
    if (it == libs.end()) {
      handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) return REGDB_E_CLASSNOTREG;
      auto can = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
      it = libs.emplace(path, Loaded{handle, can}).first;
    }
    handle = it->second.handle;
  }
  auto get = reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
  if (get == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  ComPtr<IClassFactory> factory;
  HRESULT hr = get(clsid, IID_IClassFactory, factory.PutVoid());
  if (Failed(hr)) return hr;
  return factory->CreateInstance(nullptr, riid, ppv);
}

}  // namespace

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  std::optional<ClassEntry> c;
  try {
    c = Registry::FindClass(clsid);
  } catch (const Error& e) {
    return e.hr();
  }
  if (!c) return REGDB_E_CLASSNOTREG;
  return LoadAndCreate(c->server_path, clsid, riid, ppv);
}

HRESULT CreateFromLibrary(const std::string& library_path, REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  return LoadAndCreate(library_path, clsid, riid, ppv);
}

void CoFreeUnusedLibraries() {
  std::lock_guard<std::mutex> lock(g_libs_mutex);
  auto& libs = Libraries();
  for (auto it = libs.begin(); it != libs.end();) {
    if (it->second.can_unload != nullptr && it->second.can_unload() == S_OK) {
      ::dlclose(it->second.handle);
      it = libs.erase(it);
    } else {
      ++it;
    }
  }
}

HRESULT GetDispId(IDispatch* d, const std::string& name, DISPID* out) {
  if (d == nullptr || out == nullptr) return E_POINTER;
  std::u16string w = Utf16FromUtf8(name);
  OLECHAR* names[] = {w.data()};
  return d->GetIDsOfNames(IID_NULL, names, 1, 0, out);
}

HRESULT InvokeMethod(IDispatch* d, DISPID id, VARIANT* args_in_order, uint32_t count,
                     VARIANT* result, EXCEPINFO* excep) {
  if (d == nullptr) return E_POINTER;
  std::vector<VARIANT> reversed(count);
  for (uint32_t i = 0; i < count; ++i) reversed[count - 1 - i] = args_in_order[i];
  DISPPARAMS params{reversed.data(), nullptr, count, 0};
  uint32_t arg_err = 0;
  return d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, excep, &arg_err);
}

}  // namespace com
