// The two creatable classes as COM objects: vtables in the documented slot order,
// late binding through the type description, apartment threading (an object answers
// only on the thread that created it), reference counting and the class factories.
// Every call, by slot or by dispatch id, ends in one invoker per class that
// converts the arguments and calls the extraction logic.
#include "component/objects.h"

#include <atomic>
#include <exception>
#include <initializer_list>
#include <thread>

#include "cashvouch/cashvouch.h"
#include "com/error.h"
#include "db/ado.h"
#include "summary/summary.h"

namespace component {

std::atomic<long> g_live_objects{0};
std::atomic<long> g_server_locks{0};

namespace {

using com::HRESULT;
using com::Variant;
using com::VARIANT;

// Recordset arguments arrive as the recordset's IDispatch; anything else is the
// wrong type.
db::Recordset& RecordsetOf(const Variant& v) { return *db::Recordset::FromDispatch(v.ToDispatch()); }

Variant Text(const std::string& s) { return Variant::Text(s); }

// Runs `f` and maps an exception to an HRESULT with EXCEPINFO filled in.
template <class F>
HRESULT Guard(com::EXCEPINFO* ei, F&& f) {
  try {
    f();
    return com::S_OK;
  } catch (const com::Error& e) {
    if (ei == nullptr) return e.hr();
    com::FillExcepInfo(ei, e);
    return com::DISP_E_EXCEPTION;
  } catch (const std::exception& e) {
    com::Error err(com::E_FAIL, e.what(), "Tallyport");
    if (ei == nullptr) return com::E_FAIL;
    com::FillExcepInfo(ei, err);
    return com::DISP_E_EXCEPTION;
  }
}

// Calls slot `slot` of _CashVouch; by-reference arguments are updated in `a`.
Variant InvokeCashVouch(cashvouch::CashVouch& o, int slot, std::vector<Variant>& a) {
  switch (slot) {
    case 0: return Variant::I2(o.ExtractData(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]));
    case 1: o.SetFiscalDate(); return {};
    case 2: o.SetDept(); return {};
    case 3: o.SetCus(); return {};
    case 4: o.SetSup(); return {};
    case 5: o.SetPerson(); return {};
    case 6: o.SetItem(); return {};
    case 7: o.SetJe(); return {};
    case 8: return Text(o.GetFx(a[0].ToText()));
    case 9: return Variant::Bool(o.GetCodeFx(a[0].ToText()));
    case 10: o.CopyData(); return {};
  }
  throw com::Error(com::DISP_E_MEMBERNOTFOUND, "Member not found.");
}

Variant InvokeSummary(summary::Summary& o, int slot, std::vector<Variant>& a) {
  switch (slot) {
    case 0: return Variant::I2(o.ExtractData(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]));
    case 1: o.CreatEipTable(a[0].ToText(), a[1].ToI2()); return {};
    case 2: {
      std::string s = a[0].ToText();
      o.AddStartAcc(s);
      a[0] = Text(s);
      return {};
    }
    case 3: return Text(o.GetFiscalDate(a[0].ToText()));
    case 4: return Variant::Bool(o.GetCodeDc(a[0].ToText()));
    case 5: o.GetCodeQc(a[0].ToText()); return {};
    case 6: o.UpdateOneCode(RecordsetOf(a[0]), a[1].ToDate()); return {};
    case 7: o.UpdateLjLd(RecordsetOf(a[0]), a[1].ToText()); return {};
    case 8: {
      std::string day = a[1].ToText();
      o.AddLjLd(RecordsetOf(a[0]), day);
      a[1] = Text(day);
      return {};
    }
    case 9: o.AddOneAcc(a[0].ToDate()); return {};
    case 10: return Text(o.GetCexchId(a[0]));
    case 11: return Variant::Cy(o.nTOz(a[0]));
    case 12: return Text(o.GetAccountDay(a[0].ToText(), a[1].ToText()));
    case 13: return Variant::Cy(o.GetCodeDcValue(a[0].ToText(), RecordsetOf(a[1]), a[2].ToText()));
    case 14: return Text(o.GetCexchIdFromCode(a[0]));
    case 15: return Variant::I2(o.GetAccountBeginPeriod());
  }
  throw com::Error(com::DISP_E_MEMBERNOTFOUND, "Member not found.");
}

// Writes an updated by-reference argument back into the caller's variant.
void WriteBack(VARIANT& dst, const Variant& value) {
  if (dst.vt == (com::VT_BYREF | com::VT_VARIANT) && dst.pvarVal != nullptr) {
    com::VariantCopy(dst.pvarVal, &value.raw());
  } else if (dst.vt == (com::VT_BYREF | com::VT_BSTR) && dst.pbstrVal != nullptr) {
    com::SysFreeString(*dst.pbstrVal);
    *dst.pbstrVal = com::BstrFromUtf8(value.IsNull() ? "" : value.ToText());
  } else if (dst.vt == (com::VT_BYREF | com::VT_I2) && dst.piVal != nullptr) {
    *dst.piVal = value.ToI2();
  }
}

// Stores a typed out-value of a vtable call.
void Out(com::BSTR* p, const Variant& v) {
  if (p) *p = com::BstrFromUtf8(v.ToText());
}

}  // namespace

// ---------------------------------------------------------------- shared object

template <class Iface, class Logic>
class ObjectBase : public Iface {
 public:
  using InvokeFn = Variant (*)(Logic&, int, std::vector<Variant>&);

  ObjectBase(const InterfaceDesc& desc, InvokeFn fn) : desc_(desc), invoke_(fn) { ++g_live_objects; }
  virtual ~ObjectBase() { --g_live_objects; }

  HRESULT QueryInterface(com::REFIID riid, void** ppv) override {
    if (ppv == nullptr) return com::E_POINTER;
    *ppv = nullptr;
    if (!OnOwnThread()) return com::RPC_E_WRONG_THREAD;
    bool ok = riid == com::IID_IUnknown || riid == com::IID_IDispatch || riid == desc_.iid;
    for (const auto& e : desc_.earlier_iids) ok = ok || riid == e;
    if (!ok) return com::E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<Iface*>(this);
    return com::S_OK;
  }
  com::ULONG AddRef() override { return ++refs_; }
  com::ULONG Release() override {
    com::ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT GetTypeInfoCount(uint32_t* n) override {
    if (n == nullptr) return com::E_POINTER;
    *n = 0;
    return com::S_OK;
  }
  HRESULT GetTypeInfo(uint32_t, com::LCID, com::ITypeInfo**) override { return com::E_NOTIMPL; }
  HRESULT GetIDsOfNames(com::REFIID, com::OLECHAR** names, uint32_t count, com::LCID,
                        com::DISPID* ids) override {
    if (names == nullptr || ids == nullptr) return com::E_POINTER;
    if (!OnOwnThread()) return com::RPC_E_WRONG_THREAD;
    HRESULT hr = com::S_OK;
    for (uint32_t i = 0; i < count; ++i) {
      // Only method names are known; parameter names are not offered.
      int slot = i == 0 ? SlotOfName(desc_, com::Utf8FromUtf16(names[0])) : -1;
      ids[i] = slot < 0 ? com::DISPID_UNKNOWN : desc_.methods[slot].id;
      if (slot < 0) hr = com::DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT Invoke(com::DISPID id, com::REFIID, com::LCID, uint16_t flags, com::DISPPARAMS* params,
                 VARIANT* result, com::EXCEPINFO* ei, uint32_t* arg_err) override {
    if (!OnOwnThread()) return com::RPC_E_WRONG_THREAD;
    int slot = SlotOfDispId(desc_, id);
    if (slot < 0 || !(flags & com::DISPATCH_METHOD)) return com::DISP_E_MEMBERNOTFOUND;
    const MethodDesc& m = desc_.methods[slot];
    uint32_t n = params ? params->cArgs : 0;
    if (params && params->cNamedArgs != 0) return com::DISP_E_PARAMNOTFOUND;
    if (n != m.params.size()) return com::DISP_E_BADPARAMCOUNT;
    std::vector<Variant> args;
    for (uint32_t i = 0; i < n; ++i) {
      VARIANT& raw = params->rgvarg[n - 1 - i];
      try {
        args.push_back(Variant::FromRaw(raw));
      } catch (const com::Error&) {
        if (arg_err) *arg_err = n - 1 - i;
        return com::DISP_E_TYPEMISMATCH;
      }
    }
    Variant ret;
    HRESULT hr = Guard(ei, [&] { ret = invoke_(logic_, slot, args); });
    if (com::Failed(hr)) return hr;
    for (uint32_t i = 0; i < n; ++i)
      if (!m.params[i].by_value) WriteBack(params->rgvarg[n - 1 - i], args[i]);
    if (result != nullptr) {
      com::VariantClear(result);
      if (m.result != PType::None) *result = ret.Detach();
    }
    return com::S_OK;
  }

 protected:
  bool OnOwnThread() const { return std::this_thread::get_id() == thread_; }
  // A vtable call: the same invoker as Invoke, with HRESULTs for errors.
  HRESULT Call(int slot, std::vector<Variant>& args, Variant* ret) {
    if (!OnOwnThread()) return com::RPC_E_WRONG_THREAD;
    return Guard(nullptr, [&] {
      Variant r = invoke_(logic_, slot, args);
      if (ret) *ret = std::move(r);
    });
  }

  // ExtractData by slot: eight values, the by-reference message and the result.
  HRESULT Extract(std::initializer_list<const VARIANT*> in, VARIANT* msg, VARIANT* ret) {
    if (msg == nullptr) return com::E_POINTER;
    std::vector<Variant> args;
    for (const VARIANT* v : in) args.push_back(Variant::FromRaw(*v));
    args.push_back(Variant::FromRaw(*msg));
    Variant r;
    HRESULT hr = Call(0, args, &r);
    if (com::Succeeded(hr)) {
      com::VariantCopy(msg, &args[8].raw());
      if (ret) *ret = r.Detach();
    }
    return hr;
  }

  Logic logic_;

 private:
  const InterfaceDesc& desc_;
  InvokeFn invoke_;
  std::atomic<com::ULONG> refs_{1};
  std::thread::id thread_ = std::this_thread::get_id();
};

// ---------------------------------------------------------------- CashVouch

class CashVouchObject final : public ObjectBase<ICashVouch, cashvouch::CashVouch> {
 public:
  CashVouchObject() : ObjectBase(CashVouchInterface(), &InvokeCashVouch) {}

  HRESULT ExtractData(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5, VARIANT a6,
                      VARIANT a7, VARIANT a8, VARIANT* msg, VARIANT* ret) override {
    return Extract({&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8}, msg, ret);
  }
  HRESULT SetFiscalDate() override { return Plain(1); }
  HRESULT SetDept() override { return Plain(2); }
  HRESULT SetCus() override { return Plain(3); }
  HRESULT SetSup() override { return Plain(4); }
  HRESULT SetPerson() override { return Plain(5); }
  HRESULT SetItem() override { return Plain(6); }
  HRESULT SetJe() override { return Plain(7); }
  HRESULT GetFx(com::BSTR* id, com::BSTR* ret) override {
    std::vector<Variant> a{Variant::Text(com::Utf8FromBstr(id ? *id : nullptr))};
    Variant r;
    HRESULT hr = Call(8, a, &r);
    if (com::Succeeded(hr)) Out(ret, r);
    return hr;
  }
  HRESULT GetCodeFx(com::BSTR* code, com::VARIANT_BOOL* ret) override {
    std::vector<Variant> a{Variant::Text(com::Utf8FromBstr(code ? *code : nullptr))};
    Variant r;
    HRESULT hr = Call(9, a, &r);
    if (com::Succeeded(hr) && ret) *ret = r.ToBool() ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    return hr;
  }
  HRESULT CopyData() override { return Plain(10); }

 private:
  HRESULT Plain(int slot) {
    std::vector<Variant> none;
    return Call(slot, none, nullptr);
  }
};

// ---------------------------------------------------------------- Summary

class SummaryLogic : public summary::Summary {
 public:
  SummaryLogic() : Summary(ThisEdition()) {}
};

class SummaryObject final : public ObjectBase<ISummary, SummaryLogic> {
 public:
  SummaryObject() : ObjectBase(SummaryInterface(ThisEdition()), &Invoke_) {}

  HRESULT ExtractData(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5, VARIANT a6,
                      VARIANT a7, VARIANT a8, VARIANT* msg, VARIANT* ret) override {
    return Extract({&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8}, msg, ret);
  }
  HRESULT CreatEipTable(com::BSTR* name, int16_t* type) override {
    std::vector<Variant> a{Str(name), Variant::I2(type ? *type : 0)};
    return Call(1, a, nullptr);
  }
  HRESULT AddStartAcc(com::BSTR* start) override {
    std::vector<Variant> a{Str(start)};
    HRESULT hr = Call(2, a, nullptr);
    if (com::Succeeded(hr)) Replace(start, a[0]);
    return hr;
  }
  HRESULT GetFiscalDate(com::BSTR* d, com::BSTR* ret) override { return TextCall(3, {Str(d)}, ret); }
  HRESULT GetCodeDc(com::BSTR* code, com::VARIANT_BOOL* ret) override {
    std::vector<Variant> a{Str(code)};
    Variant r;
    HRESULT hr = Call(4, a, &r);
    if (com::Succeeded(hr) && ret) *ret = r.ToBool() ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    return hr;
  }
  HRESULT GetCodeQc(com::BSTR* sql) override {
    std::vector<Variant> a{Str(sql)};
    return Call(5, a, nullptr);
  }
  HRESULT UpdateOneCode(com::IDispatch** rs, com::DATE* d) override {
    std::vector<Variant> a{Rs(rs), Variant::Date(d ? *d : 0)};
    return Call(6, a, nullptr);
  }
  HRESULT UpdateLjLd(com::IDispatch** rs, com::BSTR* day) override {
    std::vector<Variant> a{Rs(rs), Str(day)};
    return Call(7, a, nullptr);
  }
  HRESULT AddLjLd(com::IDispatch** rs, com::BSTR* day) override {
    std::vector<Variant> a{Rs(rs), Str(day)};
    HRESULT hr = Call(8, a, nullptr);
    if (com::Succeeded(hr)) Replace(day, a[1]);
    return hr;
  }
  HRESULT AddOneAcc(com::DATE* d) override {
    std::vector<Variant> a{Variant::Date(d ? *d : 0)};
    return Call(9, a, nullptr);
  }
  HRESULT GetCexchId(VARIANT* name, com::BSTR* ret) override {
    return TextCall(10, {name ? Variant::FromRaw(*name) : Variant()}, ret);
  }
  HRESULT nTOz(VARIANT* v, com::CY* ret) override {
    std::vector<Variant> a{v ? Variant::FromRaw(*v) : Variant()};
    Variant r;
    HRESULT hr = Call(11, a, &r);
    if (com::Succeeded(hr) && ret) ret->int64 = r.ToCurrency().ticks;
    return hr;
  }
  HRESULT GetAccountDay(com::BSTR* period, com::BSTR* se, com::BSTR* ret) override {
    return TextCall(12, {Str(period), Str(se)}, ret);
  }
  HRESULT GetCodeDcValue(com::BSTR* code, com::IDispatch** rs, com::BSTR* m, com::CY* ret) override {
    std::vector<Variant> a{Str(code), Rs(rs), Str(m)};
    Variant r;
    HRESULT hr = Call(13, a, &r);
    if (com::Succeeded(hr) && ret) ret->int64 = r.ToCurrency().ticks;
    return hr;
  }
  HRESULT GetCexchIdFromCode(VARIANT* code, com::BSTR* ret) override {
    return TextCall(14, {code ? Variant::FromRaw(*code) : Variant()}, ret);
  }
  HRESULT GetAccountBeginPeriod(int16_t* ret) override {
    // Not on the compatibility edition's interface: a caller that reaches past its
    // fifteen slots finds no member.
    if (ThisEdition().compat) return com::DISP_E_MEMBERNOTFOUND;
    std::vector<Variant> none;
    Variant r;
    HRESULT hr = Call(15, none, &r);
    if (com::Succeeded(hr) && ret) *ret = r.ToI2();
    return hr;
  }

 private:
  static Variant Invoke_(SummaryLogic& o, int slot, std::vector<Variant>& a) {
    return InvokeSummary(o, slot, a);
  }
  static Variant Str(com::BSTR* p) { return Variant::Text(com::Utf8FromBstr(p ? *p : nullptr)); }
  static Variant Rs(com::IDispatch** p) { return Variant::Dispatch(p ? *p : nullptr); }
  static void Replace(com::BSTR* p, const Variant& v) {
    if (p == nullptr) return;
    com::SysFreeString(*p);
    *p = com::BstrFromUtf8(v.ToText());
  }
  HRESULT TextCall(int slot, std::vector<Variant> a, com::BSTR* ret) {
    Variant r;
    HRESULT hr = Call(slot, a, &r);
    if (com::Succeeded(hr)) Out(ret, r);
    return hr;
  }
};

// ---------------------------------------------------------------- factory

namespace {

class ClassFactory final : public com::IClassFactory {
 public:
  explicit ClassFactory(bool summary) : summary_(summary) {}
  HRESULT QueryInterface(com::REFIID riid, void** ppv) override {
    if (ppv == nullptr) return com::E_POINTER;
    *ppv = nullptr;
    if (riid != com::IID_IUnknown && riid != com::IID_IClassFactory) return com::E_NOINTERFACE;
    AddRef();
    *ppv = this;
    return com::S_OK;
  }
  com::ULONG AddRef() override {
    ++g_live_objects;
    return ++refs_;
  }
  com::ULONG Release() override {
    com::ULONG n = --refs_;
    --g_live_objects;
    if (n == 0) delete this;
    return n;
  }
  HRESULT CreateInstance(com::IUnknown* outer, com::REFIID riid, void** ppv) override {
    if (ppv == nullptr) return com::E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return com::CLASS_E_NOAGGREGATION;
    com::IUnknown* obj = nullptr;
    try {
      if (summary_) obj = new SummaryObject();
      else obj = new CashVouchObject();
    } catch (const std::bad_alloc&) {
      return com::E_OUTOFMEMORY;
    }
    HRESULT hr = obj->QueryInterface(riid, ppv);
    obj->Release();
    return hr;
  }
  HRESULT LockServer(int32_t lock) override {
    if (lock) ++g_server_locks;
    else --g_server_locks;
    return com::S_OK;
  }

 private:
  bool summary_;
  std::atomic<com::ULONG> refs_{0};
};

}  // namespace

HRESULT GetClassObject(com::REFCLSID clsid, com::REFIID riid, void** ppv) {
  if (ppv == nullptr) return com::E_POINTER;
  *ppv = nullptr;
  bool summary;
  if (clsid == editions::kCashVouchClsid) summary = false;
  else if (clsid == ThisEdition().summary_clsid) summary = true;
  else return com::CLASS_E_CLASSNOTAVAILABLE;
  auto* f = new ClassFactory(summary);
  f->AddRef();
  HRESULT hr = f->QueryInterface(riid, ppv);
  f->Release();
  return hr;
}

bool CanUnloadNow() { return g_live_objects.load() == 0 && g_server_locks.load() == 0; }

}  // namespace component
