-- Set-based reference for the cash voucher run, in one statement: the cash-flow
-- lines of the vouchers dated in the range, with their period label, voucher id,
-- dimension names and inflow/outflow amounts, as the extraction leaves them in
-- Temp_ETL_GL_CashVouch. Run with the sqlite3 shell on the analysis database, with
-- the account set attached as acc, the system database as sys, and the run's values
-- in temp.run(begin_date, end_date, acc_id, year) (dates as stored texts).
CREATE TABLE IF NOT EXISTS Temp_ETL_GL_CashVouch (
  ID nvarchar(36), Date datetime, AccountTime nvarchar(8), VouchId nvarchar(20), Code_No nvarchar(15),
  cComCode nvarchar(4), DepartmentName nvarchar(80), CustomerName nvarchar(142), SupplierName nvarchar(142),
  EmployeeName nvarchar(80), ItemName nvarchar(80), CashItemId nvarchar(98), NatInMoney decimal(27,8),
  NatOutMoney decimal(27,8));

INSERT INTO Temp_ETL_GL_CashVouch (Date, AccountTime, VouchId, Code_No, DepartmentName, CustomerName,
                                   SupplierName, EmployeeName, ItemName, CashItemId, NatInMoney, NatOutMoney)
SELECT dbill_date, label, vouch_id, ccode, dept, cus, sup, person, item, ccashitem,
       -- an inflow item moves the credit into the inflow column when "a debit amount
       -- is present" differs from the account's debit side; any other item moves the
       -- debit into the outflow column when the two agree; a moved amount changes sign
       CASE WHEN is_in AND t <> bp THEN -mc WHEN NOT is_in AND t = bp THEN 0 ELSE md END,
       CASE WHEN is_in AND t <> bp THEN 0 WHEN NOT is_in AND t = bp THEN -md ELSE mc END
FROM (
  SELECT v.dbill_date,
         p.iyear || '.' || printf('%02d', p.iid) AS label,
         -- sign, '-', zeros up to four digits, the number as char(5); five digits give NULL
         v.csign || '-' || CASE WHEN length(v.ino_id) <= 4
                                THEN substr('0000', 1, 4 - length(v.ino_id)) || substr(v.ino_id || '     ', 1, 5)
                           END AS vouch_id,
         v.ccode,
         -- a code without a master row becomes the empty name; NULL stays NULL
         CASE WHEN v.cdept_id IS NULL THEN NULL ELSE coalesce(d.cdepname, '') END AS dept,
         CASE WHEN v.ccus_id IS NULL THEN NULL ELSE coalesce(cu.cCusName, '') END AS cus,
         CASE WHEN v.csup_id IS NULL THEN NULL ELSE coalesce(ve.cVenName, '') END AS sup,
         CASE WHEN v.cperson_id IS NULL THEN NULL ELSE coalesce(pe.cPersonName, '') END AS person,
         CASE WHEN v.citem_id IS NULL THEN NULL
              ELSE coalesce(CASE v.citem_class WHEN '01' THEN i1.cItemName WHEN '02' THEN i2.cItemName
                                               WHEN '98' THEN i98.citemname END, '') END AS item,
         c.ccashitem, c.md, c.mc,
         coalesce(f.cdirection = '流入', 0) AS is_in,
         coalesce(k.bproperty, 0) <> 0 AS bp,
         coalesce(c.md <> 0, 0) AS t
  FROM temp.run r
  JOIN acc.gl_cashtable c
  JOIN acc.gl_accvouch v
    ON c.iperiod = v.iperiod AND c.isignseq = v.isignseq AND c.ino_id = v.ino_id AND c.inid = v.inid
   AND v.dbill_date >= r.begin_date AND v.dbill_date <= r.end_date
  LEFT JOIN sys.ua_period p
    ON p.cacc_id = r.acc_id AND p.iyear = r.year AND p.dbegin <= v.dbill_date AND p.dend >= v.dbill_date
  LEFT JOIN acc.department d ON d.cdepcode = v.cdept_id
  LEFT JOIN acc.customer cu ON cu.cCuscode = v.ccus_id
  LEFT JOIN acc.vendor ve ON ve.cVencode = v.csup_id
  LEFT JOIN acc.person pe ON pe.cPersoncode = v.cperson_id
  LEFT JOIN acc.fitemss01 i1 ON v.citem_class = '01' AND i1.cItemcode = v.citem_id
  LEFT JOIN acc.fitemss02 i2 ON v.citem_class = '02' AND i2.cItemcode = v.citem_id
  LEFT JOIN acc.fitemss98 i98 ON v.citem_class = '98' AND i98.citemcode = v.citem_id
  LEFT JOIN acc.fitemss98 f ON f.citemcode = c.ccashitem
  LEFT JOIN acc.code k ON k.ccode = v.ccode
);
