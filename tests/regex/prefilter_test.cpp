// The facts derived from dialect patterns, and the subjects they refuse.
#include "regex/prefilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

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
    const Prefilter facts = DerivePrefilter(c.pattern, c.ignoreCase);
    EXPECT_EQ(facts.minLength, c.minLength) << c.pattern;
    EXPECT_EQ(facts.prefix, c.prefix) << c.pattern;
    EXPECT_EQ(facts.suffix, c.suffix) << c.pattern;
    EXPECT_EQ(Bytes(facts.next), c.next) << c.pattern;
    EXPECT_EQ(facts.ignoreCase, c.ignoreCase) << c.pattern;
  }
  EXPECT_EQ(DerivePrefilter("(/a", false).minLength, 0u);  // does not parse
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
    const Prefilter facts = DerivePrefilter(c.pattern, c.ignoreCase);
    EXPECT_EQ(facts.Admits(c.subject.data(), c.subject.size()), c.admitted)
        << c.pattern << " on " << c.subject;
  }
}

// The needle sets as "a,b;c", with "?" for PartFacts::kAnyByte.
std::string Joined(const std::vector<std::vector<std::string>>& sets) {
  std::string text;
  for (const std::vector<std::string>& set : sets) {
    if (!text.empty()) text += ";";
    for (size_t i = 0; i < set.size(); ++i) text += (i > 0 ? "," : "") + set[i];
  }
  std::replace(text.begin(), text.end(), PartFacts::kAnyByte, '?');
  return text;
}

TEST(PrefilterTest, NeedlesAreLiteralsEveryMatchConsumes) {
  const std::pair<std::string, std::string> cases[] = {
      {".*sqlmap.*", "sqlmap"},
      {"^.*(?:wp-admin|xmlrpc).*$", "wp-admin,xmlrpc"},
      {".*\\.(?:exe|dll)(?:\\?.*)?$", "exe,dll"},
      {"^/([^/]*)/index\\.html?$", "/index.htm"},
      {"^/a/.*(?:bc)+.*", "bc"},   // repeated at least once
      {"^/a/.*(?:bc)*.*xy$", ""},  // the suffix holds xy; bc may not occur
      {".*(?:ab|\\d+|de).*", ""},  // an alternative without a literal run
      {"^/abc$", ""},              // prefix and suffix say it all
      {"(?=.*abc).*", ""},         // look-arounds consume nothing
      {".*(?:Googlebot|bingbot).*\n^/p/.*", "Googlebot,bingbot;/p/"},
      {"x.*(?:a|b|c|d|e|f|g|h|i).*y", ""},   // too many to search for
      {".*(?:a|b|c|d|e|f|g|h|i|jj).*", ""},  // nor are those after too many
      {"a.*b|c.*dd.*", "a,dd"},              // each alternative gives one
      // A byte that may be any stands in the run; every run is a fact of its own.
      {".*(?:iPhone|Windows\\sPhone).*", "iPhone,Windows?Phone"},
      {"^/x[a-z]yz\\d{2}.*", "yz"},  // the prefix is /x; bytes at a needle's ends are dropped
      {"^https?://.+\n^[^?]*\\.(?:jpe?g|png)(?:\\?.*)?$", "://;jp,png"},
      {"^/a.*bc.*de.*f.*g\\.hi$", "bc;de"},  // single bytes only as the strongest fact
  };
  for (const auto& [pattern, needles] : cases) {
    EXPECT_EQ(Joined(DerivePrefilter(pattern, false).needles), needles) << pattern;
  }
}

TEST(PrefilterTest, MaximumLengthAndNeedlesBetweenPrefixAndSuffix) {
  const std::pair<std::string, size_t> lengths[] = {
      {"^$", 0},
      {"^/a{2,3}b?(?=x)$", 5},
      {"(?:ab|c)\\d{2}", 4},
      {"^/a+", PartFacts::kNoLimit},
      {"^/a{2,}", PartFacts::kNoLimit},
      {"^(a)\\1", PartFacts::kNoLimit},  // a back-reference
  };
  for (const auto& [pattern, most] : lengths) {
    EXPECT_EQ(DerivePrefilter(pattern, false).maxLength, most) << pattern;
  }
  struct Case {
    std::string pattern;
    bool ignoreCase;
    std::string subject;
    bool admitted;
  };
  const Case cases[] = {
      {"^$", false, "", true},
      {"^$", false, "x", false},
      {"^/(.*)/index\\.html?$", false, "/index.html", false},  // the needle overlaps the prefix
      {"^/(.*)/index\\.html?$", false, "/a/index.html", true},
      {".*Windows\\sPhone.*", false, "(Windows NT 10.0)", false},
      {".*Windows\\sPhone.*", false, "(Windows Phone)", true},
      {".*Windows\\sPhone.*", true, "(WINDOWS\tphone)", true},
      {".*Windows\\sPhone.*", true, "(W\xC9NDOWS phone)", true},
      {".*x[a-z]\n.*(?:jpg|png)", false, "xa\n/a.png", true},
      {".*x[a-z]\n.*(?:jpg|png)", false, "xa\n/a.gif", false},  // every set must hold
  };
  for (const Case& c : cases) {
    const Prefilter facts = DerivePrefilter(c.pattern, c.ignoreCase);
    EXPECT_EQ(facts.Admits(c.subject.data(), c.subject.size()), c.admitted)
        << c.pattern << " on " << c.subject;
  }
}

TEST(PrefilterTest, PartsAndWhetherTheyMayConsumeALineFeed) {
  struct Case {
    std::string pattern;
    // Each part as "prefix,suffix,minLength,needles", "+" after it when it may take an LF.
    std::string parts;
  };
  const Case cases[] = {
      {"^/a/.*$", ""},  // one part: the whole facts say it all
      {"^off$\n^secure\\..*\n^/(.*)$", "off,off,3, secure.,,7, /,,1,"},
      {"[^/]*\n.*x.*", ",,0,+ ,,1,x"},  // a negated set without LF in it takes LF
      {"\\s\n\\S\n\\n\n\\x0a\n\\x0b", ",,1,+ ,,1, ,,1,+ ,,1,+ ,,1,"},
      {"[a-z\\d]\n[\\s]\n[^\\n]\n[[:space:]]\n(a|\n)", ",,1, ,,1,+ ,,1, ,,1,+ ,,1,+"},
      {"(?:a\nb)*\nc", ",,0,+ c,c,1,"},         // an LF inside a repeat takes part
      {"(?:a\nb)\nc", "a,a,1, b,b,1, c,c,1,"},  // an unrepeated group is inlined
      {"a\nb|c", ""},                           // no parts outside one sequence
      {"(.)\\1\nx", ",,1,+ x,x,1,"},            // a back-reference may take LF
  };
  for (const Case& c : cases) {
    const Prefilter facts = DerivePrefilter(c.pattern, false);
    std::string parts;
    for (const PartFacts& part : facts.parts) {
      parts += (parts.empty() ? "" : " ") + part.prefix + "," + part.suffix + "," +
               std::to_string(part.minLength) + "," + Joined(part.needles) +
               (part.mayConsumeLineFeed ? "+" : "");
    }
    EXPECT_EQ(parts, c.parts) << c.pattern;
  }
}

// Whether the first part of `pattern` + LF + "x" may take an LF: "+" it may, "-" it may
// not, "" nothing derived.
std::string FirstPartTakesLineFeed(const std::string& pattern, bool ignoreCase) {
  const Prefilter facts = DerivePrefilter(pattern + "\nx", ignoreCase);
  if (facts.parts.empty()) return "";
  return facts.parts[0].mayConsumeLineFeed ? "+" : "-";
}

bool MatcherTakesLineFeed(const std::string& pattern, bool ignoreCase) {
  return boost::regex_match(std::string("\n"), CompilePattern(pattern, ignoreCase),
                            boost::match_not_dot_newline);
}

TEST(PrefilterTest, ASetMayTakeALineFeedWheneverTheMatcherDoes) {
  struct Case {
    std::string set;
    bool ignoreCase;
    std::string takes;  // as FirstPartTakesLineFeed
  };
  const Case cases[] = {
      // Ranges with an escape at one end or both, LF inside.
      {"[\\t-~]", false, "+"},
      {"[\\a-z]", false, "+"},
      {"[\\a-\\e]", false, "+"},
      {"[\\t-\\r]", false, "+"},
      {"[\\t-\\r]", true, "+"},
      {"[\\b-z]", false, "+"},  // backspace inside a set
      {"[\\x09-\\x0b]", false, "+"},
      {"[\\x{9}-z]", false, "+"},
      {"[\\0-z]", false, "+"},
      {"[\\011-\\015]", false, "+"},
      {"[\\cI-\\cM]", false, "+"},
      {"[]\\t-\\r]", false, "+"},
      {"[\\x0a]", false, "+"},
      {"[^\\x00-\\x09]", false, "+"},
      {"[^\\v-\\r]", false, "+"},
      // Classes and class escapes that hold LF, or leave it out.
      {"[[:space:]]", false, "+"},
      {"[[:cntrl:]]", false, "+"},
      {"[^[:alpha:]]", false, "+"},
      {"[\\s]", false, "+"},
      {"[\\D]", false, "+"},
      {"[\\W]", false, "+"},
      {"[\\L]", true, "+"},
      {"[^\\S]", false, "+"},
      {"[^\\d]", false, "+"},
      {"[^[:print:]]", false, "+"},
      // Sets that certainly leave LF out.
      {"[ -~]", false, "-"},
      {"[\\x20-\\x7e]", false, "-"},
      {"[\\e-~]", false, "-"},
      {"[\\v-\\r]", false, "-"},
      {"[\\t]", false, "-"},
      {"[^\\t-\\r]", false, "-"},
      {"[^\\a-z]", false, "-"},
      {"[^\\t-~]", false, "-"},
      {"[^A-Z\\n]", true, "-"},
      {"[^[:space:]]", false, "-"},
      {"[^[:cntrl:]]", false, "-"},
      {"[[:print:][:blank:]]", false, "-"},
      {"[\\S\\d]", false, "-"},
      {"[^\\s]", false, "-"},
      {"[a\\-z]", false, "-"},
      {"[\\t-]", false, "-"},       // "-" at the end is a byte
      {"[\\cj-\\cm]", false, "-"},  // "\\cj" is 0x2A here, not X mod 32 (LF)
      {"[[:blank:]-]", false, "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set + (c.ignoreCase ? " under I" : ""));
    EXPECT_EQ(MatcherTakesLineFeed(c.set, c.ignoreCase), c.takes == "+");
    EXPECT_EQ(FirstPartTakesLineFeed(c.set, c.ignoreCase), c.takes);
  }
}

TEST(PrefilterTest, EveryRangeAndClassThatHoldsALineFeedMayTakeOne) {
  // Each pair of these as a range's ends, plain and negated, and each class name: where the
  // matcher takes an LF, the fact must allow it.
  const std::string ends[] = {"\\a",  "\\b",   "\\e",   "\\f",   "\\n", "\\r",   "\\t",
                              "\\x9", "\\x0a", "\\x0B", "\\x7e", "\\0", "\\012", "\\cJ",
                              "\\c@", "\\v",   "\\-",   "\\]",   " ",   "~",     "\x7f",
                              "\x80", "\xff",  "0",     "Z"};
  std::vector<std::string> sets;
  for (const std::string& low : ends) {
    for (const std::string& high : ends) {
      sets.push_back("[" + low + "-" + high + "]");
      sets.push_back("[^" + low + "-" + high + "]");
    }
  }
  for (const char* name : {"alnum", "alpha", "blank", "cntrl", "digit", "graph", "lower", "print",
                           "punct", "space", "upper", "xdigit", "word", "unicode"}) {
    sets.push_back(std::string("[[:") + name + ":]]");
    sets.push_back(std::string("[^[:") + name + ":]]");
  }
  size_t compiled = 0;
  for (const std::string& set : sets) {
    for (const bool ignoreCase : {false, true}) {
      bool takes = false;
      try {
        takes = MatcherTakesLineFeed(set, ignoreCase);
      } catch (const bad_expression&) {
        continue;  // a range whose ends are out of order
      }
      ++compiled;
      if (takes) {
        EXPECT_NE(FirstPartTakesLineFeed(set, ignoreCase), "-") << set << ignoreCase;
      }
    }
  }
  EXPECT_GT(compiled, sets.size());  // most of them are sets
}

TEST(PrefilterTest, NeedlesFoldCaseOnlyUnderI) {
  struct Case {
    bool ignoreCase;
    std::string subject;
    bool admitted;
  };
  const Case cases[] = {
      {false, "/x?id=1 union select", false},
      {false, "/x?SQLMAP", false},
      {false, "/x?sqlmap", true},
      {true, "/x?SqlMap", true},
      {true, "/x?sqlma", false},
      {true,
       "/x?sql\xCD"
       "ap",
       true},
      {false,
       "/x?sql\xCD"
       "ap",
       false},
      {true, "sqlmap", true},
  };
  for (const Case& c : cases) {
    const Prefilter facts = DerivePrefilter(".*sqlmap.*", c.ignoreCase);
    EXPECT_EQ(facts.Admits(c.subject.data(), c.subject.size()), c.admitted) << c.subject;
  }
}

// The expression cannot be replaced on its own (Expression::assign) and leave stale facts.
static_assert(!std::is_convertible_v<PrefilteredExpression*, Expression*>);
static_assert(!std::is_assignable_v<PrefilteredExpression&, Expression>);

TEST(PrefilterTest, CompilingDerivesAndCopiesKeepTheFacts) {
  PrefilteredExpression e = CompilePrefiltered("^/a", false);
  const PrefilteredExpression copy = e;
  EXPECT_EQ(copy.prefilter().prefix, "/a");
  e.DropPrefilterForTesting();
  EXPECT_TRUE(e.prefilter().Admits("x", 1));
  EXPECT_FALSE(copy.prefilter().Admits("x", 1));
}

}  // namespace
}  // namespace vortane
