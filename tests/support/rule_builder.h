// Builds rules the way the configuration parser does, for tests of evaluation and passes.
#pragma once

#include <atomic>
#include <cstdint>
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

// The text of a rule's combined pattern as the parser builds it: each condition's pattern
// followed by LF, then the rule's own pattern.
inline std::string CombinedPattern(const std::vector<std::string_view>& conditionPatterns,
                                   std::string_view rulePattern) {
  std::string text;
  for (std::string_view condition : conditionPatterns) {
    text.append(condition);
    text += '\n';
  }
  text.append(rulePattern);
  return text;
}

// A rule with `conditions`, `pattern`, `format`, flag letters (any of L R N F U O I, and R=NNN
// with a redirect status) and `target`, its combined pattern compiled.
inline Rule MakeRule(const std::vector<ConditionLine>& conditions, std::string_view pattern,
                     std::string_view format, std::string_view letters = "",
                     std::string_view target = "URL") {
  Rule rule;
  uint32_t flags = 0;
  bool ignoreCase = false;
  for (size_t i = 0; i < letters.size(); ++i) {
    FlagLetter meaning{};
    if (LookUpFlagLetter(letters[i], meaning)) {
      flags |= meaning.bits;
      ignoreCase = ignoreCase || meaning.ignoreCase;
    }
    if (letters.compare(i, 2, "R=") == 0) {
      uint32_t status = 0;
      LookUpRedirectStatus(letters.substr(i + 2, 3), status);
      flags |= status;
      i += 4;
    }
  }
  std::vector<std::string_view> conditionPatterns;
  for (const ConditionLine& c : conditions) {
    rule.AppendCondition({c.name, c.normalize ? ConditionFlag::Normalize : 0u, c.serverVariable});
    conditionPatterns.push_back(c.pattern);
  }
  rule.pattern = CompilePattern(CombinedPattern(conditionPatterns, pattern), ignoreCase);
  rule.format = std::string(format);
  rule.target = std::string(target);
  rule.SetFlags(flags);
  return rule;
}

}  // namespace vortane::testing
