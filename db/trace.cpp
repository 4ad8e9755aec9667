// Statement tracing and fault injection; see trace.h and fault.h.
#include "db/trace.h"

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "db/ado.h"
#include "db/fault.h"

namespace db {
namespace {

std::mutex g_mutex;
long g_fail_at = 0;
long g_count = 0;
std::string g_message;
bool g_env_read = false;

void ReadEnvOnce() {
  if (g_env_read) return;
  g_env_read = true;
  const char* f = std::getenv("TALLYPORT_FAULT");
  if (f == nullptr) return;
  char* end = nullptr;
  long n = std::strtol(f, &end, 10);
  if (end != nullptr && *end == ':' && n > 0) {
    g_fail_at = n;
    g_message = end + 1;
  }
}

}  // namespace

std::string MaskPasswords(const std::string& text) {
  std::string out = text;
  // PWD=value (braced or up to ';').
  for (size_t pos = 0; (pos = out.find('=', pos)) != std::string::npos; ++pos) {
    if (pos < 3 || strncasecmp(out.c_str() + pos - 3, "PWD", 3) != 0) continue;
    size_t start = pos + 1, end;
    if (start < out.size() && out[start] == '{') {
      end = start + 1;
      while (end < out.size() && !(out[end] == '}' && (end + 1 >= out.size() || out[end + 1] != '}')))
        end += out[end] == '}' ? 2 : 1;
      end = end < out.size() ? end + 1 : end;
    } else {
      end = out.find(';', start);
      if (end == std::string::npos) end = out.size();
    }
    out.replace(start, end - start, "***");
  }
  // OPENROWSET('SQLOLEDB','server';'user';'password', ...): the third quoted piece.
  for (size_t pos = 0; (pos = out.find("OPENROWSET", pos)) != std::string::npos; ++pos) {
    size_t q = pos;
    for (int piece = 0; piece < 3; ++piece) {  // skip provider, server, user
      q = out.find('\'', q);
      if (q == std::string::npos) break;
      do {
        q = out.find('\'', q + 1);
        if (q == std::string::npos) break;
        if (q + 1 < out.size() && out[q + 1] == '\'') ++q;
        else break;
      } while (true);
      if (q == std::string::npos) break;
      ++q;
    }
    if (q == std::string::npos) continue;
    size_t open = out.find('\'', q);
    if (open == std::string::npos) continue;
    size_t close = open + 1;
    while (close < out.size() && !(out[close] == '\'' && (close + 1 >= out.size() || out[close + 1] != '\'')))
      close += out[close] == '\'' ? 2 : 1;
    if (close >= out.size()) continue;
    out.replace(open + 1, close - open - 1, "***");
  }
  return out;
}

void TraceStatement(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ReadEnvOnce();
    ++g_count;
    if (g_fail_at > 0 && g_count == g_fail_at) throw Error(g_message);
  }
  const char* path = std::getenv("TALLYPORT_TRACE");
  if (path == nullptr || *path == '\0') return;
  std::FILE* f = std::fopen(path, "a");
  if (f == nullptr) return;  // tracing is advisory and never fails a run
  std::string line = MaskPasswords(text);
  for (char& c : line)
    if (c == '\n') c = ' ';
  std::fprintf(f, "%s\n", line.c_str());
  std::fclose(f);
}

namespace testing {

void FailAt(long n, std::string message) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_env_read = true;
  g_fail_at = n;
  g_count = 0;
  g_message = std::move(message);
}

long OperationCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_count;
}

}  // namespace testing
}  // namespace db
