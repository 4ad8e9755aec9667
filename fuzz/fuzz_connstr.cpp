// Fuzzes the connection-string builder: whatever server, password and database
// hold, reading the string back gives exactly those values and no other keyword.
#include <cstdlib>
#include <string>

#include "db/connstr.h"
#include "db/conventions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  // Three values separated by NUL bytes.
  std::string parts[3];
  int k = 0;
  for (char c : in) {
    if (c == '\0' && k < 2) ++k;
    else parts[k].push_back(c);
  }
  for (auto cls : {db::ClassKind::CashVouch, db::ClassKind::Summary})
    for (auto role : {db::Role::Acc, db::Role::Olap, db::Role::Sys}) {
      std::string s = db::ConnectionString(cls, role, parts[0], parts[1], parts[2]);
      auto pairs = db::ParseConnectionString(s);
      if (!pairs) std::abort();
      if (pairs->size() != 5) std::abort();
      if (db::ConnGet(*pairs, "SERVER") != parts[0]) std::abort();
      if (db::ConnGet(*pairs, "PWD") != parts[1]) std::abort();
      if (role != db::Role::Sys && db::ConnGet(*pairs, "DATABASE") != parts[2]) std::abort();
    }
  return 0;
}
