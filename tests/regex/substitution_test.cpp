#include "regex/substitution.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "regex/expression.h"
#include "regex/timed_match.h"

namespace vortane {
namespace {

using namespace std::string_literals;  // "..."s keeps NUL bytes inside literals

// A real match of `pattern` against the whole of `subject`, which is kept alive here
// because the results point into it.
struct Matched {
  Matched(std::string_view pattern, std::string text) : subject(std::move(text)) {
    const Expression expression = CompilePattern(pattern, /*ignoreCase=*/false);
    ok = TimedMatch(subject.data(), subject.data() + subject.size(), results, expression,
                    NoTimeLimit, boost::match_not_dot_newline);
  }
  std::string subject;
  MatchResults results;
  bool ok = false;
};

struct Case {
  std::string format;
  std::string expected;
};

void ExpectAll(const Matched& match, const std::vector<Case>& cases) {
  ASSERT_TRUE(match.ok);
  for (const Case& c : cases) {
    EXPECT_EQ(FormatSubstitution(c.format, match.results), c.expected)
        << "format: " << c.format.substr(0, 80);
  }
}

// Group 1 is "42", group 2 did not take part, group 3 took part with empty text.
const Matched& Item() {
  static const Matched match("/item/(\\d+)(-x)?(y*)", "/item/42");
  return match;
}

TEST(FormatSubstitutionTest, GroupReferences) {
  ExpectAll(Item(), {{"/new.asp\\?id=$1", "/new.asp?id=42"},
                     {"$0|$&", "/item/42|/item/42"},
                     {"[$2][$3][$9]", "[][][]"},
                     {"($1)0", "420"},
                     {"$00000000001", "42"},
                     {"$$1", "$42"},
                     {"$x", "$x"},
                     {"a$", "a$"},
                     {"[$`$A$'$z]", "[]"}});
  // The number must not wrap to group 0 past 32 bits; digits that come after the value
  // exceeds 429496729 are plain text.
  ExpectAll(Item(), {{"$4294967296", ""}, {"$42949672960", "0"}, {"$99999999999", "99"}});

  const Matched lines("([a-z]+)\n(/.*)", "abc\n/x");
  ExpectAll(lines, {{"$&", "abc\n/x"}, {"$2\\?$1", "/x?abc"}});

  const Matched ten("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "abcdefghij");
  ExpectAll(ten, {{"$10|$11|($1)0", "j||a0"}, {"(?10y:n)(?11y:n)", "yn"}});

  const Matched nul("(a.b)", "a\0b"s);
  ExpectAll(nul, {{"<$1>", "<a\0b>"s}});
}

TEST(FormatSubstitutionTest, Escapes) {
  ExpectAll(Item(), {{"\\a\\f\\n\\r\\t\\v\\e", "\x07\x0C\x0A\x0D\x09\x0B\x1B"},
                     {"\\$\\\\\\?\\(\\)\\:\\&\\q", "$\\?():&q"},
                     {"a\\", "a\\"}});
  // Octal: digits 0-9 while the value is at most 31; the low eight bits are kept.
  ExpectAll(Item(), {{"\\1", "\x01"},
                     {"\\101", "A"},
                     {"\\40", " "},
                     {"\\0", "\0"s},
                     {"\\777", "?7"},
                     {"\\400", " 0"},
                     {"\\39", "!"},
                     {"\\379", "\x01"},
                     {"\\0000101", "A"}});
  // Hexadecimal: at most two significant digits; anything malformed gives "x" and the
  // bytes after it are read again.
  ExpectAll(Item(), {{"\\x20", " "},
                     {"\\x414", "A4"},
                     {"\\xfF", "\xFF"},
                     {"\\x0041", "A"},
                     {"\\x00", "\0"s},
                     {"\\x{41}", "A"},
                     {"\\x{0041}", "A"},
                     {"\\x{100}", "x{100}"},
                     {"\\x{41z", "x{41z"},
                     {"\\x{4$1", "x{442"},
                     {"\\x{", "x{"},
                     {"\\x", "x"},
                     {"\\xg", "xg"},
                     {"\\x{g", "x{g"}});
  // Control bytes: X - 0x40 for X in 0x40..0x7F, else "c" and X is read again.
  ExpectAll(Item(), {{"\\cA", "\x01"},
                     {"\\ca", "!"},
                     {"\\c@", "\0"s},
                     {"\\c\x7F", "?"},
                     {"\\c1", "c1"},
                     {"\\c\x80", "c\x80"},
                     {"\\c", "c"},
                     {"\\c$1", "c42"}});
}

TEST(FormatSubstitutionTest, GroupingAndConditionals) {
  ExpectAll(
      Item(),
      {{"a:b", "a:b"}, {"(a:b)", "a:b"}, {"((a)b(c))d", "abcd"}, {"$1)$1", "42"}, {"(((a", "a"}});
  ExpectAll(Item(), {{"/new.asp?id=$1", "/new.aspid=42"},
                     {"/a(?2yes:no)b", "/anob"},
                     {"/a(?1yes:no)b", "/ayesb"},
                     {"(?3yes:no)", "yes"},
                     {"(?9yes:no)", "no"},
                     {"(?4294967296yes:no)", "no"},
                     {"/a?2yes:no)b", "/ano"},
                     {"/a?1yes:no)b", "/ayes"},
                     {"?1yes:no/tail", "yes"},
                     {"?2yes:no/tail", "no/tail"},
                     {"(?1yes)x:y", "yesx:y"},
                     {"(?2yes)x:y", "x:y"},
                     {"a?", "a?"},
                     {"a?b:c", "ab"},
                     {"?:x", ""}});
  // A "(" inside a branch takes conditional mode, so its ":" ends it; nested
  // conditionals, taken and skipped; while skipping only "(", ")", ":" and "\" count.
  ExpectAll(Item(), {{"?1(a:b)c", "ab"},
                     {"(?1(?3a:b):c)d", "ad"},
                     {"(?1(?2a:b):c)d", "bd"},
                     {"(?2(?1a:b):c)d", "cd"},
                     {"?2?1a:b:c", "b"},
                     {"?1?1a:b:c", "a"},
                     {"(?2a\\)b\\:c:d)e", "de"},
                     {"(?2$(x:y):z)w", "zw"},
                     {"(?2a?b:c)d", "cd"},
                     {"?2a\\", ""},
                     {"(?1yes:n\\)o)t", "yest"},
                     {"(?1a:(b:c)d)e", "ae"}});
}

TEST(FormatSubstitutionTest, FormatEndsAtItsSizeOrFirstNul) {
  ExpectAll(Item(), {{"a\0$1"s, "a"}, {"?2x\0:y"s, ""}, {"\\\0n"s, "\\"}, {""s, ""}});

  // A view that stops inside a longer buffer is never read past its end.
  const std::string_view cuts[][2] = {{"$12", "42"},     {"\\x41", "\x04"}, {"\\x{41}", "x{41"},
                                      {"\\cA", "c"},     {"(?1a:b)", "a"},  {"?2a\\)b", ""},
                                      {"\\101", "\x08"}, {"a$&", "a$"}};
  for (const auto& [buffer, expected] : cuts) {
    const std::string_view cut = buffer.substr(0, buffer.size() - 1);
    EXPECT_EQ(FormatSubstitution(cut, Item().results), expected) << "format: " << cut;
  }

  // Results that no match filled: every group, 0 included, is absent.
  EXPECT_EQ(FormatSubstitution("[$0$&$1](?0a:b)", MatchResults()), "[]b");
}

// Group bytes inside the given ranges of the subject are encoded, every other byte of the
// output is written as it is.
TEST(FormatSubstitutionTest, EncodesGroupBytesInsideTheRanges) {
  const Matched match("^/(.*)(\\?k=.*)$", "/p q?r#%\"<>\\^`{|}\x01\x7F\xC3\xA9/?k=v w");
  ASSERT_TRUE(match.ok);
  const size_t query = match.subject.find("?k");
  const std::vector<SubjectRange> path = {{0, query}};
  const std::string encodedPath = "p%20q%3Fr%23%25%22%3C%3E%5C%5E%60%7B%7C%7D%01%7F%C3%A9/";
  const Case cases[] = {
      {"$1", encodedPath},
      {"$2", "?k=v w"},                          // outside the range
      {"$&", "/" + encodedPath + "?k=v w"},      // spans both
      {"/a b\\?#%$1", "/a b?#%" + encodedPath},  // literal text kept
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatSubstitution(c.format, match.results, match.subject.data(), path), c.expected)
        << "format: " << c.format;
  }

  // Several ranges, with bytes between them that are kept.
  const Matched joined("(.*)\n(.*)\n(.*)", "x?1\ny?2\nz?3");
  ASSERT_TRUE(joined.ok);
  const std::vector<SubjectRange> ranges = {{0, 3}, {8, 11}};
  EXPECT_EQ(FormatSubstitution("$&|$2|$3", joined.results, joined.subject.data(), ranges),
            "x%3F1\ny?2\nz%3F3|y?2|z%3F3");
  EXPECT_EQ(FormatSubstitution("$1", joined.results, joined.subject.data(), {}), "x?1");
}

// Nesting 2 MiB deep must live on the heap, not on the machine stack.
TEST(FormatSubstitutionTest, DeepNesting) {
  constexpr size_t kSize = size_t{2} << 20;
  const auto repeat = [](std::string_view unit, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i) text += unit;
    return text;
  };
  ExpectAll(Item(), {{std::string(kSize, '('), ""},
                     {std::string(kSize / 2, '(') + "a" + std::string(kSize / 2, ')') + "b", "ab"},
                     {repeat("?1(", kSize / 3) + "x", "x"},
                     {repeat("?1", kSize / 2) + "x", "x"},
                     {repeat("?2a:(", kSize / 5) + "x", "x"},
                     // One chain of endings: each ":" ends a true-text, and each skip takes
                     // the ")" that ends the "(" holding that conditional.
                     {repeat("(?1", kSize / 3) + "a" + repeat(":b)", kSize / 3) + "c", "ac"},
                     {repeat("(?2", kSize / 4) + "a" + repeat(":b)", kSize / 4) + "c", "bc"}});
}

}  // namespace
}  // namespace vortane
