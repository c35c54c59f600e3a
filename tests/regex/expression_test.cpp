// The pattern dialect as an administrator sees it: what compiles, and what each construct
// matches, through the same compile-and-match path that rule evaluation uses.
#include "regex/expression.h"

#include <gtest/gtest.h>

#include <string>

#include "regex/timed_match.h"

namespace vortane {
namespace {

enum class Outcome { Match, NoMatch, Rejected };

struct DialectCase {
  const char* name;
  std::string pattern;
  std::string subject;
  Outcome expected;
  bool ignoreCase = false;
};

Outcome CompileAndMatch(const DialectCase& c) {
  Expression e;
  try {
    e = CompilePattern(c.pattern, c.ignoreCase);
  } catch (const bad_expression&) {
    return Outcome::Rejected;
  }
  MatchResults results;
  const bool matched = TimedMatch(c.subject.data(), c.subject.data() + c.subject.size(), results, e,
                                  NoTimeLimit, boost::match_not_dot_newline);
  return matched ? Outcome::Match : Outcome::NoMatch;
}

std::ostream& operator<<(std::ostream& os, Outcome o) {
  return os << (o == Outcome::Match ? "Match" : o == Outcome::NoMatch ? "NoMatch" : "Rejected");
}

void PrintTo(const DialectCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Bytes(std::initializer_list<char> bytes) {
  return std::string(bytes);
}

constexpr auto M = Outcome::Match;
constexpr auto N = Outcome::NoMatch;
constexpr auto X = Outcome::Rejected;

const DialectCase kCases[] = {
    // Errors the dialect has and Boost by default does not.
    {"close brace without interval", "/a}b", "/a}b", X},
    {"escaped close brace", "/a\\}b", "/a}b", M},
    {"brace opening no interval", "a{x}", "a{x}", X},
    {"unterminated interval", "a{1", "a{1", X},
    {"interval without minimum", "a{,3}", "aa", X},
    {"valid intervals", "a{2}b{1,}c{1,2}", "aabbbcc", M},
    {"empty alternative in group", "/(x|)", "/x", X},
    {"empty alternative at end", "a|", "a", X},
    {"two bars in a row", "/a||b", "/a", X},
    {"two bars in a group", "(a||b)", "a", X},
    {"bar at pattern start", "|a", "a", X},
    {"bar at group start", "(|a)", "a", X},
    {"bar after the last alternative", "a|b|", "a", X},
    {"bar at non-capturing group start", "(?:|a)", "a", X},
    {"bar at look-ahead end", "(?=a|)a", "a", X},
    {"bar at negative look-ahead start", "(?!|a)b", "b", X},
    {"comment between two bars", "a|(?#c)|b", "a", X},
    {"empty quote before a bar", "\\Q\\E|a", "a", X},
    {"escaped bar", "a\\|b", "a|b", M},
    {"bars in sets", "[|][a|]", "||", M},
    {"quoted bars", "\\Qa||b\\E", "a||b", M},
    {"bars in a comment", "x(?#a||b)y", "xy", M},
    {"anchor fills an alternative", "x(^|a|$)", "xa", M},
    {"empty pattern", "", "", X},
    {"quote without end", "\\Qabc", "abc", X},
    {"quote with end", "\\Qa.c\\E", "a.c", M},
    {"quoted dot is literal", "\\Qa.c\\E", "abc", N},
    {"unclosed comment", "a(?#comment", "a", X},
    {"closed comment", "a(?#comment)b", "ab", M},
    {"inline modifier", "(?i)a", "A", X},
    {"look-behind", "(?<=a)b", "ab", X},
    {"negative look-behind", "(?<!a)b", "b", X},
    {"named group", "(?<n>a)", "a", X},
    {"atomic group", "(?>a)", "a", X},
    {"branch reset", "(?|a)", "a", X},
    {"backtracking verb", "(*ACCEPT)a", "a", X},
    {"possessive star", "a*+", "aa", X},
    {"possessive interval", "a{2}+", "aa", X},
    {"repeat of a repeat", "a**", "a", X},
    {"triple question mark", "a???", "a", X},
    {"non-greedy repeat", "a+?b", "aab", M},
    {"repeat after caret", "^*a", "a", X},
    {"repeat at group start", "(*a)", "a", X},
    {"back-reference inside its group", "(a\\1)", "aa", X},
    {"back-reference before its group", "\\1(a)", "aa", X},
    {"back-reference to missing group", "(a)\\2", "aa", X},
    {"back-reference", "(a|b)\\1", "bb", M},
    {"back-reference mismatch", "(a|b)\\1", "ab", N},
    {"back-reference ignores case under I", "(a)\\1", "aA", M, true},
    {"one digit back-reference", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)\\10", "abcdefghija0", M},
    {"control escape in range", "\\cA", Bytes({'\x01'}), M},
    {"control escape lower case", "\\ca", "!", M},
    {"control escape out of range", "\\c1", "c1", X},
    {"hex escape", "\\x41\\x{42}", "AB", M},
    {"hex escape takes two digits", "\\x414", "A4", M},
    {"hex escape without digit", "\\xg", "xg", X},
    {"hex escape without brace", "\\x{41", "A", X},
    {"hex escape too large", "\\x{100}", "x", X},
    {"trailing backslash", "a\\", "a", X},
    {"unknown class name", "[[:d:]]", "1", X},
    {"known class names", "[[:alpha:]][[:digit:]][[:word:]][[:xdigit:]]", "a1_f", M},
    {"unmatched parenthesis", "(a", "a", X},
    {"unmatched close parenthesis", "a)", "a", X},
    {"unmatched bracket", "[a", "a", X},

    // Escapes whose meaning the dialect fixes.
    {"unlisted letter h", "\\h", "h", M},
    {"unlisted letter h not blank", "\\h", " ", N},
    {"unlisted letter K", "a\\Kb", "aKb", M},
    {"unlisted letter R", "\\R", "R", M},
    {"unlisted letter R not newline", "\\R", "\n", N},
    {"unlisted letter N", "\\N", "N", M},
    {"unlisted letter p", "\\pL", "pL", M},
    {"unlisted letter in set", "[\\h]", "h", M},
    {"lone E", "a\\Eb", "aEb", M},
    {"vertical tab escape", "\\v", Bytes({'\x0b'}), M},
    {"vertical tab escape not LF", "\\v", "\n", N},
    {"vertical tab escape in set", "[\\v]", "\n", N},
    {"single byte escapes", "\\a\\f\\n\\r\\t\\e", Bytes({7, 12, 10, 13, 9, 27}), M},
    {"octal escape after zero", "\\0101", "A", M},
    {"escaped punctuation", "\\.\\?\\(\\)\\[\\{\\}\\\\\\$\\^\\*\\+\\/\\|", ".?()[{}\\$^*+/|", M},
    {"class escapes", "\\w\\W\\s\\S\\d\\D\\l\\L\\u\\U", "_ \t.5xaBZ5", M},

    // Line breaks: LF and CR only, never FF.
    {"dot matches NUL", ".", std::string(1, '\0'), M},
    {"dot matches FF", ".", "\f", M},
    {"dot refuses LF", ".", "\n", N},
    {"dot refuses CR", ".", "\r", N},
    {"C escape matches FF", "\\C", "\f", M},
    {"C escape refuses CR", "\\C", "\r", N},
    {"X escape matches LF", "a\\Xb", "a\nb", M},
    {"dot star stays in its segment", ".*\n/x", "anything\n/x", M},
    {"dot star does not cross LF", ".*/x", "anything\n/x", N},
    {"caret after LF", "a\n^b", "a\nb", M},
    {"caret after CR", "a\\r^b", "a\rb", M},
    {"caret not between CR and LF", "a\\r^\\nb", "a\r\nb", N},
    {"caret not after FF", "a\\f^b", "a\fb", N},
    {"caret inside a group after FF", "a\\f(^b)", "a\fb", N},
    {"dollar before LF", "a$\nb", "a\nb", M},
    {"dollar before CR", "a$\\rb", "a\rb", M},
    {"dollar not before FF", "a$\\fb", "a\fb", N},
    {"dollar not between CR and LF", "a\\r$\\nb", "a\r\nb", N},
    {"anchored segments", "^abc$\n^/x$", "abc\n/x", M},
    {"soft end before trailing breaks", "a\\Z\\n\\r", "a\n\r", M},
    {"soft end not before FF", "a\\Z\\f", "a\f", N},
    {"raw LF is a literal", "a\nb", "a\nb", M},
    {"raw LF is not an alternative", "a\nb", "a", N},

    // Word boundaries.
    {"word boundary", "a\\b-", "a-", M},
    {"inside word", "a\\Bb", "ab", M},
    {"inside word refused between non-word bytes", " \\B ", "  ", N},
    {"inside word refused at start", "\\Ba", "a", N},
    {"word start and end", "\\<ab\\>", "ab", M},

    // Case folding and anchors.
    {"I folds conditions too", "MOZILLA.*\n/x", "mozilla/4.0\n/x", M, true},
    {"without I case matters", "MOZILLA.*\n/x", "mozilla/4.0\n/x", N},
    {"bang is a literal", "!abc", "!abc", M},
    {"start and end anchors", "\\A\\Ga\\z", "a", M},
    {"look-ahead", "(?=ab)a(?!c)b", "ab", M},
    {"blank class is space and tab", "[[:blank:]]+", " \t", M},
    {"blank class refuses VT", "[[:blank:]]", "\v", N},
    {"negated blank class", "[^[:blank:]]+", "ab\v", M},
    {"blank class then a literal dash", "[[:blank:]-]+", "- \t", M},
    {"range from the blank class", "[[:blank:]-z]", "m", X},
    {"range to the blank class", "[\\t-[:blank:]]", "\n", X},
    {"control escape in a set", "[\\ca]", "!", M},
    {"control escape in a set is not mod 32", "[\\ca]", Bytes({'\x01'}), N},
    {"control escape in a set ends a range", "[\\cA-\\cC]", Bytes({'\x02'}), M},
    {"control escape in a set out of range", "[\\c!]", "!", X},
    {"control escape at the end of a set", "[\\c", "c", X},
    {"set with bracket first", "[]a]+", "]a", M},
    {"set with escaped bracket", "[a\\]b]+", "a]b", M},
    {"dot inside a set is literal", "[.]", "x", N},
    {"whole subject only", "abc", "abcd", N},
};

class DialectTest : public ::testing::TestWithParam<DialectCase> {};

TEST_P(DialectTest, CompilesAndMatchesAsTheDialectSays) {
  const DialectCase& c = GetParam();
  const Outcome outcome = CompileAndMatch(c);
  EXPECT_EQ(outcome, c.expected) << "pattern: " << c.pattern << " -> "
                                 << (outcome == Outcome::Rejected ? std::string("(rejected)")
                                                                  : TranslatePattern(c.pattern));
}

std::string CaseName(const ::testing::TestParamInfo<DialectCase>& info) {
  std::string name = info.param.name;
  for (char& ch : name) {
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Dialect, DialectTest, ::testing::ValuesIn(kCases), CaseName);

TEST(CompilePatternTest, GroupNumbersFollowTheTextAsWritten) {
  // Rewritten constructs must not add or remove capture groups.
  const Expression e = CompilePattern("(a).(?:b)(c)\\B(d)$\n^(e)", false);
  EXPECT_EQ(e.mark_count(), 4u);
}

TEST(CompilePatternTest, DefaultExpressionIsInvalid) {
  EXPECT_FALSE(IsValid(Expression()));
  EXPECT_TRUE(IsValid(CompilePattern("a", false)));
}

}  // namespace
}  // namespace vortane
