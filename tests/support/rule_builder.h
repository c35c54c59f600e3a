// Builds rules the way the configuration parser does, for tests of evaluation and passes.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rule.h"

namespace vortane::testing {

// What a rule pass runs over: rules and a repeat limit, as a configuration holds them.
struct RuleSet {
  std::vector<Rule> rules;
  std::atomic<int32_t> repeatLimit{32};
};

struct ConditionLine {
  std::string name;     // "Host:", "URL", or a server variable name
  std::string pattern;  // the condition's own pattern
  bool serverVariable = false;
  bool normalize = false;
};

// A rule with `conditions`, `pattern`, `format`, a flag list's text (as in "L,R=301") and
// `target`, built by BuildRule; throws when BuildRule makes none.
inline Rule MakeRule(const std::vector<ConditionLine>& conditions, std::string_view pattern,
                     std::string_view format, std::string_view flags = "",
                     std::string_view target = "URL") {
  RuleParts parts;
  for (const ConditionLine& c : conditions) {
    parts.conditions.push_back({c.name, c.pattern, c.normalize ? "O" : "", c.serverVariable, 0});
  }
  parts.pattern = pattern;
  parts.format = format;
  parts.flags = flags;
  parts.target = target;
  BuiltRule built = BuildRule(parts);
  if (built.error != RuleError::None) throw std::invalid_argument("MakeRule: no rule");
  return built.rule;
}

}  // namespace vortane::testing
