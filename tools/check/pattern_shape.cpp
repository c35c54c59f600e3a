#include "tools/check/pattern_shape.h"

namespace vortane::tools::check {

bool MatchesEverything(std::string_view pattern) {
  if (!pattern.empty() && pattern.front() == '^') pattern.remove_prefix(1);
  if (!pattern.empty() && pattern.back() == '$') pattern.remove_suffix(1);
  return pattern == ".*" || pattern == "(.*)" || pattern == "(?:.*)";
}

}  // namespace vortane::tools::check
