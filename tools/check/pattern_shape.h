// What the checker's warnings read from a pattern's text: a scan of its structure, and the
// few shapes the warnings look for.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace vortane::tools::check {

// What a scan of one pattern found worth a warning; positions from 0, npos for nothing.
struct PatternShape {
  size_t topLevelBar = std::string_view::npos;
  size_t nestedRepeat = std::string_view::npos;
  size_t caseClass = std::string_view::npos;
};

// Reads the pattern's structure: groups, classes, escapes and repeats. Approximate on
// purpose (it guides warnings only); linear in the pattern's length.
PatternShape ScanPattern(std::string_view pattern);

// A pattern that matches every URL: ".*" or "(.*)", with or without anchors.
bool MatchesEverything(std::string_view pattern);

// The longest run of letters and digits the pattern holds as literal text, outside classes
// and escapes, and where it starts: {start, length}.
std::pair<size_t, size_t> LongestLiteral(std::string_view pattern);

}  // namespace vortane::tools::check
