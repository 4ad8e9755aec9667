// The crossings of values into statements and connection strings. Every statement
// of the extraction takes its values through these helpers only.
#include "db/sqltext.h"

#include <cctype>

#include "com/error.h"
#include "db/ado.h"

namespace db {

std::string SqlText(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  return out;
}

std::string SqlText(const com::Variant& value) {
  if (value.IsNull() || value.IsEmpty()) return "";
  return SqlText(value.ToText());
}

std::string SqlDate(com::DATE d) { return com::FormatDate(d, true, false); }

std::string SqlDate(std::string_view date_text) {
  auto d = com::ParseDateText(date_text);
  if (!d) com::ThrowTypeMismatch();
  return SqlDate(*d);
}

std::string SqlAmount(com::Currency c) { return c.ToText(); }

std::string SqlAmount(const com::Variant& value) {
  switch (value.type()) {
    case com::VT_NULL:
    case com::VT_EMPTY:
      return "";
    case com::VT_DECIMAL:
      return com::DecimalToText(com::Variant::FromRaw(value.raw()).raw().decVal);
    case com::VT_BSTR: {
      // A stored amount read as text must still be a plain number.
      auto d = com::DecimalFromText(value.ToText());
      if (!d) com::ThrowTypeMismatch();
      return com::DecimalToText(*d);
    }
    case com::VT_BOOL:
      return value.ToBool() ? "-1" : "0";  // the automation run-time's number for True
    case com::VT_I2:
    case com::VT_I4:
    case com::VT_I8:
    case com::VT_R8:  // shortest text that reads back as the same double
    case com::VT_CY:
      return value.ToText();
    default:
      // A date or an object is no amount: written as text it would become arithmetic.
      com::ThrowTypeMismatch();
  }
}

std::string ConnValue(std::string_view value) {
  auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  bool brace = value.find_first_of(";{}") != std::string_view::npos ||
               (!value.empty() && (blank(value.front()) || blank(value.back())));
  if (!brace) return std::string(value);
  std::string out = "{";
  for (char c : value) {
    out.push_back(c);
    if (c == '}') out.push_back('}');
  }
  return out + "}";
}

std::string SqlName(std::string_view name, std::string_view shown) {
  bool plain = !name.empty();
  for (unsigned char ch : name)
    plain = plain && (ch >= 0x80 || std::isalnum(ch) || ch == '_' || ch == '@' || ch == '#' || ch == '$');
  if (!plain) throw Error("Invalid object name '" + std::string(shown) + "'.", 208, "42S02");
  return std::string(name);
}

}  // namespace db
