#include "tools/check/pattern_shape.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace vortane::tools::check {

bool MatchesEverything(std::string_view pattern) {
  if (!pattern.empty() && pattern.front() == '^') pattern.remove_prefix(1);
  if (!pattern.empty() && pattern.back() == '$') pattern.remove_suffix(1);
  return pattern == ".*" || pattern == "(.*)" || pattern == "(?:.*)";
}

std::pair<size_t, size_t> LongestLiteral(std::string_view pattern) {
  size_t bestLength = 0, bestStart = 0, run = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      ++run;
      if (run > bestLength) {
        bestLength = run;
        bestStart = i + 1 - run;
      }
      continue;
    }
    run = 0;
    if (c == '\\') {
      ++i;
    } else if (c == '[') {
      const size_t close = pattern.find(']', i + 2);
      if (close == std::string_view::npos) break;
      i = close;
    } else if (c == '{' || (c == '(' && i + 1 < pattern.size() && pattern[i + 1] == '?')) {
      const size_t close = pattern.find(c == '{' ? '}' : ':', i);
      if (close != std::string_view::npos && c == '{') i = close;
    }
  }
  return {bestStart, bestLength};
}

}  // namespace vortane::tools::check
