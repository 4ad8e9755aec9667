// Reading the run report for people. The report is small JSON written by our own
// report module, so a reader of plain JSON values is all that is needed; anything
// it cannot read yields no summary rather than a wrong one.
#include "host/run_report.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace host {
namespace {

struct Value {
  enum Kind { Null, Bool, Number, Text, Array, Object } kind = Null;
  bool flag = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> fields;

  const Value* Field(const std::string& name) const {
    auto it = fields.find(name);
    return it == fields.end() ? nullptr : &it->second;
  }
};

class Reader {
 public:
  explicit Reader(const std::string& s) : s_(s) {}

  std::optional<Value> Document() {
    auto v = Read(0);
    Blank();
    if (!v || i_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  static constexpr int kMaxDepth = 16;

  void Blank() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  bool Take(char c) {
    Blank();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool Word(const char* w) {
    std::string_view word(w);
    if (s_.compare(i_, word.size(), word) != 0) return false;
    i_ += word.size();
    return true;
  }
  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return std::nullopt;
      char e = s_[i_++];
      if (e == 'u') {
        // The writer escapes only control characters; show them as '?'.
        if (i_ + 4 > s_.size()) return std::nullopt;
        i_ += 4;
        out += '?';
      } else {
        out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
      }
    }
    if (i_ >= s_.size()) return std::nullopt;
    ++i_;
    return out;
  }
  std::optional<Value> Read(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    Blank();
    if (i_ >= s_.size()) return std::nullopt;
    Value v;
    char c = s_[i_];
    if (c == '"') {
      auto t = String();
      if (!t) return std::nullopt;
      v.kind = Value::Text;
      v.text = std::move(*t);
    } else if (c == '{' || c == '[') {
      bool object = c == '{';
      v.kind = object ? Value::Object : Value::Array;
      ++i_;
      if (Take(object ? '}' : ']')) return v;
      do {
        std::string key;
        if (object) {
          auto k = String();
          if (!k || !Take(':')) return std::nullopt;
          key = std::move(*k);
        }
        auto item = Read(depth + 1);
        if (!item) return std::nullopt;
        if (object) v.fields[key] = std::move(*item);
        else v.items.push_back(std::move(*item));
      } while (Take(','));
      if (!Take(object ? '}' : ']')) return std::nullopt;
    } else if (Word("true") || Word("false")) {
      v.kind = Value::Bool;
      v.flag = c == 't';
    } else if (Word("null")) {
      v.kind = Value::Null;
    } else {
      const char* start = s_.c_str() + i_;
      char* end = nullptr;
      v.number = std::strtod(start, &end);
      if (end == start) return std::nullopt;
      v.kind = Value::Number;
      i_ += static_cast<size_t>(end - start);
    }
    return v;
  }

  const std::string& s_;
  size_t i_ = 0;
};

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", s);
  return buf;
}

}  // namespace

std::string DescribeRunReport(const std::string& json) {
  auto doc = Reader(json).Document();
  if (!doc || doc->kind != Value::Object) return {};
  const Value* cls = doc->Field("class");
  const Value* ok = doc->Field("ok");
  const Value* secs = doc->Field("seconds");
  if (!cls || cls->kind != Value::Text || !secs || secs->kind != Value::Number) return {};
  std::string out = cls->text + ": " + (ok && ok->flag ? "finished" : "stopped") + " in " +
                    Seconds(secs->number) + "\n";

  // Rows, one line per table with its kinds in the order written.
  if (const Value* rows = doc->Field("rows"); rows && rows->kind == Value::Array) {
    std::vector<std::pair<std::string, std::string>> tables;
    for (const Value& r : rows->items) {
      const Value* t = r.Field("table");
      const Value* k = r.Field("kind");
      const Value* n = r.Field("rows");
      if (!t || !k || !n || n->kind != Value::Number) continue;
      std::string piece = std::to_string(static_cast<long long>(n->number)) + " " + k->text;
      auto it = tables.begin();
      while (it != tables.end() && it->first != t->text) ++it;
      if (it == tables.end()) tables.emplace_back(t->text, piece);
      else it->second += ", " + piece;
    }
    if (tables.empty()) out += "  no rows written\n";
    for (const auto& [table, pieces] : tables) out += "  " + table + ": " + pieces + " rows\n";
  }
  if (const Value* passes = doc->Field("passes"); passes && passes->kind == Value::Array) {
    std::string line;
    for (const Value& p : passes->items) {
      const Value* name = p.Field("pass");
      const Value* s = p.Field("seconds");
      if (!name || !s || s->kind != Value::Number) continue;
      line += (line.empty() ? "" : ", ") + name->text + " " + Seconds(s->number);
    }
    if (!line.empty()) out += "  passes: " + line + "\n";
  }
  return out;
}

}  // namespace host
