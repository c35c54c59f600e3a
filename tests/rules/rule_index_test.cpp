// The rule index: which rules a pass visits for a URL, and passes through it that must
// give what the pass over every rule gives.
#include "rules/rule_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "rules/rule_pass.h"
#include "rules/trace.h"
#include "tests/support/rule_builder.h"

namespace vortane {
namespace {

using testing::ConditionLine;
using testing::MakeRule;

// The rules a cursor visits for `url`, in order.
std::vector<size_t> Visited(const RuleIndex& index, const std::string& url) {
  RuleCursor cursor(index);
  cursor.LookUp(url);
  std::vector<size_t> visited;
  for (size_t i = cursor.Next(0); i < index.RuleCount(); i = cursor.Next(i + 1)) {
    visited.push_back(i);
  }
  return visited;
}

TEST(RuleIndexTest, VisitsTheAlwaysVisitedAndTheCandidatesInFileOrder) {
  std::vector<Rule> rules;
  rules.push_back(MakeRule({}, "^/old/page\\.html$", "/new/page", "R"));  // 0
  rules.push_back(MakeRule({}, ".*\\.php$", "/x"));                       // 1: no prefix
  rules.push_back(MakeRule({}, "^/blog/2019/(.*)$", "/posts/$1", "I"));   // 2
  rules.push_back(MakeRule({{"Host:", "^a$"}}, "^/old/(.*)$", "/$1"));    // 3: condition
  rules.push_back(MakeRule({}, "^/Old/", "/o", "R"));                     // 4: case-sensitive
  rules.push_back(MakeRule({}, "^/blog/", "/b"));                         // 5: shorter key
  rules.push_back(MakeRule({}, "^/old/page\\.html$", "/again", "O"));     // 6: normalises
  rules.push_back(MakeRule({}, "^(GET)$", "$1", "", "METHOD"));           // 7: not the URL
  rules.push_back(MakeRule({}, "^/old/page\\.html$", "/second"));         // 8: same key as 0
  const RuleIndex index(rules);
  ASSERT_EQ(index.RuleCount(), rules.size());
  // The same rules followed by more indexed ones than a cursor keeps as bits: its lists then.
  std::vector<Rule> many = rules;
  for (size_t i = many.size(); i <= RuleCursor::kBitmapRules; ++i) {
    many.push_back(MakeRule({}, "^/zz" + std::to_string(i) + "/", "/z"));
  }
  const RuleIndex manyIndex(many);

  const std::vector<size_t> always = {1, 3, 6, 7};
  struct Case {
    const char* url;
    std::vector<size_t> visited;
  } cases[] = {
      {"/old/page.html", {0, 1, 3, 4, 6, 7, 8}},  // 4 by its folded key; its prefilter decides
      {"/OLD/PAGE.HTML", {0, 1, 3, 4, 6, 7, 8}},
      {"/blog/2019/x", {1, 2, 3, 5, 6, 7}},
      {"/BLOG/2019/x", {1, 2, 3, 5, 6, 7}},
      {"/blog/2018/x", {1, 3, 5, 6, 7}},
      {"/blo", always},
      {"", always},
      {"/new/page", always},
      // A byte a case-insensitive prefix might fold onto: every rule.
      {"/bl\xC9g/2019/", {0, 1, 2, 3, 4, 5, 6, 7, 8}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Visited(index, c.url), c.visited) << c.url;
    std::vector<size_t> visited = Visited(manyIndex, c.url);
    if (c.visited.size() == rules.size()) visited.resize(rules.size());  // every rule
    EXPECT_EQ(visited, c.visited) << c.url << " among " << many.size() << " rules";
  }
}

TEST(RuleIndexTest, NoIndexedRuleOrEveryRule) {
  std::vector<Rule> rules;
  rules.push_back(MakeRule({}, ".*", "/x"));
  const RuleIndex index(rules);
  EXPECT_FALSE(index.Indexes());
  EXPECT_EQ(Visited(index, "/a"), std::vector<size_t>{0});
  EXPECT_EQ(Visited(RuleIndex(), "/a"), std::vector<size_t>{});
}

// Passes with and without the index over the same request must leave the same result and URL.
TEST(RuleIndexTest, PassesAgreeWithThePassOverEveryRule) {
  struct Case {
    const char* name;
    std::vector<Rule> rules;
    const char* url;
    const char* result;  // the names of its bits
    const char* finalUrl;
  };
  std::vector<Case> cases;
  // A rule writes the URL that a later indexed rule, not a candidate before, matches.
  cases.push_back(
      {"rewrite mid-pass",
       {MakeRule({}, "^/a$", "/b"), MakeRule({}, "^/x$", "/y"), MakeRule({}, "^/b$", "/c", "R")},
       "/a",
       "Matched|NoMatch|Stop|Redirect",
       "/c"});
  // A restart after the rewrite visits an earlier rule that only the new URL can match.
  cases.push_back({"restart",
                   {MakeRule({}, "^/b$", "/c", "L"), MakeRule({}, "^/a$", "/b", "N"),
                    MakeRule({}, "^/c$", "/d")},
                   "/a",
                   "Matched|Stop",
                   "/c"});
  // An unindexed rule rewrites the URL before indexed ones.
  cases.push_back({"unindexed writer",
                   {MakeRule({{"Host:", ".*"}}, "^(.*)$", "/Legacy$1"),
                    MakeRule({}, "^/legacy/q$", "/new", "I,L")},
                   "/q",
                   "Matched|Stop",
                   "/new"});
  // Nothing matches: NoMatch, as every rule reported it.
  cases.push_back({"no match",
                   {MakeRule({}, "^/a$", "/b"), MakeRule({}, "^/c$", "/d")},
                   "/z",
                   "NoMatch",
                   "/z"});
  // Only a disabled rule is left out: no NoMatch, as it would have been passed over.
  cases.push_back({"disabled",
                   {MakeRule({}, "^/a$", "/b"), MakeRule({}, "^/z$", "/z")},
                   "/z",
                   "Matched",
                   "/z"});
  cases.back().rules[0].Disable();
  for (Case& c : cases) {
    const std::atomic<int32_t> repeatLimit{32};
    MemoryRequest request;
    request.url = c.url;
    request.headers = {{"Host", "h"}};
    MemoryServer indexed(request);
    const uint32_t result = RunRulePass(c.rules, RuleIndex(c.rules), repeatLimit, indexed.Context(),
                                        indexed.PreprocHeaders());
    MemoryServer plain(request);
    EXPECT_EQ(RunRulePass(c.rules, repeatLimit, plain.Context(), plain.PreprocHeaders()), result)
        << c.name;
    EXPECT_EQ(ResultNames(result), c.result) << c.name;
    EXPECT_EQ(indexed.Request().url, c.finalUrl) << c.name;
    EXPECT_EQ(plain.Request().url, c.finalUrl) << c.name;
  }
}

}  // namespace
}  // namespace vortane
