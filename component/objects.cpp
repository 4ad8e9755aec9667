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

// Runs `f` and maps an exception to an HRESULT. With `ei` (a late-bound call) any
// error is DISP_E_EXCEPTION carrying the description; without it (a vtable call)
// the error's own HRESULT. Nothing escapes across the interface boundary.
template <class F>
HRESULT Guard(com::EXCEPINFO* ei, F&& f) {
  auto fail = [ei](const com::Error& e) {
    if (ei == nullptr) return e.hr();
    com::FillExcepInfo(ei, e);
    return com::DISP_E_EXCEPTION;
  };
  try {
    f();
    return com::S_OK;
  } catch (const com::Error& e) {
    return fail(e);
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return fail(com::Error(com::E_FAIL, e.what(), "Tallyport"));
  } catch (...) {
    return com::E_UNEXPECTED;
  }
}

// Brings an argument to its declared type, as automation does before a typed
// call; throws "Type mismatch" (or the conversion's own error) when it cannot.
Variant Coerce(const Variant& v, PType t) {
  switch (t) {
    case PType::Text: return Variant::Text(v.ToText());
    case PType::I2: return Variant::I2(v.ToI2());
    case PType::Bool: return Variant::Bool(v.ToBool());
    case PType::Currency: return Variant::Cy(v.ToCurrency());
    case PType::Date: return Variant::Date(v.ToDate());
    case PType::Recordset: RecordsetOf(v); return v;
    case PType::Variant:
    case PType::None: return v;
  }
  return v;
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

void Copy(VARIANT* dst, const Variant& value) {
  com::HRESULT hr = com::VariantCopy(dst, &value.raw());
  if (com::Failed(hr)) throw com::Error(hr, "Type mismatch");
}

// Writes an updated by-reference argument back into the caller's variant.
void WriteBack(VARIANT& dst, const Variant& value) {
  if (dst.vt == (com::VT_BYREF | com::VT_VARIANT) && dst.pvarVal != nullptr) {
    Copy(dst.pvarVal, value);
  } else if (dst.vt == (com::VT_BYREF | com::VT_BSTR) && dst.pbstrVal != nullptr) {
    com::BSTR fresh = com::BstrFromUtf8(value.IsNull() ? "" : value.ToText());
    com::SysFreeString(*dst.pbstrVal);
    *dst.pbstrVal = fresh;
  } else if (dst.vt == (com::VT_BYREF | com::VT_I2) && dst.piVal != nullptr) {
    *dst.piVal = value.ToI2();
  }
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
    if (n > 0 && params->rgvarg == nullptr) return com::E_INVALIDARG;
    // Arguments arrive last first. A typed parameter that cannot take its argument
    // is a type mismatch of the call, reported with the argument's position.
    Args args;
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t pos = n - 1 - i;
      HRESULT hr = Guard(nullptr, [&] {
        args.push_back(Coerce(Variant::FromRaw(params->rgvarg[pos]), m.params[i].type));
      });
      if (hr == com::E_OUTOFMEMORY) return hr;
      if (com::Failed(hr)) {
        if (arg_err) *arg_err = pos;
        return com::DISP_E_TYPEMISMATCH;
      }
    }
    Variant ret;
    return Guard(ei, [&] {
      ret = invoke_(logic_, slot, args);
      for (uint32_t i = 0; i < n; ++i)
        if (!m.params[i].by_value) WriteBack(params->rgvarg[n - 1 - i], args[i]);
      if (result != nullptr) {
        com::VariantClear(result);
        if (m.result != PType::None) *result = ret.Detach();
      }
    });
  }

 protected:
  using Args = std::vector<Variant>;

  bool OnOwnThread() const { return std::this_thread::get_id() == thread_; }

  // A vtable call through the same invoker as Invoke: `build` makes the arguments,
  // `finish` stores the result and by-reference values. Errors become HRESULTs.
  template <class Build, class Finish>
  HRESULT Call(int slot, Build&& build, Finish&& finish) {
    if (!OnOwnThread()) return com::RPC_E_WRONG_THREAD;
    return Guard(nullptr, [&] {
      Args a = build();
      Variant r = invoke_(logic_, slot, a);
      finish(a, r);
    });
  }
  template <class Build>
  HRESULT Run(int slot, Build&& build) {
    return Call(slot, build, [](Args&, Variant&) {});
  }
  HRESULT Plain(int slot) {
    return Run(slot, [] { return Args{}; });
  }
  template <class Build, class T>
  HRESULT Get(int slot, Build&& build, T* out) {
    return Call(slot, build, [out](Args&, Variant& r) { Out(out, r); });
  }

  // VARIANT_BOOL is a 16-bit integer too, so a boolean result has its own helper.
  template <class Build>
  HRESULT GetBool(int slot, Build&& build, com::VARIANT_BOOL* out) {
    return Call(slot, build, [out](Args&, Variant& r) {
      if (out) *out = r.ToBool() ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    });
  }

  // ExtractData by slot: eight values, the by-reference message and the result.
  HRESULT Extract(std::initializer_list<const VARIANT*> in, VARIANT* msg, VARIANT* ret) {
    if (msg == nullptr) return com::E_POINTER;
    return Call(
        0,
        [&] {
          Args a;
          for (const VARIANT* v : in) a.push_back(Variant::FromRaw(*v));
          a.push_back(Variant::FromRaw(*msg));
          return a;
        },
        [&](Args& a, Variant& r) {
          Copy(msg, a[8]);
          if (ret) *ret = r.Detach();
        });
  }

  static Variant Str(com::BSTR* p) { return Variant::Text(com::Utf8FromBstr(p ? *p : nullptr)); }
  static Variant Rs(com::IDispatch** p) { return Variant::Dispatch(p ? *p : nullptr); }
  static Variant Var(VARIANT* p) { return p ? Variant::FromRaw(*p) : Variant(); }
  // Typed results of vtable calls; a null pointer means the caller wants none.
  static void Out(com::BSTR* p, const Variant& v) {
    if (p) *p = com::BstrFromUtf8(v.ToText());
  }
  static void Out(com::CY* p, const Variant& v) {
    if (p) p->int64 = v.ToCurrency().ticks;
  }
  static void Out(int16_t* p, const Variant& v) {
    if (p) *p = v.ToI2();
  }
  // A by-reference text the method may have changed.
  static void Replace(com::BSTR* p, const Variant& v) {
    if (p == nullptr) return;
    com::BSTR fresh = com::BstrFromUtf8(v.ToText());
    com::SysFreeString(*p);
    *p = fresh;
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
    return Get(8, [&] { return Args{Str(id)}; }, ret);
  }
  HRESULT GetCodeFx(com::BSTR* code, com::VARIANT_BOOL* ret) override {
    return GetBool(9, [&] { return Args{Str(code)}; }, ret);
  }
  HRESULT CopyData() override { return Plain(10); }
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
    return Run(1, [&] { return Args{Str(name), Variant::I2(type ? *type : 0)}; });
  }
  HRESULT AddStartAcc(com::BSTR* start) override {
    return Call(2, [&] { return Args{Str(start)}; }, [&](Args& a, Variant&) { Replace(start, a[0]); });
  }
  HRESULT GetFiscalDate(com::BSTR* d, com::BSTR* ret) override {
    return Get(3, [&] { return Args{Str(d)}; }, ret);
  }
  HRESULT GetCodeDc(com::BSTR* code, com::VARIANT_BOOL* ret) override {
    return GetBool(4, [&] { return Args{Str(code)}; }, ret);
  }
  HRESULT GetCodeQc(com::BSTR* sql) override {
    return Run(5, [&] { return Args{Str(sql)}; });
  }
  HRESULT UpdateOneCode(com::IDispatch** rs, com::DATE* d) override {
    return Run(6, [&] { return Args{Rs(rs), Variant::Date(d ? *d : 0)}; });
  }
  HRESULT UpdateLjLd(com::IDispatch** rs, com::BSTR* day) override {
    return Run(7, [&] { return Args{Rs(rs), Str(day)}; });
  }
  HRESULT AddLjLd(com::IDispatch** rs, com::BSTR* day) override {
    return Call(8, [&] { return Args{Rs(rs), Str(day)}; },
                [&](Args& a, Variant&) { Replace(day, a[1]); });
  }
  HRESULT AddOneAcc(com::DATE* d) override {
    return Run(9, [&] { return Args{Variant::Date(d ? *d : 0)}; });
  }
  HRESULT GetCexchId(VARIANT* name, com::BSTR* ret) override {
    return Get(10, [&] { return Args{Var(name)}; }, ret);
  }
  HRESULT nTOz(VARIANT* v, com::CY* ret) override {
    return Get(11, [&] { return Args{Var(v)}; }, ret);
  }
  HRESULT GetAccountDay(com::BSTR* period, com::BSTR* se, com::BSTR* ret) override {
    return Get(12, [&] { return Args{Str(period), Str(se)}; }, ret);
  }
  HRESULT GetCodeDcValue(com::BSTR* code, com::IDispatch** rs, com::BSTR* m, com::CY* ret) override {
    return Get(13, [&] { return Args{Str(code), Rs(rs), Str(m)}; }, ret);
  }
  HRESULT GetCexchIdFromCode(VARIANT* code, com::BSTR* ret) override {
    return Get(14, [&] { return Args{Var(code)}; }, ret);
  }
  HRESULT GetAccountBeginPeriod(int16_t* ret) override {
    // Not on the compatibility edition's interface: a caller that reaches past its
    // fifteen slots finds no member.
    if (ThisEdition().compat) return com::DISP_E_MEMBERNOTFOUND;
    return Get(15, [] { return Args{}; }, ret);
  }

 private:
  static Variant Invoke_(SummaryLogic& o, int slot, Args& a) { return InvokeSummary(o, slot, a); }
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
