// The ADO-shaped layer over the engine seam: connections, snapshot recordsets read
// through a RowSpool, write-back of updatable rows, and stored-procedure commands.
// Statement tracing for --trace lives here too, with passwords masked.
#include "db/ado.h"

#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "db/engine.h"
#include "db/spool.h"
#include "db/trace.h"

namespace db {

// ---------------------------------------------------------------- Connection

Connection::Connection() = default;
Connection::~Connection() = default;

void Connection::Open(const std::string& connection_text) {
  TraceStatement(connection_text);
  session_.reset();
  session_ = OpenSession(connection_text);
  session_->SetCommandTimeout(command_timeout_);
}

bool Connection::IsOpen() const { return session_ != nullptr; }

void Connection::SetCommandTimeout(int seconds) {
  command_timeout_ = seconds;
  if (session_) session_->SetCommandTimeout(seconds);
}

void Connection::Execute(const std::string& sql) {
  TraceStatement(sql);
  session().Execute(sql);
}

void Connection::Close() { session_.reset(); }

Session& Connection::session() {
  if (!session_) throw Error("Operation is not allowed when the object is closed.");
  return *session_;
}

// ---------------------------------------------------------------- Recordset

namespace {

// Our private interface id: the C++ object behind a recordset's IDispatch.
const com::IID kIidRecordset = com::GuidFromString("{9B2C6E4A-1F37-4C58-8D0E-7A6B5C4D3E21}");

[[noreturn]] void NoCurrentRecord() {
  throw Error(
      "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
      "requires a current record.");
}

}  // namespace

struct Recordset::State {
  int lock_type = -1;
  bool open = false;
  bool eof = true;
  Connection* cn = nullptr;
  std::vector<std::string> columns;
  std::unique_ptr<RowSpool> spool;
  std::vector<com::Variant> row;  // columns, then the key values of an updatable row
  bool updatable = false;
  UpdateTarget target;
  std::map<size_t, com::Variant> changes;

  size_t Index(std::string_view name) const {
    for (size_t i = 0; i < columns.size(); ++i)
      if (columns[i].size() == name.size() &&
          strncasecmp(columns[i].c_str(), name.data(), name.size()) == 0)
        return i;
    throw Error(
        "Item cannot be found in the collection corresponding to the requested name or "
        "ordinal.");
  }
  void Advance() {
    changes.clear();
    eof = !spool->Next(&row);
  }
};

Recordset::Recordset() : s_(std::make_unique<State>()) {}
Recordset::~Recordset() = default;

com::ComPtr<Recordset> Recordset::Create() { return com::ComPtr<Recordset>::Adopt(new Recordset()); }

Recordset* Recordset::FromDispatch(com::IDispatch* d) {
  if (d == nullptr) com::ThrowTypeMismatch();
  void* p = nullptr;
  if (com::Failed(d->QueryInterface(kIidRecordset, &p)) || p == nullptr) com::ThrowTypeMismatch();
  auto* rs = static_cast<Recordset*>(p);
  rs->Release();  // the caller's reference keeps it alive
  return rs;
}

void Recordset::SetLockType(int lock_type) {
  if (s_->open) throw Error("Operation is not allowed when the object is open.");
  s_->lock_type = lock_type;
}

void Recordset::Open(const std::string& sql, Connection& cn, int, int lock_type, int) {
  if (s_->open) throw Error("Operation is not allowed when the object is open.");
  TraceStatement(sql);
  if (lock_type != -1) s_->lock_type = lock_type;
  s_->updatable = s_->lock_type == 3;
  s_->target = {};
  std::unique_ptr<Cursor> cursor = s_->updatable ? cn.session().QueryForUpdate(sql, &s_->target)
                                                 : cn.session().Query(sql);
  auto spool = std::make_unique<RowSpool>(RowSpool::DefaultMemoryRows());
  std::vector<com::Variant> row;
  while (cursor->Next(&row)) spool->Append(std::move(row));
  s_->columns = cursor->columns();
  cursor.reset();  // the engine's statement ends before the caller runs another
  spool->Finish();
  s_->spool = std::move(spool);
  s_->cn = &cn;
  s_->open = true;
  s_->Advance();
}

bool Recordset::IsOpen() const { return s_->open; }

bool Recordset::Eof() const {
  if (!s_->open) throw Error("Operation is not allowed when the object is closed.");
  return s_->eof;
}

com::Variant Recordset::Field(std::string_view name) const {
  if (!s_->open) throw Error("Operation is not allowed when the object is closed.");
  size_t i = s_->Index(name);
  if (s_->eof) NoCurrentRecord();
  auto it = s_->changes.find(i);
  return it != s_->changes.end() ? it->second : s_->row[i];
}

void Recordset::Collect(std::string_view name, const com::Variant& value) {
  if (!s_->open) throw Error("Operation is not allowed when the object is closed.");
  if (!s_->updatable) throw Error("Current Recordset does not support updating. This may be a limitation of the provider, or of the selected locktype.");
  size_t i = s_->Index(name);
  if (s_->eof) NoCurrentRecord();
  s_->changes[i] = value;
}

void Recordset::Update() {
  if (!s_->open) throw Error("Operation is not allowed when the object is closed.");
  if (!s_->updatable) throw Error("Current Recordset does not support updating. This may be a limitation of the provider, or of the selected locktype.");
  if (s_->eof) NoCurrentRecord();
  if (s_->changes.empty()) return;
  // The trace shows the component's own statements; a write-back is counted only.
  CountOperation();
  std::vector<com::Variant> key(s_->row.begin() + static_cast<long>(s_->columns.size()), s_->row.end());
  std::vector<std::pair<std::string, com::Variant>> changes;
  for (const auto& [i, v] : s_->changes) changes.emplace_back(s_->columns[i], v);
  s_->cn->session().UpdateRow(s_->target, key, changes);
  for (const auto& [i, v] : s_->changes) s_->row[i] = v;
  s_->changes.clear();
}

void Recordset::MoveNext() {
  if (!s_->open) throw Error("Operation is not allowed when the object is closed.");
  if (s_->eof) NoCurrentRecord();
  CountOperation();
  s_->Advance();
}

void Recordset::Close() {
  if (!s_->open) throw Error("Operation is not allowed when the object is closed.");
  s_->spool.reset();
  s_->row.clear();
  s_->changes.clear();
  s_->columns.clear();
  s_->open = false;
  s_->eof = true;
}

com::HRESULT Recordset::QueryInterface(com::REFIID riid, void** ppv) {
  if (ppv == nullptr) return com::E_POINTER;
  *ppv = nullptr;
  if (riid != com::IID_IUnknown && riid != com::IID_IDispatch && riid != kIidRecordset)
    return com::E_NOINTERFACE;
  AddRef();
  *ppv = this;
  return com::S_OK;
}
com::ULONG Recordset::AddRef() { return ++refs_; }
com::ULONG Recordset::Release() {
  com::ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}
com::HRESULT Recordset::GetTypeInfoCount(uint32_t* n) {
  if (n) *n = 0;
  return com::S_OK;
}
com::HRESULT Recordset::GetTypeInfo(uint32_t, com::LCID, com::ITypeInfo**) { return com::E_NOTIMPL; }
com::HRESULT Recordset::GetIDsOfNames(com::REFIID, com::OLECHAR**, uint32_t, com::LCID,
                                      com::DISPID*) {
  return com::DISP_E_UNKNOWNNAME;
}
com::HRESULT Recordset::Invoke(com::DISPID, com::REFIID, com::LCID, uint16_t, com::DISPPARAMS*,
                               com::VARIANT*, com::EXCEPINFO*, uint32_t*) {
  return com::DISP_E_MEMBERNOTFOUND;
}

// ---------------------------------------------------------------- Command

Command::Parameter Command::CreateParameter(std::string name, int type, int direction, int size,
                                            com::Variant value) {
  return {std::move(name), type, direction, size, std::move(value)};
}

void Command::Execute() {
  if (cn_ == nullptr) throw Error("The connection cannot be used to perform this operation. It is either closed or invalid in this context.");
  if (type_ != 4) throw Error("unsupported command type " + std::to_string(type_));
  std::vector<ProcParam> params;
  std::string trace = "exec " + text_;
  for (const auto& p : params_) {
    ProcParam pp{p.name, "", p.value.IsNull()};
    if (!pp.is_null) pp.value = p.value.ToText();
    // A value longer than the declared size is refused, never cut silently.
    size_t chars = com::Utf16FromUtf8(pp.value).size();
    if (p.size > 0 && chars > static_cast<size_t>(p.size))
      throw Error("String or binary data would be truncated. (parameter " + p.name + ", size " +
                  std::to_string(p.size) + ")", 8152, "22001");
    trace += (params.empty() ? " " : ", ") + p.name + "=" +
             (strcasecmp(p.name.c_str(), "@sAccPwd") == 0 ? std::string("'***'") : "'" + pp.value + "'");
    params.push_back(std::move(pp));
  }
  TraceStatement(trace);
  cn_->session().CallProcedure(text_, params, timeout_);
}

}  // namespace db
