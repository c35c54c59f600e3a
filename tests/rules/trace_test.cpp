// Traced rule passes: what a tracer hears for restarts, stops, timeouts, skipped rules,
// rules the index left out, invalid patterns, groups and writes, and that a tracer changes
// nothing the pass does.
#include "rules/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "platform/tick.h"
#include "rules/rule_index.h"
#include "rules/rule_pass.h"
#include "rules/server_values.h"
#include "tests/support/rule_builder.h"

namespace vortane {
namespace {

using testing::MakeRule;
using testing::RuleSet;
using Events = std::vector<std::string>;

// Writes each event as a line; a rule's is "line LINE [VALUES] (GROUPS) -> NEW RESULT / PASS",
// "?" for a value not read, groups only after a match ("-": took no part), "-> NEW" only
// when written; a rule the index left out is "left out LINE / PASS".
struct Recorder : RuleTracer {
  Events events;
  void SweepStarted(int32_t sweep) override { events.push_back("sweep " + std::to_string(sweep)); }
  void RuleSkipped(const Rule& rule) override {
    events.push_back("skip " + std::to_string(rule.line));
  }
  void RuleLeftOut(const Rule& rule, uint32_t passResult) override {
    events.push_back("left out " + std::to_string(rule.line) + " / " + ResultNames(passResult));
  }
  void RuleEvaluated(const RuleEvaluation& e, uint32_t passResult) override {
    std::string text = "line " + std::to_string(e.rule->line) + " [";
    for (size_t i = 0; i < e.values.size(); ++i) {
      text.append(i > 0 ? "|" : "").append(e.read[i] ? e.values[i] : "?");
    }
    text += "]";
    for (size_t i = 0; e.groups != nullptr && i < e.groups->size(); ++i) {
      const auto& group = (*e.groups)[i];
      text += i == 0 ? " (" : ",";
      text += group.matched ? std::string(group.first.base(), group.second.base()) : "-";
      if (i + 1 == e.groups->size()) text += ")";
    }
    if (e.wrote) text += " -> " + e.newValue + (e.accepted ? "" : " refused");
    events.push_back(text + " " + ResultNames(e.result) + " / " + ResultNames(passResult));
  }
  void RepeatLimitReached(int32_t sweeps) override {
    events.push_back("limit " + std::to_string(sweeps));
  }
  void PassEnded(PassEnd end, uint32_t result) override {
    const char* how = end == PassEnd::Completed  ? "completed"
                      : end == PassEnd::Stopped  ? "stopped"
                      : end == PassEnd::TimedOut ? "timed out"
                                                 : "unreadable";
    events.push_back(std::string("end ") + how + " " + ResultNames(result));
  }
};

Rule At(uint32_t line, Rule rule) {
  rule.line = line;
  return rule;
}

Rule Disabled(Rule rule) {
  rule.Disable();
  return rule;
}

// Runs a pass over `rules` traced (through their index when `indexed`) and one over a copy
// untraced and visiting every rule, on fresh servers: both must return, write and disable the
// same. Leaves in `rules` what the traced pass left.
Events Trace(std::vector<Rule>& rules, int32_t repeatLimit, const MemoryRequest& request,
             bool failWrites, bool indexed) {
  RuleSet traced, untraced;
  MemoryServer tracedServer(request), untracedServer(request);
  for (RuleSet* config : {&traced, &untraced}) {
    config->repeatLimit = repeatLimit;
    config->rules = rules;
  }
  tracedServer.Fail(ServerOperation::SetHeader, failWrites);
  untracedServer.Fail(ServerOperation::SetHeader, failWrites);
  Recorder recorder;
  const RuleIndex index(traced.rules);
  if (indexed) {
    EXPECT_TRUE(index.Indexes());
  }
  const uint32_t result =
      indexed ? RunRulePass(traced.rules, index, traced.repeatLimit, tracedServer.Context(),
                            tracedServer.PreprocHeaders(), &recorder)
              : RunRulePass(traced.rules, traced.repeatLimit, tracedServer.Context(),
                            tracedServer.PreprocHeaders(), &recorder);
  EXPECT_EQ(result, RunRulePass(untraced.rules, untraced.repeatLimit, untracedServer.Context(),
                                untracedServer.PreprocHeaders()));
  EXPECT_EQ(tracedServer.Request().url, untracedServer.Request().url);
  EXPECT_EQ(tracedServer.Request().headers, untracedServer.Request().headers);
  for (size_t i = 0; i < rules.size(); ++i) {
    EXPECT_EQ(traced.rules[i].IsDisabled(), untraced.rules[i].IsDisabled()) << i;
  }
  rules = traced.rules;
  return recorder.events;
}

uint32_t JumpingClock() {
  static uint32_t now = 0;
  return now += 1000;
}

TEST(TraceTest, PassesAsTheTracerHearsThem) {
  struct Case {
    const char* name;
    std::vector<Rule> rules;
    int32_t repeatLimit;
    std::string url;
    bool failWrites;
    bool indexed;
    Events events;
    std::string nextUrl;  // a second request over the rules as the first left them, if any
  };
  // A match that reads the clock, which jumps a second at every read, times out.
  const std::string longUrl = "/a" + std::string(3000, 'b');
  const Case cases[] = {
      {"restarts within the repeat limit, then a stop",
       {At(2, MakeRule({}, "^([^?]*?)//+(.*)$", "$1/$2", "N")),
        At(3, MakeRule({}, "^/a/b/c$", "/done", "L")), At(4, MakeRule({}, ".*", "/not-run", ""))},
       2,
       "/a//b//c",
       false,
       false,
       {"sweep 1",
        "line 2 [/a//b//c] (/a//b//c,/a,b//c) -> /a/b//c Matched|Restart / Matched|Restart",
        "sweep 2", "line 2 [/a/b//c] (/a/b//c,/a/b,c) -> /a/b/c Matched|Restart / Matched|Restart",
        "limit 2", "line 3 [/a/b/c] (/a/b/c) -> /done Matched|Stop / Matched|Stop|Restart",
        "end stopped Matched|Stop|Restart"},
       ""},
      {"conditions' values, groups that took no part",
       {At(9, MakeRule({{"Host:", "^(www\\.)?(example\\.com)$"}, {"HTTPS", "^(?:(on)|off)$", true}},
                       "^/p/(\\d+)$", "/p\\?id=$4&h=$2", ""))},
       32,
       "/p/7",
       false,
       false,
       {"sweep 1",
        "line 9 [example.com|off|/p/7] (example.com\noff\n/p/7,-,example.com,-,7) -> "
        "/p?id=7&h=example.com Matched / Matched",
        "end completed Matched"},
       ""},
      {"a value too long to read ends the pass",
       {At(5, MakeRule({{"Host:", ".*"}, {"X-Over:", ".*"}}, ".*", "/x", "")),
        At(6, MakeRule({}, ".*", "/y", ""))},
       32,
       "/p/7",
       false,
       false,
       {"sweep 1", "line 5 [example.com|?|/p/7] Unreadable / Unreadable",
        "end unreadable Unreadable"},
       ""},
      {"a rule refused on its target reads no condition",
       {At(7, MakeRule({{"Host:", ".*"}, {"X-Over:", ".*"}}, "^/q/", "/x", "")),
        At(8, MakeRule({{"Host:", "^www\\..*"}, {"Host:", ".*"}}, "^/p/\\d$", "/y", ""))},
       32,
       "/p/7",
       false,
       false,
       {"sweep 1", "line 7 [?|?|/p/7] NoMatch / NoMatch",
        "line 8 [example.com|?|/p/7] NoMatch / NoMatch", "end completed NoMatch"},
       ""},
      {"an invalid pattern, a refused write and a refusal",
       {At(2, Rule()), At(3, MakeRule({}, "^/a$", "/b", "")), At(4, MakeRule({}, ".*", "-", "F"))},
       32,
       "/a",
       true,
       false,
       {"sweep 1", "line 2 [] InvalidPattern / InvalidPattern",
        "line 3 [/a] (/a) -> /b refused Matched / Matched|InvalidPattern",
        "line 4 [/a] (/a) Matched|Stop|Forbidden / Matched|InvalidPattern|Stop|Forbidden",
        "end stopped Matched|InvalidPattern|Stop|Forbidden"},
       ""},
      {"'-' writes nothing; a redirect shows its status",
       {At(2, MakeRule({}, "^/a$", "-", "U")), At(3, MakeRule({}, "^/a$", "/b", "R=301,N"))},
       1,
       "/a",
       false,
       false,
       {"sweep 1", "line 2 [/a] (/a) Matched / Matched",
        "line 3 [/a] (/a) -> /b Matched|Stop|Redirect=301|Restart / "
        "Matched|Stop|Redirect=301|Restart",
        "limit 1", "end stopped Matched|Stop|Redirect=301|Restart"},
       ""},
      {"a timeout disables the rule, and the next pass skips it",
       {At(1, MakeRule({}, "^/a$", longUrl, "")), At(2, MakeRule({}, "^/a(?:b|c)*$", "$0", "")),
        At(3, MakeRule({}, "^(.*)$", "$1x", ""))},
       32,
       "/a",
       false,
       false,
       {"sweep 1", "line 1 [/a] (/a) -> " + longUrl + " Matched / Matched",
        "line 2 [" + longUrl + "] Timeout / Matched|Timeout", "end timed out Matched|Timeout",
        "sweep 1", "line 1 [/z] NoMatch / NoMatch", "skip 2",
        "line 3 [/z] (/z,/z) -> /zx Matched / Matched|NoMatch", "end completed Matched|NoMatch"},
       "/z"},
      {"the index leaves out rules the URL cannot match, and looks up a rewritten URL",
       {At(2, MakeRule({}, "^/old/(.*)$", "/new/$1", "")), At(3, MakeRule({}, "^/x$", "/y", "R")),
        At(4, MakeRule({}, ".*\\.php$", "-", "F")),
        At(5, MakeRule({}, "^/new/(.*)$", "/n/$1", "L")), At(6, MakeRule({}, "^/zz", "/z", ""))},
       32,
       "/old/a",
       false,
       true,
       {"sweep 1", "line 2 [/old/a] (/old/a,a) -> /new/a Matched / Matched",
        "left out 3 / Matched|NoMatch", "line 4 [/new/a] NoMatch / Matched|NoMatch",
        "line 5 [/new/a] (/new/a,a) -> /n/a Matched|Stop / Matched|NoMatch|Stop",
        "end stopped Matched|NoMatch|Stop"},
       ""},
      {"through the index, a restart visits an earlier rule only the new URL can match",
       {At(1, Disabled(MakeRule({}, "^/q$", "/r", ""))), At(2, MakeRule({}, "^/b$", "/c", "L")),
        At(3, MakeRule({}, "^/a$", "/b", "N")), At(4, MakeRule({}, "^/d$", "/e", ""))},
       32,
       "/a",
       false,
       true,
       {"sweep 1", "skip 1", "left out 2 / NoMatch",
        "line 3 [/a] (/a) -> /b Matched|Restart / Matched|NoMatch|Restart", "sweep 2", "skip 1",
        "line 2 [/b] (/b) -> /c Matched|Stop / Matched|Stop", "end stopped Matched|Stop"},
       ""},
      {"rules left out after the last one evaluated",
       {At(2, MakeRule({}, "^/a$", "/b", "")), At(3, MakeRule({}, "^/c$", "/d", ""))},
       32,
       "/a",
       false,
       true,
       {"sweep 1", "line 2 [/a] (/a) -> /b Matched / Matched", "left out 3 / Matched|NoMatch",
        "end completed Matched|NoMatch"},
       ""},
  };
  const platform::TickSource previous = platform::SetTickSourceForTesting(&JumpingClock);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Rule> rules = c.rules;
    MemoryRequest request;
    request.url = c.url;
    // Host is read before the subject buffer grows for the long value, and shown from
    // where it lies after.
    request.headers = {{"Host", "example.com"}, {"X-Over", std::string(kValueLimit + 1, 'l')}};
    Events events = Trace(rules, c.repeatLimit, request, c.failWrites, c.indexed);
    if (!c.nextUrl.empty()) {
      request.url = c.nextUrl;
      const Events next = Trace(rules, c.repeatLimit, request, c.failWrites, c.indexed);
      events.insert(events.end(), next.begin(), next.end());
    }
    EXPECT_EQ(events, c.events);
  }
  platform::SetTickSourceForTesting(previous);
}

}  // namespace
}  // namespace vortane

namespace vortane {
namespace {

TEST(TraceTest, NamesShowTheRedirectStatus) {
  struct Case {
    const char* letters;
    std::string flagLetters;
  };
  const Case cases[] = {
      {"R", "R"},         {"R=302", "R"},
      {"R=301", "R=301"}, {"L,R=303", "L,R=303"},
      {"R=307", "R=307"}, {"I,R=308,U", "I,R=308,U"},
      {"F", "F"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.letters);
    EXPECT_EQ(FlagListText(MakeRule({}, "x", "y", c.letters)), c.flagLetters);
  }
  EXPECT_EQ(ResultNames(RuleResult::Matched | RuleResult::Redirect | RuleResult::Stop | 0x40000),
            "Matched|Stop|Redirect=308");
  EXPECT_EQ(ResultNames(RuleResult::Matched | RuleResult::Redirect), "Matched|Redirect");
  // Status bits without Redirect are no redirect: shown as unknown bits.
  EXPECT_EQ(ResultNames(RuleResult::Matched | 0x10000), "Matched|0x10000");
}

}  // namespace
}  // namespace vortane
