// The tables of the accounting product that the extraction reads, as an embedded
// server holds them: the account-set database vxdata_NNN_YYYY and the system
// database vxsystem. Column names and types follow the product; datetime values are
// "YYYY-MM-DD HH:MM:SS" texts, bit values 0/1, amounts numbers.
#pragma once

namespace demo {

inline constexpr const char* kAccountSchemaSql = R"sql(
CREATE TABLE gl_accvouch (
  i_id integer PRIMARY KEY,
  iperiod tinyint, csign nvarchar(8), isignseq tinyint, ino_id smallint, inid smallint,
  dbill_date datetime, idoc smallint, cbill nvarchar(20), ccheck nvarchar(20), cbook nvarchar(20),
  ibook tinyint, iflag tinyint, cdigest nvarchar(120), ccode nvarchar(15), cexch_name nvarchar(14),
  md money, mc money, md_f money, mc_f money, nfrat float,
  cdept_id nvarchar(12), cperson_id nvarchar(20), ccus_id nvarchar(20), csup_id nvarchar(20),
  citem_class nvarchar(2), citem_id nvarchar(20));
CREATE TABLE gl_cashtable (
  iperiod tinyint, isignseq tinyint, ino_id smallint, inid smallint, ccashitem nvarchar(98),
  md money, mc money, md_f money, mc_f money, ccode nvarchar(15));
CREATE TABLE code (
  ccode nvarchar(15), ccode_name nvarchar(40), igrade tinyint, bproperty bit, cbook_type nvarchar(10),
  cexch_name nvarchar(14), bend bit, bperson bit, bcus bit, bsup bit, bdept bit, bitem bit,
  bcDefine1 bit, bcDefine2 bit, bcDefine3 bit, bcDefine4 bit, bcDefine5 bit, bcDefine6 bit,
  bcDefine7 bit, bcDefine8 bit, bcDefine9 bit, bcDefine10 bit, bcDefine11 bit, bcDefine12 bit,
  bcDefine13 bit, bcDefine14 bit, bcDefine15 bit, bcDefine16 bit);
CREATE TABLE department (cdepcode nvarchar(12), cdepname nvarchar(60));
CREATE TABLE customer (cCuscode nvarchar(20), cCusName nvarchar(98));
CREATE TABLE vendor (cVencode nvarchar(20), cVenName nvarchar(98));
CREATE TABLE person (cPersoncode nvarchar(20), cPersonName nvarchar(40));
CREATE TABLE fitemss98 (citemcode nvarchar(20), citemname nvarchar(60), cdirection nvarchar(10));
CREATE TABLE accinformation (cSysid nvarchar(2), cName nvarchar(50), cValue nvarchar(100));
CREATE TABLE gl_accsum (
  ccode nvarchar(15), cexch_name nvarchar(14), iperiod tinyint, cbegind_c nvarchar(2),
  mb money, md money, mc money, cendd_c nvarchar(2), me money,
  mb_f money, md_f money, mc_f money, me_f money);
CREATE TABLE GL_AccMultiAss (
  ccode nvarchar(15), cexch_name nvarchar(14), iperiod tinyint, cDept_id nvarchar(12),
  cPerson_id nvarchar(20), cCus_id nvarchar(20), cSup_id nvarchar(20), cItem_Class nvarchar(2),
  cItem_id nvarchar(20), mb money, mb_f money, addmd money, addmd_f money, addmc money,
  addmc_f money);
CREATE TABLE gl_accass (
  ccode nvarchar(15), cexch_name nvarchar(14), iperiod tinyint, cbegind_c nvarchar(2),
  mb money, md money, mc money, cendd_c nvarchar(2), me money, mb_f money, md_f money,
  mc_f money, me_f money, cDept_id nvarchar(12), cPerson_id nvarchar(20), cCus_id nvarchar(20),
  cSup_id nvarchar(20), cItem_class nvarchar(2), cItem_id nvarchar(20));
CREATE TABLE foreigncurrency (cexch_name nvarchar(14), cexch_code nvarchar(8), iotherused smallint);
)sql";

// Item tables are one per item class: fitemss<class>.
inline constexpr const char* kItemTableSql =
    "CREATE TABLE fitemss%s (cItemcode nvarchar(20), cItemName nvarchar(60))";

inline constexpr const char* kSystemSchemaSql = R"sql(
CREATE TABLE ua_period (cacc_id nvarchar(3), iyear smallint, iid tinyint, dbegin datetime, dend datetime, bisdelete bit);
CREATE TABLE UA_Account (cacc_id nvarchar(3), iyear smallint, cAcc_Name nvarchar(60), cCurCode nvarchar(8));
)sql";

}  // namespace demo
