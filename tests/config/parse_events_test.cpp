// The parser's typed events: what each fault is, the lines it covers and where exactly; and
// the parser's verdict on a single line, which the checker asks for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/parser.h"

namespace vortane {
namespace {

struct Seen {
  ParseEventKind kind;
  uint32_t firstLine, lastLine, line, column;
  std::string text;
  bool operator==(const Seen& o) const {
    return kind == o.kind && firstLine == o.firstLine && lastLine == o.lastLine && line == o.line &&
           column == o.column && text == o.text;
  }
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
  return out << static_cast<int>(s.kind) << " " << s.firstLine << "-" << s.lastLine << " at "
             << s.line << ":" << s.column << " '" << s.text << "'";
}

class Recorder final : public ParseSink {
 public:
  void Event(const ParseEvent& e) override {
    seen.push_back(Seen{e.kind, e.firstLine, e.lastLine, e.line, e.column, std::string(e.text)});
  }
  std::vector<Seen> seen;
};

std::vector<Seen> EventsOf(const std::string& text) {
  Recorder recorder;
  ParseConfigText(text, {}, recorder);
  return recorder.seen;
}

TEST(ParseEventTest, EachFaultIsTypedWithItsLinesAndPlace) {
  using K = ParseEventKind;
  struct Case {
    const char* name;
    std::string text;
    std::vector<Seen> events;
  };
  const Case cases[] = {
      {"no header", "RewriteRule ^/a /b\n", {{K::SectionNotFound, 0, 0, 0, 0, ""}}},
      {"unrecognized line, echoed",
       "[Vortane]\n\tbogus line\r\n",
       {{K::UnrecognizedLine, 2, 2, 0, 0, "\tbogus line"}}},
      {"status at its item",
       "[Vortane]\nRewriteRule ^/a /b [L,R=404]\n",
       {{K::InvalidRedirectStatus, 2, 2, 2, 23, "404"}}},
      {"repeated R at the first R",
       "[Vortane]\nRewriteCond Host: x\n  RewriteRule ^/a /b [N,R,R=301]\n",
       {{K::RepeatedRedirect, 2, 3, 3, 25, ""}}},
      {"conditions left over",
       "[Vortane]\nRewriteCond Host: x\n# c\nRewriteCond URL y\n",
       {{K::ConditionsWithoutRule, 2, 4, 0, 0, ""}}},
      {"clock rate zero",
       "[Vortane]\nCacheClockRate 0\n",
       {{K::InvalidCacheClockRate, 2, 2, 0, 0, ""}}},
  };
  for (const Case& c : cases) EXPECT_EQ(EventsOf(c.text), c.events) << c.name;
}

TEST(ParseEventTest, BadPatternIsPlacedOnTheLineThatHoldsTheFault) {
  // ")" closes nothing: the compiler stops there, in the second condition or in the rule.
  const std::vector<Seen> inCondition =
      EventsOf("[Vortane]\nRewriteCond Host: x\nRewriteCond  URL  ab)c\nRewriteRule ^/a /b\n");
  ASSERT_EQ(inCondition.size(), 1u);
  EXPECT_EQ(inCondition[0].kind, ParseEventKind::BadRegularExpression);
  EXPECT_EQ(inCondition[0].firstLine, 2u);
  EXPECT_EQ(inCondition[0].lastLine, 4u);
  EXPECT_EQ(inCondition[0].line, 3u);
  EXPECT_EQ(inCondition[0].column, 21u);  // the ")"
  EXPECT_FALSE(inCondition[0].text.empty());

  const std::vector<Seen> inRule = EventsOf("[Vortane]\nRewriteRule   ^/a) /b\n");
  ASSERT_EQ(inRule.size(), 1u);
  EXPECT_EQ(inRule[0].line, 2u);
  EXPECT_EQ(inRule[0].column, 18u);
}

// File tests take no part of the combined pattern: a fault after them is still placed on its
// own line and column, and a rule with them keeps each test with its line.
TEST(ParseEventTest, FileTestsDoNotMoveAFaultsPlace) {
  const std::vector<Seen> afterTests = EventsOf(
      "[Vortane]\nRewriteCond %REQUEST_FILENAME !-f\nRewriteCond Host: x\n"
      "RewriteCond %REQUEST_FILENAME -d\nRewriteCond  URL  ab)c\nRewriteRule ^/a /b\n");
  ASSERT_EQ(afterTests.size(), 1u);
  EXPECT_EQ(afterTests[0].firstLine, 2u);
  EXPECT_EQ(afterTests[0].lastLine, 6u);
  EXPECT_EQ(afterTests[0].line, 5u);
  EXPECT_EQ(afterTests[0].column, 21u);

  Recorder recorder;
  const ParsedConfig parsed = ParseConfigText(
      "[Vortane]\nRewriteCond %REQUEST_FILENAME !-f\n  RewriteCond %REQUEST_FILENAME -d [O]\n"
      "RewriteCond %REQUEST_FILENAME ^/srv\nRewriteRule ^/(.*)$ /index.php [L]\n",
      {}, recorder);
  EXPECT_TRUE(recorder.seen.empty());
  ASSERT_EQ(parsed.rules.size(), 1u);
  const Rule& rule = parsed.rules[0];
  ASSERT_EQ(rule.fileTests.size(), 2u);
  EXPECT_EQ(rule.fileTests[0].fileTest, FileTest::NotFile);
  EXPECT_EQ(rule.fileTests[0].line, 2u);
  EXPECT_EQ(rule.fileTests[1].fileTest, FileTest::Folder);
  EXPECT_EQ(rule.fileTests[1].line, 3u);
  ASSERT_EQ(rule.conditions.size(), 1u);
  EXPECT_TRUE(rule.conditions[0].computed);
}

TEST(ParseEventTest, ReportWritesTheSameMessageForTheEvent) {
  std::string bytes;
  ParseReport report([&bytes](std::string_view b) { bytes.append(b); });
  ParseConfigText("[Vortane]\nRewriteRule ^/a /b [R=300]\nx\n", {}, report);
  EXPECT_EQ(bytes,
            "Lines 2 - 2: Invalid redirect status R=300 (use 301, 302, 303, 307 or 308). The "
            "rule and its conditions are ignored\r\nLine 3: Unrecognized string: x\r\n");
}

TEST(LineVerdictTest, HeaderAndBodyLinesAsTheParserTakesThem) {
  struct Case {
    const char* line;
    bool header;
    bool body;
  };
  const Case cases[] = {
      {"[Vortane]", true, false},
      {" [Vortane1.0]\t", true, false},
      {"[vortane]", false, false},
      {"[Vortane] # x", false, false},
      {"", false, true},
      {"  # comment", false, true},
      {"RewriteRule ^/a /b [L,R=999]", false, true},  // a status is checked later
      {"RewriteRule ^/a /b [L,X]", false, false},
      {"RewriteCond Host: x [O]", false, true},
      {"RewriteCond Host: x [L]", false, false},
      {"CacheClockRate 0", false, true},
      {"RepeatLimit 1234567890", false, false},
      {"RewriteRule ^/a /b #", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSectionHeader(c.line), c.header) << c.line;
    EXPECT_EQ(IsBodyLine(c.line), c.body) << c.line;
  }
}

}  // namespace
}  // namespace vortane
