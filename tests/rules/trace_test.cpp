// Traced rule passes: what a tracer hears for restarts, stops, timeouts, skipped rules,
// invalid patterns, groups and writes, and that a tracer changes nothing the pass does.
#include "rules/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/memory_server.h"
#include "platform/tick.h"
#include "rules/rule_pass.h"
#include "tests/support/rule_builder.h"
#include "tests/support/trace_recorder.h"

namespace vortane {
namespace {

using testing::ConditionSpec;
using testing::MakeRule;
using testing::TraceRecorder;
using Events = std::vector<std::string>;

// A rule as the parser would leave it at `line`.
Rule At(uint32_t line, Rule rule) {
  rule.line = line;
  return rule;
}

struct Outcome {
  uint32_t result;
  MemoryRequest request;  // as the pass left it
};

Outcome RunPass(const SiteConfig& config, const MemoryRequest& request, RuleTracer* tracer,
                bool failWrites = false) {
  MemoryServer server(request);
  server.Fail(ServerOperation::SetHeader, failWrites);
  const uint32_t result = RunRulePass(config, server.Context(), server.PreprocHeaders(), tracer);
  return {result, server.Request()};
}

void ExpectSameOutcome(const Outcome& traced, const Outcome& plain) {
  EXPECT_EQ(traced.result, plain.result);
  EXPECT_EQ(traced.request.url, plain.request.url);
  EXPECT_EQ(traced.request.method, plain.request.method);
  EXPECT_EQ(traced.request.headers, plain.request.headers);
}

TEST(TraceTest, PassesAsTheTracerHearsThem) {
  struct Case {
    const char* name;
    std::vector<Rule> rules;
    int32_t repeatLimit;
    MemoryRequest request;
    bool failWrites;
    Events events;
  };
  MemoryRequest slashes;
  slashes.url = "/a//b//c//d";
  MemoryRequest plain;
  plain.url = "/a";
  MemoryRequest product;
  product.url = "/p/7";
  product.headers = {{"Host", "example.com"}};

  const Case cases[] = {
      {"restarts within the repeat limit, then the pass goes on",
       {At(2, MakeRule({}, "^([^?]*?)//+(.*)$", "$1/$2", "N")),
        At(3, MakeRule({}, "^/a/b/c/d$", "/done", ""))},
       3,
       slashes,
       false,
       {"pass 0", "sweep 1",
        "line 2 [/a//b//c//d] (/a//b//c//d,/a,b//c//d) -> /a/b//c//d Matched|Restart / "
        "Matched|Restart",
        "sweep 2",
        "line 2 [/a/b//c//d] (/a/b//c//d,/a/b,c//d) -> /a/b/c//d Matched|Restart / "
        "Matched|Restart",
        "sweep 3",
        "line 2 [/a/b/c//d] (/a/b/c//d,/a/b/c,d) -> /a/b/c/d Matched|Restart / Matched|Restart",
        "limit 3", "line 3 [/a/b/c/d] (/a/b/c/d) -> /done Matched / Matched|Restart",
        "end completed Matched|Restart"}},
      {"a restart drops the results before it",
       {At(2, MakeRule({}, "^/b$", "/c", "")), At(3, MakeRule({}, "^/a$", "/b", "N"))},
       32,
       plain,
       false,
       {"pass 0", "sweep 1", "line 2 [/a] NoMatch / NoMatch",
        "line 3 [/a] (/a) -> /b Matched|Restart / Matched|NoMatch|Restart", "sweep 2",
        "line 2 [/b] (/b) -> /c Matched / Matched", "line 3 [/c] NoMatch / Matched|NoMatch",
        "end completed Matched|NoMatch"}},
      {"stop ends the pass",
       {At(4, MakeRule({}, "^/a$", "/b", "L")), At(5, MakeRule({}, ".*", "/c", ""))},
       32,
       plain,
       false,
       {"pass 0", "sweep 1", "line 4 [/a] (/a) -> /b Matched|Stop / Matched|Stop",
        "end stopped Matched|Stop"}},
      {"a redirect asking for a restart at the limit stops",
       {At(2, MakeRule({}, ".*", "/x", "R,N")), At(3, MakeRule({}, ".*", "/y", ""))},
       1,
       plain,
       false,
       {"pass 0", "sweep 1",
        "line 2 [/a] (/a) -> /x Matched|Stop|Redirect|Restart / Matched|Stop|Redirect|Restart",
        "limit 1", "end stopped Matched|Stop|Redirect|Restart"}},
      {"conditions' values and groups that took no part",
       {At(9, MakeRule({{"Host:", "^(www\\.)?(example\\.com)$"}, {"HTTPS", "^(?:(on)|off)$", true}},
                       "^/p/(\\d+)$", "/p.asp\\?id=$4&host=$2", ""))},
       32,
       product,
       false,
       {"pass 0", "sweep 1",
        "line 9 [example.com|off|/p/7] (example.com\noff\n/p/7,-,example.com,-,7) -> "
        "/p.asp?id=7&host=example.com Matched / Matched",
        "end completed Matched"}},
      {"an invalid pattern, a refused write and a refusal",
       {At(2, Rule()), At(3, MakeRule({}, "^/a$", "/b", "")),
        At(4, MakeRule({}, "^/a$", "/c", "F")), At(5, MakeRule({}, ".*", "/d", ""))},
       32,
       plain,
       true,
       {"pass 0", "sweep 1", "line 2 [] InvalidPattern / InvalidPattern",
        "line 3 [/a] (/a) -> /b refused Matched / Matched|InvalidPattern",
        "line 4 [/a] (/a) Matched|Stop|Forbidden / Matched|InvalidPattern|Stop|Forbidden",
        "end stopped Matched|InvalidPattern|Stop|Forbidden"}},
      {"no rules", {}, 32, plain, false, {"pass 0", "sweep 1", "end completed 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SiteConfig config(0, {});
    config.repeatLimit = c.repeatLimit;
    config.rules = c.rules;
    TraceRecorder recorder;
    const Outcome traced = RunPass(config, c.request, &recorder, c.failWrites);
    EXPECT_EQ(recorder.events, c.events);
    ExpectSameOutcome(traced, RunPass(config, c.request, nullptr, c.failWrites));
  }
}

uint32_t JumpingClock() {
  static uint32_t now = 0;
  return now += 1000;
}

TEST(TraceTest, ATimeoutDisablesTheRuleAndTheNextPassSkipsIt) {
  // Rule 1 restarts once with a URL long enough for rule 2's match to read the clock, which
  // jumps a second at every read: rule 2 times out in the second sweep. One configuration
  // runs traced, its twin untraced; both must end alike.
  const std::string longUrl = "/a" + std::string(3000, 'b');
  SiteConfig traced(0, {}), untraced(0, {});
  for (SiteConfig* config : {&traced, &untraced}) {
    config->rules.push_back(At(1, MakeRule({}, "^/a$", longUrl, "N")));
    config->rules.push_back(At(2, MakeRule({}, "^/a(?:b|c)*$", "$0", "")));
    config->rules.push_back(At(3, MakeRule({}, "^(.*)$", "$1x", "")));
  }
  MemoryRequest request;
  request.url = "/a";
  TraceRecorder recorder;
  const platform::TickSource previous = platform::SetTickSourceForTesting(&JumpingClock);
  const Outcome tracedOutcome = RunPass(traced, request, &recorder);
  const Outcome untracedOutcome = RunPass(untraced, request, nullptr);
  platform::SetTickSourceForTesting(previous);

  EXPECT_EQ(recorder.events,
            (Events{"pass 0", "sweep 1",
                    "line 1 [/a] (/a) -> " + longUrl + " Matched|Restart / Matched|Restart",
                    "sweep 2", "line 1 [" + longUrl + "] NoMatch / NoMatch",
                    "line 2 [" + longUrl + "] Timeout / NoMatch|Timeout",
                    "end timed out NoMatch|Timeout"}));
  ExpectSameOutcome(tracedOutcome, untracedOutcome);
  EXPECT_TRUE(traced.rules[1].IsDisabled());
  EXPECT_TRUE(untraced.rules[1].IsDisabled());

  recorder.events.clear();
  request.url = "/z";
  const Outcome next = RunPass(traced, request, &recorder);
  EXPECT_EQ(recorder.events, (Events{"pass 0", "sweep 1", "line 1 [/z] NoMatch / NoMatch", "skip 2",
                                     "line 3 [/z] (/z,/z) -> /zx Matched / Matched|NoMatch",
                                     "end completed Matched|NoMatch"}));
  ExpectSameOutcome(next, RunPass(untraced, request, nullptr));
}

TEST(TraceTest, ValuesAreReadAsTheSubjectHoldsThem) {
  // A missing header and one too long for the server's buffer read as empty, and a
  // normalised value is shown normalised. The subject buffer grows while the second value is
  // read, so the first value must be shown from where it lies afterwards.
  MemoryRequest request;
  request.url = "/x/../y%41";
  request.headers = {{"X-Long", std::string(5000, 'l')}, {"X-Short", "short"}};
  SiteConfig config(0, {});
  config.rules.push_back(At(
      1,
      MakeRule({{"X-Short:", ".*"}, {"X-Missing:", ".*"}, {"X-Long:", ".*"}}, ".*", "-", "O,F")));
  TraceRecorder recorder;
  RunPass(config, request, &recorder);
  ASSERT_EQ(recorder.events.size(), 4u);
  EXPECT_EQ(recorder.events[2].substr(0, recorder.events[2].find(']') + 1), "line 1 [short|||/yA]");
}

TEST(TraceTest, ResultNamesListEachBit) {
  struct Case {
    uint32_t result;
    const char* names;
  };
  const Case cases[] = {
      {0, "0"},
      {RuleResult::NoMatch, "NoMatch"},
      {0x27, "Matched|Stop|Redirect|Restart"},
      {0x2B, "Matched|Stop|Redirect|Forbidden"},
      {RuleResult::InvalidPattern | RuleResult::Timeout, "InvalidPattern|Timeout"},
      {0xFF, "Matched|NoMatch|InvalidPattern|Timeout|Stop|Redirect|Restart|Forbidden"},
      {0x300 | RuleResult::Matched, "Matched|0x300"},
  };
  for (const Case& c : cases) EXPECT_EQ(ResultNames(c.result), c.names) << c.result;
}

TEST(TraceTest, FlagLettersAsADirectiveListsThem) {
  struct Case {
    const char* letters;
    const char* shown;
  };
  const Case cases[] = {{"", ""},       {"R,I", "I,R"}, {"N", "N"},
                        {"F,L", "L,F"}, {"U,O", "U,O"}, {"I,L,R,N,F", "I,L,R,N,F"}};
  for (const Case& c : cases) {
    EXPECT_EQ(FlagLetters(MakeRule({}, ".*", "-", c.letters)), c.shown) << c.letters;
  }
  Rule disabled = MakeRule({}, ".*", "-", "L");
  disabled.Disable();
  EXPECT_EQ(FlagLetters(disabled), "L");
  EXPECT_EQ(FlagLetters(Rule()), "");
}

}  // namespace
}  // namespace vortane
