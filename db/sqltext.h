// The only ways a value enters a statement or a connection string. Each helper is
// one crossing: text literals (apostrophes doubled), dates, amounts, and
// connection-string values. For values without an apostrophe the statements are
// exactly the ones the component defines.
#pragma once

#include <string>
#include <string_view>

#include "com/variant.h"

namespace db {

// The body of a quoted SQL literal: every ' doubled. The caller's fragment
// supplies the surrounding quotes, as the component's statements do.
std::string SqlText(std::string_view value);
// A variant as literal body: Null and Empty give "", anything else its text.
std::string SqlText(const com::Variant& value);

// A date as SQL Server reads it under any language setting: "YYYYMMDD", with
// " hh:mm:ss" appended when the time is not midnight. The embedded engine reads
// the same forms.
std::string SqlDate(com::DATE d);
// A date text (host argument or stored value): parsed once with ParseDateText and
// written by SqlDate. Throws com::Error "Type mismatch" when it is not a date.
std::string SqlDate(std::string_view date_text);

// An amount as plain decimal text: "100", "-12.5", "0.0001".
std::string SqlAmount(com::Currency c);
// A stored amount as read (number, decimal or numeric text) written exactly; Null
// and Empty give "" (the statement then fails on the server, as it should).
std::string SqlAmount(const com::Variant& value);

// A name spliced into a statement where no literal can stand (a table's name made
// from a value, a database named inside a remote query): returned as is when it is
// a plain name (letters, digits, _ @ # $), otherwise db::Error "Invalid object name
// '<shown>'.", so that a name can never end itself and change the statement.
std::string SqlName(std::string_view name, std::string_view shown);

// A connection-string value: written as is unless it contains ';', '{' or '}' (or
// leading/trailing blanks), in which case it is braced with '}' doubled, so a value
// can never add a keyword.
std::string ConnValue(std::string_view value);

}  // namespace db
