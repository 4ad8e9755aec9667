// Summary: the balance run and its steps. Every statement is built from its fixed
// fragments in order, with values through SqlText, SqlDate and SqlAmount only.
// The compatibility edition's differences key off edition_.compat in the same
// algorithm; nothing here is copied per edition.
#include "summary/summary.h"

#include <cmath>
#include <exception>
#include <memory>

#include "com/error.h"
#include "db/ado.h"
#include "db/engine.h"
#include "db/conventions.h"
#include "db/sqltext.h"
#include "report/report.h"

namespace summary {
namespace {

using com::Variant;
using db::SqlAmount;
using db::SqlDate;
using db::SqlText;

constexpr const char* kFactTable = "Temp_Etl_GL_Sum";
constexpr const char* kDebit = "借";
constexpr const char* kCredit = "贷";

std::string Trim(std::string s) {
  const char* ws = " \t";
  s.erase(0, s.find_first_not_of(ws));
  size_t end = s.find_last_not_of(ws);
  s.erase(end == std::string::npos ? 0 : end + 1);
  return s;
}

// "0#": at least two digits.
std::string TwoDigits(const Variant& v) {
  std::string t = std::to_string(db::PeriodNumber(v));
  return t.size() < 2 ? "0" + t : t;
}

// A flag read from a record set; NULL counts as false.
bool Flag(const db::Recordset& rs, const char* name) {
  Variant v = rs.Field(name);
  return !v.IsNull() && v.ToBool();
}

std::string TextOrEmpty(const Variant& v) { return v.IsNull() || v.IsEmpty() ? "" : v.ToText(); }

com::DATE AsDate(const std::string& text) { return Variant::Text(text).ToDate(); }

// One query's record set, closed when it goes.
class Query {
 public:
  Query(const std::string& sql, db::Connection& cn, int cursor = -1) : rs_(db::Recordset::Create()) {
    rs_->Open(sql, cn, cursor);
  }
  ~Query() {
    if (rs_->IsOpen()) {
      try {
        rs_->Close();
      } catch (...) {
      }
    }
  }
  db::Recordset& operator*() { return *rs_; }
  db::Recordset* operator->() { return rs_.get(); }

 private:
  com::ComPtr<db::Recordset> rs_;
};

// The column definitions of the fact tables: name and type, padded to their fields.
struct ColumnDef {
  const char* name;
  const char* type;
};
constexpr ColumnDef kFactColumns[] = {
    {"ID", "varchar(36)"},      {"Date", "datetime"},       {"AccountTime", "varchar(8)"},
    {"Code_No", "varchar(15)"}, {"cComCode", "varchar(4)"}, {"DepartmentID", "varchar(30)"},
    {"CustomerID", "varchar(25)"}, {"SupplierID", "varchar(25)"}, {"EmployeeID", "varchar(25)"},
    {"cItem_id", "varchar(98)"}, {"cItem_class", "varchar(4)"}, {"mb", "decimal(18,6)"},
    {"mb_f", "decimal(18,6)"},  {"CurrencyID", "varchar(8)"}, {"md", "decimal(18,6)"},
    {"md_f", "decimal(18,6)"},  {"mc", "decimal(18,6)"},    {"mc_f", "decimal(18,6)"},
    {"me", "decimal(18,6)"},    {"me_f", "decimal(18,6)"},
};

std::string Pad(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

}  // namespace

const AccMsgField kAccMsgFields[28] = {
    {"sAccServer", "BSTR"},     {"sAccPwd", "BSTR"},          {"sZtNo", "BSTR"},
    {"sZtYear", "BSTR"},        {"sStartDate", "BSTR"},       {"sPeriodStart", "BSTR"},
    {"sQyDate", "BSTR"},        {"sZtFirstDay", "BSTR"},      {"sPeriodBeginDate", "BSTR"},
    {"sEndDate", "BSTR"},       {"bBulu", "VARIANT_BOOL"},    {"sEtlTableName", "BSTR"},
    {"cCode", "BSTR"},          {"bDc", "VARIANT_BOOL"},      {"cDept_id", "BSTR"},
    {"cPerson_id", "BSTR"},     {"cCus_id", "BSTR"},          {"cSup_id", "BSTR"},
    {"cItem_id", "BSTR"},       {"cItem_class", "BSTR"},      {"Mb", "CURRENCY"},
    {"Mb_f", "CURRENCY"},       {"Md", "CURRENCY"},           {"Md_f", "CURRENCY"},
    {"Mc", "CURRENCY"},         {"Mc_f", "CURRENCY"},         {"cMe", "CURRENCY"},
    {"cMe_f", "CURRENCY"},
};

Summary::Summary(const editions::Edition& edition) : edition_(edition) {}
Summary::~Summary() = default;

db::Connection& Summary::Acc() {
  if (!cn_acc_) throw db::Error("Operation is not allowed when the object is closed.");
  return *cn_acc_;
}
db::Connection& Summary::Olap() {
  if (!cn_olap_) throw db::Error("Operation is not allowed when the object is closed.");
  return *cn_olap_;
}
db::Connection& Summary::Sys() {
  if (!cn_sys_) throw db::Error("Operation is not allowed when the object is closed.");
  return *cn_sys_;
}

std::string Summary::PeriodWhere() const {
  return "cacc_id='" + SqlText(acc_msg_.sZtNo) + "' and iyear=" + acc_msg_.sZtYear;
}

int16_t Summary::ExtractData(const com::Variant& sAccServer, const com::Variant& sAccPwd,
                             const com::Variant& sAccDbName, const com::Variant& sOlapServer,
                             const com::Variant& sOlapPwd, const com::Variant& sOlapDbName,
                             const com::Variant& sBeginDate, const com::Variant& sEndDate,
                             com::Variant& sErrorMsg) {
  report::BeginRun("Summary");
  // Statements are committed in batches; the run's result is given once all of
  // them are durable.
  db::WriteBatch batch;
  try {
    // The incoming message is the voucher scope of the current edition; the
    // compatibility edition only ever writes it.
    voucher_scope_ = edition_.compat ? std::string() : Trim(TextOrEmpty(sErrorMsg));
    // Inside the trap: a date that cannot be read ends the run with its message.
    const com::DATE begin = sBeginDate.ToDate();
    com::DATE end = sEndDate.ToDate();
    if (end < begin) {
      report::EndRun(false);
      sErrorMsg = Variant::Text("起始日期不能小于结束日期！");
      return 1;
    }
    auto& m = acc_msg_;
    m.sEtlTableName = kFactTable;
    m.sAccServer = TextOrEmpty(sAccServer);
    m.sAccPwd = TextOrEmpty(sAccPwd);
    // Every run starts from fresh connections: nothing half-open survives a failure.
    cn_acc_.reset();
    cn_olap_.reset();
    cn_sys_.reset();
    report::BeginPass("connect");
    cn_acc_ = std::make_unique<db::Connection>();
    cn_acc_->Open(db::ConnectionString(db::ClassKind::Summary, db::Role::Acc, m.sAccServer, m.sAccPwd,
                                       TextOrEmpty(sAccDbName)));
    cn_olap_ = std::make_unique<db::Connection>();
    cn_olap_->Open(db::ConnectionString(db::ClassKind::Summary, db::Role::Olap, TextOrEmpty(sOlapServer),
                                        TextOrEmpty(sOlapPwd), TextOrEmpty(sOlapDbName)));
    cn_acc_->SetCommandTimeout(0);
    cn_olap_->SetCommandTimeout(0);

    report::BeginPass("tables");
    {
      auto rs = db::Recordset::Create();
      bool exists = db::OpenExistenceTest(*rs, Olap(), m.sEtlTableName, false);
      if (!exists) CreatEipTable(m.sEtlTableName, 0);
      rs->Close();
      if (edition_.compat) {
        jsc_table_ = "GLJSC_Temp";
        if (!db::OpenExistenceTest(*rs, Olap(), jsc_table_, false)) CreatEipTable(jsc_table_, 1);
        rs->Close();
        // A failed run's leftovers must not feed this run's cumulative stage.
        Olap().Execute("delete  from " + jsc_table_);
      }
    }

    // The general ledger's start date settles the range and the backfill flag.
    std::string g;
    {
      Query rs("select cValue from accinformation where cSysid='GL' and cName='dGLStartDate'", Acc(), 2);
      g = rs->Field("cValue").ToText();
    }
    m.sQyDate = g;
    const com::DATE gd = AsDate(g);
    std::string end_text = TextOrEmpty(sEndDate);
    if (gd >= begin) {
      if (edition_.compat ? end < gd : end <= gd) {
        end = gd;
        end_text = g;
      }
      m.bBulu = true;
      m.sStartDate = g;
    } else {
      m.bBulu = false;
      m.sStartDate = TextOrEmpty(sBeginDate);
    }
    m.sEndDate = end_text;
    const bool clear_up_to_end = m.bBulu && !edition_.compat;

    db::AccountSetKey key = db::AccountSetFromDbName(TextOrEmpty(sAccDbName));
    m.sZtNo = key.zt_no;
    m.sZtYear = key.zt_year;
    cn_sys_ = std::make_unique<db::Connection>();
    cn_sys_->Open(db::ConnectionString(db::ClassKind::Summary, db::Role::Sys, m.sAccServer, m.sAccPwd, ""));

    // The periods around the range are found before anything is deleted, so a range
    // that starts before the year's first period fails with the fact table intact.
    {
      Query rs("select iid,dbegin from ua_period where " + PeriodWhere() + " and dbegin<='" +
                   SqlDate(m.sStartDate) + "' order by iid desc",
               Sys());
      m.sPeriodStart = rs->Field("iid").ToText();
      m.sPeriodBeginDate = rs->Field("dbegin").ToText();
    }
    {
      Query rs("select iid,dbegin from ua_period where " + PeriodWhere() + " and iid=1", Sys());
      m.sZtFirstDay = rs->Field("dbegin").ToText();
    }
    const com::DATE first_day = AsDate(m.sZtFirstDay), start = AsDate(m.sStartDate);
    if (edition_.compat ? first_day >= start : start < first_day) m.bBulu = false;

    report::BeginPass("clear");
    if (clear_up_to_end)
      Olap().Execute("delete  from " + m.sEtlTableName + " where date<='" + SqlDate(m.sEndDate) + "'");
    else
      Olap().Execute("delete  from " + m.sEtlTableName + " where date>='" + SqlDate(m.sStartDate) +
                     "' and date<='" + SqlDate(m.sEndDate) + "'");

    std::string period_start = m.sPeriodStart;
    AddStartAcc(period_start);

    if (edition_.compat) {
      // The start day came from AddStartAcc; every later day of the range, once.
      report::BeginPass("days");
      const com::DATE last = AsDate(m.sEndDate);
      for (com::DATE d = std::floor(AsDate(m.sStartDate)) + 1; d <= last; d += 1) AddOneAcc(d);
      auto rs = db::Recordset::Create();
      if (db::OpenExistenceTest(*rs, Olap(), jsc_table_, false)) Olap().Execute("Drop Table " + jsc_table_);
      rs->Close();
    }

    cn_acc_.reset();
    cn_olap_.reset();
    batch.Commit();
  } catch (const std::exception& e) {
    report::EndRun(false);
    sErrorMsg = Variant::Text(batch.CommitAfter(e));
    return 1;
  }
  report::EndRun(true);
  return 0;
}

void Summary::CreatEipTable(const std::string& sEtlTableName, int16_t iType) {
  std::string sql = "create table " + sEtlTableName;
  for (const auto& c : kFactColumns) {
    bool id = std::string(c.name) == "ID";
    sql += Pad(id ? std::string("(") + c.name : c.name, id ? 22 : 21) + Pad(c.type, 21) +
           (id ? "not null default newid()," : "null,");
  }
  sql += iType == 0 ? "constraint PK_TEMP_ETL_GL_SUM primary key nonclustered (ID)"
                    : "constraint PK_GLJSC_Temp primary key nonclustered (ID)";
  sql += ")";
  Olap().Execute(sql);
}

std::string Summary::GetFiscalDate(const std::string& sDate) {
  Query rs("select iyear,iid,dbegin from ua_period where " + PeriodWhere() + " and dbegin<='" +
               SqlDate(sDate) + "' and dend>='" + SqlDate(sDate) + "'",
           Sys());
  return rs->Field("iyear").ToText() + "." + TwoDigits(rs->Field("iid"));
}

std::string Summary::GetAccountDay(const std::string& iperiod, const std::string& sS_E) {
  Query rs("select iid,dbegin,dend from ua_period where " + PeriodWhere() + " and iid=" + iperiod, Sys());
  return rs->Field(sS_E == "s" ? "dbegin" : "dend").ToText();
}

int16_t Summary::GetAccountBeginPeriod() {
  std::string g;
  {
    Query rs("select cValue from accinformation where csysid = 'GL' And cName = 'dGLStartDate'", Acc());
    g = rs->Field("cValue").ToText();
  }
  Query rs("select iyear,iid,dbegin from ua_period where " + PeriodWhere() + " and dbegin<='" +
               SqlDate(g) + "' and dend>='" + SqlDate(g) + "'",
           Sys());
  return Variant::Text(TwoDigits(rs->Field("iid"))).ToI2();
}

bool Summary::GetCodeDc(const std::string& sCode) {
  Query rs("select bproperty from code where ccode='" + SqlText(sCode) + "'", Acc());
  if (rs->Eof())
    throw com::Error(com::MakeHr(0x80040BB9),
                     "科目表code没有科目:[" + sCode + "],但凭证表gl_accvouch中有此科目!请检查数据。",
                     "Summary.GetCodeDc");
  return rs->Field("bproperty").ToBool();
}

com::Currency Summary::GetCodeDcValue(const std::string& sCode, db::Recordset& rsAcc,
                                      const std::string& sM) {
  const bool dc = GetCodeDc(sCode);
  struct Pick {
    const char* m;
    const char* dir;
    const char* amount;
  };
  static const Pick kPicks[] = {{"mb", "cbegind_c", "Mb"},
                                {"mb_f", "cbegind_c", "Mb_f"},
                                {"me", "cendd_c", "me"},
                                {"me_f", "cendd_c", "Me_f"}};
  for (const auto& p : kPicks) {
    if (sM != p.m) continue;
    Variant dir = rsAcc.Field(p.dir);
    com::Currency amount = rsAcc.Field(p.amount).ToCurrency();
    bool other_side = !dir.IsNull() && dir.ToText() == (dc ? kCredit : kDebit);
    return other_side ? -amount : amount;
  }
  return {};
}

std::string Summary::GetCexchId(const com::Variant& sCexchName) {
  std::string result;
  {
    bool home = sCexchName.IsNull() || sCexchName.IsEmpty() || sCexchName.ToText().empty();
    Query rs(home ? std::string("select cexch_code from foreigncurrency where iotherused=-1")
                  : "select cexch_code from foreigncurrency where cexch_name='" +
                        SqlText(sCexchName.ToText()) + "'",
             Acc());
    if (!rs->Eof()) result = rs->Field("cexch_code").ToText();
  }
  if (result.empty() && !edition_.compat) {
    // The account set's own currency, when nothing else names one.
    Query rs("select cCurCode from UA_Account where " + PeriodWhere(), Sys());
    if (!rs->Eof()) result = rs->Field("cCurCode").ToText();
  }
  return result;
}

std::string Summary::GetCexchIdFromCode(const com::Variant& sCode) {
  Variant name;
  {
    Query rs("select cexch_name from code where ccode='" + SqlText(sCode) + "'", Acc());
    if (rs->Eof()) return "";
    name = rs->Field("cexch_name");
  }
  return GetCexchId(name);
}

com::Currency Summary::nTOz(const com::Variant& mV) {
  return mV.IsNull() ? com::Currency{} : mV.ToCurrency();
}

void Summary::GetCodeQc(const std::string& sSql2) {
  // sSql2 is a condition clause by contract: it is the caller's SQL.
  Query rs("select mb,mb_f from " + acc_msg_.sEtlTableName + sSql2, Olap());
  if (rs->Eof()) return;
  acc_msg_.Mb = nTOz(rs->Field("mb"));
  acc_msg_.Mb_f = nTOz(rs->Field("mb_f"));
}

void Summary::AddStartAcc(std::string& sPeriodStart) {
  auto& m = acc_msg_;
  report::BeginPass("opening");
  const std::string label = GetFiscalDate(edition_.compat ? m.sStartDate : m.sZtFirstDay);
  if (edition_.compat) {
    CompatStages(sPeriodStart, label);
    return;
  }
  if (m.bBulu) {
    Query accounts(
        "select ccode,bproperty,bperson, bcus, bsup, bdept, bitem,bcDefine1,bcDefine2,bcDefine3,"
        "bcDefine4,bcDefine5,bcDefine6,bcDefine7,bcDefine8,bcDefine9,bcDefine10,bcDefine11,"
        "bcDefine12,bcDefine13,bcDefine14,bcDefine15,bcDefine16 from code where bend=1",
        Acc());
    for (; !accounts->Eof(); accounts->MoveNext()) {
      bool user_defined = false;
      for (int i = 1; i <= 16 && !user_defined; ++i) {
        if (i == 4 || i == 6) continue;  // these two never make a breakdown
        user_defined = Flag(*accounts, ("bcDefine" + std::to_string(i)).c_str());
      }
      const bool breakdown = Flag(*accounts, "bperson") || Flag(*accounts, "bcus") ||
                             Flag(*accounts, "bsup") || Flag(*accounts, "bdept") ||
                             Flag(*accounts, "bitem") || user_defined;
      const std::string p = GetFiscalDate(m.sZtFirstDay).substr(5);
      const std::string code = accounts->Field("ccode").ToText();
      if (breakdown) {
        Query rows("select ccode,cDept_id,cPerson_id,cCus_id,cSup_id,cItem_Class,cItem_id,sum(mb) mb,"
                   "sum(mb_f) mb_f from GL_AccMultiAss where iperiod=" + p + " and ccode='" +
                       SqlText(code) + "' group by ccode,cDept_id,cPerson_id,cCus_id,cSup_id,"
                       "cItem_Class,cItem_id order by ccode",
                   Acc());
        for (; !rows->Eof(); rows->MoveNext()) {
          m.Mb = rows->Field("mb").ToCurrency();
          m.Mb_f = rows->Field("mb_f").ToCurrency();
          const std::string cls = SqlText(rows->Field("cItem_class"));
          Olap().Execute(
              "insert into " + m.sEtlTableName +
              " (code_no,Date,AccountTime,CurrencyID,departmentid,employeeid,customerid,supplierid,"
              "citem_id,citem_class,mb,mb_f,md,md_f,mc,mc_f) " + " values ('" +
              SqlText(rows->Field("ccode")) + "','" + SqlDate(m.sZtFirstDay) + "','" + SqlText(label) +
              "','" + SqlText(GetCexchIdFromCode(rows->Field("ccode"))) + "','" +
              SqlText(rows->Field("cDept_id")) + "','" + SqlText(rows->Field("cPerson_id")) + "','" +
              SqlText(rows->Field("cCus_id")) + "','" + SqlText(rows->Field("cSup_id")) + "','" + cls +
              SqlText(rows->Field("cItem_id")) + "','" + cls + "'," + SqlAmount(m.Mb) + "," +
              SqlAmount(m.Mb_f) + "," + SqlAmount(m.Md) + "," + SqlAmount(m.Md_f) + "," +
              SqlAmount(m.Mc) + "," + SqlAmount(m.Mc_f) + ")");
          report::CountRows(m.sEtlTableName, "opening");
        }
      } else {
        Query row("select * from gl_accsum where iperiod=" + p + " and ccode='" + SqlText(code) + "'", Acc());
        if (!row->Eof()) {
          const char* w = Flag(*accounts, "bproperty") ? kCredit : kDebit;
          Variant side = row->Field("cbegind_c");
          const bool flip = !side.IsNull() && side.ToText() == w;
          m.Mb = flip ? -row->Field("mb").ToCurrency() : row->Field("mb").ToCurrency();
          m.Mb_f = flip ? -row->Field("mb_f").ToCurrency() : row->Field("mb_f").ToCurrency();
          Olap().Execute("insert into " + m.sEtlTableName +
                         " (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,mc_f) " + " values ('" +
                         SqlText(row->Field("ccode")) + "','" + SqlDate(m.sZtFirstDay) + "','" +
                         SqlText(label) + "','" + SqlText(GetCexchIdFromCode(row->Field("ccode"))) + "'," +
                         SqlAmount(m.Mb) + "," + SqlAmount(m.Mb_f) + "," + SqlAmount(m.Md) + "," +
                         SqlAmount(m.Md_f) + "," + SqlAmount(m.Mc) + "," + SqlAmount(m.Mc_f) + ")");
          report::CountRows(m.sEtlTableName, "opening");
        }
      }
    }
  }

  report::BeginPass("cumulative");
  std::string day = GetAccountDay("1", "s");
  // Cumulative rows belong to backfill runs only: an ordinary run would add them
  // again on every run, dated before its range where no delete reaches them.
  if (m.bBulu && GetAccountBeginPeriod() > 1) {
    Query codes("select distinct code_no from " + m.sEtlTableName + " where date='" + SqlDate(day) + "'",
                Olap());
    for (; !codes->Eof(); codes->MoveNext()) AddLjLd(*codes, day);
  }

  report::BeginPass("movement");
  const std::string tail =
      voucher_scope_ == "1"
          ? "' and gl_accvouch.ccheck <> '' and gl_accvouch.ccheck Is Not NULL and (iflag is null or "
            "iflag=2) and iperiod>=1 and iperiod<=12 group by gl_accvouch.ccode,gl_accvouch.cexch_name,"
            "gl_accvouch.dbill_date,cdept_id,cperson_id,ccus_id,csup_id,citem_id,citem_class"
          : "' and ibook=1 and (iflag is null or iflag=2) and iperiod>=1 and iperiod<=12 group by "
            "gl_accvouch.ccode,gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,"
            "ccus_id,csup_id,citem_id,citem_class";
  Query groups(
      "select gl_accvouch.ccode,gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,"
      "ccus_id,csup_id,citem_id,citem_class,sum(md) as summd,sum(mc) as summc,sum(md_f) as summd_f,"
      "sum(mc_f) as summc_f from gl_accvouch where gl_accvouch.dbill_date>='" + SqlDate(m.sStartDate) +
          "' and gl_accvouch.dbill_date<='" + SqlDate(m.sEndDate) + tail,
      Acc());
  int64_t done = 0;
  for (; !groups->Eof(); groups->MoveNext()) {
    UpdateOneCode(*groups, groups->Field("dbill_date").ToDate());
    report::Progress(++done, 0);
  }
  (void)sPeriodStart;
}

void Summary::UpdateOneCode(db::Recordset& rsCode, com::DATE dI) {
  auto& m = acc_msg_;
  m.Md = m.Mc = m.Mc_f = m.Md_f = com::Currency{};
  m.cCode = rsCode.Field("cCode").ToText();
  m.bDc = GetCodeDc(m.cCode);
  struct Dim {
    const char* field;
    std::string* member;
  };
  const Dim dims[] = {{"cDept_id", &m.cDept_id}, {"cPerson_id", &m.cPerson_id},
                      {"cCus_id", &m.cCus_id},   {"cSup_id", &m.cSup_id}};
  for (const auto& d : dims) {
    Variant v = rsCode.Field(d.field);
    if (!v.IsNull()) *d.member = v.ToText();
  }
  Variant item = rsCode.Field("cItem_id"), item_class = rsCode.Field("cItem_class");
  if (!item.IsNull() && !item_class.IsNull()) {
    m.cItem_id = item.ToText();
    m.cItem_class = item_class.ToText();
  }
  m.Md = rsCode.Field("sumMd").ToCurrency();
  m.Mc = rsCode.Field("sumMc").ToCurrency();
  Variant currency = rsCode.Field("cexch_name");
  if (!currency.IsNull() && !currency.ToText().empty()) {
    m.Md_f = rsCode.Field("sumMd_f").ToCurrency();
    m.Mc_f = rsCode.Field("sumMc_f").ToCurrency();
  }
  if (m.Mc.IsZero() && m.Md.IsZero() && m.Md_f.IsZero() && m.Mc_f.IsZero()) return;
  const std::string day = com::FormatDateText(dI);
  const std::string account_time = GetFiscalDate(day);
  const std::string currency_id = GetCexchIdFromCode(rsCode.Field("cCode"));
  const std::string code = rsCode.Field("cCode").ToText();
  std::string sql;
  if (edition_.compat) {
    sql = "insert into " + m.sEtlTableName +
          " (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,mc_f,me,me_f) " + " values ('" +
          SqlText(code) + "','" + SqlDate(dI) + "','" + SqlText(account_time) + "','" +
          SqlText(currency_id) + "',0,0 ," + SqlAmount(m.Md) + "," + SqlAmount(m.Md_f) + "," +
          SqlAmount(m.Mc) + "," + SqlAmount(m.Mc_f) + ",0,0)";
  } else {
    auto dim = [&](const char* f) { return SqlText(Trim(TextOrEmpty(rsCode.Field(f)))); };
    const std::string cls = dim("cItem_class");
    sql = "insert into " + m.sEtlTableName +
          " (code_no,Date,AccountTime,CurrencyID,departmentid,customerid,supplierid,employeeid,"
          "citem_id,citem_class,mb,mb_f,md,md_f,mc,mc_f,me,me_f) " + " values ('" + SqlText(code) +
          "','" + SqlDate(dI) + "','" + SqlText(account_time) + "','" + SqlText(currency_id) + "','" +
          dim("cDept_id") + "','" + dim("cCus_id") + "','" + dim("cSup_id") + "','" +
          dim("cPerson_id") + "','" + cls + dim("cItem_id") + "','" + cls + "',0,0 ," +
          SqlAmount(m.Md) + "," + SqlAmount(m.Md_f) + "," + SqlAmount(m.Mc) + "," +
          SqlAmount(m.Mc_f) + ",0,0)";
  }
  Olap().Execute(sql);
  report::CountRows(m.sEtlTableName, "movement");
}

void Summary::AddOneAcc(com::DATE dI) {
  const std::string tail =
      voucher_scope_ == "1" && !edition_.compat
          ? "' and gl_accvouch.ccheck <> '' And gl_accvouch.ccheck is not null and (iflag is null or "
            "iflag=2) group by gl_accvouch.ccode,gl_accvouch.cexch_name,cdept_id,cperson_id,ccus_id,"
            "csup_id,citem_id,citem_class"
          : "' and ibook=1 and (iflag is null or iflag=2) group by gl_accvouch.ccode,"
            "gl_accvouch.cexch_name,cdept_id,cperson_id,ccus_id,csup_id,citem_id,citem_class";
  Query rs("select gl_accvouch.ccode,gl_accvouch.cexch_name,cdept_id,cperson_id,ccus_id,csup_id,"
           "citem_id,citem_class,sum(md) as summd,sum(mc) as summc,sum(md_f) as summd_f,"
           "sum(mc_f) as summc_f from gl_accvouch where  gl_accvouch.dbill_date='" + SqlDate(dI) + tail,
           Acc());
  for (; !rs->Eof(); rs->MoveNext()) UpdateOneCode(*rs, dI);
}

void Summary::AddLjLd(db::Recordset& rsCode, std::string& sDay) {
  auto& m = acc_msg_;
  if (edition_.compat) {
    CompatLjLd(rsCode, sDay);
    return;
  }
  const std::string code = rsCode.Field("code_no").ToText();
  bool dims;
  {
    Query a("select ccode,bproperty,bperson, bcus, bsup, bdept, bitem from code where bend=1 and cCode = '" +
                SqlText(code) + "'",
            Acc());
    dims = Flag(*a, "bperson") || Flag(*a, "bcus") || Flag(*a, "bsup") || Flag(*a, "bdept") ||
           Flag(*a, "bitem");
  }
  const long long period = db::PeriodNumber(Variant::Text(m.sPeriodStart));
  sDay = period > 1 ? GetAccountDay(std::to_string(period - 1), "e")
                    : GetAccountDay(m.sPeriodStart, "s");
  if (dims) {
    Query b("select cexch_name,cdept_id,cperson_id,ccus_id,csup_id,citem_class,citem_id,sum(addmd) as addmd,"
            "sum(addmd_f) as addmd_f,sum(addmc) as addmc,sum(addmc_f) as addmc_f from gl_accmultiass where "
            "ccode='" + SqlText(code) + "' and iperiod=1 Group by cexch_name,cdept_id,cperson_id,ccus_id,"
            "csup_id,citem_class,citem_id",
            Acc());
    for (; !b->Eof(); b->MoveNext()) {
      const std::string label = GetFiscalDate(sDay);
      const std::string cur = GetCexchId(b->Field("cexch_name"));
      Olap().Execute("insert into " + m.sEtlTableName +
                     " (code_no,Date,AccountTime,CurrencyID,departmentid,employeeid,customerid,supplierid,"
                     "citem_id,citem_class,mb,mb_f,md,md_f,mc,mc_f,me,me_f) " + " values ('" + SqlText(code) +
                     "','" + SqlDate(sDay) + "','" + SqlText(label) + "','" + SqlText(cur) + "','" +
                     SqlText(b->Field("cDept_id")) + "','" + SqlText(b->Field("cPerson_id")) + "','" +
                     SqlText(b->Field("cCus_id")) + "','" + SqlText(b->Field("cSup_id")) + "','" +
                     SqlText(b->Field("cItem_class")) + SqlText(b->Field("cItem_id")) + "','" +
                     SqlText(b->Field("cItem_class")) + "',0,0," + SqlAmount(b->Field("addMd")) + "," +
                     SqlAmount(b->Field("addMd_f")) + "," + SqlAmount(b->Field("addMc")) + "," +
                     SqlAmount(b->Field("addMc_f")) + ",0,0)");
      report::CountRows(m.sEtlTableName, "cumulative");
    }
  } else {
    Query b("select cexch_name,cbegind_c,cendd_c,mb,mb_f,md,md_f,mc,mc_f,me,me_f from gl_accsum where ccode='" +
                SqlText(code) + "' and iperiod=1",
            Acc());
    if (!b->Eof()) {
      const std::string label = GetFiscalDate(sDay);
      const std::string cur = GetCexchId(b->Field("cexch_name"));
      Olap().Execute("insert into " + m.sEtlTableName +
                     " (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,mc_f,me,me_f) " + " values ('" +
                     SqlText(code) + "','" + SqlDate(sDay) + "','" + SqlText(label) + "','" + SqlText(cur) +
                     "',0,0," + SqlAmount(b->Field("Md")) + "," + SqlAmount(b->Field("Md_f")) + "," +
                     SqlAmount(b->Field("Mc")) + "," + SqlAmount(b->Field("Mc_f")) + ",0,0)");
      report::CountRows(m.sEtlTableName, "cumulative");
    }
  }
}

void Summary::UpdateLjLd(db::Recordset& rsCode, const std::string& sDay) {
  auto& m = acc_msg_;
  const std::string code = rsCode.Field("code_no").ToText();
  Query b("select cbegind_c,cendd_c,mb,mb_f,md,md_f,mc,mc_f,me,me_f from gl_accsum where ccode='" +
              SqlText(code) + "' and iperiod=1",
          Acc());
  if (b->Eof()) return;
  const std::string account_time = TextOrEmpty(rsCode.Field("AccountTime"));
  const std::string currency_id = TextOrEmpty(rsCode.Field("CurrencyID"));
  const com::Currency mb = GetCodeDcValue(code, *b, "mb"), mb_f = GetCodeDcValue(code, *b, "mb_f");
  const std::string md = SqlAmount(b->Field("Md")), md_f = SqlAmount(b->Field("Md_f")),
                    mc = SqlAmount(b->Field("Mc")), mc_f = SqlAmount(b->Field("Mc_f"));
  const com::Currency me = GetCodeDcValue(code, *b, "me"), me_f = GetCodeDcValue(code, *b, "me_f");
  Olap().Execute("insert into " + m.sEtlTableName +
                 " (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,mc_f,me,me_f) " + " values ('" +
                 SqlText(code) + "','" + SqlDate(sDay) + "','" + SqlText(account_time) + "','" +
                 SqlText(currency_id) + "'," + SqlAmount(mb) + "," + SqlAmount(mb_f) + "," + md + "," +
                 md_f + "," + mc + "," + mc_f + "," + SqlAmount(me) + "," + SqlAmount(me_f) + ")");
}

// The compatibility edition's opening rows (every run, dated the start day, to
// GLJSC_Temp and under the working record's condition to the fact table), its
// server procedures and cumulative rows in backfill runs, and the movement pass of
// the start day.
void Summary::CompatStages(std::string& sPeriodStart, const std::string& label) {
  auto& m = acc_msg_;
  {
    Query accounts("select ccode,bproperty,bperson, bcus, bsup, bdept, bitem from code where bend=1", Acc());
    for (; !accounts->Eof(); accounts->MoveNext()) {
      const bool breakdown = Flag(*accounts, "bperson") || Flag(*accounts, "bcus") || Flag(*accounts, "bsup") ||
                             Flag(*accounts, "bdept") || Flag(*accounts, "bitem");
      const char* w = Flag(*accounts, "bproperty") ? kCredit : kDebit;
      const std::string code = accounts->Field("ccode").ToText();
      Query rows(std::string("select * from ") + (breakdown ? "gl_accass" : "gl_accsum") + " where iperiod=" +
                     sPeriodStart + " and ccode='" + SqlText(code) + "'",
                 Acc());
      for (; !rows->Eof(); rows->MoveNext()) {
        Variant side = rows->Field("cbegind_c");
        const bool flip = !side.IsNull() && side.ToText() == w;
        m.Mb = flip ? -rows->Field("mb").ToCurrency() : rows->Field("mb").ToCurrency();
        m.Mb_f = flip ? -rows->Field("mb_f").ToCurrency() : rows->Field("mb_f").ToCurrency();
        auto insert = [&](const std::string& table) {
          std::string cur = SqlText(GetCexchIdFromCode(rows->Field("ccode")));
          std::string amounts = SqlAmount(m.Mb) + "," + SqlAmount(m.Mb_f) + "," + SqlAmount(m.Mb) + "," +
                                SqlAmount(m.Mb_f) + ")";
          if (breakdown) {
            const std::string cls = SqlText(rows->Field("cItem_class"));
            Olap().Execute("insert into " + table +
                           " (code_no,Date,AccountTime,CurrencyID,departmentid,employeeid,customerid,supplierid,"
                           "citem_id,citem_class,mb,mb_f,me,me_f) " + " values ('" + SqlText(rows->Field("ccode")) +
                           "','" + SqlDate(m.sStartDate) + "','" + SqlText(label) + "','" + cur + "','" +
                           SqlText(rows->Field("cDept_id")) + "','" + SqlText(rows->Field("cPerson_id")) + "','" +
                           SqlText(rows->Field("cCus_id")) + "','" + SqlText(rows->Field("cSup_id")) + "','" + cls +
                           SqlText(rows->Field("cItem_id")) + "','" + cls + "'," + amounts);
          } else {
            Olap().Execute("insert into " + table + " (code_no,Date,AccountTime,CurrencyID,mb,mb_f,me,me_f) " +
                           " values ('" + SqlText(rows->Field("ccode")) + "','" + SqlDate(m.sStartDate) + "','" +
                           SqlText(label) + "','" + cur + "'," + amounts);
          }
          report::CountRows(table, "opening");
        };
        if (!m.Md.IsZero() || !m.Md_f.IsZero() || !m.Mc.IsZero() || !m.Mc_f.IsZero()) insert(m.sEtlTableName);
        insert(jsc_table_);
        if (!breakdown) break;  // the plain path takes the first row only
      }
    }
  }
  if (m.bBulu) {
    report::BeginPass("procedures");
    const std::string d1 = GetAccountDay(sPeriodStart, "s");
    auto call = [&](const char* proc, bool with_start) {
      db::Command cmd;
      cmd.SetActiveConnection(&Olap());
      cmd.SetCommandTimeout(1800);
      cmd.SetCommandType(4);
      cmd.SetCommandText(proc);
      cmd.Append(db::Command::CreateParameter("@sAccServer", 200, 1, 20, Variant::Text(m.sAccServer)));
      cmd.Append(db::Command::CreateParameter("@sAccPwd", 200, 1, 50, Variant::Text(m.sAccPwd)));
      cmd.Append(db::Command::CreateParameter("@sAccZtNo", 200, 1, 3, Variant::Text(m.sZtNo)));
      cmd.Append(db::Command::CreateParameter("@sAccYear", 200, 1, 4, Variant::Text(m.sZtYear)));
      if (with_start) cmd.Append(db::Command::CreateParameter("@sStartDate", 200, 1, 10, Variant::Text(d1)));
      cmd.Append(db::Command::CreateParameter("@sEndDate", 200, 1, 10, Variant::Text(m.sQyDate)));
      cmd.Execute();
    };
    call("sp_gl_qcbl", true);
    if (Variant::Text(sPeriodStart).ToDouble() > 1) {
      std::string day = d1;
      Query codes("select distinct code_no from " + jsc_table_ + " where date='" + SqlDate(d1) + "'", Olap());
      for (; !codes->Eof(); codes->MoveNext()) AddLjLd(*codes, day);
      call("Sp_Gl_QcBlYE", false);
    }
  }
  // The movement pass covers the start day only: the days before it in its period
  // are outside the run's delete, and the day loop covers the days after it.
  report::BeginPass("movement");
  Query groups(
      "select gl_accvouch.ccode,gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,"
      "ccus_id,csup_id,citem_id,citem_class,sum(md) as summd,sum(mc) as summc,sum(md_f) as summd_f,"
      "sum(mc_f) as summc_f from gl_accvouch where gl_accvouch.dbill_date>='" + SqlDate(m.sStartDate) +
          "' and gl_accvouch.dbill_date<='" + SqlDate(m.sStartDate) +
          "' and ibook=1 and (iflag is null or iflag=2) and iperiod>=1 and iperiod<=12 group by "
          "gl_accvouch.ccode,gl_accvouch.cexch_name,gl_accvouch.dbill_date,cdept_id,cperson_id,ccus_id,"
          "csup_id,citem_id,citem_class",
      Acc());
  for (; !groups->Eof(); groups->MoveNext()) UpdateOneCode(*groups, groups->Field("dbill_date").ToDate());
}

void Summary::CompatLjLd(db::Recordset& rsCode, std::string& sDay) {
  auto& m = acc_msg_;
  const std::string code = rsCode.Field("code_no").ToText();
  sDay = GetAccountDay(std::to_string(db::PeriodNumber(Variant::Text(m.sPeriodStart)) - 1), "e");
  Query b("select cexch_name,cbegind_c,cendd_c,mb,mb_f,md,md_f,mc,mc_f,me,me_f from gl_accsum where ccode='" +
              SqlText(code) + "' and iperiod=1",
          Acc());
  if (b->Eof()) return;
  const std::string movement = SqlAmount(b->Field("Md")) + "," + SqlAmount(b->Field("Md_f")) + "," +
                               SqlAmount(b->Field("Mc")) + "," + SqlAmount(b->Field("Mc_f"));
  Olap().Execute("insert into " + m.sEtlTableName +
                 " (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,mc_f,me,me_f) " + " values ('" +
                 SqlText(code) + "','" + SqlDate(sDay) + "','" + SqlText(GetFiscalDate(sDay)) + "','" +
                 SqlText(GetCexchId(b->Field("cexch_name"))) + "',0,0," + movement + ",0,0)");
  report::CountRows(m.sEtlTableName, "cumulative");
  const std::string label = GetFiscalDate(sDay);
  const std::string cur = GetCexchId(b->Field("cexch_name"));
  const com::Currency mb = GetCodeDcValue(code, *b, "mb"), mb_f = GetCodeDcValue(code, *b, "mb_f");
  const com::Currency me = GetCodeDcValue(code, *b, "me"), me_f = GetCodeDcValue(code, *b, "me_f");
  Olap().Execute("insert into " + jsc_table_ +
                 " (code_no,Date,AccountTime,CurrencyID,mb,mb_f,md,md_f,mc,mc_f,me,me_f) " + " values ('" +
                 SqlText(code) + "','" + SqlDate(sDay) + "','" + SqlText(label) + "','" + SqlText(cur) + "'," +
                 SqlAmount(mb) + "," + SqlAmount(mb_f) + "," + movement + "," + SqlAmount(me) + "," +
                 SqlAmount(me_f) + ")");
  report::CountRows(jsc_table_, "cumulative");
}


}  // namespace summary
