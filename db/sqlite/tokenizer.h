// The T-SQL tokenizer of the dialect layer: identifiers (plain, [bracketed],
// "quoted"), numbers, '...' and N'...' literals with '' escapes, operators and
// punctuation. Comments and whitespace separate tokens and are dropped, so a
// comment can never change how the rest of a statement is read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace db::sqlite {

struct Token {
  enum class Kind { Ident, Number, Text, NText, Op };
  Kind kind;
  std::string text;  // identifiers unquoted; literals with '' undoubled; operators as written
  bool quoted = false;  // a [bracketed] or "quoted" identifier: never a keyword
};

// Throws db::Error with SQL Server's text for an unterminated literal or comment,
// or a character outside the language.
std::vector<Token> Tokenize(std::string_view sql);

}  // namespace db::sqlite
