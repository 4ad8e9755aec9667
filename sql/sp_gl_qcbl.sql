-- sp_gl_qcbl: called by the compatibility edition of Tallyport.Summary in a backfill
-- run, after its opening rows are written, with the account server, its sa password,
-- the account-set number and year, the first day of the run's start period and the
-- general ledger's start date.
--
-- The procedure belongs to the analysis database: what it computes is the site's own.
-- This body does nothing, so that an analysis database without a site
-- procedure still completes a run. Replace the body with the site's balance work.
IF OBJECT_ID('dbo.sp_gl_qcbl', 'P') IS NOT NULL
  DROP PROCEDURE dbo.sp_gl_qcbl;
GO
CREATE PROCEDURE dbo.sp_gl_qcbl
  @sAccServer varchar(20),
  @sAccPwd    varchar(50),
  @sAccZtNo   varchar(3),
  @sAccYear   varchar(4),
  @sStartDate varchar(10),
  @sEndDate   varchar(10)
AS
BEGIN
  SET NOCOUNT ON;
  -- Site body goes here. The password parameter is never stored or echoed.
  RETURN 0;
END
GO
