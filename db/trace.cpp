// Statement tracing and fault injection; see trace.h and fault.h. The trace file is
// opened in append mode for each line, so lines of several processes interleave
// whole and a trace survives a crash up to its last statement.
#include "db/trace.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "db/ado.h"
#include "db/fault.h"

namespace db {
namespace {

std::mutex g_mutex;
long g_fail_at = 0;
long g_count = 0;
long g_kill_at = 0;
std::string g_message;
bool g_env_read = false;

// At exit, so the count covers the whole run whatever ended it.
void PrintOperationCount() { std::fprintf(stderr, "tallyport: %ld data operations\n", g_count); }

void ReadEnvOnce() {
  if (g_env_read) return;
  g_env_read = true;
  if (const char* k = std::getenv("TALLYPORT_KILL_AT")) g_kill_at = std::max(0L, std::strtol(k, nullptr, 10));
  const char* f = std::getenv("TALLYPORT_FAULT");
  if (f == nullptr) return;
  if (std::string_view(f) == "count") {
    std::atexit(PrintOperationCount);
    return;
  }
  char* end = nullptr;
  long n = std::strtol(f, &end, 10);
  if (end != nullptr && *end == ':' && n > 0) {
    g_fail_at = n;
    g_message = end + 1;
  }
}

bool MatchWord(std::string_view s, size_t at, std::string_view word) {
  return s.size() - at >= word.size() && strncasecmp(s.data() + at, word.data(), word.size()) == 0;
}

size_t SkipBlanks(std::string_view s, size_t i) {
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

// The end (one past the closing quote) of the SQL literal opening at `open`, with
// '' standing for a quote; npos when it is not closed.
size_t LiteralEnd(std::string_view s, size_t open) {
  for (size_t i = open + 1; i < s.size(); ++i) {
    if (s[i] != '\'') continue;
    if (i + 1 < s.size() && s[i + 1] == '\'') {
      ++i;
      continue;
    }
    return i + 1;
  }
  return std::string_view::npos;
}

// The end of a connection-string value starting at `i`: braced ("}}" inside
// stands for '}') or up to the next ';'.
size_t ConnValueEnd(std::string_view s, size_t i) {
  if (i < s.size() && s[i] == '{') {
    for (size_t k = i + 1; k < s.size(); ++k) {
      if (s[k] != '}') continue;
      if (k + 1 < s.size() && s[k + 1] == '}') {
        ++k;
        continue;
      }
      return k + 1;
    }
    return s.size();
  }
  size_t end = s.find(';', i);
  return end == std::string_view::npos ? s.size() : end;
}

}  // namespace

std::string MaskPasswords(const std::string& text) {
  std::string_view s = text;
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    if (MatchWord(s, i, "pwd")) {
      size_t eq = SkipBlanks(s, i + 3);
      if (eq < s.size() && s[eq] == '=') {
        size_t start = SkipBlanks(s, eq + 1);
        out.append(s.substr(i, start - i));
        out += "***";
        i = ConnValueEnd(s, start);
        continue;
      }
    }
    if (MatchWord(s, i, "openrowset")) {
      // OPENROWSET('provider','server';'user';'password', ...): the fourth literal.
      size_t k = SkipBlanks(s, i + 10);
      if (k < s.size() && s[k] == '(') {
        size_t lit = k + 1;
        bool found = true;
        for (int piece = 0; piece < 4 && found; ++piece) {
          lit = SkipBlanks(s, lit);
          if (piece > 0) {
            found = lit < s.size() && (s[lit] == ',' || s[lit] == ';');
            lit = SkipBlanks(s, lit + 1);
          }
          if (!found || lit >= s.size() || s[lit] != '\'') {
            found = false;
            break;
          }
          if (piece < 3) {
            lit = LiteralEnd(s, lit);
            found = lit != std::string_view::npos;
          }
        }
        size_t end = found ? LiteralEnd(s, lit) : std::string_view::npos;
        if (end != std::string_view::npos) {
          out.append(s.substr(i, lit + 1 - i));
          out += "***'";
          i = end;
          continue;
        }
      }
    }
    out.push_back(s[i++]);
  }
  return out;
}

void CountOperation() {
  std::lock_guard<std::mutex> lock(g_mutex);
  ReadEnvOnce();
  ++g_count;
  // Before the operation, as a power cut between two statements would.
  if (g_kill_at > 0 && g_count == g_kill_at) std::raise(SIGKILL);
  if (g_fail_at > 0 && g_count == g_fail_at) throw Error(g_message);
}

bool Tracing() {
  const char* path = std::getenv("TALLYPORT_TRACE");
  return path != nullptr && *path != '\0';
}

void TraceStatement(const std::string& text) {
  CountOperation();
  const char* path = std::getenv("TALLYPORT_TRACE");
  if (path == nullptr || *path == '\0') return;
  std::string line = MaskPasswords(text);
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(g_mutex);
  if (std::FILE* f = std::fopen(path, "a")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
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
