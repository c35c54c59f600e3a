#include "rules/rule_pass.h"

#include "rules/evaluation.h"
#include "rules/rule_index.h"
#include "rules/server_values.h"
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

// Points `visitor` at the rules that can match the request's URL as it is now; at every rule
// when the URL is too long to read (its rules then end the pass as Unreadable).
void LookUpUrl(RuleVisitor& visitor, HTTP_FILTER_CONTEXT* filterContext,
               HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch) {
  // The server's operations take names as non-const strings; they never write to them.
  const LPSTR urlItem = const_cast<LPSTR>("URL");
  size_t length = 0;
  switch (
      ReadValue(preprocHeaders->GetHeader, filterContext, urlItem, scratch.subject, 0, 0, length)) {
    case ValueRead::TooLong:
      visitor.VisitAll();
      return;
    case ValueRead::Absent:
    case ValueRead::Read:
      visitor.LookUp(std::string_view(scratch.subject.Data(), length));
      return;
  }
}

// Whether a rule in [first, last) is enabled.
bool AnyEnabled(const std::vector<Rule>& rules, size_t first, size_t last) {
  for (size_t i = first; i < last; ++i) {
    if (!rules[i].IsDisabled()) return true;
  }
  return false;
}

// The untraced pass, visiting only the rules `index` leaves in for the URL. It gives what
// Pass gives: every rule it leaves out is an enabled rule whose prefilter refuses the URL,
// which would have added NoMatch and nothing else, or a disabled one, which would have been
// passed over. The URL is looked up again after every rule on the URL item that matched
// (it may have written the URL), unless the pass ends there; a restart moves the visitor
// back to the first rule.
uint32_t IndexedPass(const std::vector<Rule>& rules, const RuleIndex& index,
                     const std::atomic<int32_t>& repeatLimit, HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders) {
  EvaluationScratch scratch;
  RuleVisitor visitor(index);
  LookUpUrl(visitor, filterContext, preprocHeaders, scratch);
  uint32_t result = 0;
  int32_t sweep = 1;
  for (size_t from = 0;;) {
    const size_t i = visitor.Next(from);
    if ((result & RuleResult::NoMatch) == 0 && i > from && AnyEnabled(rules, from, i)) {
      result |= RuleResult::NoMatch;
    }
    if (i >= rules.size()) return result;
    const Rule& rule = rules[i];
    from = i + 1;
    if (rule.IsDisabled()) continue;
    const uint32_t ruleResult = EvaluateRule(rule, filterContext, preprocHeaders, scratch);
    result |= ruleResult;
    if ((result & (RuleResult::Timeout | RuleResult::Unreadable)) != 0) return result;
    // Only a rule on the URL item writes the URL; the visitor holds the candidates for the
    // URL as it was before any other rule.
    const bool wroteUrl = (ruleResult & RuleResult::Matched) != 0 && IsUrlItem(rule.target);
    if ((result & RuleResult::Restart) != 0 &&
        sweep < repeatLimit.load(std::memory_order_relaxed)) {
      ++sweep;
      result = 0;
      from = 0;
      if (wroteUrl) LookUpUrl(visitor, filterContext, preprocHeaders, scratch);
      continue;
    }
    if ((result & RuleResult::Stop) != 0) return result;
    if (wroteUrl) LookUpUrl(visitor, filterContext, preprocHeaders, scratch);
  }
}

}  // namespace

uint32_t RunRulePass(const std::vector<Rule>& rules, const RuleIndex& index,
                     const std::atomic<int32_t>& repeatLimit, HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer) {
  if (tracer != nullptr || !index.Indexes() || index.RuleCount() != rules.size()) {
    return RunRulePass(rules, repeatLimit, filterContext, preprocHeaders, tracer);
  }
  return IndexedPass(rules, index, repeatLimit, filterContext, preprocHeaders);
}

uint32_t RunRulePass(const std::vector<Rule>& rules, const std::atomic<int32_t>& repeatLimit,
                     HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer) {
  if (tracer != nullptr) {
    return Pass<true>(rules, repeatLimit, filterContext, preprocHeaders, tracer);
  }
  return Pass<false>(rules, repeatLimit, filterContext, preprocHeaders, nullptr);
}

}  // namespace vortane
