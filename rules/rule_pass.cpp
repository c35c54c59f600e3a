#include "rules/rule_pass.h"

#include "rules/evaluation.h"
#include "rules/trace.h"

namespace vortane {
namespace {

// The pass, compiled twice: kTraced reports to `tracer` and has evaluations fill a record for
// it; the other never touches either.
template <bool kTraced>
uint32_t Pass(const std::vector<Rule>& rules, const std::atomic<int32_t>& repeatLimit,
              HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_PREPROC_HEADERS* preprocHeaders,
              RuleTracer* tracer) {
  EvaluationScratch scratch;
  RuleEvaluation record;
  uint32_t result = 0;
  int32_t sweep = 1;
  if constexpr (kTraced) tracer->SweepStarted(sweep);
  for (size_t i = 0; i < rules.size();) {
    const Rule& rule = rules[i];
    if (rule.IsDisabled()) {
      if constexpr (kTraced) tracer->RuleSkipped(rule);
      ++i;
      continue;
    }
    result |=
        EvaluateRule(rule, filterContext, preprocHeaders, scratch, kTraced ? &record : nullptr);
    if constexpr (kTraced) tracer->RuleEvaluated(record, result);
    if ((result & RuleResult::Timeout) != 0) {
      if constexpr (kTraced) tracer->PassEnded(PassEnd::TimedOut, result);
      return result;
    }
    if ((result & RuleResult::Unreadable) != 0) {
      if constexpr (kTraced) tracer->PassEnded(PassEnd::Unreadable, result);
      return result;
    }
    if ((result & RuleResult::Restart) != 0) {
      if (sweep < repeatLimit.load(std::memory_order_relaxed)) {
        ++sweep;
        result = 0;
        i = 0;
        if constexpr (kTraced) tracer->SweepStarted(sweep);
        continue;
      }
      // The result keeps the Restart of an earlier rule at the limit; only a rule that asks
      // itself is reported.
      if constexpr (kTraced) {
        if ((record.result & RuleResult::Restart) != 0) tracer->RepeatLimitReached(sweep);
      }
    }
    if ((result & RuleResult::Stop) != 0) {
      if constexpr (kTraced) tracer->PassEnded(PassEnd::Stopped, result);
      return result;
    }
    ++i;
  }
  if constexpr (kTraced) tracer->PassEnded(PassEnd::Completed, result);
  return result;
}

}  // namespace

uint32_t RunRulePass(const std::vector<Rule>& rules, const std::atomic<int32_t>& repeatLimit,
                     HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer) {
  if (tracer != nullptr) {
    return Pass<true>(rules, repeatLimit, filterContext, preprocHeaders, tracer);
  }
  return Pass<false>(rules, repeatLimit, filterContext, preprocHeaders, nullptr);
}

}  // namespace vortane
