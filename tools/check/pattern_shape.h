// The few shapes of a pattern's text the checker's warnings look for, beside what the
// pattern's tree tells (AnalysePattern, regex/pattern_tree.h).
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace vortane::tools::check {

// A pattern that matches every URL: ".*" or "(.*)", with or without anchors.
bool MatchesEverything(std::string_view pattern);

// The longest run of letters and digits the pattern holds as literal text, outside classes
// and escapes, and where it starts: {start, length}.
std::pair<size_t, size_t> LongestLiteral(std::string_view pattern);

}  // namespace vortane::tools::check
