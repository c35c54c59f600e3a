#include "tools/compare/coverage.h"

#include <set>

namespace vortane::tools {

void Coverage::Add(const RequestOutcome& outcome) {
  const std::set<RuleRef> rules(outcome.matched.begin(), outcome.matched.end());
  for (const RuleRef& rule : rules) ++requests_[rule];
}

size_t Coverage::Requests(const RuleRef& rule) const {
  const auto found = requests_.find(rule);
  return found == requests_.end() ? 0 : found->second;
}

std::string Coverage::Report(const std::vector<RuleRef>& rules) const {
  std::string lines;
  size_t reached = 0;
  for (const RuleRef& rule : rules) {
    const size_t requests = Requests(rule);
    if (requests > 0) ++reached;
    lines += "  " + ShownPath(std::filesystem::u8path(rule.file)) + ":" +
             std::to_string(rule.line) + "  " +
             (requests == 0   ? std::string("never reached")
              : requests == 1 ? std::string("1 request")
                              : std::to_string(requests) + " requests") +
             "\n";
  }
  return "coverage: " + std::to_string(reached) + " of " + std::to_string(rules.size()) +
         " rules matched\n" + lines;
}

}  // namespace vortane::tools
