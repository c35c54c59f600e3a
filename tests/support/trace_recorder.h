// A tracer that writes down what it hears, one line of text per event, for tests of traced
// passes.
#pragma once

#include <string>
#include <vector>

#include "config/site_config.h"
#include "rules/trace.h"

namespace vortane::testing {

// Events read:
//   "pass SITE", "sweep N", "skip LINE", "limit SWEEPS", "end HOW RESULT", and for a rule
//   "line LINE [VALUE|VALUE] (GROUP,GROUP) -> NEW RESULT / PASS-RESULT", where groups appear
//   only after a match ("-" for one that took no part), "-> NEW" only when a value was
//   written, followed by " refused" when the server refused it.
class TraceRecorder : public RuleTracer {
 public:
  std::vector<std::string> events;

  void PassStarted(const SiteConfig& config) override {
    events.push_back("pass " + std::to_string(config.siteId));
  }
  void SweepStarted(int32_t sweep) override { events.push_back("sweep " + std::to_string(sweep)); }
  void RuleSkipped(const Rule& rule) override {
    events.push_back("skip " + std::to_string(rule.line));
  }
  void RuleEvaluated(const RuleEvaluation& evaluation, uint32_t passResult) override {
    std::string event = "line " + std::to_string(evaluation.rule->line) + " [";
    for (size_t i = 0; i < evaluation.values.size(); ++i) {
      if (i > 0) event += '|';
      event.append(evaluation.values[i]);
    }
    event += ']';
    if (evaluation.groups != nullptr) {
      event += " (";
      for (size_t i = 0; i < evaluation.groups->size(); ++i) {
        const auto& group = (*evaluation.groups)[i];
        if (i > 0) event += ',';
        event += group.matched ? std::string(group.first.base(), group.second.base()) : "-";
      }
      event += ')';
    }
    if (evaluation.wrote) {
      event += " -> " + evaluation.newValue + (evaluation.accepted ? "" : " refused");
    }
    event += " " + ResultNames(evaluation.result) + " / " + ResultNames(passResult);
    events.push_back(event);
  }
  void RepeatLimitReached(int32_t sweeps) override {
    events.push_back("limit " + std::to_string(sweeps));
  }
  void PassEnded(PassEnd end, uint32_t result) override {
    const char* how = end == PassEnd::Completed ? "completed"
                      : end == PassEnd::Stopped ? "stopped"
                                                : "timed out";
    events.push_back(std::string("end ") + how + " " + ResultNames(result));
  }
};

}  // namespace vortane::testing
