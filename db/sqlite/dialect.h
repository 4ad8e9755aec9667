// The SQL Server dialect layer of the embedded engine: turns the component's T-SQL
// into SQLite statements with SQL Server's meaning. Built on a tokenizer and a small
// parser of the statement shapes the component sends; anything else is refused with
// "unsupported in the embedded engine: <construct>", never guessed at.
//
// Translation is split so that plans are reused: Normalize() cuts a statement into
// its shape (the text with each literal replaced by a placeholder) and its literals;
// Translate() turns a shape into a Plan once; the engine caches plans by shape key and
// binds each execution's literals through Plan::params.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace db::sqlite {

struct Literal {
  enum class Kind { Text, NText, Number };
  Kind kind;
  std::string value;  // text with '' undoubled, or the number as written (a sign in
                      // front of it included: -12.5 and 12.5 share one shape)
};

struct Shape {
  // The statement with every literal replaced by "?" and whitespace runs
  // collapsed. Literals inside OPENROWSET(...) and all of a DDL statement stay in
  // the key (they decide the translation), so they are not in `literals`.
  std::string key;
  std::vector<Literal> literals;
};

// Throws db::Error for an unterminated literal or an unknown character. Comments
// are whitespace: they never change how the rest is read.
Shape Normalize(std::string_view tsql);

struct Column {
  std::string name;
  std::string decl_type;  // as declared: "datetime", "nvarchar(80)", "decimal(18,6)"
  bool new_id = false;    // its default is newid() (see NewIdDefault)
};

// What the translator needs to know of the server: where databases are and what
// tables look like. Implemented by the engine's connection.
class Catalog {
 public:
  virtual ~Catalog() = default;
  // The SQLite schema name ("main", "tempdb", or an attached alias) holding database
  // `db` of this server, attaching it on first use. Throws db::Error with SQL Server's
  // text when the database does not exist.
  virtual std::string AliasForDatabase(std::string_view db) = 0;
  // The schema name for database `db` on another embedded server reached through
  // OPENROWSET: `server` names its directory; the login is checked against it.
  virtual std::string AliasForRemote(std::string_view server, std::string_view user,
                                     std::string_view password, std::string_view db) = 0;
  // Declared columns of `table` in schema `alias`, in order (names as declared);
  // nullopt when there is no such table or view.
  virtual std::optional<std::vector<Column>> Columns(std::string_view alias,
                                                     std::string_view table) = 0;
};

// How a literal is turned into the value bound to its parameter.
enum class ParamConv {
  Text,      // bound as text
  Number,    // bound as integer or real as written
  DateTime,  // a date text compared with or stored into a datetime column: bound as
             // canonical "YYYY-MM-DD HH:MM:SS"; a text that is not a date fails with
             // "Conversion failed when converting date and/or time from character string."
  Decimal,   // a text stored into a decimal column: must be a plain number
};

struct Plan {
  // SQLite statements run in order (inside one savepoint when more than one); they
  // name parameters ?1..?N by literal index.
  std::vector<std::string> statements;
  std::vector<ParamConv> params;  // one per literal of the shape
  bool returns_rows = false;      // the last statement yields the result rows
  // Columns compared for equality with a literal, where an index would find the
  // rows without reading the whole table.
  struct Seek {
    std::string schema, table, column;
    bool text;  // compared under TPCI
  };
  std::vector<Seek> seeks;
};

// Throws db::Error: "Invalid object name 'T'." for an unknown table (T as written,
// with its database part), "Invalid column name 'c'." for an unknown column, the
// other texts SQL Server gives when it compiles the statement (ambiguous or
// unbound names, columns neither grouped nor aggregated, insert lists that do not
// match), or "unsupported in the embedded engine: <construct>". No error text
// carries anything of an OPENROWSET login.
//
// A named PRIMARY KEY becomes a second statement, CREATE UNIQUE INDEX <name>: a
// name already used in that database fails there with SQLite's "index <name>
// already exists", which the engine reports as SQL Server does: "There is already
// an object named '<name>' in the database. Could not create constraint or index.
// See previous errors."
Plan Translate(const Shape& shape, Catalog& catalog);

// The default expression a translated "default newid()" column is made with, as
// SQLite reports it (pragma table_info's dflt_value).
std::string NewIdDefault();

// Converts one literal for binding; throws db::Error with SQL Server's text.
// DateTime accepts YYYYMMDD, YYYY-MM-DD (or with '/', one- or two-digit month and
// day), each optionally followed by " hh:mm[:ss[.fff]]" (or "T" before the time),
// and gives "YYYY-MM-DD HH:MM:SS[.fff]"; a text of another shape fails with 241,
// an impossible or pre-1753 date with 242.
std::string ConvertLiteral(const Literal& lit, ParamConv conv);

// Registers the functions and collation the translated statements use (replicate,
// len, convert to char(n), '+' with SQL Server's typing, text read as a number,
// the exact decimal sum that replaces sum(), and TPCI, the case-, width- and
// trailing-blank-insensitive collation). Call on every connection; newid()
// defaults need none of them.
void RegisterDialectFunctions(sqlite3* db);

}  // namespace db::sqlite
