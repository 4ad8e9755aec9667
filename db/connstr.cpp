// Connection-string reading; see connstr.h.
#include "db/connstr.h"

#include <strings.h>

namespace db {

std::optional<ConnPairs> ParseConnectionString(std::string_view s) {
  ConnPairs out;
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ';') {
      ++i;
      continue;
    }
    size_t eq = s.find('=', i);
    if (eq == std::string_view::npos) return std::nullopt;
    std::string key(s.substr(i, eq - i));
    while (!key.empty() && key.front() == ' ') key.erase(key.begin());
    while (!key.empty() && key.back() == ' ') key.pop_back();
    if (key.empty() || key.find_first_of("{};") != std::string::npos) return std::nullopt;
    i = eq + 1;
    std::string value;
    if (i < s.size() && s[i] == '{') {
      ++i;
      for (;;) {
        if (i >= s.size()) return std::nullopt;
        if (s[i] == '}') {
          if (i + 1 < s.size() && s[i + 1] == '}') {
            value.push_back('}');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value.push_back(s[i++]);
      }
      if (i < s.size() && s[i] != ';') return std::nullopt;
    } else {
      size_t end = s.find(';', i);
      if (end == std::string_view::npos) end = s.size();
      value = std::string(s.substr(i, end - i));
      i = end;
    }
    out.emplace_back(std::move(key), std::move(value));
  }
  return out;
}

std::optional<std::string> ConnGet(const ConnPairs& pairs, std::string_view key) {
  for (const auto& [k, v] : pairs)
    if (k.size() == key.size() && strncasecmp(k.c_str(), key.data(), key.size()) == 0) return v;
  return std::nullopt;
}

}  // namespace db
