// The facts derived from dialect patterns, and the subjects they refuse.
#include "regex/prefilter.h"

#include <gtest/gtest.h>

#include <string>

namespace vortane {
namespace {

struct DerivationCase {
  std::string pattern;
  bool ignoreCase;
  size_t minLength;
  std::string prefix;
  std::string suffix;
  std::string next = "";  // the bytes the one after the prefix may be, in order
};

std::string Bytes(const ByteSet& set) {
  std::string bytes;
  for (size_t c = 0; c < set.size(); ++c) {
    if (set.test(c)) bytes += static_cast<char>(c);
  }
  return bytes;
}

TEST(PrefilterTest, DerivesOnlyWhatEveryMatchImplies) {
  const DerivationCase cases[] = {
      {"^/old/(.*)$", false, 5, "/old/", ""},
      {"^/a", false, 2, "/a", "/a"},
      {".*\\.php$", true, 4, "", ".php"},
      {"^/index\\.php\\?page=(\\w+)$", false, 17, "/index.php?page=", ""},
      {"^(/products/.*)$", false, 10, "/products/", ""},
      {"^/(?:en|de)/(.*)$", false, 4, "/", "", "de"},
      {"^/(?:Ab|(x)y|(?=c)c)+", true, 2, "/", "", ""},  // repeated: maybe no times
      {"^(?:Ab|(x)y|(?=c)c)", true, 1, "", "", "ACXacx"},
      {"^/a|(?:^/b|[c])", false, 1, "", "", ""},
      {"(?:GET|PUT)x|DELETE", false, 4, "", "", "DGP"},
      {"^/feeds?/x$", false, 7, "/feed", "/x"},
      {"^/a{3}b{2,}c", false, 7, "/", "c"},
      {"^/\\d+x\\b$", false, 3, "/", "x"},
      {"(x+x+)+y", false, 3, "", "y"},
      {"^[a-z][]x]\\w\\x41/", false, 5, "", "/"},
      {"^GET$\n^/x", false, 6, "GET", "/x"},  // LF is no printable byte: the prefix stops
      {"host\n(?=/)/(\\d)\\1", false, 7, "host", ""},
      // Alternatives outside any group: lengths only.
      {"^/a|^/bc", false, 2, "", "", "/"},
      {"a\n^/x|b", false, 1, "", "", "ab"},
      // Constructs the derivation does not know, or that are no plain bytes: nothing.
      {"^/\\Qa.b\\E", false, 0, "", ""},
      {"^[[.a.]]", false, 0, "", ""},
      {"^/\\x{41}", false, 0, "", ""},
      {"^/\\0", false, 0, "", ""},
      {"^/\\<x", false, 0, "", ""},
      {"^\xC3\xA9t\xC3\xA9", false, 5, "", ""},
  };
  for (const DerivationCase& c : cases) {
    const Prefilter facts = DerivePrefilter(CompilePattern(c.pattern, c.ignoreCase));
    EXPECT_EQ(facts.minLength, c.minLength) << c.pattern;
    EXPECT_EQ(facts.prefix, c.prefix) << c.pattern;
    EXPECT_EQ(facts.suffix, c.suffix) << c.pattern;
    EXPECT_EQ(Bytes(facts.next), c.next) << c.pattern;
    EXPECT_EQ(facts.ignoreCase, c.ignoreCase) << c.pattern;
  }
  EXPECT_EQ(DerivePrefilter(Expression()).minLength, 0u);
}

TEST(PrefilterTest, RefusesOnlySubjectsThatBreakAFact) {
  struct Case {
    std::string pattern;
    bool ignoreCase;
    std::string subject;
    bool admitted;
  };
  const Case cases[] = {
      {"^/old/(.*)$", false, "/old/x", true},   {"^/old/(.*)$", false, "/OLD/x", false},
      {"^/old/(.*)$", false, "/old", false},    {"^/old/(.*)$", true, "/OLD/x", true},
      {"^/old/(.*)$", true, "/\xD6LD/x", true},  // a locale may fold the byte onto 'o'
      {"^/old/(.*)$", true, "\\old/x", false},   // only letters fold
      {"^/old/(.*)$", true, "/ol\xC4/x", true}, {".*\\.php$", true, "/a.PHP", true},
      {".*\\.php$", true, "/a.phq", false},     {".*\\.php$", false, ".php", true},
      {".*\\.php$", false, "php", false},       {"^/(?:en|de)/", false, "/fr/", false},
      {"^/(?:en|de)/", false, "/de/", true},    {"^/(?:en|de)/", true, "/DE/", true},
      {"^/(?:en|de)/", true, "/\xC9N/", true},  {"^/(?:en|de)/", false, "/\xC9N/", false},
  };
  for (const Case& c : cases) {
    const Prefilter facts = DerivePrefilter(CompilePattern(c.pattern, c.ignoreCase));
    EXPECT_EQ(facts.Admits(c.subject.data(), c.subject.size()), c.admitted)
        << c.pattern << " on " << c.subject;
  }
}

TEST(PrefilterTest, AssignmentDerivesAndCopiesKeepTheFacts) {
  PrefilteredExpression e;
  e = CompilePattern("^/a", false);
  const PrefilteredExpression copy = e;
  EXPECT_EQ(copy.prefilter().prefix, "/a");
  e.DropPrefilterForTesting();
  EXPECT_TRUE(e.prefilter().Admits("x", 1));
  EXPECT_FALSE(copy.prefilter().Admits("x", 1));
}

}  // namespace
}  // namespace vortane
