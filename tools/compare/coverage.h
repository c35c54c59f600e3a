// Rule coverage over a set of requests: how many requests each rule of the loaded
// configurations matched, and which rules none reached.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "tools/runner/in_process.h"

namespace vortane::tools {

class Coverage {
 public:
  // Counts the rules that matched in `outcome`, each once however often it matched (a rule
  // that restarted the pass matches again). Cost: logarithmic in the rules seen per match.
  void Add(const RequestOutcome& outcome);

  // How many requests added so far matched `rule`.
  size_t Requests(const RuleRef& rule) const;

  // The report over `rules` (InProcessFilter::LoadedRules()), one line each in their order:
  //   coverage: M of N rules matched
  //     FILE:LINE  K requests        (or "1 request", or "never reached")
  // with FILE as ShownPath shows it. Not thread-safe with Add.
  std::string Report(const std::vector<RuleRef>& rules) const;

 private:
  std::map<RuleRef, size_t> requests_;
};

}  // namespace vortane::tools
