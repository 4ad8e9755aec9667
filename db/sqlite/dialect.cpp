// Translation of a statement shape into SQLite. The shape's tokens are read once to
// find the tables the statement names, then rewritten: database-qualified names to
// attached schemas, sysobjects to the schema's catalogue, literals to parameters
// converted by the type of the column they meet (so dates compare as dates and text
// compares under TPCI), and CREATE TABLE to SQLite's form with the primary-key
// constraint as a uniquely named index. Constructs outside this set are refused.
#include <strings.h>

#include <cstdio>
#include <set>

#include "com/variant.h"
#include "db/ado.h"
#include "db/sqlite/dialect.h"
#include "db/sqlite/tokenizer.h"

namespace db::sqlite {
namespace {

using Kind = Token::Kind;

bool Is(const Token& t, const char* word) {
  return t.kind == Kind::Ident && strcasecmp(t.text.c_str(), word) == 0;
}
bool IsOp(const Token& t, const char* op) { return t.kind == Kind::Op && t.text == op; }
// A literal's placeholder, numbered "?0", "?1", ... by the translator.
bool IsLiteral(const Token& t) { return t.kind == Kind::Op && !t.text.empty() && t.text[0] == '?'; }

[[noreturn]] void Unsupported(const std::string& what) {
  throw Error("unsupported in the embedded engine: " + what);
}

std::string Quote(const std::string& ident) {
  std::string out = "\"";
  for (char c : ident) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  return out + "\"";
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return s;
}

// Words SQLite reads as keywords or built-in functions: written bare.
const std::set<std::string>& Keywords() {
  static const std::set<std::string> k = {
      "select", "distinct", "from", "where", "and",   "or",     "not",  "is",    "null",
      "group",  "by",       "order", "asc",  "desc",  "insert", "into", "values", "update",
      "set",    "delete",   "as",    "inner", "join", "on",     "in",   "sum",   "count",
      "min",    "max",      "like",  "between", "drop", "table", "replicate", "len", "avg",
      "left",   "outer",    "having", "exists", "tp_plus", "tp_convert_char"};
  return k;
}

// A CONVERT, OPENROWSET or '+' would need SQL Server's own typing; refused until
// the staging statement's forms are translated.
void RefuseUnknown(const Token& t) {
  if (Is(t, "convert")) Unsupported("CONVERT other than to char(n)");
  if (IsOp(t, "+")) Unsupported("'+' in this position");
  if (IsOp(t, ";")) Unsupported("more than one statement");
}

Token Op(const char* s) { return {Kind::Op, s}; }
Token Word(const char* s) { return {Kind::Ident, s}; }

// CONVERT(char(n), e) becomes tp_convert_char(e, n).
void RewriteConvert(std::vector<Token>& t) {
  for (size_t i = 0; i + 7 < t.size(); ++i) {
    if (!Is(t[i], "convert") || !IsOp(t[i + 1], "(") || !Is(t[i + 2], "char") || !IsOp(t[i + 3], "(") ||
        !(t[i + 4].kind == Kind::Number || IsLiteral(t[i + 4])) || !IsOp(t[i + 5], ")") ||
        !IsOp(t[i + 6], ","))
      continue;
    size_t j = i + 7;
    int depth = 0;
    for (; j < t.size(); ++j) {
      if (IsOp(t[j], "(")) ++depth;
      if (IsOp(t[j], ")") && depth-- == 0) break;
    }
    if (j >= t.size()) Unsupported("CONVERT without its closing parenthesis");
    std::vector<Token> out(t.begin(), t.begin() + static_cast<long>(i));
    out.push_back(Word("tp_convert_char"));
    out.push_back(Op("("));
    out.insert(out.end(), t.begin() + static_cast<long>(i + 7), t.begin() + static_cast<long>(j));
    out.push_back(Op(","));
    out.push_back(t[i + 4]);
    out.push_back(Op(")"));
    out.insert(out.end(), t.begin() + static_cast<long>(j + 1), t.end());
    t = std::move(out);
  }
}

bool Boundary(const Token& t) {
  static const char* words[] = {"select", "distinct", "from", "where", "and", "or", "on", "set",
                                "as", "values", "by", "having", "not", "is", "in", "like"};
  for (const char* w : words)
    if (Is(t, w)) return true;
  static const char* ops[] = {",", "=", "<", ">", "<=", ">=", "<>", "!="};
  for (const char* o : ops)
    if (IsOp(t, o)) return true;
  return false;
}

// a + b + c becomes tp_plus(tp_plus(a, b), c): SQL Server decides between
// concatenation and addition by the operands' types, which tp_plus does at run
// time. An operand chain mixing '+' with other arithmetic is refused.
void RewritePlus(std::vector<Token>& t) {
  for (;;) {
    size_t p = 0;
    while (p < t.size() && !IsOp(t[p], "+")) ++p;
    if (p == t.size()) return;
    size_t l = p;
    for (int depth = 0; l > 0;) {
      const Token& k = t[l - 1];
      if (IsOp(k, ")")) ++depth;
      else if (IsOp(k, "(") && depth-- == 0) break;
      else if (depth == 0 && Boundary(k)) break;
      else if (depth == 0 && (IsOp(k, "-") || IsOp(k, "*") || IsOp(k, "/"))) Unsupported("'+' beside other arithmetic");
      --l;
    }
    size_t r = p + 1;
    for (int depth = 0; r < t.size(); ++r) {
      const Token& k = t[r];
      if (IsOp(k, "(")) ++depth;
      else if (IsOp(k, ")") && depth-- == 0) break;
      else if (depth == 0 && (Boundary(k) || IsOp(k, "+"))) break;
      else if (depth == 0 && (IsOp(k, "-") || IsOp(k, "*") || IsOp(k, "/"))) Unsupported("'+' beside other arithmetic");
    }
    if (l == p || r == p + 1) Unsupported("'+' without two operands");
    std::vector<Token> out(t.begin(), t.begin() + static_cast<long>(l));
    out.push_back(Word("tp_plus"));
    out.push_back(Op("("));
    out.insert(out.end(), t.begin() + static_cast<long>(l), t.begin() + static_cast<long>(p));
    out.push_back(Op(","));
    out.insert(out.end(), t.begin() + static_cast<long>(p + 1), t.begin() + static_cast<long>(r));
    out.push_back(Op(")"));
    out.insert(out.end(), t.begin() + static_cast<long>(r), t.end());
    t = std::move(out);
  }
}

struct TableRef {
  std::string alias;  // schema
  std::string name;   // table as written
  std::string corr;   // correlation name, if any
  std::vector<Column> columns;
};

class Translator {
 public:
  Translator(const Shape& shape, Catalog& catalog)
      : toks_(Tokenize(shape.key)), literals_(shape.literals), catalog_(catalog) {
    // Each literal placeholder carries its index, so rewriting may move it.
    size_t n = 0;
    for (auto& t : toks_)
      if (IsOp(t, "?")) t.text = "?" + std::to_string(n++);
    if (!toks_.empty() && !Is(toks_[0], "create")) {
      RewriteConvert(toks_);
      RewritePlus(toks_);
    }
  }

  Plan Run() {
    if (toks_.empty()) Unsupported("an empty statement");
    Plan plan;
    plan.params.assign(literals_.size(), ParamConv::Text);
    plan_ = &plan;
    if (Is(toks_[0], "create")) {
      CreateTable();
    } else {
      if (!(Is(toks_[0], "select") || Is(toks_[0], "insert") || Is(toks_[0], "update") ||
            Is(toks_[0], "delete") || Is(toks_[0], "drop")))
        Unsupported(toks_[0].text);
      plan.returns_rows = Is(toks_[0], "select");
      CollectTables();
      plan.statements.push_back(Rewrite());
    }
    return plan;
  }

 private:
  // Reads a possibly qualified object name at i: T, db..T, db.dbo.T.
  // Returns the schema alias and the bare name; i moves past it.
  std::pair<std::string, std::string> ObjectName(size_t& i) {
    if (i >= toks_.size() || toks_[i].kind != Kind::Ident) Unsupported("a table name");
    if (Is(toks_[i], "openrowset")) return RowsetSource(i);
    if (i + 3 < toks_.size() && IsOp(toks_[i + 1], ".") && IsOp(toks_[i + 2], ".") &&
        toks_[i + 3].kind == Kind::Ident) {
      std::string alias = catalog_.AliasForDatabase(toks_[i].text);
      std::string name = toks_[i + 3].text;
      i += 4;
      return {alias, name};
    }
    if (i + 4 < toks_.size() && IsOp(toks_[i + 1], ".") && toks_[i + 2].kind == Kind::Ident &&
        IsOp(toks_[i + 3], ".") && toks_[i + 4].kind == Kind::Ident) {
      if (!Is(toks_[i + 2], "dbo")) Unsupported("schema " + toks_[i + 2].text);
      std::string alias = catalog_.AliasForDatabase(toks_[i].text);
      std::string name = toks_[i + 4].text;
      i += 5;
      return {alias, name};
    }
    return {"main", toks_[i++].text};
  }

  // OPENROWSET('SQLOLEDB','server';'user';'password','SELECT * FROM db.dbo.T'): the
  // table T of database db on another embedded server.
  std::pair<std::string, std::string> RowsetSource(size_t& i) {
    auto text = [&](size_t k) -> const std::string& {
      if (k >= toks_.size() || toks_[k].kind != Kind::Text) Unsupported("this OPENROWSET form");
      return toks_[k].text;
    };
    if (i + 11 >= toks_.size() || !IsOp(toks_[i + 1], "(") || !IsOp(toks_[i + 3], ",") ||
        !IsOp(toks_[i + 5], ";") || !IsOp(toks_[i + 7], ";") || !IsOp(toks_[i + 9], ",") ||
        !IsOp(toks_[i + 11], ")"))
      Unsupported("this OPENROWSET form");
    if (strcasecmp(text(i + 2).c_str(), "SQLOLEDB") != 0) Unsupported("OPENROWSET provider " + text(i + 2));
    std::vector<Token> q = Tokenize(text(i + 10));
    if (q.size() != 8 || !Is(q[0], "select") || !IsOp(q[1], "*") || !Is(q[2], "from") ||
        q[3].kind != Kind::Ident || !IsOp(q[4], ".") || !Is(q[5], "dbo") || !IsOp(q[6], ".") ||
        q[7].kind != Kind::Ident)
      Unsupported("an OPENROWSET query other than SELECT * FROM db.dbo.table");
    std::string alias = catalog_.AliasForRemote(text(i + 4), text(i + 6), text(i + 8), q[3].text);
    i += 12;
    return {alias, q[7].text};
  }

  static bool TablePosition(const Token& prev) {
    return Is(prev, "from") || Is(prev, "join") || Is(prev, "into") || Is(prev, "update") ||
           Is(prev, "table");
  }

  void CollectTables() {
    for (size_t i = 1; i < toks_.size(); ++i) {
      if (!TablePosition(toks_[i - 1]) || toks_[i].kind != Kind::Ident) continue;
      size_t j = i;
      auto [alias, name] = ObjectName(j);
      TableRef t{alias, name, "", {}};
      if (Lower(name) == "sysobjects") {
        t.columns = {{"name", "nvarchar(128)"}};
      } else if (!Is(toks_[0], "drop")) {
        auto cols = catalog_.Columns(alias, name);
        if (!cols) throw Error("Invalid object name '" + name + "'.", 208, "42S02");
        t.columns = *cols;
      }
      if (j < toks_.size() && Is(toks_[j], "as") && j + 1 < toks_.size()) t.corr = toks_[j + 1].text;
      tables_.push_back(std::move(t));
    }
  }

  // The declared type of a column named in the statement (qualified or not).
  std::string ColumnType(const std::string& name) const {
    for (const auto& t : tables_)
      for (const auto& c : t.columns)
        if (strcasecmp(c.name.c_str(), name.c_str()) == 0) return Lower(c.decl_type);
    return "";
  }

  static ParamConv ConvFor(const std::string& type, const Literal& lit) {
    if (type.find("date") != std::string::npos) return ParamConv::DateTime;
    bool numeric = type.find("dec") != std::string::npos || type.find("num") != std::string::npos ||
                   type.find("money") != std::string::npos;
    if (numeric && lit.kind != Literal::Kind::Number) return ParamConv::Decimal;
    return lit.kind == Literal::Kind::Number ? ParamConv::Number : ParamConv::Text;
  }

  static bool IsTextType(const std::string& type) {
    return type.find("char") != std::string::npos || type.find("text") != std::string::npos;
  }

  // The column a literal at position i meets: "col op ?" (or "col = ?" in SET).
  std::string ColumnBefore(size_t i) const {
    if (i < 2 || toks_[i - 1].kind != Kind::Op) return "";
    static const char* ops[] = {"=", "<", ">", "<=", ">=", "<>", "!="};
    bool cmp = false;
    for (const char* o : ops) cmp = cmp || toks_[i - 1].text == o;
    if (!cmp || toks_[i - 2].kind != Kind::Ident) return "";
    return toks_[i - 2].text;
  }

  std::string Rewrite() {
    std::string out;
    size_t lit = 0;
    bool in_set = false;
    // Grouping and DISTINCT on text follow SQL Server's collation too.
    enum class Clause { Other, DistinctList, GroupBy } clause = Clause::Other;
    std::vector<std::string> insert_cols;
    bool in_values = false;
    size_t value_index = 0;
    auto emit = [&](const std::string& s) {
      if (!out.empty()) out.push_back(' ');
      out += s;
    };
    for (size_t i = 0; i < toks_.size();) {
      const Token& t = toks_[i];
      RefuseUnknown(t);
      if (Is(t, "set")) in_set = true;
      if (Is(t, "where")) in_set = false;
      if (Is(t, "distinct") && i == 1) clause = Clause::DistinctList;
      if (Is(t, "from") || Is(t, "order") || Is(t, "having") || Is(t, "where")) clause = Clause::Other;
      if (Is(t, "by") && i > 0 && Is(toks_[i - 1], "group")) clause = Clause::GroupBy;
      if (i > 0 && TablePosition(toks_[i - 1]) && t.kind == Kind::Ident) {
        size_t j = i;
        auto [alias, name] = ObjectName(j);
        if (Lower(name) == "sysobjects") {
          emit("(SELECT name FROM " + alias +
               ".sqlite_schema WHERE type IN ('table','view','index')) AS sysobjects");
        } else {
          emit(alias + "." + Quote(name));
          // An insert's column list maps the values that follow to their columns.
          if (Is(toks_[i - 1], "into") && j < toks_.size() && IsOp(toks_[j], "(")) {
            size_t k = j + 1;
            for (; k < toks_.size() && !IsOp(toks_[k], ")"); ++k)
              if (toks_[k].kind == Kind::Ident) insert_cols.push_back(toks_[k].text);
          }
        }
        i = j;
        continue;
      }
      if (Is(t, "values")) {
        in_values = true;
        value_index = 0;
      }
      if (in_values && IsOp(t, ",")) ++value_index;
      if (IsLiteral(t)) {
        lit = static_cast<size_t>(std::stoul(t.text.substr(1)));
        if (lit >= literals_.size()) Unsupported("a literal out of place");
        const Literal& l = literals_[lit];
        std::string col = in_values ? (value_index < insert_cols.size() ? insert_cols[value_index] : "")
                                    : ColumnBefore(i);
        std::string type = col.empty() ? "" : ColumnType(col);
        plan_->params[lit] = ConvFor(type, l);
        std::string p = "?" + std::to_string(lit + 1);
        // Comparisons with text columns follow SQL Server's default collation.
        if (!in_set && !in_values && IsTextType(type)) p += " COLLATE TPCI";
        emit(p);
        ++i;
        continue;
      }
      if (Is(t, "newid") && i + 2 < toks_.size() && IsOp(toks_[i + 1], "(") && IsOp(toks_[i + 2], ")")) {
        emit(NewIdExpr());
        i += 3;
        continue;
      }
      if (t.kind == Kind::Ident) {
        bool call = i + 1 < toks_.size() && IsOp(toks_[i + 1], "(");
        if (Keywords().count(Lower(t.text)) || (call && Lower(t.text) == "sum")) {
          emit(Lower(t.text));
        } else if (call) {
          Unsupported("function " + t.text);
        } else {
          emit(Quote(t.text));
          // A plain text column as a grouping key or DISTINCT item: compared under TPCI.
          bool qualified_next = i + 1 < toks_.size() && IsOp(toks_[i + 1], ".");
          if (clause != Clause::Other && !qualified_next && IsTextType(ColumnType(t.text))) {
            out += " COLLATE TPCI";
            if (clause == Clause::DistinctList) out += " AS " + Quote(t.text);
          }
        }
      } else if (t.kind == Kind::Number) {
        emit(t.text);
      } else if (t.kind == Kind::Text || t.kind == Kind::NText) {
        Unsupported("a literal in this position");
      } else if (IsOp(t, ".")) {
        out += ".";  // qualified column: no blanks around the point
        if (i + 1 < toks_.size() && toks_[i + 1].kind == Kind::Ident) {
          out += Quote(toks_[i + 1].text);
          ++i;
        }
      } else {
        emit(t.text);
      }
      ++i;
    }
    return out;
  }

  static std::string NewIdExpr() {
    // A new upper-case GUID text, from SQLite's own functions only, so that a table
    // made here stays usable with any SQLite tool.
    return "(upper(hex(randomblob(4)) || '-' || hex(randomblob(2)) || '-4' || "
           "substr(hex(randomblob(2)),2) || '-' || substr('89AB', 1 + (abs(random()) % 4), 1) || "
           "substr(hex(randomblob(2)),2) || '-' || hex(randomblob(6))))";
  }

  void CreateTable() {
    size_t i = 1;
    if (i >= toks_.size() || !Is(toks_[i], "table")) Unsupported("CREATE other than TABLE");
    ++i;
    auto [alias, name] = ObjectName(i);
    if (i >= toks_.size() || !IsOp(toks_[i], "(")) Unsupported("a table without columns");
    ++i;
    std::vector<std::string> defs;
    std::string index;
    while (i < toks_.size() && !IsOp(toks_[i], ")")) {
      // One definition, up to the next comma at this level.
      size_t start = i;
      int depth = 0;
      while (i < toks_.size() && !(depth == 0 && (IsOp(toks_[i], ",") || IsOp(toks_[i], ")")))) {
        if (IsOp(toks_[i], "(")) ++depth;
        if (IsOp(toks_[i], ")")) --depth;
        ++i;
      }
      std::vector<Token> d(toks_.begin() + static_cast<long>(start), toks_.begin() + static_cast<long>(i));
      if (i < toks_.size() && IsOp(toks_[i], ",")) ++i;
      if (d.empty()) Unsupported("an empty column definition");
      if (Is(d[0], "constraint")) {
        if (d.size() < 5 || !Is(d[2], "primary") || !Is(d[3], "key"))
          Unsupported("constraint other than PRIMARY KEY");
        size_t k = 4;
        if (Is(d[k], "nonclustered") || Is(d[k], "clustered")) ++k;
        std::string cols;
        for (; k < d.size(); ++k)
          if (d[k].kind == Kind::Ident) cols += (cols.empty() ? "" : ",") + Quote(d[k].text);
        if (cols.empty()) Unsupported("a primary key without columns");
        index = "CREATE UNIQUE INDEX " + alias + "." + Quote(d[1].text) + " ON " + Quote(name) +
                " (" + cols + ")";
        continue;
      }
      std::string def = Quote(d[0].text);
      size_t k = 1;
      if (k < d.size() && d[k].kind == Kind::Ident) {
        def += " " + Lower(d[k].text);
        ++k;
        if (k < d.size() && IsOp(d[k], "(")) {
          def += "(";
          for (++k; k < d.size() && !IsOp(d[k], ")"); ++k) def += d[k].text;
          def += ")";
          ++k;
        }
      }
      for (; k < d.size(); ++k) {
        if (Is(d[k], "not") && k + 1 < d.size() && Is(d[k + 1], "null")) {
          def += " NOT NULL";
          ++k;
        } else if (Is(d[k], "null")) {
          // nullable is the default
        } else if (Is(d[k], "default") && k + 3 < d.size() && Is(d[k + 1], "newid")) {
          def += " DEFAULT " + NewIdExpr();
          k += 3;
        } else {
          Unsupported("column option " + d[k].text);
        }
      }
      defs.push_back(def);
    }
    std::string sql = "CREATE TABLE " + alias + "." + Quote(name) + " (";
    for (size_t n = 0; n < defs.size(); ++n) sql += (n ? ", " : "") + defs[n];
    plan_->statements.push_back(sql + ")");
    if (!index.empty()) plan_->statements.push_back(index);
  }

  std::vector<Token> toks_;
  const std::vector<Literal>& literals_;
  Catalog& catalog_;
  std::vector<TableRef> tables_;
  Plan* plan_ = nullptr;
};

}  // namespace

Plan Translate(const Shape& shape, Catalog& catalog) { return Translator(shape, catalog).Run(); }

std::string ConvertLiteral(const Literal& lit, ParamConv conv) {
  switch (conv) {
    case ParamConv::DateTime: {
      auto d = com::ParseDateText(lit.value);
      if (!d)
        throw Error("Conversion failed when converting date and/or time from character string.",
                    241, "22007");
      com::DateParts p = com::PartsFromDate(*d);
      if (p.year < 1753)
        throw Error("The conversion of a varchar data type to a datetime data type resulted in an "
                    "out-of-range value.",
                    242, "22008");
      return com::FormatDate(*d, false, true);  // the stored form of datetime values
    }
    case ParamConv::Decimal: {
      if (!com::DecimalFromText(lit.value))
        throw Error("Error converting data type varchar to numeric.", 8114, "22018");
      return lit.value;
    }
    default:
      return lit.value;
  }
}

}  // namespace db::sqlite
