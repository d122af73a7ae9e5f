// Exclude-rule matching: case-insensitive wildcard patterns that match as prefixes of a path.
#pragma once

#include <string_view>

namespace vl {

// Matches text against pattern, where "*" matches any run of characters (also none), "?" exactly
// one character and every other character only itself (no escapes, no classes).
// Returns 1 on a match, 0 on a mismatch, -1 when the text ran out before the pattern.
int wildcard_match(std::string_view text, std::string_view pattern);

// 1 when rule matches path: both lower-cased, the rule with "*" appended, so a rule matches every
// path that begins with what it describes. An empty path or rule never matches.
int rule_match(std::string_view path, std::string_view rule);

}  // namespace vl
