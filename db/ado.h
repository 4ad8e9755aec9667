// The ADO-shaped data-access layer: exactly the operations the extraction relies on
// (Connection, Recordset, Fields, Command), over two engines chosen from the
// connection text: the embedded engine (SERVER= names an existing directory) and
// SQL Server through ODBC (any other server name).
//
// Every failure throws db::Error carrying the engine's or driver's message text.
// A recordset sees its rows as they stood when it was opened, whatever the caller
// executes on the same connection while walking it; rows are streamed (spilled to a
// temporary file past a small buffer), never all held in memory.
// Objects are used on one thread; separate connections may live on separate threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/comptr.h"
#include "com/error.h"
#include "com/variant.h"

namespace db {

class Session;  // engine seam, db/engine.h
class RowSpool;

// A database failure: the engine's message, its native number and SQLSTATE.
class Error : public com::Error {
 public:
  Error(std::string message, int native = 0, std::string sqlstate = {})
      : com::Error(com::E_FAIL, std::move(message), "Tallyport data access"),
        native_(native),
        sqlstate_(std::move(sqlstate)) {}
  int native() const { return native_; }
  const std::string& sqlstate() const { return sqlstate_; }

 private:
  int native_;
  std::string sqlstate_;
};

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens with the whole connection text (credentials travel inside it).
  // Throws db::Error with the server's text (login failed, database missing, ...).
  void Open(const std::string& connection_text);
  bool IsOpen() const;
  // Seconds; 0 means no limit. Applies to later statements.
  void SetCommandTimeout(int seconds);
  // Runs one statement; any rows it returns are discarded.
  void Execute(const std::string& sql);
  void Close();

  Session& session();  // throws db::Error when not open

 private:
  std::unique_ptr<Session> session_;
  int command_timeout_ = 30;
};

// A recordset is a COM object so that it can travel through IDispatch (as the
// recordset parameters of the surface do); the component reaches the C++ object
// behind a VT_DISPATCH argument with Recordset::FromDispatch.
class Recordset final : public com::IDispatch {
 public:
  static com::ComPtr<Recordset> Create();
  // The Recordset behind an IDispatch made by Create(); throws "Type mismatch"
  // for any other object.
  static Recordset* FromDispatch(com::IDispatch* d);

  // 3 (optimistic) makes the next Open updatable; must be set before Open.
  void SetLockType(int lock_type);
  // Positions on the first row. cursor_type 2 (dynamic) or -1; lock and options -1.
  // An updatable open needs a single-table "select * from T" query.
  void Open(const std::string& sql, Connection& cn, int cursor_type = -1, int lock_type = -1,
            int options = -1);
  bool IsOpen() const;
  bool Eof() const;
  // The named column of the current row, matched without regard to case.
  // No current row: throws "Either BOF or EOF is True, or the current record has
  // been deleted. Requested operation requires a current record."
  // Unknown name: throws "Item cannot be found in the collection corresponding to
  // the requested name or ordinal."
  com::Variant Field(std::string_view name) const;
  // Sets a column of the current row (updatable recordsets only).
  void Collect(std::string_view name, const com::Variant& value);
  // Writes the current row's changed columns back to the table.
  void Update();
  void MoveNext();
  void Close();

  // IUnknown / IDispatch (the dispatch members answer nothing: the recordset
  // is a value that travels, not a scripting object).
  com::HRESULT QueryInterface(com::REFIID riid, void** ppv) override;
  com::ULONG AddRef() override;
  com::ULONG Release() override;
  com::HRESULT GetTypeInfoCount(uint32_t* n) override;
  com::HRESULT GetTypeInfo(uint32_t, com::LCID, com::ITypeInfo**) override;
  com::HRESULT GetIDsOfNames(com::REFIID, com::OLECHAR**, uint32_t, com::LCID,
                             com::DISPID*) override;
  com::HRESULT Invoke(com::DISPID, com::REFIID, com::LCID, uint16_t, com::DISPPARAMS*,
                      com::VARIANT*, com::EXCEPINFO*, uint32_t*) override;

 private:
  Recordset();
  ~Recordset();
  struct State;
  std::unique_ptr<State> s_;
  uint32_t refs_ = 1;
};

// Stored-procedure call (compatibility edition): parameters of type 200 (text),
// direction 1 (input), with a declared size that a longer value may not exceed.
class Command {
 public:
  struct Parameter {
    std::string name;
    int type = 200;
    int direction = 1;
    int size = 0;
    com::Variant value;
  };
  void SetActiveConnection(Connection* cn) { cn_ = cn; }
  void SetCommandTimeout(int seconds) { timeout_ = seconds; }
  void SetCommandType(int type) { type_ = type; }  // 4: stored procedure
  void SetCommandText(std::string text) { text_ = std::move(text); }
  static Parameter CreateParameter(std::string name, int type, int direction, int size,
                                   com::Variant value);
  void Append(Parameter p) { params_.push_back(std::move(p)); }
  // Runs the procedure. A value longer than its parameter's size fails with
  // "String or binary data would be truncated." naming the parameter.
  void Execute();

 private:
  Connection* cn_ = nullptr;
  int timeout_ = 30;
  int type_ = 4;
  std::string text_;
  std::vector<Parameter> params_;
};

}  // namespace db
