// Fixtures shared by the end-to-end tests: a temporary directory, an embedded
// server whose databases are written and read with plain SQLite (as any tool
// would), a small account set to build cases on, and running the real `tallyport`
// program with its exit code and output.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

using Rows = std::vector<std::vector<std::string>>;

// An embedded server directory. Databases are the files <name>.db in it.
class EmbeddedServer {
 public:
  // Uses (and creates) `dir`. The sa password stays empty unless the server is
  // initialised by the program (`tallyport server init`).
  explicit EmbeddedServer(std::string dir);
  const std::string& dir() const { return dir_; }
  std::string DbPath(const std::string& db) const;

  // Runs SQL (several statements allowed) with plain SQLite; creates the file.
  // Fails the current test (and throws) on an error.
  void Exec(const std::string& db, const std::string& sql) const;
  // Rows as text; NULL reads "NULL". Fails the test on an error.
  Rows Query(const std::string& db, const std::string& sql) const;
  // A single value (first column of the first row), "" when there is no row.
  std::string Scalar(const std::string& db, const std::string& sql) const;
  bool TableExists(const std::string& db, const std::string& table) const;

 private:
  std::string dir_;
};

// Creates the account-set database `acc_db` with every table the extraction reads
// (demo/schema.h, plus item tables fitemss<class> for each class given), and
// vxsystem with twelve monthly periods of `year` for account set `acc_id`, the
// account set's currency cCurCode `cur_code`, and an empty analysis database `olap`.
// accinformation gets dGLStartDate = `gl_start` ("YYYY-MM-DD").
void CreateAccountSet(const EmbeddedServer& s, const std::string& acc_db = "vxdata_001_2006",
                      int year = 2006, const std::string& acc_id = "001",
                      const std::vector<std::string>& item_classes = {"97"},
                      const std::string& gl_start = "2006-01-01",
                      const std::string& cur_code = "RMB");

struct RunResult {
  int exit_code = -1;  // -1: did not exit normally (signal)
  int signal = 0;
  std::string out;
  std::string err;
};

// The built `tallyport` program.
std::string TallyportBinary();
// Runs it with `args`, extra environment `env` (added to the test's own), no
// standard input, and a time limit (seconds) after which it is killed.
RunResult RunTallyport(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env = {},
                       int timeout_seconds = 120);

// The usual extraction arguments against one embedded server holding both the
// account set and the analysis database.
std::vector<std::string> ExtractArgs(const std::string& cls, const EmbeddedServer& s,
                                     const std::string& begin, const std::string& end,
                                     const std::string& acc_db = "vxdata_001_2006",
                                     const std::string& olap_db = "olap");

// Reads a whole file ("" when missing).
std::string ReadFile(const std::string& path);

}  // namespace testsupport
