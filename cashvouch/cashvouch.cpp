// CashVouch: the cash voucher run and its passes. The run state lives once per
// thread (the apartment model: every CashVouch object of a thread shares it) and
// keeps its connections open until the next run on the thread. Statements are
// built from their fixed fragments in order, values through the SQL helpers only.
#include "cashvouch/cashvouch.h"

#include <cctype>
#include <exception>
#include <memory>

#include "com/error.h"
#include "db/ado.h"
#include "db/engine.h"
#include "db/conventions.h"
#include "db/sqltext.h"
#include "report/report.h"

namespace cashvouch {
namespace {

using com::Variant;
using db::SqlDate;
using db::SqlText;

struct RunState {
  std::string sTargetTable;
  std::unique_ptr<db::Connection> cnAcc, cnOlap, cnSys;
  std::string sSessionTable, sStageTable, sZtNo, sZtYear;
  com::ComPtr<db::Recordset> rsWork, rsLookup;
};

thread_local RunState g;

db::Connection& Need(const std::unique_ptr<db::Connection>& cn) {
  if (!cn) throw db::Error("Operation is not allowed when the object is closed.");
  return *cn;
}

// The staging table's columns; cItem_class is the stage's alone.
struct ColumnLine {
  const char* text;
  bool stage_only;
};
constexpr ColumnLine kColumns[] = {
    {"(ID                   nvarchar(36)          not null default newid(),", false},
    {"Date                 datetime             null,", false},
    {"AccountTime          nvarchar(8)           null,", false},
    {"VouchId              nvarchar(20)          null,", false},
    {"Code_No              nvarchar(15)          null,", false},
    {"cComCode             nvarchar(4)           null,", false},
    {"DepartmentName         nvarchar(80)          null,", false},
    {"CustomerName           nvarchar(142)          null,", false},
    {"SupplierName           nvarchar(142)          null,", false},
    {"EmployeeName           nvarchar(80)          null,", false},
    {"cItem_class             nvarchar(80)          null,", true},
    {"ItemName             nvarchar(80)          null,", false},
    {"CashItemId          nvarchar(98)           null,", false},
    {"NatInMoney                   decimal(27,8)        null,", false},
    {"NatOutMoney                   decimal(27,8)        null,", false},
};

void CreateTable(const std::string& name, bool stage, const std::string& constraint) {
  std::string sql = "create table " + name;
  for (const auto& c : kColumns)
    if (!c.stage_only || stage) sql += c.text;
  sql += "constraint " + constraint + " primary key nonclustered (ID)";
  sql += ")";
  Need(g.cnOlap).Execute(sql);
}

// The single-column name passes and their look-ups: one algorithm, this table.
struct NamePass {
  const char* pass;
  const char* column;      // staging column: distinct query, field and set/where pieces
  const char* lookup;      // look-up query up to the code
  const char* name_field;  // field the name is read back from
};
constexpr NamePass kNamePasses[] = {
    {"SetDept", "DepartmentName", "select cdepname from department where cdepcode='", "cdepname"},
    {"SetCus", "CustomerName", "select cCusName from customer where cCuscode='", "ccusname"},
    {"SetSup", "SupplierName", "select cVenName from vendor where cVencode='", "cVenname"},
    {"SetPerson", "EmployeeName", "select cPersonName from person where cPersoncode='", "cPersonname"},
};

// A name look-up: the first row's name, or "" when the code has no master row.
std::string LookupName(const std::string& sql, const char* field) {
  g.rsLookup = db::Recordset::Create();
  g.rsLookup->Open(sql, Need(g.cnAcc), 2);
  std::string name = g.rsLookup->Eof() ? "" : g.rsLookup->Field(field).ToText();
  g.rsLookup->Close();
  g.rsLookup.Reset();
  return name;
}

void RunNamePass(const NamePass& p) {
  report::BeginPass(p.pass);
  g.rsWork = db::Recordset::Create();
  g.rsWork->Open(std::string("select distinct ") + p.column + " from " + g.sStageTable, Need(g.cnOlap), 2);
  for (; !g.rsWork->Eof(); g.rsWork->MoveNext()) {
    Variant code = g.rsWork->Field(p.column);
    if (code.IsNull()) continue;
    std::string name = LookupName(p.lookup + SqlText(code) + "'", p.name_field);
    Need(g.cnOlap).Execute("update " + g.sStageTable + " set " + p.column + "=N'" + SqlText(name) +
                           "' where " + p.column + "='" + SqlText(code) + "'");
  }
  g.rsWork->Close();
  g.rsWork.Reset();
}

// An amount exactly as stored: the columns keep eight decimals, more than a
// currency value holds. Anything but a number is a type mismatch.
com::DECIMAL ExactAmount(const Variant& v) {
  auto d = com::DecimalFromText(db::SqlAmount(v));
  if (!d) com::ThrowTypeMismatch();
  return *d;
}

bool IsZero(const com::DECIMAL& d) { return d.Hi32 == 0 && d.Lo64 == 0; }

// The item table of a class. The class is part of the table name, not a value, so
// it cannot be quoted: one with a character that would end the name (a blank, a
// quote, an operator, a comment) names no item table, and is refused as such
// rather than allowed to change the statement.
std::string ItemTable(const Variant& cls) {
  const std::string table = "fitemss" + SqlText(cls);
  return db::SqlName(table, table);
}

std::string GetAccountTime(const std::string& date_sql) {
  auto rs = db::Recordset::Create();
  rs->Open("select iyear,iid,dbegin from ua_period where cacc_id='" + SqlText(g.sZtNo) + "' and iyear=" +
               g.sZtYear + " and dbegin<='" + date_sql + "' and dend>='" + date_sql + "'",
           Need(g.cnSys), -1);
  std::string year = rs->Field("iyear").ToText();
  std::string iid = std::to_string(db::PeriodNumber(rs->Field("iid")));
  return year + "." + (iid.size() < 2 ? "0" + iid : iid);
}

}  // namespace

int16_t CashVouch::ExtractData(const com::Variant& sAccServer, const com::Variant& sAccPwd,
                               const com::Variant& sAccDbName, const com::Variant& sOlapServer,
                               const com::Variant& sOlapPwd, const com::Variant& sOlapDbName,
                               const com::Variant& sBeginDate, const com::Variant& sEndDate,
                               com::Variant& sErrorMsg) {
  // The dates are converted before the trap: a date that cannot be read fails the
  // call itself, not the run.
  const com::DATE begin = sBeginDate.ToDate();
  const com::DATE end = sEndDate.ToDate();
  if (end < begin) {
    sErrorMsg = Variant::Text("{{Q6.GL.TALLYPORT.MSG_DATE}}");
    return 1;
  }
  report::BeginRun("CashVouch");
  // Statements are committed in batches; the run's result is given once all of
  // them are durable.
  db::WriteBatch batch;
  try {
    g.sTargetTable = "Temp_ETL_GL_CashVouch";
    // A run starts clean, whatever a failed run on this thread left open.
    g.rsWork.Reset();
    g.rsLookup.Reset();
    g.cnAcc.reset();
    g.cnOlap.reset();
    g.cnSys.reset();
    const std::string acc_server = sAccServer.IsNull() ? "" : sAccServer.ToText();
    const std::string acc_pwd = sAccPwd.IsNull() ? "" : sAccPwd.ToText();
    const std::string acc_db = sAccDbName.IsNull() ? "" : sAccDbName.ToText();
    report::BeginPass("connect");
    g.cnAcc = std::make_unique<db::Connection>();
    g.cnAcc->Open(db::ConnectionString(db::ClassKind::CashVouch, db::Role::Acc, acc_server, acc_pwd, acc_db));
    g.cnOlap = std::make_unique<db::Connection>();
    g.cnOlap->Open(db::ConnectionString(db::ClassKind::CashVouch, db::Role::Olap,
                                        sOlapServer.IsNull() ? "" : sOlapServer.ToText(),
                                        sOlapPwd.IsNull() ? "" : sOlapPwd.ToText(),
                                        sOlapDbName.IsNull() ? "" : sOlapDbName.ToText()));
    g.cnAcc->SetCommandTimeout(0);
    g.cnOlap->SetCommandTimeout(0);
    g.cnSys = std::make_unique<db::Connection>();
    g.cnSys->Open(db::ConnectionString(db::ClassKind::CashVouch, db::Role::Sys, acc_server, acc_pwd, ""));
    // The account set is named inside the staging statement's remote queries, where
    // it is a name, not a literal: one that would end itself there is refused before
    // any statement is sent.
    const std::string remote_db = db::SqlName(acc_db, acc_db + ".dbo.gl_cashtable");

    report::BeginPass("stage");
    g.rsWork = db::Recordset::Create();
    if (!db::OpenExistenceTest(*g.rsWork, *g.cnOlap, g.sTargetTable, false))
      CreateTable(g.sTargetTable, false, "PK_TEMP_ETL_GL_CASHVOUCH");
    g.rsWork->Close();
    const std::string session = db::GetTerminalSessionId();
    g.sSessionTable = g.sTargetTable + session;
    g.sStageTable = "tempdb.." + g.sSessionTable;
    if (db::OpenExistenceTest(*g.rsWork, *g.cnOlap, g.sSessionTable, true))
      g.cnOlap->Execute("drop table " + g.sStageTable);
    // The stage's constraint carries the session id: constraint names are unique in
    // tempdb, and one fixed name would let one session's leftover block all others.
    CreateTable(g.sStageTable, true, "PK_TEMP_ETL_GL_CASHVOUCH" + session);
    g.rsWork->Close();
    g.rsWork.Reset();

    g.cnOlap->Execute(
        std::string("insert ") + "into " + g.sStageTable +
        "(date,VouchId,code_no,DepartmentName,CustomerName,SupplierName,EmployeeName,citem_class,"
        "ItemName,CashItemId,NatInMoney,NatOutMoney) " +
        " SELECT v.dbill_date,v.csign+'-'+REPLICATE('0', 4-len(v.ino_id))+convert(char(5),v.ino_id),"
        "v.ccode,v.cdept_id,v.ccus_id,v.csup_id,v.cperson_id,v.citem_class,v.citem_id,c.ccashitem,c.md,c.mc " +
        " FROM OPENROWSET('SQLOLEDB','" + SqlText(acc_server) + "';'sa';'" + SqlText(acc_pwd) +
        "','SELECT * FROM " + SqlText(remote_db) + ".dbo.gl_cashtable') AS c " +
        " INNER JOIN OPENROWSET('SQLOLEDB','" + SqlText(acc_server) + "';'sa';'" + SqlText(acc_pwd) +
        "','SELECT * FROM " + SqlText(remote_db) + ".dbo.gl_accvouch') AS v " +
        " ON c.iperiod = v.iperiod and c.isignseq=v.isignseq and c.ino_id=v.ino_id and c.inid=v.inid and "
        "v.dbill_date>='" + SqlDate(begin) + "' and v.dbill_date<='" + SqlDate(end) + "'");

    db::AccountSetKey key = db::AccountSetFromDbName(acc_db);
    g.sZtNo = key.zt_no;
    g.sZtYear = key.zt_year;

    SetFiscalDate();
    SetDept();
    SetCus();
    SetSup();
    SetPerson();
    SetJe();
    SetItem();
    CopyData();
    g.cnOlap->Execute("drop table " + g.sStageTable);
    batch.Commit();
  } catch (const std::exception& e) {
    report::EndRun(false);
    sErrorMsg = Variant::Text(batch.CommitAfter(e));
    return 1;
  }
  report::EndRun(true);
  return 0;
}

void CashVouch::SetFiscalDate() {
  report::BeginPass("SetFiscalDate");
  g.rsWork = db::Recordset::Create();
  g.rsWork->Open("select distinct date from " + g.sStageTable, Need(g.cnOlap), 2);
  for (; !g.rsWork->Eof(); g.rsWork->MoveNext()) {
    // The same date text in the period query and in the update.
    const std::string day = SqlDate(g.rsWork->Field("Date").ToDate());
    const std::string label = GetAccountTime(day);
    Need(g.cnOlap).Execute("update " + g.sStageTable + " set AccountTime='" + SqlText(label) +
                           "' where date='" + day + "'");
  }
  g.rsWork->Close();
  g.rsWork.Reset();
}

void CashVouch::SetDept() { RunNamePass(kNamePasses[0]); }
void CashVouch::SetCus() { RunNamePass(kNamePasses[1]); }
void CashVouch::SetSup() { RunNamePass(kNamePasses[2]); }
void CashVouch::SetPerson() { RunNamePass(kNamePasses[3]); }

void CashVouch::SetItem() {
  report::BeginPass("SetItem");
  g.rsWork = db::Recordset::Create();
  g.rsWork->Open("select distinct ItemName,citem_class from " + g.sStageTable, Need(g.cnOlap), 2);
  for (; !g.rsWork->Eof(); g.rsWork->MoveNext()) {
    Variant code = g.rsWork->Field("ItemName");
    if (code.IsNull()) continue;
    Variant cls = g.rsWork->Field("cItem_class");
    std::string name = LookupName("select cItemName from " + ItemTable(cls) + " where cItemcode='" +
                                      SqlText(code) + "'",
                                  "cItemname");
    Need(g.cnOlap).Execute("update " + g.sStageTable + " set ItemName=N'" + SqlText(name) +
                           "' where ItemName='" + SqlText(code) + "' and citem_class='" + SqlText(cls) + "'");
  }
  g.rsWork->Close();
  g.rsWork.Reset();
}

std::string CashVouch::GetFx(const std::string& sItemid) {
  g.rsLookup = db::Recordset::Create();
  g.rsLookup->Open("select cdirection from fitemss98 where citemcode='" + SqlText(sItemid) + "'",
                   Need(g.cnAcc), 2);
  std::string d = g.rsLookup->Eof() ? "" : g.rsLookup->Field("cdirection").ToText();
  g.rsLookup->Close();
  g.rsLookup.Reset();
  return d;
}

bool CashVouch::GetCodeFx(const std::string& sCode_id) {
  g.rsLookup = db::Recordset::Create();
  g.rsLookup->Open("select bproperty from code where ccode='" + SqlText(sCode_id) + "'", Need(g.cnAcc), 2);
  bool bp = !g.rsLookup->Eof() && g.rsLookup->Field("bproperty").ToBool();
  g.rsLookup->Close();
  g.rsLookup.Reset();
  return bp;
}

void CashVouch::SetJe() {
  report::BeginPass("SetJe");
  auto rs = db::Recordset::Create();
  rs->SetLockType(3);
  rs->Open("select * from " + g.sStageTable, Need(g.cnOlap), 2);
  // Moving out of a column: the other column takes its value with the sign
  // reversed (NULL stays NULL), then the column becomes 0.
  auto move = [&](const char* from, const char* to) {
    Variant v = rs->Field(from);
    rs->Collect(to, v.IsNull() ? Variant::Null() : Variant::Decimal(com::DecimalNegate(ExactAmount(v))));
    rs->Collect(from, Variant::I4(0));
  };
  int64_t done = 0;
  for (; !rs->Eof(); rs->MoveNext()) {
    const bool in = GetFx(rs->Field("cashItemid").ToText()) == "流入";
    const bool bp = GetCodeFx(rs->Field("code_no").ToText());
    Variant amount = rs->Field("NatInMoney");
    const bool t = !amount.IsNull() && !IsZero(ExactAmount(amount));
    if (in && t != bp) move("NatOutMoney", "NatInMoney");
    if (!in && t == bp) move("NatInMoney", "NatOutMoney");
    rs->Update();
    report::Progress(++done, 0);
  }
  rs->Close();
}

void CashVouch::CopyData() {
  report::BeginPass("CopyData");
  Need(g.cnOlap).Execute(
      std::string("insert ") + " Into " + g.sTargetTable +
      " (date,AccountTime,VouchId,code_no,DepartmentName,CustomerName,SupplierName,EmployeeName,ItemName,"
      "CashItemId,NatInMoney,NatOutMoney) " +
      " select date,AccountTime,VouchId,code_no,DepartmentName,CustomerName,SupplierName,EmployeeName,"
      "ItemName,CashItemId,NatInMoney,NatOutMoney from " + g.sStageTable);
  auto rs = db::Recordset::Create();
  rs->Open("select count(*) as n from " + g.sStageTable, Need(g.cnOlap), -1);
  report::CountRows(g.sTargetTable, "cash line", static_cast<int64_t>(rs->Field("n").ToDouble()));
  rs->Close();
}

}  // namespace cashvouch
