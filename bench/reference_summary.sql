-- Set-based reference for a backfill balance run whose range starts on the general
-- ledger's start date, in a ledger started in period 1: the opening rows of period 1
-- and the daily movement rows of the range, as the extraction leaves them in
-- Temp_Etl_GL_Sum (no cumulative rows in such a ledger). One statement per stage.
-- Run with the sqlite3 shell on the analysis database, with the account set attached
-- as acc, the system database as sys, and the run's values in
-- temp.run(begin_date, end_date, acc_id, year) (dates as stored texts).
CREATE TABLE IF NOT EXISTS Temp_Etl_GL_Sum (
  ID varchar(36), Date datetime, AccountTime varchar(8), Code_No varchar(15), cComCode varchar(4),
  DepartmentID varchar(30), CustomerID varchar(25), SupplierID varchar(25), EmployeeID varchar(25),
  cItem_id varchar(98), cItem_class varchar(4), mb decimal(18,6), mb_f decimal(18,6), CurrencyID varchar(8),
  md decimal(18,6), md_f decimal(18,6), mc decimal(18,6), mc_f decimal(18,6), me decimal(18,6),
  me_f decimal(18,6));

-- The currency code of every account: its currency's code, the home currency's for
-- an account without one, the account set's own when neither is found.
CREATE TEMP VIEW account_currency AS
SELECT k.ccode,
       coalesce(nullif(CASE WHEN coalesce(k.cexch_name, '') = ''
                            THEN (SELECT cexch_code FROM acc.foreigncurrency WHERE iotherused = -1)
                            ELSE (SELECT cexch_code FROM acc.foreigncurrency f WHERE f.cexch_name = k.cexch_name)
                       END, ''),
                (SELECT a.cCurCode FROM sys.UA_Account a, temp.run r WHERE a.cacc_id = r.acc_id AND a.iyear = r.year),
                '') AS code
FROM acc.code k;

CREATE TEMP VIEW period_label AS
SELECT p.iid, p.dbegin, p.dend, p.iyear || '.' || printf('%02d', p.iid) AS label
FROM sys.ua_period p JOIN temp.run r ON p.cacc_id = r.acc_id AND p.iyear = r.year;

-- Opening rows, dated the first day of period 1: broken-down accounts (a standard
-- dimension, or a user-defined one other than 4 and 6) by dimension combination with
-- their stored sign; other accounts from their first balance row of the period, a
-- balance on the side opposite to the account's own made negative.
INSERT INTO Temp_Etl_GL_Sum (Code_No, Date, AccountTime, CurrencyID, DepartmentID, EmployeeID, CustomerID,
                             SupplierID, cItem_id, cItem_class, mb, mb_f, md, md_f, mc, mc_f)
SELECT Code_No, first.dbegin, first.label, cur.code, dept, person, cus, sup, item_id, item_class, mb, mb_f, 0, 0, 0, 0
FROM (SELECT iid, dbegin, label FROM temp.period_label WHERE iid = 1) AS first
JOIN (
  SELECT k.ccode AS account, m.ccode AS Code_No, coalesce(m.cDept_id, '') AS dept, coalesce(m.cPerson_id, '') AS person,
         coalesce(m.cCus_id, '') AS cus, coalesce(m.cSup_id, '') AS sup,
         coalesce(m.cItem_Class, '') || coalesce(m.cItem_id, '') AS item_id, coalesce(m.cItem_Class, '') AS item_class,
         sum(m.mb) AS mb, sum(m.mb_f) AS mb_f, m.iperiod
  FROM acc.code k JOIN acc.GL_AccMultiAss m ON m.ccode = k.ccode
  WHERE k.bend = 1
    AND (coalesce(k.bperson, 0) OR coalesce(k.bcus, 0) OR coalesce(k.bsup, 0) OR coalesce(k.bdept, 0)
         OR coalesce(k.bitem, 0) OR coalesce(k.bcDefine1, 0) OR coalesce(k.bcDefine2, 0) OR coalesce(k.bcDefine3, 0)
         OR coalesce(k.bcDefine5, 0) OR coalesce(k.bcDefine7, 0) OR coalesce(k.bcDefine8, 0)
         OR coalesce(k.bcDefine9, 0) OR coalesce(k.bcDefine10, 0) OR coalesce(k.bcDefine11, 0)
         OR coalesce(k.bcDefine12, 0) OR coalesce(k.bcDefine13, 0) OR coalesce(k.bcDefine14, 0)
         OR coalesce(k.bcDefine15, 0) OR coalesce(k.bcDefine16, 0))
  GROUP BY k.rowid, m.iperiod, m.ccode, m.cDept_id, m.cPerson_id, m.cCus_id, m.cSup_id, m.cItem_Class, m.cItem_id
  UNION ALL
  SELECT k.ccode, s.ccode, NULL, NULL, NULL, NULL, NULL, NULL,
         CASE WHEN s.cbegind_c = CASE WHEN coalesce(k.bproperty, 0) THEN '贷' ELSE '借' END THEN -s.mb ELSE s.mb END,
         CASE WHEN s.cbegind_c = CASE WHEN coalesce(k.bproperty, 0) THEN '贷' ELSE '借' END THEN -s.mb_f ELSE s.mb_f END,
         s.iperiod
  FROM acc.code k JOIN acc.gl_accsum s ON s.ccode = k.ccode
  WHERE k.bend = 1
    AND s.rowid = (SELECT min(rowid) FROM acc.gl_accsum f WHERE f.ccode = k.ccode AND f.iperiod = s.iperiod)
    AND NOT (coalesce(k.bperson, 0) OR coalesce(k.bcus, 0) OR coalesce(k.bsup, 0) OR coalesce(k.bdept, 0)
         OR coalesce(k.bitem, 0) OR coalesce(k.bcDefine1, 0) OR coalesce(k.bcDefine2, 0) OR coalesce(k.bcDefine3, 0)
         OR coalesce(k.bcDefine5, 0) OR coalesce(k.bcDefine7, 0) OR coalesce(k.bcDefine8, 0)
         OR coalesce(k.bcDefine9, 0) OR coalesce(k.bcDefine10, 0) OR coalesce(k.bcDefine11, 0)
         OR coalesce(k.bcDefine12, 0) OR coalesce(k.bcDefine13, 0) OR coalesce(k.bcDefine14, 0)
         OR coalesce(k.bcDefine15, 0) OR coalesce(k.bcDefine16, 0))
) AS o ON o.iperiod = first.iid
LEFT JOIN temp.account_currency cur ON cur.ccode = o.Code_No;

-- Movement rows: posted, non-void voucher lines of the range grouped per account,
-- currency name, day and dimensions; foreign sums only with a currency name; groups
-- whose amounts are all zero are skipped; dimensions trimmed, NULL as empty text.
INSERT INTO Temp_Etl_GL_Sum (Code_No, Date, AccountTime, CurrencyID, DepartmentID, CustomerID, SupplierID,
                             EmployeeID, cItem_id, cItem_class, mb, mb_f, md, md_f, mc, mc_f, me, me_f)
SELECT g.ccode, g.dbill_date, p.label, coalesce(cur.code, ''),
       trim(coalesce(g.cdept_id, '')), trim(coalesce(g.ccus_id, '')), trim(coalesce(g.csup_id, '')),
       trim(coalesce(g.cperson_id, '')), trim(coalesce(g.citem_class, '')) || trim(coalesce(g.citem_id, '')),
       trim(coalesce(g.citem_class, '')), 0, 0, g.md, g.md_f, g.mc, g.mc_f, 0, 0
FROM (
  SELECT v.ccode, v.dbill_date, v.cdept_id, v.cperson_id, v.ccus_id, v.csup_id, v.citem_id, v.citem_class,
         sum(v.md) AS md, sum(v.mc) AS mc,
         CASE WHEN coalesce(v.cexch_name, '') = '' THEN 0 ELSE sum(v.md_f) END AS md_f,
         CASE WHEN coalesce(v.cexch_name, '') = '' THEN 0 ELSE sum(v.mc_f) END AS mc_f
  FROM acc.gl_accvouch v
  -- one pass over the lines: constants for the range, and no index on the period
  -- (the line key's index would cost a look-up per line)
  WHERE v.dbill_date >= (SELECT begin_date FROM temp.run) AND v.dbill_date <= (SELECT end_date FROM temp.run)
    AND v.ibook = 1 AND (v.iflag IS NULL OR v.iflag = 2) AND +v.iperiod >= 1 AND +v.iperiod <= 12
  GROUP BY v.ccode, v.cexch_name, v.dbill_date, v.cdept_id, v.cperson_id, v.ccus_id, v.csup_id, v.citem_id,
           v.citem_class
) AS g
LEFT JOIN temp.period_label p ON p.dbegin <= g.dbill_date AND p.dend >= g.dbill_date
LEFT JOIN temp.account_currency cur ON cur.ccode = g.ccode
WHERE round(g.md, 4) <> 0 OR round(g.mc, 4) <> 0 OR round(g.md_f, 4) <> 0 OR round(g.mc_f, 4) <> 0;
