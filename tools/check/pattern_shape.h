// The few shapes of a pattern's text the checker's warnings look for, beside what the
// pattern's tree tells (AnalysePattern, regex/pattern_tree.h).
#pragma once

#include <string_view>

namespace vortane::tools::check {

// A pattern that matches every URL: ".*" or "(.*)", with or without anchors.
bool MatchesEverything(std::string_view pattern);

}  // namespace vortane::tools::check
