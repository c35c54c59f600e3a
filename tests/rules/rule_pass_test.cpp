// Rule passes over a configuration: order, stop, restarts within the repeat limit, timeouts
// and disabled rules; each the same visiting every rule and through the rules' index.
#include "rules/rule_pass.h"

#include <gtest/gtest.h>

#include <string>

#include "memory_server/memory_server.h"
#include "platform/tick.h"
#include "rules/pass_values.h"
#include "rules/rule_index.h"
#include "rules/trace.h"
#include "tests/support/rule_builder.h"

namespace vortane {
namespace {

using testing::MakeRule;
using testing::RuleSet;

// The parameter: whether the pass goes as the filter's does, through an index of the rules and
// keeping the values it read (the rules numbered as a configuration numbers them), or visits
// every rule and reads every value afresh.
class RulePassTest : public ::testing::TestWithParam<bool> {
 protected:
  // The names of the result's bits (rules/trace.h).
  std::string Run(RuleSet& config, const std::string& url = "/a") {
    MemoryRequest request;
    request.url = url;
    server_.StartRequest(request);
    if (!GetParam()) {
      return ResultNames(RunRulePass(config.rules, config.repeatLimit, server_.Context(),
                                     server_.PreprocHeaders()));
    }
    config.rules = NumberValues(std::move(config.rules));
    return ResultNames(RunRulePass(config.rules, RuleIndex(config.rules), config.repeatLimit,
                                   server_.Context(), server_.PreprocHeaders()));
  }
  const std::string& Url() const { return server_.Request().url; }

  MemoryServer server_;
};

// A rule that always matches and appends "x" to the URL: the x's count its evaluations.
Rule Counting(const char* letters) {
  return MakeRule({}, "^(.*)$", "$1x", letters);
}

TEST_P(RulePassTest, EmptyOrAllDisabledYieldsZero) {
  RuleSet config;
  EXPECT_EQ(Run(config), "0");
  config.rules.push_back(Counting(""));
  config.rules.back().Disable();
  config.rules.push_back(MakeRule({}, "^/b$", "/c", ""));  // indexed
  config.rules.back().Disable();
  EXPECT_EQ(Run(config), "0");
  EXPECT_EQ(Url(), "/a");
}

TEST_P(RulePassTest, StopEndsThePass) {
  RuleSet config;
  config.rules.push_back(Counting(""));
  config.rules.push_back(Counting("L"));
  config.rules.push_back(Counting(""));
  EXPECT_EQ(Run(config), "Matched|Stop");
  EXPECT_EQ(Url(), "/axx");
}

TEST_P(RulePassTest, RestartsStayWithinTheRepeatLimit) {
  struct Case {
    const char* letters;
    int32_t repeatLimit;
    const char* result;
    size_t evaluations;  // of the restarting rule
    bool followersRan;
  };
  const Case cases[] = {
      {"N", 32, "Matched|Restart", 32, true},        // 31 restarts, then the pass goes on
      {"N", 1, "Matched|Restart", 1, true},          // a limit of 1 never restarts
      {"N", 0, "Matched|Restart", 1, true},          // nor does one below 1
      {"L,N", 3, "Matched|Stop|Restart", 3, false},  // the last sweep's Stop takes effect
      // Earlier sweeps' Redirect is dropped, the last one's kept.
      {"R,N", 2, "Matched|Stop|Redirect|Restart", 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.letters + std::string(" limit ") + std::to_string(c.repeatLimit));
    RuleSet config;
    config.repeatLimit = c.repeatLimit;
    config.rules.push_back(Counting(c.letters));
    config.rules.push_back(MakeRule({}, "^(.*)$", "$1y", ""));
    EXPECT_EQ(Run(config), c.result);
    const std::string expected =
        "/a" + std::string(c.evaluations, 'x') + (c.followersRan ? "y" : "");
    EXPECT_EQ(Url(), expected);
  }
}

TEST_P(RulePassTest, ARestartForgetsEarlierResultsButNotEarlierWrites) {
  // Sweep 1: rule 1 does not match ("/a"), rule 2 rewrites to "/c" and restarts.
  // Sweep 2 (the last): rule 1 rewrites "/c" to "/d", rule 2 matches "/d" without restarting.
  RuleSet config;
  config.repeatLimit = 2;
  config.rules.push_back(MakeRule({}, "^/c$", "/d", ""));
  config.rules.push_back(MakeRule({}, "^/(?:a|d)$", "/c", "N"));
  // No NoMatch: that came from the forgotten first sweep.
  EXPECT_EQ(Run(config), "Matched|Restart");
  EXPECT_EQ(Url(), "/c");
}

uint32_t JumpingClock() {
  static uint32_t now = 0;
  return now += 1000;
}

TEST_P(RulePassTest, ATimeoutEndsThePassAndTheRuleIsSkippedAfterwards) {
  // Rule 1 restarts once with a URL long enough for rule 2's match to read the clock, which
  // jumps a second at every read: rule 2 times out in the second sweep.
  RuleSet config;
  config.rules.push_back(MakeRule({}, "^/a$", "/a" + std::string(3000, 'b'), "N"));
  config.rules.push_back(MakeRule({}, "^/a(?:b|c)*$", "$0", ""));
  config.rules.push_back(Counting(""));
  const platform::TickSource previous = platform::SetTickSourceForTesting(&JumpingClock);
  const std::string result = Run(config);
  platform::SetTickSourceForTesting(previous);
  EXPECT_EQ(result, "NoMatch|Timeout");  // rule 1 missed in sweep 2
  EXPECT_TRUE(config.rules[1].IsDisabled());
  EXPECT_EQ(Url(), "/a" + std::string(3000, 'b'));

  // The next request skips the disabled rule and runs the others.
  EXPECT_EQ(Run(config, "/z"), "Matched|NoMatch");
  EXPECT_EQ(Url(), "/zx");
}

TEST_P(RulePassTest, ALongWrittenValueIsReadWholeLater) {
  RuleSet config;
  config.rules.push_back(MakeRule({}, ".*", std::string(5000, 'u'), ""));
  config.rules.push_back(MakeRule({}, "^u{5000}$", "/was-whole", ""));
  EXPECT_EQ(Run(config), "Matched");
  EXPECT_EQ(Url(), "/was-whole");
}

INSTANTIATE_TEST_SUITE_P(EveryRuleAndIndexed, RulePassTest, ::testing::Bool());

}  // namespace
}  // namespace vortane
