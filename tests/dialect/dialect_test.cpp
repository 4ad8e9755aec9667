// The dialect layer's building blocks: the tokenizer and plan shapes, and the SQL
// Server functions, operator, collation and exact SUM inside SQLite.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "db/ado.h"
#include "db/sqlite/dialect.h"
#include "db/sqlite/tokenizer.h"

namespace {

using namespace db::sqlite;

TEST(Tokenizer, ReadsTheComponentsStatementForms) {
  auto t = Tokenize("update tempdb..Temp_ETL_GL_CashVouch3 set DepartmentName=N'O''Brien 现金' "
                    "where DepartmentName='A''1' and x<=12.5 -- trailing comment\n");
  std::vector<std::string> texts;
  for (const auto& k : t) texts.push_back(k.text);
  std::vector<std::string> want = {"update", "tempdb", ".", ".", "Temp_ETL_GL_CashVouch3", "set",
                                   "DepartmentName", "=", "O'Brien 现金", "where", "DepartmentName",
                                   "=", "A'1", "and", "x", "<=", "12.5"};
  EXPECT_EQ(texts, want);
  EXPECT_EQ(t[8].kind, Token::Kind::NText);
  EXPECT_EQ(t[12].kind, Token::Kind::Text);
  EXPECT_EQ(t[16].kind, Token::Kind::Number);
}

TEST(Tokenizer, RefusesWhatIsNotTheLanguage) {
  struct Case {
    const char* sql;
    const char* message;
  } cases[] = {
      {"select 'abc", "Unclosed quotation mark after the character string 'abc'."},
      {"select 1 /* open", "Missing end comment mark '*/'."},
      {"select [abc", "Unclosed quotation mark before the character string 'abc'."},
      {"select [a]]b", "Unclosed quotation mark before the character string 'a]]b'."},
      {"select []", "An object or column name is missing or empty."},
      {"select a ` b", "Incorrect syntax near '`'."},
  };
  for (const auto& c : cases) {
    try {
      Tokenize(c.sql);
      ADD_FAILURE() << c.sql;
    } catch (const db::Error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(Tokenizer, QuotedNamesAreNames) {
  auto t = Tokenize("select [a]]b], \"x\"\"y\", [from] from T");
  ASSERT_EQ(t.size(), 8u);
  EXPECT_EQ(t[1].text, "a]b");
  EXPECT_TRUE(t[1].quoted);
  EXPECT_EQ(t[3].text, "x\"y");
  EXPECT_EQ(t[5].text, "from");
  EXPECT_TRUE(t[5].quoted);
  EXPECT_FALSE(t[6].quoted);
  // The key keeps a quoted name quoted, so it reads back the same.
  Shape s = Normalize("select [a]]b] from T");
  auto back = Tokenize(s.key);
  EXPECT_EQ(back[1].text, "a]b");
  EXPECT_TRUE(back[1].quoted);
}

TEST(Shape, ValuesBecomeParametersButStructureStays) {
  Shape a = Normalize("select cdepname from department where cdepcode='01'");
  Shape b = Normalize("select  cdepname from department where cdepcode='x'' or ''1''=''1'");
  EXPECT_EQ(a.key, b.key);
  ASSERT_EQ(b.literals.size(), 1u);
  EXPECT_EQ(b.literals[0].value, "x' or '1'='1");  // a value, never structure

  Shape c = Normalize("select iyear,iid,dbegin from ua_period where cacc_id='001' and iyear=2006");
  ASSERT_EQ(c.literals.size(), 2u);
  EXPECT_EQ(c.literals[1].kind, Literal::Kind::Number);

  // Server, login and query of OPENROWSET decide the translation: they stay in the key.
  Shape r1 = Normalize("insert into t select * from OPENROWSET('SQLOLEDB','s1';'sa';'p',"
                       "'SELECT * FROM d.dbo.gl_cashtable') AS c where v.dbill_date>='20060101'");
  Shape r2 = Normalize("insert into t select * from OPENROWSET('SQLOLEDB','s2';'sa';'p',"
                       "'SELECT * FROM d.dbo.gl_cashtable') AS c where v.dbill_date>='20060102'");
  EXPECT_NE(r1.key, r2.key);
  EXPECT_EQ(r1.literals.size(), 1u);
  EXPECT_EQ(Normalize("create table T(ID nvarchar(36) not null default newid())").literals.size(), 0u);
  // A sign belongs to its number; a subtraction does not.
  Shape signed_ = Normalize("insert into T values (1,-12.5, - 3) ");
  ASSERT_EQ(signed_.literals.size(), 3u);
  EXPECT_EQ(signed_.literals[1].value, "-12.5");
  EXPECT_EQ(signed_.literals[2].value, "-3");
  EXPECT_EQ(signed_.key, Normalize("insert into T values (1,12.5,3)").key);
  Shape minus = Normalize("select a-1, (b)-2 from T where c=-1");
  EXPECT_EQ(minus.literals[0].value, "1");
  EXPECT_EQ(minus.literals[1].value, "2");
  EXPECT_EQ(minus.literals[2].value, "-1");
  // A comment cannot hide or add anything: it is whitespace.
  EXPECT_EQ(Normalize("delete  from T where date<='20060101' --x").key,
            Normalize("delete from T where date<='20060102'").key);
}

class Functions : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    RegisterDialectFunctions(db_);
  }
  void TearDown() override { sqlite3_close(db_); }
  std::string One(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
    std::string out;
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
      out = sqlite3_column_type(st, 0) == SQLITE_NULL
                ? "NULL"
                : reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    } else {
      out = std::string("error: ") + sqlite3_errmsg(db_);
    }
    sqlite3_finalize(st);
    return out;
  }
  sqlite3* db_ = nullptr;
};

TEST_F(Functions, SqlServerMeaning) {
  struct Case {
    const char* expr;
    const char* want;
  } cases[] = {
      {"replicate('0', 2)", "00"},
      {"replicate('0', 0)", ""},
      {"replicate('0', -1)", "NULL"},
      {"replicate(NULL, 2)", "NULL"},
      {"len('abc   ')", "3"},
      {"len('  a')", "3"},
      {"len('现金 ')", "2"},
      {"len(NULL)", "NULL"},
      {"'[' || tp_convert_char(123, 5) || ']'", "[123  ]"},
      {"tp_convert_char(123456, 5)", "*    "},  // too long: a star, still char(5)
      {"tp_convert_char(NULL, 5)", "NULL"},
      {"tp_plus('12', '3')", "123"},
      {"tp_plus('ab', NULL)", "NULL"},
      {"tp_plus('12', 3)", "15"},
      {"tp_plus('abc', 1)", "error: Conversion failed when converting the varchar value 'abc' to data type int."},
      // The voucher id of the staging statement: sign, '-', zeros to four digits, char(5).
      {"tp_plus(tp_plus(tp_plus('S','-'), replicate('0', 4-len(12))), tp_convert_char(12,5))", "S-0012   "},
      {"tp_plus(tp_plus(tp_plus('S','-'), replicate('0', 4-len(12345))), tp_convert_char(12345,5))", "NULL"},
      {"tp_plus(' 12 ', 3.5)", "15.5"},
      {"tp_plus(9223372036854775807, 1)", "error: Arithmetic overflow error converting expression to data type bigint."},
      {"tp_plus('0x1A', 1)", "error: Conversion failed when converting the varchar value '0x1A' to data type int."},
      {"tp_plus(1, 'x', 'int', 'nvarchar')", "error: Conversion failed when converting the nvarchar value 'x' to data type int."},
      {"tp_number('001') = 1", "1"},
      {"typeof(tp_number('-2.50'))", "real"},
      {"tp_number(NULL)", "NULL"},
      {"tp_number('1e3', 'nvarchar')", "1000.0"},
      {"tp_number('12a', 'nvarchar')", "error: Conversion failed when converting the nvarchar value '12a' to data type int."},
      {"'a' = 'A  ' COLLATE TPCI", "1"},
      {"'a' = 'b' COLLATE TPCI", "0"},
      {"'abc' < 'ABD' COLLATE TPCI", "1"},
      {"'ab' < 'ab c' COLLATE TPCI", "1"},
      {"'Ab ' = 'ab' COLLATE TPCI AND 'ab' = 'Ab ' COLLATE TPCI", "1"},
      // Letters beyond ASCII fold too; full-width forms equal their ASCII letters;
      // accents and characters without case stay distinct.
      {"'ÉCOLE' = 'école' COLLATE TPCI", "1"},
      {"'ΑΒΓ' = 'αβγ' COLLATE TPCI", "1"},
      {"'ПРИВЕТ' = 'привет' COLLATE TPCI", "1"},
      {"'ＡＢ１' = 'ab1' COLLATE TPCI", "1"},
      {"'e' = 'é' COLLATE TPCI", "0"},
      {"'销售部' = '销售部 ' COLLATE TPCI", "1"},
      {"'销售部' = '销售' COLLATE TPCI", "0"},
  };
  for (const auto& c : cases) EXPECT_EQ(One(std::string("select ") + c.expr), c.want) << c.expr;
}

TEST_F(Functions, GroupingFollowsTheCollationAndSumsAreExact) {
  ASSERT_EQ(sqlite3_exec(db_,
                         "create table t(code text, amt decimal(18,6));"
                         "insert into t values ('a',0.1),('A',0.1),('a  ',0.1),('b',NULL);"
                         "with recursive n(i) as (select 1 union all select i+1 from n where i<9)"
                         " insert into t select 'z', 0.1 from n;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(One("select count(*) from (select distinct code collate TPCI from t)"), "3");
  EXPECT_EQ(One("select sum(amt) = 1.2 from t"), "1");
  EXPECT_EQ(One("select sum(x) = 0.3 from (select 0.1 as x union all select 0.2)"), "1");
  EXPECT_EQ(One("select sum(amt) from t where code='b'"), "NULL");
  EXPECT_EQ(One("select sum(amt) from t where 0"), "NULL");
  EXPECT_EQ(One("select typeof(sum(i)) from (select 1 as i union all select 2)"), "integer");
}

}  // namespace
