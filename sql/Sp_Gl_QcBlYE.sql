-- Sp_Gl_QcBlYE: called by the compatibility edition of Tallyport.Summary in a
-- backfill run whose start period is after period 1, once the cumulative rows are
-- written, with the account server, its sa password, the account-set number and year
-- and the general ledger's start date.
--
-- The procedure belongs to the analysis database: what it computes is the site's own.
-- This body does nothing harmful; replace it with the site's year-end balance work.
IF OBJECT_ID('dbo.Sp_Gl_QcBlYE', 'P') IS NOT NULL
  DROP PROCEDURE dbo.Sp_Gl_QcBlYE;
GO
CREATE PROCEDURE dbo.Sp_Gl_QcBlYE
  @sAccServer varchar(20),
  @sAccPwd    varchar(50),
  @sAccZtNo   varchar(3),
  @sAccYear   varchar(4),
  @sEndDate   varchar(10)
AS
BEGIN
  SET NOCOUNT ON;
  -- Site body goes here.
  RETURN 0;
END
GO
