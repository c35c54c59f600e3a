// A pass reads each value once: which reads reach the server, and that every rule still sees
// what a fresh read would show after the pass's own writes.
#include "rules/pass_values.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "rules/rule_pass.h"
#include "tests/support/rule_builder.h"

namespace vortane {
namespace {

using testing::ConditionLine;
using testing::MakeRule;
using testing::RuleSet;

TEST(NumberValues, EqualReadsShareASlotAndOthersDoNot) {
  std::vector<Rule> rules = {
      MakeRule({{"Host:", "a"}, {"HTTP_HOST", "a", true}}, "^/a$", "/b"),
      MakeRule({{"Host:", "b"}, {"Host:", "c", false, true}, {"host:", "d"}}, "^x$", "y", "",
               "Host:"),
      MakeRule({{"REQUEST_FILENAME", "x", true}}, "^/c$", "/d"),
  };
  rules = NumberValues(std::move(rules));
  const Condition* host = &rules[0].conditions[0];
  EXPECT_EQ(rules[0].targetSlot, kUrlSlot);
  EXPECT_EQ(rules[2].targetSlot, kUrlSlot);
  EXPECT_NE(rules[0].conditions[1].slot, host->slot);  // a server variable
  EXPECT_EQ(rules[1].conditions[0].slot, host->slot);
  EXPECT_EQ(rules[1].targetSlot, host->slot);
  EXPECT_NE(rules[1].conditions[1].slot, host->slot);  // normalised
  EXPECT_NE(rules[1].conditions[2].slot, host->slot);  // another spelling, read on its own
  EXPECT_EQ(rules[2].conditions[0].slot, kNoSlot);     // computed, never read
}

class PassValuesTest : public ::testing::Test {
 protected:
  // Runs `rules`, numbered as a configuration numbers them, over `request`.
  uint32_t Run(std::vector<Rule> rules, MemoryRequest request) {
    config_.rules = NumberValues(std::move(rules));
    server_.StartRequest(request);
    return RunRulePass(config_.rules, config_.repeatLimit, server_.Context(),
                       server_.PreprocHeaders());
  }
  unsigned Reads(ServerOperation operation) const { return server_.Calls(operation); }

  RuleSet config_;
  MemoryServer server_;
};

MemoryRequest Browser(const std::string& url = "/a") {
  MemoryRequest request;
  request.url = url;
  request.headers = {{"Host", "example.com"}, {"User-Agent", "Mozilla"}, {"Accept", "*/*"}};
  return request;
}

TEST_F(PassValuesTest, RulesThatWriteNothingReadEachValueOnce) {
  // The last rule matches and keeps its target's value ("-"): nothing is written.
  Run({MakeRule({{"User-Agent:", ".*bot.*"}}, "^/a$", "/y"),
       MakeRule({{"User-Agent:", ".*crawler.*"}, {"HTTP_HOST", "^other$", true}}, "^/a$", "/z"),
       MakeRule({{"HTTP_HOST", "^x$", true}}, "^/a$", "/w"),
       MakeRule({{"User-Agent:", ".*"}, {"HTTP_HOST", ".*", true}}, "^/a$", "-")},
      Browser());
  EXPECT_EQ(Reads(ServerOperation::GetHeader), 2u);  // the URL and the User-Agent
  EXPECT_EQ(Reads(ServerOperation::GetServerVariable), 1u);
}

// Each case: a rule writes something, and a later rule must see the value as it is now.
struct WriteCase {
  const char* name;
  std::vector<Rule> rules;  // the last rewrites the URL to "/seen" when it saw the right value
  MemoryRequest request;
  unsigned headerReads;
  unsigned variableReads;
};
void PrintTo(const WriteCase& c, std::ostream* out) {
  *out << c.name;
}

class PassValuesWriteTest : public PassValuesTest,
                            public ::testing::WithParamInterface<WriteCase> {};

TEST_P(PassValuesWriteTest, ALaterRuleSeesTheWrite) {
  const WriteCase& c = GetParam();
  Run(c.rules, c.request);
  EXPECT_EQ(server_.Request().url, "/seen");
  EXPECT_EQ(Reads(ServerOperation::GetHeader), c.headerReads);
  EXPECT_EQ(Reads(ServerOperation::GetServerVariable), c.variableReads);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, PassValuesWriteTest,
    ::testing::Values(
        // A value is read again after a write to it, and only then.
        WriteCase{"HeaderWritten",
                  {MakeRule({{"User-Agent:", "^Moz.*$"}}, "^/a$", "/b"),
                   MakeRule({}, "^(.*)$", "$1-x", "", "User-Agent:"),
                   MakeRule({{"User-Agent:", ".*-x$"}}, "^/b$", "/seen")},
                  Browser(),
                  4,
                  0},
        // Every server variable derives from something: a write to the URL drops them all.
        WriteCase{"VariablesAfterUrl",
                  {MakeRule({{"HTTP_HOST", "^example.*$", true}, {"QUERY_STRING", "^$", true}},
                            "^/a$", "/b\\?q=1"),
                   MakeRule({{"HTTP_HOST", "^example.*$", true}, {"QUERY_STRING", "^q=1$", true}},
                            "^/b\\?q=1$", "/seen")},
                  Browser(),
                  2,
                  4},
        // A header write drops the server variables too (HTTP_<NAME> derives from it).
        WriteCase{
            "VariableAfterHeader",
            {MakeRule({{"HTTP_ACCEPT", "^\\*/\\*$", true}}, "^.*$", "text/html", "", "Accept:"),
             MakeRule({{"HTTP_ACCEPT", "^text/html$", true}}, "^/a$", "/seen")},
            Browser(),
            2,
            2},
        // Names that differ in letter case or a trailing colon are one item to the server.
        WriteCase{"OtherSpelling",
                  {MakeRule({{"url", "^/a$"}}, "^/a$", "/b"),
                   MakeRule({{"url", "^/b$"}}, "^/b$", "/seen")},
                  Browser(),
                  4,
                  0},
        // A normalised read is dropped with the raw one.
        WriteCase{"Normalised",
                  {MakeRule({{"URL", "^/a$", false, true}}, "^/a$", "/b%41"),
                   MakeRule({{"URL", "^/bA$", false, true}}, "^/b%41$", "/seen")},
                  Browser(),
                  4,
                  0}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

TEST_F(PassValuesTest, ARestartKeepsTheValuesNoWriteChanged) {
  // Each sweep appends to X-N until it holds three x's; Accept is read in the first only.
  MemoryRequest request = Browser();
  request.headers.emplace_back("X-N", "");
  const uint32_t result =
      Run({MakeRule({{"Accept:", "^\\*/\\*$"}}, "^(x{0,2})$", "$1x", "N", "X-N:")}, request);
  EXPECT_EQ(result, RuleResult::NoMatch);
  EXPECT_EQ(server_.Request().headers.back().second, "xxx");
  EXPECT_EQ(Reads(ServerOperation::GetHeader), 1u + 4u);  // Accept once, X-N once a sweep
}

TEST_F(PassValuesTest, ALongNormalisedValueIsKeptWhole) {
  // The query is longer than a first read; normalising keeps it, and the rule sees it all.
  const std::string url = "/private/index.html?" + std::string(5000, 'q');
  const uint32_t result =
      Run({MakeRule({}, "^/private/index\\.html\\?q{5000}$", "/", "O,F")}, Browser(url));
  EXPECT_EQ(result, RuleResult::Matched | RuleResult::Forbidden | RuleResult::Stop);
  EXPECT_EQ(Reads(ServerOperation::GetHeader), 2u);  // read a second time, with room for it
}

}  // namespace
}  // namespace vortane
