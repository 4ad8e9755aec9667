// A test host: registers each edition into a temporary registry, creates the classes
// by ProgID and checks what a COM host sees: names, dispatch ids, vtable slots,
// interfaces, reference counts, unloading, threading, and unregistration.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "com/comptr.h"
#include "com/error.h"
#include "com/registry.h"
#include "com/variant.h"
#include "component/objects.h"
#include "editions/edition.h"

namespace {

using namespace com;

std::string ReadAll(const std::string& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Surface : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("tp-reg-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    reg_ = (dir_ / "registry").string();
    setenv("TALLYPORT_REGISTRY", reg_.c_str(), 1);
    // Another server's entry must survive our registration and unregistration.
    Registry::RegisterClass({GuidFromString("{11111111-2222-3333-4444-555555555555}"),
                             "Other.Thing", "/opt/other.so", "Both", {}});
    before_ = ReadAll(reg_);
    lib_ = dlopen(GetParam() ? COMPAT_LIB : CURRENT_LIB, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr);
    auto reg = reinterpret_cast<DllRegisterServerFn>(dlsym(lib_, "DllRegisterServer"));
    ASSERT_EQ(reg(), S_OK);
  }
  void TearDown() override {
    auto unreg = reinterpret_cast<DllUnregisterServerFn>(dlsym(lib_, "DllUnregisterServer"));
    EXPECT_EQ(unreg(), S_OK);
    EXPECT_EQ(ReadAll(reg_), before_);
    std::filesystem::remove_all(dir_);
    unsetenv("TALLYPORT_REGISTRY");
  }
  const editions::Edition& Ed() const {
    return GetParam() ? editions::CompatEdition() : editions::CurrentEdition();
  }
  ComPtr<IDispatch> Create(const char* progid) {
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(progid, &clsid), S_OK);
    ComPtr<IDispatch> d;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, IID_IDispatch, d.PutVoid()), S_OK);
    return d;
  }
  std::filesystem::path dir_;
  std::string reg_, before_;
  void* lib_ = nullptr;
};

TEST_P(Surface, RegistrationCarriesTheIdentifiers) {
  auto tl = Registry::TypeLibs();
  ASSERT_EQ(tl.size(), 1u);
  EXPECT_EQ(tl[0].libid, editions::kTypeLibId);
  EXPECT_EQ(tl[0].version, Ed().typelib_version);
  EXPECT_EQ(tl[0].lcid, 0u);
  auto s = Registry::FindProgId("Tallyport.Summary");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->clsid, Ed().summary_clsid);
  EXPECT_EQ(s->threading_model, "Apartment");
  std::vector<GUID> want = Ed().summary_earlier_iids;
  want.push_back(Ed().summary_iid);
  EXPECT_EQ(s->interfaces, want);
  auto c = Registry::FindProgId("Tallyport.CashVouch");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->interfaces.back(), editions::kCashVouchIid);
  EXPECT_EQ(c->interfaces.size(), 3u);
}

TEST_P(Surface, MethodsByNameAndDispatchId) {
  struct M {
    const char* name;
    DISPID id;
  };
  const std::vector<M> cash = {{"ExtractData", 0x60030000}, {"setfiscaldate", 0x60030001},
                               {"SETDEPT", 0x60030002},     {"SetCus", 0x60030003},
                               {"SetSup", 0x60030004},      {"SetPerson", 0x60030005},
                               {"SetItem", 0x60030006},     {"SetJe", 0x60030007},
                               {"GetFx", 0x60030008},       {"GetCodeFx", 0x60030009},
                               {"CopyData", 0x6003000A}};
  const char* summary_names[] = {"ExtractData", "CreatEipTable", "AddStartAcc", "GetFiscalDate",
                                 "GetCodeDc",   "GetCodeQc",     "UpdateOneCode", "UpdateLjLd",
                                 "AddLjLd",     "AddOneAcc",     "GetCexchId",  "nTOz",
                                 "GetAccountDay", "GetCodeDcValue", "GetCexchIdFromCode",
                                 "GetAccountBeginPeriod"};
  auto cv = Create("Tallyport.CashVouch");
  for (const auto& m : cash) {
    DISPID id;
    EXPECT_EQ(GetDispId(cv.get(), m.name, &id), S_OK) << m.name;
    EXPECT_EQ(id, m.id) << m.name;
  }
  auto sm = Create("Tallyport.Summary");
  DISPID base = GetParam() ? 0x60030000 : 0x60030001;
  for (int i = 0; i < 16; ++i) {
    DISPID id = 0;
    HRESULT hr = GetDispId(sm.get(), summary_names[i], &id);
    if (GetParam() && i == 15) {
      EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);  // not on the older interface
    } else {
      EXPECT_EQ(hr, S_OK) << summary_names[i];
      EXPECT_EQ(id, base + i) << summary_names[i];
    }
  }
  DISPID id;
  EXPECT_EQ(GetDispId(sm.get(), "NoSuchMethod", &id), DISP_E_UNKNOWNNAME);
  VARIANT r;
  VariantInit(&r);
  EXPECT_EQ(InvokeMethod(sm.get(), 0x6003FFFF, nullptr, 0, &r, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(InvokeMethod(sm.get(), base, nullptr, 0, &r, nullptr), DISP_E_BADPARAMCOUNT);
}

TEST_P(Surface, ExtractDataThroughSlotsAndDispatch) {
  ComPtr<component::ICashVouch> cv;
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID("Tallyport.CashVouch", &clsid), S_OK);
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, editions::kCashVouchIid, cv.PutVoid()), S_OK);
  Variant server = Variant::Text("/nonexistent-dir"), db = Variant::Text("vxdata_001_2006");
  Variant begin = Variant::Text("2006-03-02"), end = Variant::Text("2006-03-01");
  Variant msg = Variant::Text("kept?");
  VARIANT result;
  VariantInit(&result);
  // Slot 7 of _CashVouch is ExtractData, after the seven inherited slots.
  ASSERT_EQ(cv->ExtractData(server.raw(), server.raw(), db.raw(), server.raw(), server.raw(),
                            db.raw(), begin.raw(), end.raw(), msg.raw_mut(), &result),
            S_OK);
  EXPECT_EQ(result.vt, VT_I2);
  EXPECT_EQ(result.iVal, 1);
  EXPECT_EQ(msg.ToText(), "{{Q6.GL.TALLYPORT.MSG_DATE}}");
  // A begin date that is not a date fails the call itself and leaves the message.
  Variant bad = Variant::Text("notadate");
  msg = Variant::Text("untouched");
  HRESULT hr = cv->ExtractData(server.raw(), server.raw(), db.raw(), server.raw(), server.raw(),
                               db.raw(), bad.raw(), end.raw(), msg.raw_mut(), &result);
  EXPECT_TRUE(Failed(hr));
  EXPECT_EQ(msg.ToText(), "untouched");

  // The same through IDispatch: Summary reports the conversion error as result 1.
  auto sm = Create("Tallyport.Summary");
  DISPID id;
  ASSERT_EQ(GetDispId(sm.get(), "extractdata", &id), S_OK);
  Variant smsg = Variant::Text("");
  VARIANT args[9];
  for (int i = 0; i < 6; ++i) args[i] = (i % 3 == 2 ? db : server).raw();
  args[6] = bad.raw();
  args[7] = end.raw();
  args[8].vt = VT_BYREF | VT_VARIANT;
  args[8].pvarVal = smsg.raw_mut();
  EXCEPINFO ei{};
  ASSERT_EQ(InvokeMethod(sm.get(), id, args, 9, &result, &ei), S_OK);
  EXPECT_EQ(result.iVal, 1);
  EXPECT_EQ(smsg.ToText(), "Type mismatch");
  args[6] = begin.raw();
  ASSERT_EQ(InvokeMethod(sm.get(), id, args, 9, &result, &ei), S_OK);
  EXPECT_EQ(smsg.ToText(), "起始日期不能小于结束日期！");
}

// Each vtable slot reaches the method the type description puts there: slot 7 + i
// of _Summary is method i. nTOz and the refusals of the other steps tell them apart.
TEST_P(Surface, SummarySlotsFollowTheDocumentedOrder) {
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID("Tallyport.Summary", &clsid), S_OK);
  ComPtr<component::ISummary> s;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, Ed().summary_iid, s.PutVoid()), S_OK);
  void** vtbl = *reinterpret_cast<void***>(s.get());
  using NtozFn = HRESULT (*)(component::ISummary*, VARIANT*, CY*);
  Variant v = Variant::R8(12.5);
  CY cy{0};
  ASSERT_EQ(reinterpret_cast<NtozFn>(vtbl[18])(s.get(), v.raw_mut(), &cy), S_OK);
  EXPECT_EQ(cy.int64, 125000);
  Variant null = Variant::Null();
  ASSERT_EQ(s->nTOz(null.raw_mut(), &cy), S_OK);
  EXPECT_EQ(cy.int64, 0);
  Variant text = Variant::Text("abc");
  EXPECT_EQ(s->nTOz(text.raw_mut(), &cy), DISP_E_TYPEMISMATCH);
  // The same method by dispatch id: nTOz is the twelfth method.
  DISPID id;
  ASSERT_EQ(GetDispId(s.get(), "nTOz", &id), S_OK);
  EXPECT_EQ(id, (GetParam() ? 0x60030000 : 0x60030001) + 11);
  VARIANT r;
  VariantInit(&r);
  VARIANT arg = v.raw();
  ASSERT_EQ(InvokeMethod(s.get(), id, &arg, 1, &r, nullptr), S_OK);
  EXPECT_EQ(r.vt, VT_CY);
  EXPECT_EQ(r.cyVal.int64, 125000);
  int16_t period = 0;
  EXPECT_EQ(s->GetAccountBeginPeriod(&period) == DISP_E_MEMBERNOTFOUND, GetParam());
}

// Late-bound calls: a typed parameter that cannot take its argument is a type
// mismatch naming the argument; an error inside a method is DISP_E_EXCEPTION with
// the failing layer's description.
TEST_P(Surface, InvokeChecksTypesAndReportsErrors) {
  auto sm = Create("Tallyport.Summary");
  DISPID base = GetParam() ? 0x60030000 : 0x60030001;
  struct Case {
    DISPID id;
    std::vector<Variant> args;  // in call order
    uint32_t arg_err;           // position in rgvarg (last argument is 0)
  };
  const Case cases[] = {
      {base + 1, {Variant::Text("T"), Variant::Text("abc")}, 0},        // CreatEipTable iType
      {base + 6, {Variant::Text("rs"), Variant::Date(38777)}, 1},       // UpdateOneCode rsCode
      {base + 3, {Variant::Null()}, 0},                                 // GetFiscalDate sDate
  };
  for (const auto& c : cases) {
    std::vector<VARIANT> raw;
    for (auto it = c.args.rbegin(); it != c.args.rend(); ++it) raw.push_back(it->raw());
    DISPPARAMS dp{raw.data(), nullptr, static_cast<uint32_t>(raw.size()), 0};
    VARIANT r;
    VariantInit(&r);
    EXCEPINFO ei{};
    uint32_t arg_err = 99;
    EXPECT_EQ(sm->Invoke(c.id, IID_NULL, 0, DISPATCH_METHOD, &dp, &r, &ei, &arg_err),
              DISP_E_TYPEMISMATCH)
        << std::hex << c.id;
    EXPECT_EQ(arg_err, c.arg_err) << std::hex << c.id;
  }
  // A step called outside a run has no connection: the data layer's error comes back.
  Variant day = Variant::Text("2006-03-01");
  VARIANT arg = day.raw();
  VARIANT r;
  VariantInit(&r);
  EXCEPINFO ei{};
  ASSERT_EQ(InvokeMethod(sm.get(), base + 3, &arg, 1, &r, &ei), DISP_E_EXCEPTION);
  EXPECT_FALSE(Utf8FromBstr(ei.bstrDescription).empty());
  EXPECT_FALSE(Utf8FromBstr(ei.bstrSource).empty());
  ClearExcepInfo(&ei);
}

TEST_P(Surface, InterfacesReferenceCountsAndUnloading) {
  auto can_unload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(lib_, "DllCanUnloadNow"));
  {
    auto sm = Create("Tallyport.Summary");
    EXPECT_EQ(can_unload(), S_FALSE);
    std::vector<GUID> yes = Ed().summary_earlier_iids;
    yes.push_back(Ed().summary_iid);
    yes.push_back(IID_IUnknown);
    yes.push_back(IID_IDispatch);
    for (const auto& iid : yes) {
      ComPtr<IUnknown> u;
      EXPECT_EQ(sm->QueryInterface(iid, u.PutVoid()), S_OK) << FormatGuid(iid);
    }
    for (const auto& iid : {editions::kCashVouchIid, IID_IClassFactory,
                            (GetParam() ? editions::CurrentEdition() : editions::CompatEdition())
                                .summary_iid}) {
      ComPtr<IUnknown> u;
      EXPECT_EQ(sm->QueryInterface(iid, u.PutVoid()), E_NOINTERFACE) << FormatGuid(iid);
      EXPECT_FALSE(u);
    }
    EXPECT_EQ(sm->AddRef(), 2u);
    EXPECT_EQ(sm->Release(), 1u);
  }
  EXPECT_EQ(can_unload(), S_OK);

  auto get = reinterpret_cast<DllGetClassObjectFn>(dlsym(lib_, "DllGetClassObject"));
  ComPtr<IClassFactory> f;
  EXPECT_EQ(get(GuidFromString("{00000000-0000-0000-0000-000000000001}"), IID_IClassFactory,
                f.PutVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(get(Ed().summary_clsid, IID_IClassFactory, f.PutVoid()), S_OK);
  ComPtr<IUnknown> u;
  EXPECT_EQ(f->CreateInstance(reinterpret_cast<IUnknown*>(f.get()), IID_IUnknown, u.PutVoid()),
            CLASS_E_NOAGGREGATION);
  f->LockServer(1);
  f.Reset();
  EXPECT_EQ(can_unload(), S_FALSE);  // a lock keeps the server
  ASSERT_EQ(get(Ed().summary_clsid, IID_IClassFactory, f.PutVoid()), S_OK);
  f->LockServer(0);
  f.Reset();
  EXPECT_EQ(can_unload(), S_OK);
}

TEST_P(Surface, ObjectsAnswerOnlyOnTheirThread) {
  auto cv = Create("Tallyport.CashVouch");
  HRESULT hr = S_OK;
  std::thread t([&] {
    DISPID id;
    hr = GetDispId(cv.get(), "ExtractData", &id);
  });
  t.join();
  EXPECT_EQ(hr, RPC_E_WRONG_THREAD);
  // The same through a vtable slot.
  ComPtr<component::ICashVouch> typed;
  ASSERT_EQ(cv->QueryInterface(editions::kCashVouchIid, typed.PutVoid()), S_OK);
  std::thread([&] { hr = typed->SetDept(); }).join();
  EXPECT_EQ(hr, RPC_E_WRONG_THREAD);
}

INSTANTIATE_TEST_SUITE_P(Editions, Surface, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "compat" : "current"; });

// Both editions in one registry and one process: the later registration serves the
// shared ProgIDs, each library answers with its own identifiers, and unregistering
// one edition leaves what the other has registered.
TEST(Editions, BothInOneRegistry) {
  auto dir = std::filesystem::temp_directory_path() / ("tp-both-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string reg = (dir / "registry").string();
  setenv("TALLYPORT_REGISTRY", reg.c_str(), 1);
  auto exports = [](const char* path, const char* name) {
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(lib, nullptr);
    return reinterpret_cast<DllRegisterServerFn>(dlsym(lib, name));
  };
  ASSERT_EQ(exports(CURRENT_LIB, "DllRegisterServer")(), S_OK);
  ASSERT_EQ(exports(COMPAT_LIB, "DllRegisterServer")(), S_OK);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID("Tallyport.Summary", &clsid), S_OK);
  EXPECT_EQ(clsid, editions::CompatEdition().summary_clsid);
  // The current edition's Summary is still reachable from its own library, with
  // its sixteenth method; the compat one has fifteen.
  ComPtr<IDispatch> cur, old;
  ASSERT_EQ(CreateFromLibrary(CURRENT_LIB, editions::CurrentEdition().summary_clsid, IID_IDispatch,
                              cur.PutVoid()),
            S_OK);
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, IID_IDispatch, old.PutVoid()), S_OK);
  DISPID id;
  EXPECT_EQ(GetDispId(cur.get(), "GetAccountBeginPeriod", &id), S_OK);
  EXPECT_EQ(GetDispId(old.get(), "GetAccountBeginPeriod", &id), DISP_E_UNKNOWNNAME);

  ASSERT_EQ(exports(CURRENT_LIB, "DllUnregisterServer")(), S_OK);
  auto cash = Registry::FindProgId("Tallyport.CashVouch");
  ASSERT_TRUE(cash);
  EXPECT_NE(cash->server_path.find("tallyport-compat"), std::string::npos);
  EXPECT_TRUE(Registry::FindProgId("Tallyport.Summary"));
  ASSERT_EQ(Registry::TypeLibs().size(), 1u);
  EXPECT_EQ(Registry::TypeLibs()[0].version, "3.5");
  ASSERT_EQ(exports(COMPAT_LIB, "DllUnregisterServer")(), S_OK);
  EXPECT_EQ(ReadAll(reg), "");
  std::filesystem::remove_all(dir);
  unsetenv("TALLYPORT_REGISTRY");
}

TEST(TermMisc, SessionIdByProgIdAndName) {
  auto dir = std::filesystem::temp_directory_path() / ("tp-tm-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  setenv("TALLYPORT_REGISTRY", (dir / "registry").c_str(), 1);
  void* lib = dlopen(TERMMISC_LIB, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr);
  ASSERT_EQ(reinterpret_cast<DllRegisterServerFn>(dlsym(lib, "DllRegisterServer"))(), S_OK);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID("TermMisc.Terminal", &clsid), S_OK);
  ComPtr<IDispatch> t;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, IID_IDispatch, t.PutVoid()), S_OK);
  DISPID id;
  ASSERT_EQ(GetDispId(t.get(), "getsessionid", &id), S_OK);
  VARIANT r;
  VariantInit(&r);
  ASSERT_EQ(InvokeMethod(t.get(), id, nullptr, 0, &r, nullptr), S_OK);
  EXPECT_EQ(Variant::FromRaw(r).ToText(), std::to_string(getsid(0)));
  ASSERT_EQ(reinterpret_cast<DllUnregisterServerFn>(dlsym(lib, "DllUnregisterServer"))(), S_OK);
  EXPECT_EQ(CLSIDFromProgID("TermMisc.Terminal", &clsid), CO_E_CLASSSTRING);
  std::filesystem::remove_all(dir);
  unsetenv("TALLYPORT_REGISTRY");
}

}  // namespace
