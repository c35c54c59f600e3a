#include "rules/rule_pass.h"

#include "rules/evaluation.h"
#include "rules/pass_values.h"
#include "rules/rule_index.h"
#include "rules/server_values.h"
#include "rules/trace.h"

namespace vortane {
namespace {

// Which rules a pass visits: every rule, in file order.
class EveryRule {
 public:
  // Whether some rule may be left out, and whether the URL must be looked up for that.
  static constexpr bool kLeavesOut = false;

  void UrlChanged() {}
  // The first rule at or after `from` that the pass visits.
  size_t Next(size_t from, PassValues&) const { return from; }
};

// Which rules a pass visits: those `index` leaves in for the URL as it is, in file order.
//
// The URL is looked up when the visit first needs it, and again after a rule may have
// written it only if an indexed rule is still ahead: a rewrite after the last indexed rule
// costs no lookup.
class IndexedRules {
 public:
  static constexpr bool kLeavesOut = true;

  explicit IndexedRules(const RuleIndex& index) : index_(index), cursor_(index) {}

  // A rule may have written the URL: the candidates are looked up again before they count.
  void UrlChanged() { stale_ = true; }
  size_t Next(size_t from, PassValues& values) {
    if (stale_ && from <= index_.LastIndexed()) {
      LookUpUrl(values);
      stale_ = false;
    }
    // Past the last indexed rule every rule is visited, whatever the URL.
    return cursor_.Next(from);
  }

 private:
  // Points the cursor at the rules that can match the request's URL as it is now; at every
  // rule when the URL is too long to read (its rules then end the pass as Unreadable).
  void LookUpUrl(PassValues& values) {
    const PassValue url = values.Url();
    if (url.read == ValueRead::TooLong) {
      cursor_.VisitAll();
    } else {
      cursor_.LookUp(url.View());
    }
  }

  const RuleIndex& index_;
  RuleCursor cursor_;
  bool stale_ = true;
};

// Whether a rule in [first, last) is enabled.
bool AnyEnabled(const std::vector<Rule>& rules, size_t first, size_t last) {
  for (size_t i = first; i < last; ++i) {
    if (!rules[i].IsDisabled()) return true;
  }
  return false;
}

// The pass: one loop, compiled for each way of choosing the rules (`Visit`) with and without
// a tracer. kTraced reports to `tracer` and has evaluations fill a record for it; the other
// never touches either.
//
// A rule `visit` leaves out is an enabled rule whose prefilter refuses the URL, which would
// have added NoMatch and nothing else, or a disabled one, which would have been passed over:
// the pass adds NoMatch for the first kind, and a trace hears each as such. After every rule on
// the URL item that matched (it may have written the URL) the visit looks the URL up again
// before it next leaves a rule out; a restart moves the visit back to the first rule.
template <class Visit, bool kTraced>
uint32_t Pass(const std::vector<Rule>& rules, Visit& visit, const std::atomic<int32_t>& repeatLimit,
              HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_PREPROC_HEADERS* preprocHeaders,
              RuleTracer* tracer, RequestFiles* files) {
  PassValues values(filterContext, preprocHeaders);
  EvaluationScratch scratch;
  RuleEvaluation record;
  uint32_t result = 0;
  int32_t sweep = 1;
  if constexpr (kTraced) tracer->SweepStarted(sweep);
  for (size_t from = 0;;) {
    const size_t i = visit.Next(from, values);
    if constexpr (Visit::kLeavesOut) {
      if constexpr (kTraced) {
        for (size_t j = from; j < i && j < rules.size(); ++j) {
          if (rules[j].IsDisabled()) {
            tracer->RuleSkipped(rules[j]);
          } else {
            result |= RuleResult::NoMatch;
            tracer->RuleLeftOut(rules[j], result);
          }
        }
      } else if ((result & RuleResult::NoMatch) == 0 && i > from && AnyEnabled(rules, from, i)) {
        result |= RuleResult::NoMatch;
      }
    }
    if (i >= rules.size()) break;
    const Rule& rule = rules[i];
    from = i + 1;
    if (rule.IsDisabled()) {
      if constexpr (kTraced) tracer->RuleSkipped(rule);
      continue;
    }
    const uint32_t ruleResult =
        EvaluateRule(rule, values, scratch, kTraced ? &record : nullptr, files);
    result |= ruleResult;
    if constexpr (kTraced) tracer->RuleEvaluated(record, result);
    if ((result & RuleResult::Timeout) != 0) {
      if constexpr (kTraced) tracer->PassEnded(PassEnd::TimedOut, result);
      return result;
    }
    if ((result & RuleResult::Unreadable) != 0) {
      if constexpr (kTraced) tracer->PassEnded(PassEnd::Unreadable, result);
      return result;
    }
    // Only a rule on the URL item writes the URL; the visit holds the candidates for the URL
    // as it was before any other rule.
    bool wroteUrl = false;
    if constexpr (Visit::kLeavesOut) {
      wroteUrl = (ruleResult & RuleResult::Matched) != 0 && IsUrlItem(rule.target);
    }
    if ((result & RuleResult::Restart) != 0) {
      if (sweep < repeatLimit.load(std::memory_order_relaxed)) {
        ++sweep;
        result &= RuleResult::LogMark;
        from = 0;
        if constexpr (kTraced) tracer->SweepStarted(sweep);
        if (wroteUrl) visit.UrlChanged();
        continue;
      }
      // The result keeps the Restart of an earlier rule at the limit; only a rule that asks
      // itself is reported.
      if constexpr (kTraced) {
        if ((ruleResult & RuleResult::Restart) != 0) tracer->RepeatLimitReached(sweep);
      }
    }
    if ((result & RuleResult::Stop) != 0) {
      if constexpr (kTraced) tracer->PassEnded(PassEnd::Stopped, result);
      return result;
    }
    if (wroteUrl) visit.UrlChanged();
  }
  if constexpr (kTraced) tracer->PassEnded(PassEnd::Completed, result);
  return result;
}

template <class Visit>
uint32_t PassWith(const std::vector<Rule>& rules, Visit& visit,
                  const std::atomic<int32_t>& repeatLimit, HTTP_FILTER_CONTEXT* filterContext,
                  HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer,
                  RequestFiles* files) {
  if (tracer != nullptr) {
    return Pass<Visit, true>(rules, visit, repeatLimit, filterContext, preprocHeaders, tracer,
                             files);
  }
  return Pass<Visit, false>(rules, visit, repeatLimit, filterContext, preprocHeaders, nullptr,
                            files);
}

}  // namespace

uint32_t RunRulePass(const std::vector<Rule>& rules, const RuleIndex& index,
                     const std::atomic<int32_t>& repeatLimit, HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer,
                     RequestFiles* files) {
  if (!index.Indexes() || index.RuleCount() != rules.size()) {
    return RunRulePass(rules, repeatLimit, filterContext, preprocHeaders, tracer, files);
  }
  IndexedRules visit(index);
  return PassWith(rules, visit, repeatLimit, filterContext, preprocHeaders, tracer, files);
}

uint32_t RunRulePass(const std::vector<Rule>& rules, const std::atomic<int32_t>& repeatLimit,
                     HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer,
                     RequestFiles* files) {
  EveryRule visit;
  return PassWith(rules, visit, repeatLimit, filterContext, preprocHeaders, tracer, files);
}

}  // namespace vortane
