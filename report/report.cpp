// Run report and progress. State is per thread, like the runs themselves; the
// report leaves the component as a JSON file named by $TALLYPORT_REPORT.
#include "report/report.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace report {
namespace {

using Clock = std::chrono::steady_clock;

struct State {
  bool active = false;
  std::string class_name;
  Clock::time_point run_start;
  std::string pass;
  Clock::time_point pass_start;
  std::vector<std::pair<std::string, double>> passes;
  std::map<std::pair<std::string, std::string>, int64_t> rows;
  Clock::time_point last_draw;
  bool drew = false;
};

thread_local State g;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void EndPass(Clock::time_point now) {
  if (!g.pass.empty()) g.passes.emplace_back(g.pass, Seconds(g.pass_start, now));
  g.pass.clear();
}

bool ProgressWanted() {
  const char* p = std::getenv("TALLYPORT_PROGRESS");
  return p != nullptr && p[0] == '1';
}

void JsonString(std::FILE* f, const std::string& s) {
  std::fputc('"', f);
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      std::fputc('\\', f);
      std::fputc(c, f);
    } else if (c < 0x20) {
      std::fprintf(f, "\\u%04x", c);
    } else {
      std::fputc(c, f);
    }
  }
  std::fputc('"', f);
}

}  // namespace

void BeginRun(std::string_view class_name) {
  g = State{};
  g.active = true;
  g.class_name = class_name;
  g.run_start = Clock::now();
  g.last_draw = g.run_start;
}

void BeginPass(std::string_view pass) {
  if (!g.active) return;
  auto now = Clock::now();
  EndPass(now);
  g.pass = pass;
  g.pass_start = now;
}

void CountRows(std::string_view table, std::string_view kind, int64_t rows) {
  if (!g.active) return;
  g.rows[{std::string(table), std::string(kind)}] += rows;
}

void Progress(int64_t done, int64_t known) {
  if (!g.active || !ProgressWanted()) return;
  auto now = Clock::now();
  // Quiet for the first second, then at most five redraws a second.
  if (Seconds(g.run_start, now) < 1.0 || Seconds(g.last_draw, now) < 0.2) return;
  g.last_draw = now;
  g.drew = true;
  if (known > 0)
    std::fprintf(stderr, "\r\033[K%s: %s %lld/%lld rows, %.1fs", g.class_name.c_str(),
                 g.pass.c_str(), static_cast<long long>(done), static_cast<long long>(known),
                 Seconds(g.run_start, now));
  else
    std::fprintf(stderr, "\r\033[K%s: %s %lld rows, %.1fs", g.class_name.c_str(), g.pass.c_str(),
                 static_cast<long long>(done), Seconds(g.run_start, now));
  std::fflush(stderr);
}

void EndRun(bool ok) {
  if (!g.active) return;
  auto now = Clock::now();
  EndPass(now);
  g.active = false;
  if (g.drew) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
  const char* path = std::getenv("TALLYPORT_REPORT");
  if (path == nullptr || path[0] == '\0') return;
  std::FILE* f = std::fopen(path, "w");
  if (f == nullptr) return;  // the report is advisory: never fail a run over it
  std::fputs("{\"class\": ", f);
  JsonString(f, g.class_name);
  std::fprintf(f, ", \"ok\": %s, \"seconds\": %.3f, \"passes\": [", ok ? "true" : "false",
               Seconds(g.run_start, now));
  bool first = true;
  for (const auto& [name, secs] : g.passes) {
    std::fputs(first ? "" : ", ", f);
    first = false;
    std::fputs("{\"pass\": ", f);
    JsonString(f, name);
    std::fprintf(f, ", \"seconds\": %.3f}", secs);
  }
  std::fputs("], \"rows\": [", f);
  first = true;
  for (const auto& [key, n] : g.rows) {
    std::fputs(first ? "" : ", ", f);
    first = false;
    std::fputs("{\"table\": ", f);
    JsonString(f, key.first);
    std::fputs(", \"kind\": ", f);
    JsonString(f, key.second);
    std::fprintf(f, ", \"rows\": %lld}", static_cast<long long>(n));
  }
  std::fputs("]}\n", f);
  std::fclose(f);
}

}  // namespace report
