// Watching rule passes: an observer that follows every sweep and every rule the way a pass
// visits them, for diagnosis (vortane-try --trace).
//
// A caller that wants a trace hands a RuleTracer to RunRulePass (or to RunSitePass and
// OnPreprocHeaders, which pass it down); everything else passes none. The pass then reports
// to it from the same code that runs without one: the untraced pass tests for a tracer once
// per pass and evaluation once per rule, and is otherwise compiled without the reporting.
// A traced pass chooses its rules as the untraced one does: through the configuration's rule
// index (rules/rule_index.h) when the caller hands it one, and the tracer hears each rule the
// index left out for the URL as such, without values, in file order among the rules
// evaluated.
//
// A tracer is called on the thread that runs the pass, synchronously, in this order:
// SweepStarted(1); for each rule RuleSkipped, RuleLeftOut or RuleEvaluated, after a rule
// SweepStarted(n) when the rule restarted the pass or RepeatLimitReached when it asked to
// but could not; finally PassEnded. Rules after the one that ended the pass are not heard.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "regex/timed_match.h"
#include "rules/rule.h"

namespace vortane {

// What one evaluation of a rule read, matched and wrote. EvaluateRule fills it when asked;
// its views and groups point into the evaluation's buffers and are valid until the next
// evaluation with the same buffers.
struct RuleEvaluation {
  const Rule* rule = nullptr;
  // Each condition's value, then the target's, as the subject holds them: a value that
  // is absent or could not be normalised is empty. No values when the pattern is invalid.
  std::vector<std::string_view> values;
  // Whether each of `values` was read from the server. Not those the evaluation never
  // needed (the prefilter refused the rule first) nor one too long to read, nor any it
  // would have read after that; their views are empty.
  std::vector<bool> read;
  // The file tests asked, in file order, up to the first that failed: each with the path it
  // looked at (UTF-8; empty when the URL names none) or why there was none, and whether it
  // held. None unless the pattern matched.
  struct FileTestRecord {
    const Condition* condition;
    std::string path;
    std::string_view refusal;
    bool held;
  };
  std::vector<FileTestRecord> fileTests;
  // The groups of the match; null unless the pattern and the file tests matched.
  const MatchResults* groups = nullptr;
  // Whether the substitution's expansion, newValue, was to be written over the target (not
  // for a refusal, nor for the substitution "-"), and whether it was accepted: not when the
  // server refused it, nor when the filter held back a value with a control byte for a
  // target other than the URL.
  bool wrote = false;
  std::string newValue;
  bool accepted = false;
  // The rule's RuleResult bits.
  uint32_t result = 0;
};

// Why a pass ended.
enum class PassEnd {
  Completed,   // after the last rule
  Stopped,     // a rule's result had Stop
  TimedOut,    // a rule's match timed out; that rule is now disabled
  Unreadable,  // a value a rule looks at was too long to read whole
};

class RuleTracer {
 public:
  virtual ~RuleTracer() = default;

  // Sweep `sweep` begins at the first rule: 1 at the start, 2 and later after a restart,
  // which dropped the results so far (not what the rules wrote).
  virtual void SweepStarted(int32_t sweep) = 0;
  // `rule` is disabled (after an earlier timeout) and was passed over.
  virtual void RuleSkipped(const Rule& rule) = 0;
  // The index left `rule` out: the URL does not start with the fixed text every subject of
  // its pattern starts with (letters in either case), so it was not evaluated and counts as
  // NoMatch; `passResult` is the pass's result including that NoMatch.
  virtual void RuleLeftOut(const Rule& rule, uint32_t passResult) = 0;
  // A rule was evaluated; `passResult` is the pass's result including the rule's.
  virtual void RuleEvaluated(const RuleEvaluation& evaluation, uint32_t passResult) = 0;
  // The rule just evaluated asked for a restart, but `sweeps` sweeps, the repeat limit, have
  // run: the pass goes on as if it had not asked.
  virtual void RepeatLimitReached(int32_t sweeps) = 0;
  // The pass ended with `result`, the value RunRulePass returns.
  virtual void PassEnded(PassEnd end, uint32_t result) = 0;
};

// The names of the RuleResult bits in `result`, joined by "|" in the order Matched, NoMatch,
// InvalidPattern, Timeout, Unreadable, Stop, Redirect, Restart, Forbidden, LogMark, then any
// unknown bits in hex; "0" when none is set. A redirect with a status other than 302 is
// "Redirect=301".
std::string ResultNames(uint32_t result);

// The flag letters of `rule` as its directive would list them ("I,R"): L R N F U O from its
// flags, I when its pattern ignores case; R with a status other than 302 as "R=301". Empty
// when there are none.
std::string FlagListText(const Rule& rule);

}  // namespace vortane
