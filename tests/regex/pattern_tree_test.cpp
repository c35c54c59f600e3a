// The syntax tree of the pattern dialect: what the checker reads from it, the Boost text
// written from it where the meaning depends on the neighbours, and the bounds that keep
// every walk over it short.
#include "regex/pattern_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "regex/expression.h"

namespace vortane {
namespace {

constexpr size_t kNone = PatternWarnings::kNone;

TEST(PatternTreeTest, WarningsPointAtTheirConstruct) {
  const struct {
    const char* pattern;
    size_t topLevelBar, nestedRepeat, caseClass;
  } cases[] = {
      {"^a$|^b$", 3, kNone, kNone},          {"(?:a|b)c", kNone, kNone, kNone},
      {"\\|a", kNone, kNone, kNone},                                          // an escaped bar
      {"[|]a", kNone, kNone, kNone},                                          // a bar in a set
      {"(?#a|b)c", kNone, kNone, kNone},                                      // a bar in a comment
      {"\\Q(a+)+|\\E", kNone, kNone, kNone},                                  // quoted text
      {"^/(\\w+-?)*$", kNone, 2, kNone},     {"x((a+)b)+", kNone, 1, kNone},  // the outermost group
      {"(a+){2}", kNone, kNone, kNone},      {"(a{2})+", kNone, kNone, kNone},
      {"(a{2,})+", kNone, 0, kNone},         {"(a+?)*?", kNone, 0, kNone},
      {"\\(a+\\)+", kNone, kNone, kNone},    {"x\\uy|\\l", 4, kNone, 1},
      {"^/[[:lower:]]+$", kNone, kNone, 3},  {"[a[:upper:]]", kNone, kNone, 2},
      {"[\\l]", kNone, kNone, kNone},    // a letter in a set
      {"(a+)+|(", kNone, kNone, kNone},  // does not parse: nothing to say
  };
  for (const auto& c : cases) {
    const PatternWarnings w = AnalysePattern(c.pattern);
    EXPECT_EQ(w.topLevelBar, c.topLevelBar) << c.pattern;
    EXPECT_EQ(w.nestedRepeat, c.nestedRepeat) << c.pattern;
    EXPECT_EQ(w.caseClass, c.caseClass) << c.pattern;
  }
}

// The literal the checker names is text every match holds: not one a negative look-ahead
// refuses, nor one broken by a repeat or an escape.
TEST(PatternTreeTest, TheLongestLiteralIsOneAMatchHolds) {
  const struct {
    const char* pattern;
    size_t literal, length;
  } cases[] = {
      {"^/private/.*$", 2, 7},
      {"^/(?!publicfiles)ab/", 17, 2},  // the look-ahead's text is what a match lacks
      {"^/(?=publicfiles)ab/", 5, 11},  // a look-ahead's own text is held
      {"^/abcd*e", 2, 3},               // the repeated d may be absent
      {"^/ab\\.cd", 2, 2},               // the first of the longest
      {"^/(?:xy|abc)$", 8, 3},          // in either alternative
      {"^/\\d+/[a-z]+$", kNone, 0},
      {"(", kNone, 0},  // does not parse
  };
  for (const auto& c : cases) {
    const PatternWarnings w = AnalysePattern(c.pattern);
    EXPECT_EQ(w.literal, c.literal) << c.pattern;
    EXPECT_EQ(w.literalLength, c.length) << c.pattern;
  }
}

// "^" and "$" are guarded against FF only where an FF could stand next to them.
TEST(PatternTreeTest, AnchorsAreGuardedByTheirNeighbours) {
  const struct {
    const char* pattern;
    const char* boost;
  } cases[] = {
      {"^a$", "^a$"},
      {"a^b", "a^(?<!\\x0c)b"},
      {"a\n^b", "a\n^b"},
      {"a\n(?#c)^b", "a\n^(?<!\\x0c)b"},  // a comment stands between
      {"(^a)", "(^(?<!\\x0c)a)"},
      {"a$b", "a$(?!\\x0c)b"},
      {"a$\nb", "a$\nb"},
      {"a$\n*b", "a$(?!\\x0c)\n*b"},  // the LF may be left out
      {"(a$)", "(a$(?!\\x0c))"},
      {"a\\Zb", "a(?=[\\n\\r]*\\z)b"},
      {"[\\ca[:blank:]]", "[\\x21 \\t]"},
  };
  for (const auto& c : cases) EXPECT_EQ(EmitBoostPattern(ParsePattern(c.pattern)), c.boost);
}

TEST(PatternTreeTest, DeepNestingIsRefusedBeforeAnyWalk) {
  const auto nested = [](size_t depth) {
    return std::string(depth, '(') + "a" + std::string(depth, ')');
  };
  EXPECT_EQ(ParsePattern(nested(399)).groupCount, 399u);
  EXPECT_THROW(ParsePattern(nested(401)), bad_expression);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(ParsePattern(nested(200000)), bad_expression);
  std::string classes = "[";
  for (int i = 0; i < 150000; ++i) classes += "[:";
  EXPECT_THROW(ParsePattern(classes), bad_expression);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace vortane
