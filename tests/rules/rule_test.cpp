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
  EXPECT_EQ(rule.pattern.status(), boost::regex_constants::error_empty);
  EXPECT_EQ(rule.Flags(), 0u);
  EXPECT_TRUE(rule.format.empty());
  EXPECT_TRUE(rule.target.empty());
  EXPECT_TRUE(rule.conditions.empty());
}

TEST(RuleTest, CopiesAreDeepAndKeepEveryField) {
  Rule original;
  original.pattern = CompilePattern("^/old/(.*)$", false);
  original.format = "/new/$1";
  original.target = "URL";
  original.SetFlags(RuleFlag::Last | RuleFlag::Redirect);
  original.AppendCondition({"Host:", ConditionFlag::Normalize, false, 6});
  original.line = 7;
  original.Disable();

  Rule copy = original;
  original.format = "changed";
  original.conditions.clear();
  original.pattern = Expression();

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

TEST(FlagLetterTest, EachLetterHasItsBitAndOnlyIFoldsCase) {
  struct Case {
    char letter;
    bool known;
    uint32_t bits;
    bool ignoreCase;
  };
  const Case cases[] = {
      {'L', true, 0x01, false}, {'R', true, 0x02, false}, {'N', true, 0x04, false},
      {'F', true, 0x08, false}, {'U', true, 0x10, false}, {'O', true, 0x20, false},
      {'I', true, 0x00, true},  {'l', false, 0, false},   {'D', false, 0, false},
      {',', false, 0, false},
  };
  for (const Case& c : cases) {
    FlagLetter meaning{0xFFFF, false};
    EXPECT_EQ(LookUpFlagLetter(c.letter, meaning), c.known) << c.letter;
    if (!c.known) continue;
    EXPECT_EQ(meaning.bits, c.bits) << c.letter;
    EXPECT_EQ(meaning.ignoreCase, c.ignoreCase) << c.letter;
  }
}

}  // namespace
}  // namespace vortane
