// Rule records: construction, deep copies, the atomic Disabled bit and flag letters.
#include "rules/rule.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "regex/timed_match.h"

namespace vortane {
namespace {

TEST(RuleTest, NewRuleIsEmptyWithAnInvalidPattern) {
  const Rule rule;
  EXPECT_FALSE(rule.HasValidPattern());
  EXPECT_EQ(rule.joinedPattern.expression().status(), boost::regex_constants::error_empty);
  EXPECT_EQ(rule.Flags(), 0u);
  EXPECT_TRUE(rule.format.empty());
  EXPECT_TRUE(rule.target.empty());
  EXPECT_TRUE(rule.conditions.empty());
}

TEST(RuleTest, CopiesAreDeepAndKeepEveryField) {
  Rule original;
  original.joinedPattern = CompilePrefiltered("^/old/(.*)$", false);
  original.format = "/new/$1";
  original.target = "URL";
  original.SetFlags(RuleFlag::Last | RuleFlag::Redirect);
  original.AppendCondition({"Host:", ConditionFlag::Normalize, false, 6});
  original.line = 7;
  original.Disable();

  Rule copy = original;
  original.format = "changed";
  original.conditions.clear();
  original.joinedPattern = PrefilteredExpression();

  EXPECT_TRUE(copy.HasValidPattern());
  EXPECT_EQ(copy.format, "/new/$1");
  EXPECT_EQ(copy.target, "URL");
  EXPECT_EQ(copy.Flags(), RuleFlag::Last | RuleFlag::Redirect | RuleFlag::Disabled);
  ASSERT_EQ(copy.conditions.size(), 1u);
  EXPECT_EQ(copy.conditions[0].name, "Host:");
  EXPECT_EQ(copy.conditions[0].flags, ConditionFlag::Normalize);
  EXPECT_FALSE(copy.conditions[0].isServerVariable);
  EXPECT_EQ(copy.conditions[0].line, 6u);
  EXPECT_EQ(copy.line, 7u);

  Rule assigned;
  assigned = copy;
  EXPECT_EQ(assigned.Flags(), copy.Flags());
  EXPECT_EQ(assigned.line, 7u);
  EXPECT_TRUE(assigned.HasValidPattern());
}

TEST(RuleTest, DisableFromManyThreadsKeepsTheOtherBits) {
  Rule rule;
  rule.SetFlags(RuleFlag::Restart | RuleFlag::LogRequestedUrl);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&rule] {
      for (int j = 0; j < 1000; ++j) {
        rule.Disable();
        ASSERT_TRUE(rule.IsDisabled());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(rule.Flags(), RuleFlag::Restart | RuleFlag::LogRequestedUrl | RuleFlag::Disabled);
}

TEST(FlagListTest, EachItemSetsItsBitsAndRedirectStatusesStandAlone) {
  uint32_t status301 = 0;
  ASSERT_TRUE(LookUpRedirectStatus("301", status301));
  struct Case {
    std::string_view text;
    uint32_t ruleBits;
    uint32_t conditionBits;
    bool ignoreCase;
    std::string_view invalidStatus;
    bool repeatedRedirect;
  };
  const Case cases[] = {
      {"", 0, 0, false, "", false},
      {"L", RuleFlag::Last, 0, false, "", false},
      {"R", RuleFlag::Redirect, 0, false, "", false},
      {"N", RuleFlag::Restart, 0, false, "", false},
      {"F", RuleFlag::Forbidden, 0, false, "", false},
      {"U", RuleFlag::LogRequestedUrl, 0, false, "", false},
      {"O", RuleFlag::Normalize, ConditionFlag::Normalize, false, "", false},
      {"I", 0, 0, true, "", false},
      {"I,L,N", RuleFlag::Last | RuleFlag::Restart, 0, true, "", false},
      {"R=301,L", RuleFlag::Redirect | status301 | RuleFlag::Last, 0, false, "", false},
      {"R,R", RuleFlag::Redirect, 0, false, "", false},
      {"R=301,R", RuleFlag::Redirect | status301, 0, false, "", true},
      {"R=404,R=999", RuleFlag::Redirect, 0, false, "404", true},
      {"l,D,,x", 0, 0, false, "", false},  // no letter of the table: skipped
  };
  for (const Case& c : cases) {
    const FlagList list = ReadFlagList(c.text);
    EXPECT_EQ(list.ruleBits, c.ruleBits) << c.text;
    EXPECT_EQ(list.conditionBits, c.conditionBits) << c.text;
    EXPECT_EQ(list.ignoreCase, c.ignoreCase) << c.text;
    EXPECT_EQ(list.invalidStatus, c.invalidStatus) << c.text;
    EXPECT_EQ(list.repeatedRedirect, c.repeatedRedirect) << c.text;
  }
}

TEST(FlagTableTest, LettersAreDistinctUpperCaseAndBitsDistinct) {
  uint32_t seen = 0;
  for (const FlagMeaning& flag : kFlags) {
    EXPECT_TRUE(flag.letter >= 'A' && flag.letter <= 'Z') << flag.letter;
    EXPECT_EQ(LookUpFlag(flag.letter), &flag) << flag.letter;
    EXPECT_EQ(seen & flag.ruleBits, 0u) << flag.letter;
    EXPECT_EQ(flag.ruleBits & (RuleFlag::Disabled | RuleFlag::RedirectStatus), 0u);
    seen |= flag.ruleBits;
    EXPECT_FALSE(flag.meaning.empty()) << flag.letter;
  }
  EXPECT_EQ(LookUpFlag('l'), nullptr);
}

TEST(BuildRuleTest, SaysWhyItMadeNoRule) {
  struct Case {
    std::string_view pattern;
    std::string_view flags;
    RuleError error;
  };
  const Case cases[] = {
      {"^/a$", "L", RuleError::None},
      {"^/a$", "R=307", RuleError::None},
      {"^/a$", "R=300", RuleError::InvalidRedirectStatus},
      {"^/a$", "R,R=301", RuleError::RepeatedRedirect},
      {"^/(a$", "L", RuleError::BadPattern},
      {"^/(a$", "R=300", RuleError::InvalidRedirectStatus},  // flags first, as reported
  };
  for (const Case& c : cases) {
    RuleParts parts;
    parts.pattern = c.pattern;
    parts.flags = c.flags;
    EXPECT_EQ(BuildRule(parts).error, c.error) << c.pattern << " " << c.flags;
  }
}

TEST(BuildRuleTest, ConditionsComeFirstWithTheirFlagsAndLines) {
  RuleParts parts;
  parts.conditions = {{"Host:", "www\\..*", "", false, 3}, {"HTTPS", "on", "O", true, 4}};
  parts.pattern = "^/(.*)$";
  parts.format = "/x/$1";
  parts.flags = "I,R=308";
  parts.target = "X-To:";
  parts.line = 5;
  const BuiltRule built = BuildRule(parts);
  ASSERT_EQ(built.error, RuleError::None);
  const Rule& rule = built.rule;
  ASSERT_EQ(rule.conditions.size(), 2u);
  EXPECT_EQ(rule.conditions[0].name, "Host:");
  EXPECT_EQ(rule.conditions[0].flags, 0u);
  EXPECT_EQ(rule.conditions[1].flags, ConditionFlag::Normalize);
  EXPECT_TRUE(rule.conditions[1].isServerVariable);
  EXPECT_EQ(rule.conditions[1].line, 4u);
  EXPECT_EQ(RedirectStatusOf(rule.Flags()).code, 308u);
  EXPECT_EQ(rule.format, "/x/$1");
  EXPECT_EQ(rule.target, "X-To:");
  EXPECT_EQ(rule.line, 5u);
  EXPECT_TRUE(rule.joinedPattern.IgnoresCase());
  const std::string subject = "www.A\nON\n/B";
  MatchResults groups;
  EXPECT_TRUE(TimedMatch(subject.data(), subject.data() + subject.size(), groups,
                         rule.joinedPattern.expression(), MatchTimeLimit,
                         boost::match_not_dot_newline));
}

}  // namespace
}  // namespace vortane
