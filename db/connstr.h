// Reading a connection string the way ODBC does: "key=value" pairs separated by
// ';', keys without regard to case, a value in braces may hold ';' and '{', with
// "}}" standing for '}'. The inverse of the writing done through ConnValue.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace db {

// The error text for a string ParseConnectionString refuses.
inline constexpr const char* kMalformedConnectionString =
    "The connection string is malformed: an unclosed brace, text after a closing brace, or a "
    "pair without a key.";

using ConnPairs = std::vector<std::pair<std::string, std::string>>;

// The pairs in order; nullopt for a malformed string (unclosed brace, text after a
// closing brace, an empty key).
std::optional<ConnPairs> ParseConnectionString(std::string_view text);

// The value of `key` (case-insensitive); the first occurrence wins, as ODBC reads it.
std::optional<std::string> ConnGet(const ConnPairs& pairs, std::string_view key);

}  // namespace db
