#include "engine/rule_match.h"

#include <cctype>
#include <string>

namespace vl {

int wildcard_match(std::string_view text, std::string_view pattern) {
  size_t t = 0, p = 0;
  for (;;) {
    if (p == pattern.size()) return t == text.size() ? 1 : 0;
    if (t == text.size() && pattern[p] != '*') return -1;
    if (pattern[p] == '*') break;
    if (pattern[p] != '?' && pattern[p] != text[t]) return 0;
    ++t;
    ++p;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  if (p == pattern.size()) return 1;
  if (t == text.size()) return -1;
  // A result other than 0 ends the search: -1 means the text ran out, so no later start can match.
  for (; t < text.size(); ++t) {
    int r = wildcard_match(text.substr(t), pattern.substr(p));
    if (r != 0) return r;
  }
  return -1;
}

static std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int rule_match(std::string_view path, std::string_view rule) {
  if (path.empty() || rule.empty()) return 0;
  std::string pattern = lowered(rule) + "*";
  return wildcard_match(lowered(path), pattern) == 1 ? 1 : 0;
}

}  // namespace vl
