// The tallyport command: hosts an edition of the component as any COM host would
// (ProgID through the registry, else the edition's library beside the program;
// always DllGetClassObject and IDispatch) and runs one extraction, or registers,
// prints the type library, and prepares servers.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "com/comptr.h"
#include "com/error.h"
#include "com/registry.h"
#include "com/variant.h"
#include "db/sqlite/server.h"
#include "demo/demo.h"
#include "editions/edition.h"
#include "host/run_report.h"

namespace {

constexpr int kExitUsage = 64;

const char* kUsage =
    "usage:\n"
    "  tallyport cashvouch|summary [--edition current|compat]\n"
    "      --acc-server S  --acc-db D  [--acc-password P]\n"
    "      --olap-server S --olap-db D [--olap-password P]\n"
    "      --begin DATE --end DATE [--scope TEXT] [--json] [--quiet] [--trace FILE]\n"
    "  tallyport server init DIR [--sa-password P]\n"
    "  tallyport procedures install --server S --db D [--password P]\n"
    "  tallyport demo DIR [--vouchers N] [--seed S]\n"
    "  tallyport register|unregister [--edition current|compat]\n"
    "  tallyport typelib [--edition current|compat]\n"
    "Passwords may also come from TALLYPORT_ACC_PASSWORD, TALLYPORT_OLAP_PASSWORD and\n"
    "TALLYPORT_SA_PASSWORD. Exit status: 0 done, 1 the extraction failed, 2 the call\n"
    "failed, 64 usage error.\n";

struct UsageError {
  std::string what;
};

// Options of one subcommand: name -> takes a value. Flags map to "1".
struct Parsed {
  std::vector<std::string> positional;
  std::map<std::string, std::string> opts;
};

Parsed Parse(const std::vector<std::string>& args, const std::map<std::string, bool>& known) {
  Parsed p;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) == 0) {
      auto it = known.find(a);
      if (it == known.end()) {
        // An option glued to its value may carry a password: name the option only.
        size_t eq = a.find('=');
        if (eq != std::string::npos)
          throw UsageError{"unknown option " + a.substr(0, eq) + "=...; give the value as the next argument"};
        throw UsageError{"unknown option " + a};
      }
      if (p.opts.count(a)) throw UsageError{"option given twice: " + a};
      if (it->second && i + 1 >= args.size()) throw UsageError{"option " + a + " needs a value"};
      p.opts.emplace(a, it->second ? args[++i] : std::string(1, '1'));
    } else {
      p.positional.push_back(a);
    }
  }
  return p;
}

std::string Opt(const Parsed& p, const std::string& name, const char* env = nullptr,
                bool required = true) {
  auto it = p.opts.find(name);
  if (it != p.opts.end()) return it->second;
  if (env != nullptr) {
    if (const char* v = std::getenv(env)) return v;
  }
  if (required) throw UsageError{"missing " + name};
  return "";
}

bool Compat(const Parsed& p) {
  std::string e = Opt(p, "--edition", nullptr, false);
  if (e.empty() || e == "current") return false;
  if (e == "compat") return true;
  throw UsageError{"--edition must be current or compat"};
}

std::string ProgramDir() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "." : exe.parent_path().string();
}

std::string LibraryPath(bool compat) {
  return ProgramDir() + (compat ? "/libtallyport-compat.so" : "/libtallyport.so");
}

// The library's own exports, for register/unregister/typelib.
void* OpenLibrary(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) throw std::runtime_error(std::string("cannot load ") + path + ": " + dlerror());
  return h;
}

std::string JsonString(const std::string& s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      o += buf;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o + "\"";
}

// Creates the class by ProgID when the registry holds it for this edition's library
// (both editions register the same ProgIDs and CashVouch's CLSID, so the library
// decides), else from the library beside the program.
com::ComPtr<com::IDispatch> CreateObject(const std::string& cls, bool compat) {
  const auto& edition = compat ? editions::CompatEdition() : editions::CurrentEdition();
  const com::GUID clsid = cls == "cashvouch" ? editions::kCashVouchClsid : edition.summary_clsid;
  std::string progid = cls == "cashvouch" ? "Tallyport.CashVouch" : "Tallyport.Summary";
  std::string library = LibraryPath(compat);
  com::ComPtr<com::IDispatch> obj;
  com::HRESULT hr = com::E_FAIL;
  auto entry = com::Registry::FindProgId(progid);
  namespace fs = std::filesystem;
  if (entry && entry->clsid == clsid &&
      fs::path(entry->server_path).filename() == fs::path(library).filename())
    hr = com::CoCreateInstance(clsid, nullptr, com::IID_IDispatch, obj.PutVoid());
  if (com::Failed(hr)) hr = com::CreateFromLibrary(library, clsid, com::IID_IDispatch, obj.PutVoid());
  if (com::Failed(hr)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    throw std::runtime_error("cannot create " + progid + " (" + buf + ")");
  }
  return obj;
}

// The run report's file, unlinked as soon as it is made: the component writes it
// by the name /proc/self/fd/N and the host reads it back through the descriptor, so
// a run killed midway leaves nothing in the temporary directory. -1 when there is
// no such file; the report is advisory.
int TempReportFile() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tallyport-report-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = mkstemp(buf.data());
  if (fd >= 0) unlink(buf.data());
  return fd;
}

std::string ReadReport(int fd) {
  std::string report;
  char chunk[4096];
  ssize_t n;
  for (off_t at = 0; (n = pread(fd, chunk, sizeof chunk, at)) > 0; at += n) report.append(chunk, static_cast<size_t>(n));
  return report;
}

int Extract(const std::string& cls, const std::vector<std::string>& args) {
  Parsed p = Parse(args, {{"--edition", true},      {"--acc-server", true}, {"--acc-db", true},
                          {"--acc-password", true}, {"--olap-server", true}, {"--olap-db", true},
                          {"--olap-password", true}, {"--begin", true},    {"--end", true},
                          {"--scope", true},         {"--json", false},    {"--quiet", false},
                          {"--trace", true},         {"--help", false}});
  if (p.opts.count("--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!p.positional.empty()) throw UsageError{"unexpected argument " + p.positional[0]};
  // CashVouch is the same class in both editions; the edition picks the library.
  bool compat = Compat(p);
  std::vector<std::string> values = {
      Opt(p, "--acc-server"),  Opt(p, "--acc-password", "TALLYPORT_ACC_PASSWORD", false),
      Opt(p, "--acc-db"),      Opt(p, "--olap-server"),
      Opt(p, "--olap-password", "TALLYPORT_OLAP_PASSWORD", false), Opt(p, "--olap-db"),
      Opt(p, "--begin"),       Opt(p, "--end")};
  bool json = p.opts.count("--json") > 0;
  bool quiet = p.opts.count("--quiet") > 0;
  std::string scope = Opt(p, "--scope", nullptr, false);
  if (p.opts.count("--trace")) setenv("TALLYPORT_TRACE", p.opts["--trace"].c_str(), 1);
  const int report_fd = TempReportFile();
  if (report_fd >= 0) setenv("TALLYPORT_REPORT", ("/proc/self/fd/" + std::to_string(report_fd)).c_str(), 1);
  if (!quiet && isatty(2)) setenv("TALLYPORT_PROGRESS", "1", 1);
  else unsetenv("TALLYPORT_PROGRESS");

  auto start = std::chrono::steady_clock::now();
  com::ComPtr<com::IDispatch> obj = CreateObject(cls, compat);
  com::DISPID id;
  if (com::Failed(com::GetDispId(obj.get(), "ExtractData", &id)))
    throw std::runtime_error("the object has no ExtractData");

  std::vector<com::Variant> vals;
  for (const auto& v : values) vals.push_back(com::Variant::Text(v));
  com::Variant msg = com::Variant::Text(scope);
  com::VARIANT call_args[9];
  for (int i = 0; i < 8; ++i) call_args[i] = vals[static_cast<size_t>(i)].raw();
  call_args[8].vt = com::VT_BYREF | com::VT_VARIANT;
  call_args[8].pvarVal = msg.raw_mut();
  com::VARIANT result;
  com::VariantInit(&result);
  com::EXCEPINFO ei{};
  com::HRESULT hr = com::InvokeMethod(obj.get(), id, call_args, 9, &result, &ei);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  com::Variant res = com::Variant::FromRaw(result);
  com::VariantClear(&result);
  obj.Reset();

  std::string report;
  if (report_fd >= 0) {
    report = ReadReport(report_fd);
    close(report_fd);
    while (!report.empty() && (report.back() == '\n' || report.back() == ' ')) report.pop_back();
  }

  bool failed_call = com::Failed(hr);
  std::string text;
  int code;
  if (failed_call) {
    text = hr == com::DISP_E_EXCEPTION ? com::Utf8FromBstr(ei.bstrDescription) : "the call failed";
    code = 2;
  } else {
    code = res.ToI2() == 0 ? 0 : 1;
    text = msg.IsNull() ? "" : msg.ToText();
  }
  com::ClearExcepInfo(&ei);

  if (json) {
    std::printf("{\"result\": %s, \"sErrorMsg\": %s, \"failedCall\": %s, \"seconds\": %.3f, \"report\": %s}\n",
                failed_call ? "null" : std::to_string(code).c_str(), JsonString(text).c_str(),
                failed_call ? "true" : "false", secs, report.empty() ? "null" : report.c_str());
  }
  if (code != 0) std::fprintf(stderr, "tallyport %s: %s\n", cls.c_str(), text.c_str());
  if (!quiet && !report.empty()) std::fputs(host::DescribeRunReport(report).c_str(), stderr);
  return code;
}

int Register(bool do_register, const std::vector<std::string>& args) {
  Parsed p = Parse(args, {{"--edition", true}, {"--help", false}});
  if (p.opts.count("--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!p.positional.empty()) throw UsageError{"unexpected argument " + p.positional[0]};
  const char* fn = do_register ? "DllRegisterServer" : "DllUnregisterServer";
  for (const std::string& lib : {LibraryPath(Compat(p)), ProgramDir() + "/libtermmisc.so"}) {
    if (lib.find("termmisc") != std::string::npos && !std::filesystem::exists(lib)) continue;
    void* h = OpenLibrary(lib);
    auto f = reinterpret_cast<com::DllRegisterServerFn>(dlsym(h, fn));
    if (f == nullptr || com::Failed(f())) {
      std::fprintf(stderr, "tallyport: %s failed for %s\n", fn, lib.c_str());
      return 1;
    }
  }
  std::printf("%s in %s\n", do_register ? "registered" : "unregistered", com::RegistryPath().c_str());
  return 0;
}

int TypeLib(const std::vector<std::string>& args) {
  Parsed p = Parse(args, {{"--edition", true}, {"--help", false}});
  if (p.opts.count("--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!p.positional.empty()) throw UsageError{"unexpected argument " + p.positional[0]};
  void* h = OpenLibrary(LibraryPath(Compat(p)));
  auto f = reinterpret_cast<char* (*)()>(dlsym(h, "TallyportTypeLibText"));
  if (f == nullptr) throw std::runtime_error("the library carries no type library text");
  char* text = f();
  if (text == nullptr) throw std::runtime_error("out of memory");
  std::fputs(text, stdout);
  std::free(text);
  return 0;
}

int Server(const std::vector<std::string>& args) {
  Parsed p = Parse(args, {{"--sa-password", true}, {"--help", false}});
  if (p.opts.count("--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (p.positional.size() != 2 || p.positional[0] != "init")
    throw UsageError{"expected: server init DIR"};
  db::sqlite::InitServer(p.positional[1], Opt(p, "--sa-password", "TALLYPORT_SA_PASSWORD", false));
  std::printf("embedded server ready in %s\n", p.positional[1].c_str());
  return 0;
}

int Procedures(const std::vector<std::string>& args) {
  Parsed p = Parse(args, {{"--server", true}, {"--db", true}, {"--password", true}, {"--help", false}});
  if (p.opts.count("--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (p.positional.size() != 1 || p.positional[0] != "install") throw UsageError{"expected: procedures install"};
  std::string server = Opt(p, "--server"), database = Opt(p, "--db");
  if (!db::sqlite::IsEmbeddedServer(server)) {
    std::fprintf(stderr, "tallyport procedures: %s is not an embedded server; on SQL Server run the "
                         "scripts in sql/\n", server.c_str());
    return 1;
  }
  db::sqlite::InstallProcedures(server, Opt(p, "--password", "TALLYPORT_OLAP_PASSWORD", false), database);
  std::printf("procedures sp_gl_qcbl and Sp_Gl_QcBlYE installed in %s\n", database.c_str());
  return 0;
}

int Demo(const std::vector<std::string>& args) {
  Parsed p = Parse(args, {{"--vouchers", true}, {"--seed", true}, {"--help", false}});
  if (p.opts.count("--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (p.positional.size() != 1) throw UsageError{"expected: demo DIR"};
  demo::DemoOptions o;
  auto number = [](const std::string& v, const char* what) {
    char* end = nullptr;
    long long n = std::strtoll(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || n < 0) throw UsageError{std::string(what) + " must be a number"};
    return n;
  };
  if (p.opts.count("--vouchers")) o.vouchers = number(p.opts["--vouchers"], "--vouchers");
  if (p.opts.count("--seed")) o.seed = static_cast<uint64_t>(number(p.opts["--seed"], "--seed"));
  o.sa_password = Opt(p, "--sa-password", "TALLYPORT_SA_PASSWORD", false);
  demo::DemoSummary s = demo::CreateDemo(p.positional[0], o);
  std::printf("demo account set vxdata_001_2006 in %s: %lld accounts, %lld voucher lines, %lld cash lines\n",
              p.positional[0].c_str(), static_cast<long long>(s.accounts),
              static_cast<long long>(s.voucher_lines), static_cast<long long>(s.cash_lines));
  return 0;
}

int Run(const std::vector<std::string>& argv) {
  if (argv.empty()) throw UsageError{"no command"};
  const std::string& cmd = argv[0];
  std::vector<std::string> rest(argv.begin() + 1, argv.end());
  if (cmd == "--help" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "cashvouch" || cmd == "summary") return Extract(cmd, rest);
  if (cmd == "register" || cmd == "unregister") return Register(cmd == "register", rest);
  if (cmd == "typelib") return TypeLib(rest);
  if (cmd == "server") return Server(rest);
  if (cmd == "demo") return Demo(rest);
  if (cmd == "procedures") return Procedures(rest);
  throw UsageError{"unknown command " + cmd};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return Run(args);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "tallyport: %s\n%s", e.what.c_str(), kUsage);
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tallyport: %s\n", e.what());
    return 1;
  }
}
