// Running the rules of one configuration over one request.
//
// RunRulePass visits the rules in file order, skipping Disabled ones, and ORs their results:
//   - Timeout, or Unreadable (a value too long to read), ends the pass at once;
//   - Restart, while fewer sweeps than the repeat limit have run, starts
//     again at the first rule with the result reset (what the rules wrote stays written, and
//     so does LogMark, which marks the request);
//   - otherwise Stop ends the pass.
// These tests come in exactly that order. With a repeatLimit of r the rules run in at most
// r sweeps; the limit is read afresh at each test, since a reload of the global file may
// lower it while the pass runs.
//
// Both overloads below run one loop, compiled for each way of choosing the rules (every rule,
// or through the configuration's index) with and without a tracer.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/isapi.h"
#include "rules/rule.h"

namespace vortane {

class RequestFiles;
class RuleIndex;
class RuleTracer;

// Returns the OR of the results of the rules evaluated since the pass last started at the
// first rule, plus LogMark when any evaluation of the pass set it; 0 when none was evaluated.
// `rules` are one configuration's rules in file order and `repeatLimit` its most sweeps of one
// pass, which another thread may lower while the pass runs (it is read afresh at each restart); the
// pass needs nothing else of the configuration, and the caller keeps both alive for the whole pass.
// Its evaluations share one set of buffers; at most max(repeatLimit, 1) × rules evaluations.
// Exceptions from evaluation other than a timeout pass through.
//
// A `tracer` (rules/trace.h) hears every step of the pass; the pass does the same with or
// without one. Without one it costs a single test per pass and one per evaluated rule.
// `files` gives the request's site folders to the file tests (EvaluateRule); without it no
// URL names a file or a folder.
uint32_t RunRulePass(const std::vector<Rule>& rules, const std::atomic<int32_t>& repeatLimit,
                     HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer = nullptr,
                     RequestFiles* files = nullptr);

// The same pass, visiting only the rules `index` (rules/rule_index.h) leaves in for the
// request's URL: the same result, the same request afterwards, the same rules disabled. A
// rule left out is one that could only have reported NoMatch; the result has NoMatch exactly
// when the pass visiting every rule would have it. The URL is looked up when the pass first
// needs it, and again after a rule on the URL item matched, if an indexed rule is still ahead;
// so a pass over thousands of indexed rules costs about as much as one over the few that can
// match. This is the pass the filter runs,
// and the tools with it.
//
// `index` must have been built from `rules` as they are now; one built for another number
// of rules, or that indexes none, is not used. A `tracer` hears the rules the index leaves
// out as such (RuleTracer::RuleLeftOut), in file order among the others.
uint32_t RunRulePass(const std::vector<Rule>& rules, const RuleIndex& index,
                     const std::atomic<int32_t>& repeatLimit, HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer = nullptr,
                     RequestFiles* files = nullptr);

}  // namespace vortane
