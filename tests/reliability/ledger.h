// Small ledgers for the reliability tests, the way to copy a prepared server, and
// what a run leaves in the analysis database as comparable rows.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "com/comptr.h"
#include "com/variant.h"
#include "tests/support/fixture.h"

namespace reliability {

using testsupport::EmbeddedServer;
using testsupport::Rows;

// A few cash-flow lines in March 2006 (and one in April) with names of every kind.
void FillCashLedger(const EmbeddedServer& s);
// The same lines and names on an account set that already has accounts 1001 and 2202.
void AddCashLines(const EmbeddedServer& s);
// Accounts of each kind with balances for periods 1 and 3, a ledger started on
// 2006-03-01, and posted vouchers on 2006-03-01..03. The server procedures of the
// compatibility edition are installed in olap.
void FillBalanceLedger(const EmbeddedServer& s);

// Replaces everything in `to` with a copy of the files of `from`.
void CopyServer(const std::string& from, const std::string& to);

// The rows of a table without its generated ID column, sorted; empty when the
// table does not exist.
Rows TableRows(const EmbeddedServer& s, const std::string& db, const std::string& table);
// Names of the tables of a database, sorted.
std::vector<std::string> Tables(const EmbeddedServer& s, const std::string& db);

// Every database file of the server passes SQLite's integrity check.
void ExpectServerSound(const EmbeddedServer& s, const std::string& context);

// A directory link with a short name: the compatibility edition's procedures take
// the server name in 20 characters. Removed on destruction.
class ShortLink {
 public:
  explicit ShortLink(const std::string& target);
  ~ShortLink();
  ShortLink(const ShortLink&) = delete;
  ShortLink& operator=(const ShortLink&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// ExtractData through IDispatch, as a late-binding host calls it: eight values and
// sErrorMsg by reference.
struct CallResult {
  bool failed_call = false;  // the call itself failed (HRESULT)
  int result = -1;           // the Variant result, when the call succeeded
  std::string message;       // sErrorMsg afterwards, or the exception's text
};
CallResult CallExtract(com::IDispatch* obj, const std::vector<std::string>& values,
                       const std::string& message_in = "");
// The eight values of an extraction against one embedded server.
std::vector<std::string> ExtractValues(const EmbeddedServer& s, const std::string& begin,
                                       const std::string& end);

}  // namespace reliability
