// The component's statements with SQL Server's meaning, as data: each T-SQL text
// goes through Normalize, Translate and ConvertLiteral and runs on an in-memory
// SQLite database, and its rows (or its error) are compared with what SQL Server
// gives. A small catalog stands in for the engine: "olap" is the main schema,
// tempdb and the remote account set reached through OPENROWSET are attached
// in-memory schemas.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/ado.h"
#include "db/sqlite/dialect.h"

namespace {

using namespace db::sqlite;
using Rows = std::vector<std::vector<std::string>>;

class TestCatalog : public Catalog {
 public:
  explicit TestCatalog(sqlite3* db) : db_(db) {}
  std::string AliasForDatabase(std::string_view name) override {
    std::string n = Lower(name);
    if (n == "tempdb") return "tempdb";
    if (n == "olap") return "main";
    throw db::Error("Database '" + std::string(name) + "' does not exist. Make sure that the name is entered correctly.",
                    911);
  }
  std::string AliasForRemote(std::string_view server, std::string_view user, std::string_view password,
                             std::string_view db) override {
    if (server != "accsrv" || user != "sa" || password != "pw;x'y") throw db::Error("Login failed for user 'sa'.");
    if (Lower(db) != "vxdata_001_2006")
      throw db::Error("Cannot open database \"" + std::string(db) + "\" requested by the login. The login failed.");
    return "remote";
  }
  std::optional<std::vector<Column>> Columns(std::string_view alias, std::string_view table) override {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "SELECT name, type FROM pragma_table_info(?1, ?2)", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, std::string(table).c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, std::string(alias).c_str(), -1, SQLITE_TRANSIENT);
    std::vector<Column> cols;
    while (sqlite3_step(st) == SQLITE_ROW)
      cols.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                      reinterpret_cast<const char*>(sqlite3_column_text(st, 1))});
    sqlite3_finalize(st);
    if (cols.empty()) return std::nullopt;
    return cols;
  }

 private:
  static std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  }
  sqlite3* db_;
};

// The account set (read by the look-ups and, through OPENROWSET, by the staging
// statement), written with plain SQLite as any tool would.
const char* kAccountSet = R"(
  CREATE TABLE code (ccode nvarchar(40), cexch_name nvarchar(14), bproperty bit, bend bit);
  INSERT INTO code VALUES ('1001', NULL, 0, 1), ('1002', 'USD', 0, 1), ('2202', NULL, 1, 1), ('A01 ', NULL, 0, 1);
  CREATE TABLE ua_period (cacc_id nvarchar(3), iyear int, iid int, dbegin datetime, dend datetime);
  INSERT INTO ua_period VALUES
    ('001', 2006, 1, '2006-01-01 00:00:00', '2006-01-31 00:00:00'),
    ('001', 2006, 2, '2006-02-01 00:00:00', '2006-02-28 00:00:00'),
    ('001', 2006, 3, '2006-03-01 00:00:00', '2006-03-31 00:00:00'),
    ('001', 2006, 10, '2006-10-01 00:00:00', '2006-10-31 00:00:00');
  CREATE TABLE GL_AccMultiAss (ccode nvarchar(40), iperiod int, cDept_id nvarchar(12), cPerson_id nvarchar(20),
    cCus_id nvarchar(20), cSup_id nvarchar(20), cItem_Class nvarchar(2), cItem_id nvarchar(20),
    mb decimal(28,6), mb_f decimal(28,6));
  INSERT INTO GL_AccMultiAss VALUES ('1122', 1, '01', NULL, 'C1', NULL, NULL, NULL, 0.1, 0),
    ('1122', 1, '01', NULL, 'c1 ', NULL, NULL, NULL, 0.2, 0), ('1122', 1, '02', NULL, NULL, NULL, NULL, NULL, 5, 1);
  CREATE TABLE amounts (ccode nvarchar(40), md decimal(28,6));
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10)
    INSERT INTO amounts SELECT 'tenths', 0.1 FROM n;
  INSERT INTO amounts VALUES ('none', NULL);
  -- Six decimals, and amounts beyond 10^11 with decimals.
  INSERT INTO amounts VALUES ('fine', 0.000001), ('fine', 0.123457), ('fine', -0.1), ('fine', 3),
    ('large', 123456789012.34), ('large', 0.01), ('large', -100000000000.3);
)";

// Voucher lines and their cash-flow lines, in the account set itself and in the
// remote copy that OPENROWSET reaches ({s} is the schema).
const char* kVouchers = R"(
  CREATE TABLE {s}.gl_accvouch (iperiod int, csign nvarchar(4), isignseq int, ino_id int, inid int,
    dbill_date datetime, ccode nvarchar(40), cexch_name nvarchar(14), md decimal(28,6), mc decimal(28,6),
    md_f decimal(28,6), mc_f decimal(28,6), cdept_id nvarchar(12), cperson_id nvarchar(20),
    ccus_id nvarchar(20), csup_id nvarchar(20), cItem_Class nvarchar(2), citem_id nvarchar(20),
    ibook bit, iflag int, ccheck nvarchar(20));
  INSERT INTO {s}.gl_accvouch VALUES
    (1, 'S', 1, 12, 1, '2006-01-05 00:00:00', '1001', NULL, 150, 0, 0, 0, '01', NULL, NULL, NULL, NULL, NULL, 1, NULL, 'ann'),
    (1, 'S', 1, 12, 2, '2006-01-05 00:00:00', '1001', NULL, 0, 40.5, 0, 0, '01', NULL, NULL, NULL, NULL, NULL, 1, 2, ''),
    (1, 'S', 1, 12, 3, '2006-01-05 00:00:00', '1002', 'USD', 10, 0, 1.25, 0, NULL, NULL, NULL, NULL, '97', '01', 0, NULL, 'ann'),
    (1, 'S', 1, 13, 1, '2006-01-06 00:00:00', '1001', NULL, 99, 0, 0, 0, '01 ', NULL, NULL, NULL, NULL, NULL, 1, 1, 'ann'),
    (2, 'F', 2, 12345, 1, '2006-02-10 00:00:00', '2202', NULL, 0, 7, 0, 0, 'd02', NULL, 'C1', NULL, NULL, NULL, 1, NULL, NULL);
  CREATE TABLE {s}.gl_cashtable (iperiod int, isignseq int, ino_id int, inid int, ccashitem nvarchar(12),
    md decimal(28,6), mc decimal(28,6));
  INSERT INTO {s}.gl_cashtable VALUES (1, 1, 12, 1, '01', 150, 0), (1, 1, 12, 2, '02', 0, 40.5),
    (1, 1, 13, 1, '01', 99, 0), (2, 2, 12345, 1, '03', 0, 7);
)";

std::string InSchema(std::string sql, const std::string& schema) {
  for (size_t at; (at = sql.find("{s}")) != std::string::npos;) sql.replace(at, 3, schema);
  return sql;
}

// The component's DDL for its fact and staging tables, exactly as it sends them.
const char* kCashVouchDdl =
    "(ID                   nvarchar(36)          not null default newid(),"
    "Date                 datetime             null,"
    "AccountTime          nvarchar(8)           null,"
    "VouchId              nvarchar(20)          null,"
    "Code_No              nvarchar(15)          null,"
    "cComCode             nvarchar(4)           null,"
    "DepartmentName         nvarchar(80)          null,"
    "CustomerName           nvarchar(142)          null,"
    "SupplierName           nvarchar(142)          null,"
    "EmployeeName           nvarchar(80)          null,"
    "cItem_class             nvarchar(80)          null,"
    "ItemName             nvarchar(80)          null,"
    "CashItemId          nvarchar(98)           null,"
    "NatInMoney                   decimal(27,8)        null,"
    "NatOutMoney                   decimal(27,8)        null,"
    "constraint PK_TEMP_ETL_GL_CASHVOUCH primary key nonclustered (ID))";

const char* kSumDdl =
    "create table Temp_Etl_GL_Sum(ID                   varchar(36)          not null default newid(),"
    "Date                 datetime             null,AccountTime          varchar(8)           null,"
    "Code_No              varchar(15)          null,CurrencyID           varchar(8)           null,"
    "DepartmentID         varchar(30)          null,EmployeeID           varchar(25)          null,"
    "CustomerID           varchar(25)          null,SupplierID           varchar(25)          null,"
    "cItem_id             varchar(98)          null,cItem_class          varchar(4)           null,"
    "mb                   decimal(18,6)        null,mb_f                 decimal(18,6)        null,"
    "md                   decimal(18,6)        null,md_f                 decimal(18,6)        null,"
    "mc                   decimal(18,6)        null,mc_f                 decimal(18,6)        null,"
    "me                   decimal(18,6)        null,me_f                 decimal(18,6)        null,"
    "constraint PK_TEMP_ETL_GL_SUM primary key nonclustered (ID))";

// A double as its shortest round-trip text, so that 0.30000000000000004 does not
// pass for 0.3.
std::string Cell(sqlite3_stmt* st, int c) {
  switch (sqlite3_column_type(st, c)) {
    case SQLITE_NULL: return "NULL";
    case SQLITE_FLOAT: {
      char buf[40];
      double d = sqlite3_column_double(st, c);
      for (int prec = 1; prec <= 17; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*g", prec, d);
        if (std::strtod(buf, nullptr) == d) break;
      }
      return buf;
    }
    default: return reinterpret_cast<const char*>(sqlite3_column_text(st, c));
  }
}

class Conformance : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    catalog_ = TestCatalog(db_);
    RegisterDialectFunctions(db_);
    Raw("ATTACH ':memory:' AS tempdb; ATTACH ':memory:' AS remote;");
    Raw(kAccountSet);
    Raw(InSchema(kVouchers, "main"));
    Raw(InSchema(kVouchers, "remote"));
  }
  void TearDown() override { sqlite3_close(db_); }

  void Raw(const std::string& sql) {
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
  }

  // Runs one T-SQL statement as the engine does: translate, convert the literals,
  // bind them, run the plan's statements in one savepoint. Throws db::Error.
  Rows Run(const std::string& tsql) {
    Shape shape = Normalize(tsql);
    Plan plan = Translate(shape, catalog_);
    EXPECT_EQ(plan.params.size(), shape.literals.size());
    std::vector<std::string> binds;
    for (size_t i = 0; i < shape.literals.size(); ++i) binds.push_back(ConvertLiteral(shape.literals[i], plan.params[i]));
    Rows rows;
    sqlite3_exec(db_, "SAVEPOINT stmt", nullptr, nullptr, nullptr);
    for (const std::string& sql : plan.statements) {
      sqlite3_stmt* st = nullptr;
      int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
      for (int i = 1; rc == SQLITE_OK && i <= sqlite3_bind_parameter_count(st); ++i) {
        const std::string& v = binds[static_cast<size_t>(i - 1)];
        if (plan.params[static_cast<size_t>(i - 1)] != ParamConv::Number)
          sqlite3_bind_text(st, i, v.c_str(), -1, SQLITE_TRANSIENT);
        else if (v.find_first_of(".eE") == std::string::npos)
          sqlite3_bind_int64(st, i, std::strtoll(v.c_str(), nullptr, 10));
        else
          sqlite3_bind_double(st, i, std::strtod(v.c_str(), nullptr));
      }
      rows.clear();
      while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        if ((rc = sqlite3_step(st)) != SQLITE_ROW) break;
        std::vector<std::string> row;
        for (int c = 0; c < sqlite3_column_count(st); ++c) row.push_back(Cell(st, c));
        rows.push_back(std::move(row));
      }
      sqlite3_finalize(st);
      if (rc != SQLITE_DONE) {
        std::string msg = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK TO stmt; RELEASE stmt", nullptr, nullptr, nullptr);
        throw db::Error(msg);
      }
    }
    sqlite3_exec(db_, "RELEASE stmt", nullptr, nullptr, nullptr);
    return rows;
  }

  std::string ErrorOf(const std::string& tsql) {
    try {
      Run(tsql);
    } catch (const db::Error& e) {
      return e.what();
    }
    return "(no error)";
  }

  Rows RawRows(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
    Rows rows;
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int c = 0; c < sqlite3_column_count(st); ++c) row.push_back(Cell(st, c));
      rows.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    return rows;
  }

  struct Case {
    std::string sql;
    Rows want;
  };
  void Expect(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      try {
        EXPECT_EQ(Run(c.sql), c.want) << c.sql;
      } catch (const db::Error& e) {
        ADD_FAILURE() << c.sql << "\n  failed: " << e.what();
      }
    }
  }

  sqlite3* db_ = nullptr;
  TestCatalog catalog_{nullptr};
};

TEST_F(Conformance, LookupsOfTheAccountSet) {
  Expect({
      {"select bproperty from code where ccode='2202'", {{"1"}}},
      {"select cexch_name from code where ccode='1002'", {{"USD"}}},
      // Codes compare without case and trailing blanks.
      {"select ccode from code where ccode='a01'", {{"A01 "}}},
      {"select ccode from code where ccode='A01  '", {{"A01 "}}},
      {"select ccode,bproperty from code where bend=1 and cCode = '1001'", {{"1001", "0"}}},
      // Numbers unquoted, with leading zeros; mixed-case keywords; a period 10 that a
      // text comparison would sort before 2.
      {"select iid,dbegin,dend from ua_period where cacc_id='001' and iyear=2006 and iid=01",
       {{"1", "2006-01-01 00:00:00", "2006-01-31 00:00:00"}}},
      {"SELECT iid FROM ua_period WHERE cacc_id='001' And iyear=2006 and iid>=3 ORDER BY iid", {{"3"}, {"10"}}},
      {"select iid,dbegin from ua_period where cacc_id='001' and iyear=2006 and dbegin<='20060315' order by iid desc",
       {{"3", "2006-03-01 00:00:00"}, {"2", "2006-02-01 00:00:00"}, {"1", "2006-01-01 00:00:00"}}},
      {"select * from code where ccode='1001'", {{"1001", "NULL", "0", "1"}}},
      {"select count(*) as n from code", {{"4"}}},
  });
}

TEST_F(Conformance, DateLiteralsCompareChronologicallyInEveryForm) {
  // The day a voucher of 15 February falls in, whatever form the date is written in.
  for (const char* day : {"20060215", "2006-02-15", "20060215 23:59:59", "2006-02-15 12:00:00",
                          "2006-02-15T08:30:00", "2006/2/15"}) {
    std::string sql = std::string("select iyear,iid,dbegin from ua_period where cacc_id='001' and iyear=2006 ") +
                      "and dbegin<='" + day + "' and dend>='" + day + "'";
    EXPECT_EQ(Run(sql), (Rows{{"2006", "2", "2006-02-01 00:00:00"}})) << day;
  }
  EXPECT_EQ(Run("select iid from ua_period where dbegin<='2006-02-28T23:59:59' and dend>='2006-02-28'"),
            (Rows{{"2"}}));
  EXPECT_EQ(Run("select count(*) from gl_accvouch where dbill_date>='2006-01-05' and dbill_date<='20060105'"),
            (Rows{{"3"}}));
}

TEST_F(Conformance, MovementQueriesGroupAndSumExactly) {
  const std::string head =
      "select gl_accvouch.ccode,gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,ccus_id,csup_id,"
      "citem_id,citem_class,sum(md) as summd,sum(mc) as summc,sum(md_f) as summd_f,sum(mc_f) as summc_f "
      "from gl_accvouch where gl_accvouch.dbill_date>='20060101' and gl_accvouch.dbill_date<='20060131'";
  const std::string group =
      " group by gl_accvouch.ccode,gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,ccus_id,"
      "csup_id,citem_id,citem_class";
  Expect({
      // Posted vouchers, iflag NULL or 2.
      {head + " and ibook=1 and (iflag is null or iflag=2) and iperiod>=1 and iperiod<=12" + group,
       {{"1001", "NULL", "2006-01-05 00:00:00", "01", "NULL", "NULL", "NULL", "NULL", "NULL", "150", "40.5", "0",
         "0"}}},
      // Audited vouchers: a checker that is neither NULL nor empty.
      {head + " and gl_accvouch.ccheck <> '' and gl_accvouch.ccheck Is Not NULL and (iflag is null or iflag=2)" +
           " and iperiod>=1 and iperiod<=12" + group + " order by gl_accvouch.ccode",
       {{"1001", "NULL", "2006-01-05 00:00:00", "01", "NULL", "NULL", "NULL", "NULL", "NULL", "150", "0", "0", "0"},
        {"1002", "USD", "2006-01-05 00:00:00", "NULL", "NULL", "NULL", "NULL", "01", "97", "10", "0", "1.25",
         "0"}}},
      // 0.1 ten times is 1 exactly; all-NULL and empty sums are NULL.
      {"select sum(md) from amounts where ccode='tenths'", {{"1"}}},
      {"select sum(md) from amounts where ccode='none'", {{"NULL"}}},
      {"select sum(md) from amounts where ccode='fine'", {{"3.023458"}}},
      {"select sum(md) from amounts where ccode='large'", {{"23456789012.05"}}},
      {"select sum(md) from amounts where ccode='nothing'", {{"NULL"}}},
  });
  // Balances by dimension: implicit aliases, names in another case than declared,
  // and customer codes that differ only in case and blanks in one group (which
  // spelling it shows is not fixed).
  Rows rows = Run(
      "select ccode,cDept_id,cPerson_id,cCus_id,cSup_id,cItem_Class,cItem_id,sum(mb) mb,sum(mb_f) mb_f "
      "from GL_AccMultiAss where iperiod=1 and ccode='1122' group by ccode,cDept_id,cPerson_id,cCus_id,cSup_id,"
      "citem_class,cItem_id order by ccode,cdept_id");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0][3] == "C1" || rows[0][3] == "c1 ") << rows[0][3];
  EXPECT_EQ(rows[0][7], "0.3");
  EXPECT_EQ(rows[1], (std::vector<std::string>{"1122", "02", "NULL", "NULL", "NULL", "NULL", "NULL", "5", "1"}));
}

TEST_F(Conformance, TheCashVoucherRunFromStageToTarget) {
  Run("create table Temp_ETL_GL_CashVouch" + std::string(kCashVouchDdl));
  // The target's constraint name is used again in tempdb: another database, no clash.
  Run("create table tempdb..Temp_ETL_GL_CashVouch7" + std::string(kCashVouchDdl));
  Expect({
      {"select name from sysobjects where name='Temp_ETL_GL_CashVouch'", {{"Temp_ETL_GL_CashVouch"}}},
      {"select name from tempdb..sysobjects where name='temp_etl_gl_cashvouch7'", {{"Temp_ETL_GL_CashVouch7"}}},
      {"select name from sysobjects where name='Temp_ETL_GL_CashVouch7'", {}},
  });
  // The staging statement, with a password holding ';' and an apostrophe.
  Run("insert into tempdb..Temp_ETL_GL_CashVouch7(date,VouchId,code_no,DepartmentName,CustomerName,SupplierName,"
      "EmployeeName,citem_class,ItemName,CashItemId,NatInMoney,NatOutMoney)  SELECT v.dbill_date,v.csign+'-'+"
      "REPLICATE('0', 4-len(v.ino_id))+convert(char(5),v.ino_id),v.ccode,v.cdept_id,v.ccus_id,v.csup_id,"
      "v.cperson_id,v.citem_class,v.citem_id,c.ccashitem,c.md,c.mc  FROM OPENROWSET('SQLOLEDB','accsrv';'sa';"
      "'pw;x''y','SELECT * FROM vxdata_001_2006.dbo.gl_cashtable') AS c  INNER JOIN OPENROWSET('SQLOLEDB',"
      "'accsrv';'sa';'pw;x''y','SELECT * FROM vxdata_001_2006.dbo.gl_accvouch') AS v  ON c.iperiod = v.iperiod "
      "and c.isignseq=v.isignseq and c.ino_id=v.ino_id and c.inid=v.inid and v.dbill_date>='2006-01-01' and "
      "v.dbill_date<='20060228'");
  Expect({
      // Voucher numbers padded to four digits, then char(5); 12345 has no room: NULL.
      {"select VouchId,NatInMoney,NatOutMoney from tempdb..Temp_ETL_GL_CashVouch7 order by date,VouchId,NatOutMoney",
       {{"S-0012   ", "150", "0"}, {"S-0012   ", "0", "40.5"}, {"S-0013   ", "99", "0"}, {"NULL", "0", "7"}}},
      {"select distinct date from tempdb..Temp_ETL_GL_CashVouch7 order by date",
       {{"2006-01-05 00:00:00"}, {"2006-01-06 00:00:00"}, {"2006-02-10 00:00:00"}}},
  });
  // Period stamping and the name passes update by value; '01' and '01 ' are one
  // department, 'd02' is found as 'D02'.
  Run("update tempdb..Temp_ETL_GL_CashVouch7 set AccountTime='200601' where date='2006-01-05'");
  Expect({
      {"select distinct DepartmentName from tempdb..Temp_ETL_GL_CashVouch7 order by DepartmentName",
       {{"01"}, {"d02"}}},
  });
  Run("update tempdb..Temp_ETL_GL_CashVouch7 set DepartmentName=N'O''Brien 销售部' where DepartmentName='D02'");
  Run("update tempdb..Temp_ETL_GL_CashVouch7 set DepartmentName=N'总部' where DepartmentName='01'");
  Run("insert  Into Temp_ETL_GL_CashVouch (date,AccountTime,VouchId,code_no,DepartmentName,CustomerName,"
      "SupplierName,EmployeeName,ItemName,CashItemId,NatInMoney,NatOutMoney)  select date,AccountTime,VouchId,"
      "code_no,DepartmentName,CustomerName,SupplierName,EmployeeName,ItemName,CashItemId,NatInMoney,NatOutMoney "
      "from tempdb..Temp_ETL_GL_CashVouch7");
  Run("drop table tempdb..Temp_ETL_GL_CashVouch7");
  Expect({
      {"select name from tempdb..sysobjects where name='Temp_ETL_GL_CashVouch7'", {}},
      {"select DepartmentName,count(*) from Temp_ETL_GL_CashVouch where AccountTime='200601' group by "
       "DepartmentName",
       {{"总部", "2"}}},
      {"select count(*) from Temp_ETL_GL_CashVouch where DepartmentName=N'总部'", {{"3"}}},
      {"select DepartmentName,CustomerName from Temp_ETL_GL_CashVouch where VouchId is null",
       {{"O'Brien 销售部", "C1"}}},
  });
  // Every row got its own upper-case GUID from the column default.
  EXPECT_EQ(RawRows("SELECT count(DISTINCT ID) FROM Temp_ETL_GL_CashVouch WHERE ID GLOB "
                    "'[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]-[0-9A-F][0-9A-F][0-9A-F]"
                    "[0-9A-F]-4[0-9A-F][0-9A-F][0-9A-F]-[89AB][0-9A-F][0-9A-F][0-9A-F]-[0-9A-F][0-9A-F][0-9A-F]"
                    "[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]'"),
            (Rows{{"4"}}));
  // Declared types stay readable, and the key column takes no NULL.
  EXPECT_EQ(RawRows("SELECT type, \"notnull\" FROM pragma_table_info('Temp_ETL_GL_CashVouch') WHERE name IN "
                    "('ID','Date','NatInMoney') ORDER BY cid"),
            (Rows{{"nvarchar(36)", "1"}, {"datetime", "0"}, {"decimal(27,8)", "0"}}));
}

TEST_F(Conformance, TheBalanceRunWritesItsFactRows) {
  Run(kSumDdl);
  Run("insert into Temp_Etl_GL_Sum (code_no,Date,AccountTime,CurrencyID,departmentid,customerid,supplierid,"
      "employeeid,citem_id,citem_class,mb,mb_f,md,md_f,mc,mc_f,me,me_f)  values ('1001','20060105','200601',"
      "'RMB','01','','','','9701','97',0,0 ,150,0,40.5,0,0,0)");
  Run("insert into Temp_Etl_GL_Sum (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,mc_f,me,me_f)  "
      "values ('1002','2006-01-06','200601','USD',0,0 ,-12.5,0.0001,0,0,0,0)");
  Run("insert into Temp_Etl_GL_Sum (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,mc_f)  values "
      "('1001','20060201','200602','RMB',0,0,0.1,0,0,0)");
  Expect({
      {"select code_no,Date,md,mc from Temp_Etl_GL_Sum where date>='20060101' and date<='2006-01-31' order by date",
       {{"1001", "2006-01-05 00:00:00", "150", "40.5"}, {"1002", "2006-01-06 00:00:00", "-12.5", "0"}}},
      {"select distinct code_no from Temp_Etl_GL_Sum where date='20060105'", {{"1001"}}},
      {"select mb,mb_f from Temp_Etl_GL_Sum where code_no='1002' and date='20060106'", {{"0", "0"}}},
      {"select code_no,sum(md) as s from Temp_Etl_GL_Sum group by code_no order by code_no",
       {{"1001", "150.1"}, {"1002", "-12.5"}}},
  });
  Run("delete  from Temp_Etl_GL_Sum where date>='20060101' and date<='20060131'");
  EXPECT_EQ(Run("select count(*) from Temp_Etl_GL_Sum"), (Rows{{"1"}}));
  Run("delete  from Temp_Etl_GL_Sum");
  Run("Drop Table Temp_Etl_GL_Sum");
  EXPECT_EQ(Run("select name from sysobjects where name='Temp_Etl_GL_Sum'"), Rows{});
}

TEST_F(Conformance, ConcatenationAndConversionTyping) {
  Expect({
      {"select csign+'-'+REPLICATE('0', 4-len(ino_id))+convert(char(5),ino_id) from gl_accvouch where inid=1 "
       "and ino_id>=13 order by ino_id",
       {{"S-0013   "}, {"NULL"}}},
      // A text meeting a number is read as a number; a NULL makes the whole NULL.
      {"select ccode + 1 from code where ccode='1001'", {{"1002"}}},
      {"select cexch_name + 'x', ccode + cexch_name from code where ccode='1001'", {{"NULL", "NULL"}}},
      {"select len(ccode), len('ab  ') from code where ccode='A01'", {{"3", "2"}}},
      {"select max(ccode), min(ccode) from code", {{"A01 ", "1001"}}},
  });
  // SQL Server reads the text column as a number where it meets one, and fails on
  // the first row that is none.
  EXPECT_EQ(ErrorOf("select cexch_name + 1 from code where ccode='1002'"),
            "Conversion failed when converting the nvarchar value 'USD' to data type int.");
  EXPECT_EQ(ErrorOf("select ccode from code where ccode = 1001"),
            "Conversion failed when converting the nvarchar value 'A01 ' to data type int.");
  EXPECT_EQ(Run("select count(*) from ua_period where cacc_id = 1"), (Rows{{"4"}}));
}

TEST_F(Conformance, AConstraintNameIsAnObjectOfItsDatabase) {
  Run("create table tempdb..Stage1(ID nvarchar(36) not null default newid(), Code nvarchar(10) null,"
      "constraint PK_STAGE primary key nonclustered (ID))");
  // A second table with the same constraint name in the same database fails as a
  // whole (the engine reads SQLite's text as SQL Server's 2714/1750).
  EXPECT_EQ(ErrorOf("create table tempdb..Stage2(ID nvarchar(36) not null default newid(),"
                    "constraint PK_STAGE primary key clustered (ID))"),
            "index PK_STAGE already exists");
  EXPECT_EQ(Run("select name from tempdb..sysobjects where name='Stage2'"), Rows{});
  EXPECT_EQ(Run("select name from tempdb..sysobjects where name='PK_STAGE'"), (Rows{{"PK_STAGE"}}));
  // The key refuses duplicates and NULLs.
  Run("insert into tempdb..Stage1 (ID,Code) values ('k1','a')");
  EXPECT_NE(ErrorOf("insert into tempdb..Stage1 (ID,Code) values ('k1','b')"), "(no error)");
  EXPECT_NE(ErrorOf("insert into tempdb..Stage1 (ID,Code) values (NULL,'b')"), "(no error)");
}

TEST_F(Conformance, ValuesAreConvertedForTheirColumns) {
  Run(kSumDdl);
  struct {
    const char* sql;
    const char* error;
  } cases[] = {
      {"insert into Temp_Etl_GL_Sum (code_no,Date) values ('1','20060230')",
       "The conversion of a varchar data type to a datetime data type resulted in an out-of-range value."},
      {"insert into Temp_Etl_GL_Sum (code_no,Date) values ('1','17520101')",
       "The conversion of a varchar data type to a datetime data type resulted in an out-of-range value."},
      {"insert into Temp_Etl_GL_Sum (code_no,Date) values ('1','2006-1-x')",
       "Conversion failed when converting date and/or time from character string."},
      {"delete from Temp_Etl_GL_Sum where date<='yesterday'",
       "Conversion failed when converting date and/or time from character string."},
      {"update Temp_Etl_GL_Sum set md='1.5E3' where code_no='1'", "Error converting data type varchar to numeric."},
      {"update Temp_Etl_GL_Sum set md='' where code_no='1'", "Error converting data type varchar to numeric."},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.sql), c.error) << c.sql;
  Run("insert into Temp_Etl_GL_Sum (code_no,Date,md) values ('1','20060105 13:45:00.999','12.50')");
  Run("insert into Temp_Etl_GL_Sum (code_no,Date,md) values ('2','2006-12-31 23:59:59.999',NULL)");
  EXPECT_EQ(RawRows("SELECT Date, md FROM Temp_Etl_GL_Sum ORDER BY code_no"),
            (Rows{{"2006-01-05 13:45:01", "12.5"}, {"2007-01-01 00:00:00", "NULL"}}));
}

TEST_F(Conformance, ErrorsReadAsSqlServers) {
  struct {
    const char* sql;
    const char* error;
  } cases[] = {
      {"select name from nowhere where name='x'", "Invalid object name 'nowhere'."},
      {"delete  from tempdb..Missing where date<='20060101'", "Invalid object name 'tempdb..Missing'."},
      {"insert into Missing select * from code", "Invalid object name 'Missing'."},
      {"select nosuch from code", "Invalid column name 'nosuch'."},
      {"update code set nosuch=1 where ccode='1'", "Invalid column name 'nosuch'."},
      {"insert into code (ccode,nosuch) values ('1',2)", "Invalid column name 'nosuch'."},
      {"select c.ccode from code where ccode='1'", "The multi-part identifier \"c.ccode\" could not be bound."},
      {"select c.md from gl_cashtable as c inner join gl_accvouch as v on c.inid=v.inid where md=1",
       "Ambiguous column name 'md'."},
      {"select ccode,cexch_name,sum(md) from gl_accvouch group by ccode",
       "Column 'gl_accvouch.cexch_name' is invalid in the select list because it is not contained in either an "
       "aggregate function or the GROUP BY clause."},
      {"select ccode from gl_accvouch group by cexch_name",
       "Column 'gl_accvouch.ccode' is invalid in the select list because it is not contained in either an "
       "aggregate function or the GROUP BY clause."},
      {"select sum(ccode) from code", "Operand data type nvarchar is invalid for sum operator."},
      {"select ccode from gl_accvouch where sum(md)=1",
       "An aggregate may not appear in the WHERE clause unless it is in a subquery contained in a HAVING clause "
       "or a select list, and the column being aggregated is an outer reference."},
      {"insert into code (ccode,bend) values ('1')",
       "There are more columns in the INSERT statement than values specified in the VALUES clause. The number of "
       "values in the VALUES clause must match the number of columns specified in the INSERT statement."},
      {"insert into code (ccode) values ('1',2)",
       "There are fewer columns in the INSERT statement than values specified in the VALUES clause. The number of "
       "values in the VALUES clause must match the number of columns specified in the INSERT statement."},
      {"insert into code (ccode,bend) select ccode from code",
       "The select list for the INSERT statement contains fewer items than the insert list. The number of SELECT "
       "values must match the number of INSERT columns."},
      {"select ccode from code where ccode='1' and", "Incorrect syntax near 'and'."},
      {"select ccode code2 code3 from code", "Incorrect syntax near 'code3'."},
      {"select ccode from where ccode='x'", "Incorrect syntax near 'where'."},
      {"select * from nodb..code", "Database 'nodb' does not exist. Make sure that the name is entered correctly."},
      {"select * from OPENROWSET('SQLOLEDB','accsrv';'sa';'wrong','SELECT * FROM vxdata_001_2006.dbo.code')",
       "Login failed for user 'sa'."},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.sql), c.error) << c.sql;
}

TEST_F(Conformance, ConstructsOutsideTheComponentsFormsAreRefused) {
  const char* secret = "pw;x''y";
  struct {
    std::string sql;
    const char* construct;
  } cases[] = {
      {"select ccode from code where ccode like '1%'", "like predicates"},
      {"select ccode from code where ccode not in ('1')", "in predicates"},
      {"select ccode,count(*) from code group by ccode having count(*)>1", "HAVING"},
      {"select c.ccode from code c left join code d on c.ccode=d.ccode", "left joins"},
      {"select ccode from code, ua_period", "joins written with commas"},
      {"select ccode from code where ccode=(select max(ccode) from code)", "subqueries"},
      {"select getdate() from code", "function getdate"},
      {"select top 1 ccode from code", "TOP"},
      {"select ccode into tempdb..copy from code", "SELECT ... INTO"},
      {"select ccode from code union select ccode from code", "union"},
      {"delete from code where ccode='1'; drop table code", "more than one statement"},
      {"select case when bend=1 then 1 end from code", "case"},
      {"select * from #stage", "temporary tables (#name)"},
      {"select convert(varchar(5), ccode) from code", "CONVERT to varchar"},
      {"select * from OPENROWSET('MSDASQL','accsrv';'sa';'" + std::string(secret) +
           "','SELECT * FROM vxdata_001_2006.dbo.code')",
       "an OPENROWSET provider other than SQLOLEDB"},
      {"select * from OPENROWSET('SQLOLEDB','accsrv';'sa';'" + std::string(secret) +
           "','SELECT ccode FROM vxdata_001_2006.dbo.code')",
       "an OPENROWSET query other than SELECT * FROM db.dbo.table"},
      {"create table T (ID int identity(1,1))", "column option identity"},
      {"create table T (ID int, primary key (ID))", "constraints without a name"},
  };
  for (const auto& c : cases) {
    std::string e = ErrorOf(c.sql);
    EXPECT_EQ(e, "unsupported in the embedded engine: " + std::string(c.construct)) << c.sql;
    EXPECT_EQ(e.find("pw;x"), std::string::npos);
  }
  // Broken statements around a login do not echo it either.
  for (std::string sql : {"select * from code where ccode=OPENROWSET('SQLOLEDB','accsrv';'sa';'pw;x''y','q')",
                          "insert into OPENROWSET('SQLOLEDB','accsrv';'sa';'pw;x''y','q') values (1)",
                          "select * from OPENROWSET('SQLOLEDB','accsrv';'sa';'pw;x''y,'SELECT * FROM d.dbo.t')"}) {
    std::string e = ErrorOf(sql);
    EXPECT_NE(e, "(no error)") << sql;
    EXPECT_EQ(e.find("pw;x"), std::string::npos) << e;
  }
}

TEST_F(Conformance, StatementsDifferingOnlyInValuesShareOnePlan) {
  const char* pairs[][2] = {
      {"select iyear,iid,dbegin from ua_period where cacc_id='001' and iyear=2006 and dbegin<='20060105' and "
       "dend>='20060105'",
       "select iyear,iid,dbegin from ua_period where cacc_id='002' and iyear=2007 and dbegin<='2007-03-01' and "
       "dend>='2007-03-01'"},
      {"update tempdb..T set DepartmentName=N'销售部' where DepartmentName='01'",
       "update tempdb..T set DepartmentName=N'O''Brien' where DepartmentName='02'"},
      {"insert into T (code_no,md) values ('1',0,0 ,1.5)", "insert into T (code_no,md) values ('2',1,-2 ,0.0001)"},
  };
  for (const auto& p : pairs) {
    Shape a = Normalize(p[0]);
    Shape b = Normalize(p[1]);
    EXPECT_EQ(a.key, b.key) << p[0];
    EXPECT_EQ(a.literals.size(), b.literals.size());
  }
  // One translation serves both, each with its own values.
  Shape first = Normalize(pairs[0][0]);
  Plan plan = Translate(first, catalog_);
  Shape second = Normalize("select iyear,iid,dbegin from ua_period where cacc_id='001' and iyear=2006 and "
                           "dbegin<='2006-03-09' and dend>='2006-03-09'");
  ASSERT_EQ(first.key, second.key);
  EXPECT_EQ(Translate(second, catalog_).statements, plan.statements);
  EXPECT_EQ(Run("select iyear,iid,dbegin from ua_period where cacc_id='001' and iyear=2006 and "
                "dbegin<='2006-03-09' and dend>='2006-03-09'"),
            (Rows{{"2006", "3", "2006-03-01 00:00:00"}}));
  // A bracketed name is a name, never a keyword, and keeps its own key.
  EXPECT_NE(Normalize("select [from] from code").key, Normalize("select from from code").key);
}

}  // namespace
