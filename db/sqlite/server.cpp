// The embedded server on disk: database files found by name regardless of case,
// and the sa login, whose password is kept only as a salted PBKDF2-SHA256 hash in
// the file "login" of the server directory.
#include "db/sqlite/server.h"

#include <openssl/crypto.h>
#include <sqlite3.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "db/ado.h"

namespace db::sqlite {
namespace fs = std::filesystem;

namespace {

constexpr int kIterations = 20000;
constexpr const char* kLoginFile = "login";

std::string Hex(const unsigned char* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(d[p[i] >> 4]);
    s.push_back(d[p[i] & 15]);
  }
  return s;
}

std::string Derive(std::string_view password, const std::string& salt_hex, int iterations) {
  unsigned char out[32];
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        reinterpret_cast<const unsigned char*>(salt_hex.data()),
                        static_cast<int>(salt_hex.size()), iterations, EVP_sha256(), sizeof out,
                        out) != 1)
    throw Error("cannot derive the login hash");
  return Hex(out, sizeof out);
}

[[noreturn]] void LoginFailed() { throw Error("Login failed for user 'sa'.", 18456, "28000"); }

}  // namespace

bool IsEmbeddedServer(std::string_view server) {
  if (server.empty()) return false;
  std::error_code ec;
  return fs::is_directory(fs::path(std::string(server)), ec);
}

void InitServer(const std::string& dir, const std::string& sa_password) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) throw Error("cannot create the server directory " + dir);
  unsigned char salt[16];
  if (RAND_bytes(salt, sizeof salt) != 1) throw Error("cannot draw a salt");
  std::string salt_hex = Hex(salt, sizeof salt);
  std::string line = "pbkdf2-sha256$" + std::to_string(kIterations) + "$" + salt_hex + "$" +
                     Derive(sa_password, salt_hex, kIterations) + "\n";
  std::string path = (fs::path(dir) / kLoginFile).string();
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << line;
    if (!out) throw Error("cannot write " + path);
  }
  fs::permissions(tmp, fs::perms::owner_read | fs::perms::owner_write, ec);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) throw Error("cannot write " + path);
}

void CheckLogin(const std::string& dir, std::string_view user, std::string_view password) {
  if (strcasecmp(std::string(user).c_str(), "sa") != 0) LoginFailed();
  std::ifstream in((fs::path(dir) / kLoginFile).string());
  if (!in) {
    // A server never initialised has the empty password.
    if (!password.empty()) LoginFailed();
    return;
  }
  std::string line;
  std::getline(in, line);
  std::vector<std::string> f;
  std::stringstream ss(line);
  for (std::string part; std::getline(ss, part, '$');) f.push_back(part);
  if (f.size() != 4 || f[0] != "pbkdf2-sha256") throw Error("the login file of " + dir + " is damaged");
  int iterations = std::atoi(f[1].c_str());
  if (iterations <= 0) throw Error("the login file of " + dir + " is damaged");
  // A run logs in several times with the same password; the slow derivation is done
  // once per process for a login record and password that matched.
  static std::mutex mu;
  static std::set<std::string> matched;
  const std::string memo = Derive(std::string(password) + '\n' + line, f[2], 1);
  {
    std::lock_guard<std::mutex> lock(mu);
    if (matched.count(memo)) return;
  }
  std::string got = Derive(password, f[2], iterations);
  if (got.size() != f[3].size() || CRYPTO_memcmp(got.data(), f[3].data(), got.size()) != 0)
    LoginFailed();
  std::lock_guard<std::mutex> lock(mu);
  matched.insert(memo);
}

std::string DatabaseFile(const std::string& dir, std::string_view db) {
  if (db.empty() || db.find('/') != std::string_view::npos || db == "." || db == "..") return "";
  std::string want = std::string(db) + ".db";
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    if (strcasecmp(name.c_str(), want.c_str()) == 0 && e.is_regular_file(ec)) return e.path().string();
  }
  return "";
}

}  // namespace db::sqlite

namespace db::sqlite {

// The procedures of the analysis database that the compatibility edition calls, with
// their parameters in order. Their body on this engine records each call (the
// password never) in tp_procedure_calls; a site replaces them with its own work.
const char* const kProcedureSql = R"sql(
CREATE TABLE IF NOT EXISTS tp_procedures (name TEXT PRIMARY KEY COLLATE NOCASE, params TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS tp_procedure_calls (seq INTEGER PRIMARY KEY, name TEXT, args TEXT,
  called_at TEXT DEFAULT (datetime('now')));
INSERT OR REPLACE INTO tp_procedures VALUES
  ('sp_gl_qcbl', '@sAccServer:20,@sAccPwd:50,@sAccZtNo:3,@sAccYear:4,@sStartDate:10,@sEndDate:10'),
  ('Sp_Gl_QcBlYE', '@sAccServer:20,@sAccPwd:50,@sAccZtNo:3,@sAccYear:4,@sEndDate:10');
)sql";

void InstallProcedures(const std::string& dir, std::string_view password, std::string_view db) {
  if (!IsEmbeddedServer(dir)) throw Error("'" + dir + "' is not an embedded server directory.");
  CheckLogin(dir, "sa", password);
  std::string file = DatabaseFile(dir, db);
  if (file.empty())
    throw Error("Cannot open database \"" + std::string(db) + "\" requested by the login. The login failed.",
                4060, "42000");
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(file.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(h);
    throw Error("cannot open " + file);
  }
  sqlite3_busy_timeout(h, 60000);
  char* err = nullptr;
  int rc = sqlite3_exec(h, kProcedureSql, nullptr, nullptr, &err);
  std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(h);
  if (rc != SQLITE_OK) throw Error(msg);
}

}  // namespace db::sqlite
