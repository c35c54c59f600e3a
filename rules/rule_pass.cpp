#include "rules/rule_pass.h"

#include "rules/evaluation.h"

namespace vortane {

uint32_t RunRulePass(const SiteConfig& config, HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders) {
  const std::vector<Rule>& rules = config.rules;
  EvaluationScratch scratch;
  uint32_t result = 0;
  int32_t sweep = 1;
  for (size_t i = 0; i < rules.size();) {
    const Rule& rule = rules[i];
    if (rule.IsDisabled()) {
      ++i;
      continue;
    }
    result |= EvaluateRule(rule, filterContext, preprocHeaders, scratch);
    if ((result & RuleResult::Timeout) != 0) return result;
    if ((result & RuleResult::Restart) != 0 && sweep < config.RepeatLimit()) {
      ++sweep;
      result = 0;
      i = 0;
      continue;
    }
    if ((result & RuleResult::Stop) != 0) return result;
    ++i;
  }
  return result;
}

}  // namespace vortane
