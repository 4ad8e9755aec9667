// Tokenizer and plan shapes of the dialect layer. The shape of a statement is its
// token sequence with literals replaced by "?", so statements that differ only in
// their values share one translation and one prepared statement.
#include "db/sqlite/tokenizer.h"

#include <strings.h>

#include "db/ado.h"
#include "db/sqlite/dialect.h"
#include "db/sqltext.h"

namespace db::sqlite {
namespace {

bool IdentStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '@' || c == '#' ||
         c >= 0x80;
}
bool IdentPart(unsigned char c) { return IdentStart(c) || (c >= '0' && c <= '9') || c == '$'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

std::string BracketIdent(const std::string& name) {
  std::string out = "[";
  for (char c : name) {
    out.push_back(c);
    if (c == ']') out.push_back(']');
  }
  return out + "]";
}

bool Is(const Token& t, Token::Kind kind, const char* text) { return t.kind == kind && t.text == text; }

// Whether the "-" at toks[i] is a sign rather than a subtraction: it follows an
// operator other than ")" or a keyword that an operand follows, or begins the text.
bool UnaryPosition(const std::vector<Token>& toks, size_t i) {
  if (i == 0) return true;
  const Token& p = toks[i - 1];
  if (p.kind == Token::Kind::Op) return p.text != ")";
  if (p.kind != Token::Kind::Ident || p.quoted) return false;
  static const char* kWords[] = {"select", "where", "and", "or", "not", "values", "set", "on",
                                 "when", "then", "else", "by", "is", "return", "top"};
  for (const char* w : kWords)
    if (strcasecmp(p.text.c_str(), w) == 0) return true;
  return false;
}

}  // namespace

std::vector<Token> Tokenize(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  const size_t n = s.size();
  bool rowset_seen = false;
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '-' && i + 1 < n && s[i + 1] == '-') {
      while (i < n && s[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      size_t end = s.find("*/", i + 2);
      if (end == std::string_view::npos) throw Error("Missing end comment mark '*/'.", 113);
      i = end + 2;
    } else if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < n && s[i + 1] == '\'')) {
      bool national = c != '\'';
      size_t start = i + (national ? 2 : 1);
      std::string text;
      size_t j = start;
      for (;;) {
        // The rest of the text is echoed as SQL Server does, unless it may hold
        // an OPENROWSET login.
        if (j >= n)
          throw Error("Unclosed quotation mark after the character string '" +
                          (rowset_seen ? std::string() : std::string(s.substr(start))) + "'.",
                      105);
        if (s[j] == '\'') {
          if (j + 1 < n && s[j + 1] == '\'') {
            text.push_back('\'');
            j += 2;
            continue;
          }
          break;
        }
        text.push_back(s[j++]);
      }
      out.push_back({national ? Token::Kind::NText : Token::Kind::Text, std::move(text)});
      i = j + 1;
    } else if (Digit(static_cast<char>(c)) || (c == '.' && i + 1 < n && Digit(s[i + 1]))) {
      size_t j = i;
      while (j < n && (Digit(s[j]) || s[j] == '.')) ++j;
      if (j < n && (s[j] == 'e' || s[j] == 'E')) {
        size_t k = j + 1;
        if (k < n && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < n && Digit(s[k])) {
          j = k;
          while (j < n && Digit(s[j])) ++j;
        }
      }
      out.push_back({Token::Kind::Number, std::string(s.substr(i, j - i))});
      i = j;
    } else if (IdentStart(c)) {
      size_t j = i;
      while (j < n && IdentPart(static_cast<unsigned char>(s[j]))) ++j;
      out.push_back({Token::Kind::Ident, std::string(s.substr(i, j - i))});
      rowset_seen = rowset_seen || strcasecmp(out.back().text.c_str(), "openrowset") == 0;
      i = j;
    } else if (c == '[' || c == '"') {
      // ]] inside brackets and "" inside quotes stand for the closing character.
      const char close = c == '[' ? ']' : '"';
      std::string name;
      size_t j = i + 1;
      for (;;) {
        if (j >= n)
          throw Error("Unclosed quotation mark before the character string '" +
                          std::string(s.substr(i + 1)) + "'.",
                      1038);
        if (s[j] == close) {
          if (j + 1 < n && s[j + 1] == close) {
            name.push_back(close);
            j += 2;
            continue;
          }
          break;
        }
        name.push_back(s[j++]);
      }
      if (name.empty()) throw Error("An object or column name is missing or empty.", 1038);
      out.push_back({Token::Kind::Ident, std::move(name), true});
      i = j + 1;
    } else {
      static const char* kTwo[] = {"<=", ">=", "<>", "!=", "!<", "!>"};
      std::string op(1, static_cast<char>(c));
      for (const char* t : kTwo)
        if (i + 1 < n && s[i] == t[0] && s[i + 1] == t[1]) op = t;
      if (op.size() == 1 && std::string_view("=<>+-*/%,().;?").find(static_cast<char>(c)) ==
                                std::string_view::npos)
        throw Error("Incorrect syntax near '" + op + "'.", 102);
      out.push_back({Token::Kind::Op, op});
      i += op.size();
    }
  }
  return out;
}

Shape Normalize(std::string_view tsql) {
  std::vector<Token> toks = Tokenize(tsql);
  Shape shape;
  // DDL is translated whole: its literals shape the table, they are not values.
  bool ddl = !toks.empty() && toks[0].kind == Token::Kind::Ident && !toks[0].quoted &&
             (strcasecmp(toks[0].text.c_str(), "create") == 0 ||
              strcasecmp(toks[0].text.c_str(), "drop") == 0);
  int rowset_depth = 0;  // inside OPENROWSET(...) literals name servers and queries
  int depth = 0;
  for (size_t i = 0; i < toks.size(); ++i) {
    const Token& t = toks[i];
    // "?" marks a literal of the shape; the statements themselves never carry one.
    if (t.kind == Token::Kind::Op && t.text == "?") throw Error("Incorrect syntax near '?'.", 102);
    if (t.kind == Token::Kind::Ident && !t.quoted && strcasecmp(t.text.c_str(), "openrowset") == 0 &&
        rowset_depth == 0)
      rowset_depth = depth + 1;
    if (t.kind == Token::Kind::Op && t.text == "(") ++depth;
    if (t.kind == Token::Kind::Op && t.text == ")") {
      if (depth == rowset_depth) rowset_depth = 0;
      --depth;
    }
    if (!shape.key.empty()) shape.key.push_back(' ');
    bool literal = t.kind == Token::Kind::Text || t.kind == Token::Kind::NText ||
                   t.kind == Token::Kind::Number;
    if (literal && !ddl && rowset_depth == 0) {
      // A minus in front of a number is part of the value (amounts are signed), so
      // -12.5 and 12.5 share one shape.
      std::string value = t.text;
      if (t.kind == Token::Kind::Number && i >= 1 && Is(toks[i - 1], Token::Kind::Op, "-") &&
          UnaryPosition(toks, i - 1)) {
        shape.key.resize(shape.key.size() - 2);  // the "-" and its blank
        value = "-" + value;
      }
      shape.key.push_back('?');
      shape.literals.push_back({t.kind == Token::Kind::Number ? Literal::Kind::Number
                                : t.kind == Token::Kind::NText ? Literal::Kind::NText
                                                                : Literal::Kind::Text,
                                std::move(value)});
      continue;
    }
    switch (t.kind) {
      case Token::Kind::Ident: shape.key += t.quoted ? BracketIdent(t.text) : t.text; break;
      case Token::Kind::Text: shape.key += "'" + SqlText(t.text) + "'"; break;  // structural
      case Token::Kind::NText: shape.key += "N'" + SqlText(t.text) + "'"; break;
      default: shape.key += t.text;
    }
  }
  return shape;
}

}  // namespace db::sqlite
