#include "tools/check/pattern_shape.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace vortane::tools::check {

PatternShape ScanPattern(std::string_view pattern) {
  PatternShape shape;
  struct Frame {
    bool unbounded = false;
    size_t open = 0;
  };
  std::vector<Frame> frames{Frame{}};
  // The length of an unbounded repeat at `i` ("*", "+", "{n,}"), or 0.
  auto unboundedRepeat = [&](size_t i) -> size_t {
    if (i >= pattern.size()) return 0;
    if (pattern[i] == '*' || pattern[i] == '+') return 1;
    if (pattern[i] == '{') {
      // An interval is short: looking further would make a run of "{" quadratic.
      const size_t close = pattern.substr(0, i + 24).find('}', i);
      if (close != std::string_view::npos && pattern[close - 1] == ',') return close - i + 1;
    }
    return 0;
  };
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\' && i + 1 < pattern.size()) {
      if (pattern[i + 1] == 'l' || pattern[i + 1] == 'u' || pattern[i + 1] == 'L' ||
          pattern[i + 1] == 'U') {
        shape.caseClass = std::min(shape.caseClass, i);
      }
      ++i;
    } else if (c == '[') {
      size_t j = i + 1;
      if (j < pattern.size() && pattern[j] == '^') ++j;
      if (j < pattern.size() && pattern[j] == ']') ++j;
      for (; j < pattern.size() && pattern[j] != ']'; ++j) {
        if (pattern[j] == '\\') {
          ++j;
        } else if (pattern.compare(j, 2, "[:") == 0) {
          // Class names are short; a bounded look keeps a run of "[:" linear.
          const size_t end = pattern.substr(0, j + 16).find(":]", j + 2);
          if (end == std::string_view::npos) continue;
          const std::string_view name = pattern.substr(j + 2, end - j - 2);
          if (name == "lower" || name == "upper") shape.caseClass = std::min(shape.caseClass, j);
          j = end + 1;
        }
      }
      i = j;
    } else if (c == '(') {
      frames.push_back({false, i});
    } else if (c == ')' && frames.size() > 1) {
      const Frame inner = frames.back();
      frames.pop_back();
      if (inner.unbounded) {
        if (unboundedRepeat(i + 1)) shape.nestedRepeat = std::min(shape.nestedRepeat, inner.open);
        frames.back().unbounded = true;
      }
    } else if (c == '|' && frames.size() == 1) {
      shape.topLevelBar = std::min(shape.topLevelBar, i);
    }
    if (unboundedRepeat(i + 1) && c != '(' && c != '|') frames.back().unbounded = true;
  }
  return shape;
}

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
