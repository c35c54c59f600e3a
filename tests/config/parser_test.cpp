// The configuration language: what each file yields in rules, settings and report bytes.
#include "config/parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "regex/timed_match.h"
#include "rules/evaluation.h"

namespace vortane {
namespace {

using Kind = SettingDirective::Kind;
using Settings = std::vector<SettingDirective>;

class ParserTest : public ::testing::Test {
 protected:
  // Parses `text` as the file of `siteId` under the global limit `global`; returns the
  // report's bytes.
  std::string Parse(const std::string& text, uint32_t siteId = 1, int32_t global = 32) {
    std::string report;
    ParseReport writer([&report](std::string_view bytes) { report.append(bytes); });
    parsed_ = ParseConfigText(text, {siteId, global}, writer);
    return report;
  }

  // One line per rule: target, format, flags in hex, then each condition.
  std::vector<std::string> Rules() const {
    std::vector<std::string> out;
    for (const Rule& rule : parsed_.rules) {
      std::string line = rule.target + " " + rule.format + " " + std::to_string(rule.Flags());
      for (const Condition& c : rule.conditions) {
        line += std::string(" ") + (c.isServerVariable ? "%" : "") + c.name +
                (c.flags != 0 ? "[O]" : "");
      }
      out.push_back(line);
    }
    return out;
  }

  ParsedConfig parsed_;
};

using Lines = std::vector<std::string>;

struct Case {
  const char* name;
  std::string file;
  Lines rules;
  std::string report;
};

const Case kCases[] = {
    {"no header", "RewriteRule ^/a$ /b\n", {}, "Section [Vortane] not found\r\n"},
    {"no header without final LF", "RewriteRule ^/a$ /b", {}, "Section [Vortane] not found\r\n"},
    {"lower-case header",
     "[vortane]\nRewriteRule ^/a$ /b\n",
     {},
     "Section [Vortane] not found\r\n"},
    {"header with a comment",
     "[Vortane] # main\nRewriteRule a b\n",
     {},
     "Section [Vortane] not found\r\n"},
    {"byte-order mark before the header",
     "\xEF\xBB\xBF[Vortane]\nRewriteRule a b\n",
     {},
     "Section [Vortane] not found\r\n"},
    {"prologue ignored",
     "RewriteRule x y\ngarbage\n \t[Vortane1.0]\t \nRewriteRule ^/a$ /b\n",
     {"URL /b 0"},
     ""},
    {"valid file, empty report",
     "[Vortane]\n# comment\n\n   \nRewriteRule ^/a$ /b [L]\n",
     {"URL /b 1"},
     ""},
    {"keyword case matters",
     "[Vortane]\nrewriterule ^/a$ /b\n",
     {},
     "Line 2: Unrecognized string: rewriterule ^/a$ /b\r\n"},
    {"flag lists",
     "[Vortane]\nRewriteRule a b [L,R]\nRewriteRule a b [L, R]\nRewriteRule a b []\n"
     "RewriteRule a b [l]\nRewriteRule a b [L,R,N,F,U,O]\nRewriteRule a b [L,L,L,L,L]\n"
     "RewriteRule a b [I,O,U,N,F]\n",
     {"URL b 3", "URL b 1", "URL b 60"},
     "Line 3: Unrecognized string: RewriteRule a b [L, R]\r\n"
     "Line 4: Unrecognized string: RewriteRule a b []\r\n"
     "Line 5: Unrecognized string: RewriteRule a b [l]\r\n"
     "Line 6: Unrecognized string: RewriteRule a b [L,R,N,F,U,O]\r\n"},
    {"redirect statuses",
     "[Vortane]\nRewriteRule a b [R=301]\nRewriteRule a b [L,R=302]\nRewriteRule a b [R=303,I]\n"
     "RewriteHeader URL a b [R=307]\nRewriteRule a b [R=308,N,L]\nRewriteRule a b [R,R]\n"
     "RewriteRule a b [R=301,L,N,F,U,O]\n",
     {"URL b 65538", "URL b 3", "URL b 131074", "URL b 196610", "URL b 262151", "URL b 2"},
     "Line 8: Unrecognized string: RewriteRule a b [R=301,L,N,F,U,O]\r\n"},
    {"bad redirect statuses drop the rule with its conditions",
     "[Vortane]\nRewriteRule a b [R=300]\nRewriteCond Host: x\nRewriteRule a b [R=404,L]\n"
     "RewriteRule a b [R=30]\nRewriteRule a b [R=0301]\nRewriteRule a b [R=301,R]\n"
     "RewriteRule a b [R=301,R=301]\nRewriteRule a b [R=]\nRewriteRule a b [R=x]\n"
     "RewriteRule a b [L,R=301,R=999]\nRewriteRule ^/ok$ /ok [R=301]\n",
     {"URL /ok 65538"},
     "Lines 2 - 2: Invalid redirect status R=300 (use 301, 302, 303, 307 or 308). The rule and "
     "its conditions are ignored\r\n"
     "Lines 3 - 4: Invalid redirect status R=404 (use 301, 302, 303, 307 or 308). The rule and "
     "its conditions are ignored\r\n"
     "Lines 5 - 5: Invalid redirect status R=30 (use 301, 302, 303, 307 or 308). The rule and "
     "its conditions are ignored\r\n"
     "Lines 6 - 6: Invalid redirect status R=0301 (use 301, 302, 303, 307 or 308). The rule and "
     "its conditions are ignored\r\n"
     "Lines 7 - 7: A redirect status with another R in the flag list. The rule and its "
     "conditions are ignored\r\n"
     "Lines 8 - 8: A redirect status with another R in the flag list. The rule and its "
     "conditions are ignored\r\n"
     "Line 9: Unrecognized string: RewriteRule a b [R=]\r\n"
     "Line 10: Unrecognized string: RewriteRule a b [R=x]\r\n"
     "Lines 11 - 11: Invalid redirect status R=999 (use 301, 302, 303, 307 or 308). The rule "
     "and its conditions are ignored\r\n"},
    {"flag list without a blank is substitution",
     "[Vortane]\nRewriteRule ^/a$ /b[L]\n",
     {"URL /b[L] 0"},
     ""},
    {"comments after directives",
     "[Vortane]\nRewriteRule ^/a$ /b # note\n   # note\n# a\rb\n",
     {},
     "Line 2: Unrecognized string: RewriteRule ^/a$ /b # note\r\nLine 4: Unrecognized string: # "
     "a\rb\r\n"},
    {"conditions",
     "[Vortane]\nRewriteCond Host: ^(.+)$ [O]\nRewriteCond %HTTPS on\nRewriteCond URL .*\n"
     "RewriteCond METHOD GET\nRewriteCond VERSION .*\nRewriteRule a b\n",
     {"URL b 0 Host:[O] %HTTPS URL METHOD VERSION"},
     ""},
    {"bad conditions",
     "[Vortane]\nRewriteCond Host: a [O,O]\nRewriteCond Host: a [L]\nRewriteCond %{HTTPS} on\n"
     "RewriteCond Host ^x\n",
     {},
     "Line 2: Unrecognized string: RewriteCond Host: a [O,O]\r\n"
     "Line 3: Unrecognized string: RewriteCond Host: a [L]\r\n"
     "Line 4: Unrecognized string: RewriteCond %{HTTPS} on\r\n"
     "Line 5: Unrecognized string: RewriteCond Host ^x\r\n"},
    {"conditions wait across other lines",
     "[Vortane]\nRewriteCond Host: a\n# c\n\nRepeatLimit 9\nnonsense\nRewriteHeader User-Agent: x "
     "y\n",
     {"User-Agent: y 0 Host:"},
     "Line 6: Unrecognized string: nonsense\r\n"},
    {"header targets",
     "[Vortane]\nRewriteHeader METHOD ^GET$ POST [N]\nRewriteHeader URL a b\n",
     {"METHOD POST 4", "URL b 0"},
     ""},
    {"a group may span lines",
     "[Vortane]\nRewriteCond Host: (a\nRewriteRule b) /c\n",
     {"URL /c 0 Host:"},
     ""},
    {"bad pattern drops the group",
     "[Vortane]\nRewriteCond Host: a\nRewriteRule ( /c\nRewriteRule ^/ok$ /d\n",
     {"URL /d 0"},
     "Bad regular expression at lines 2 - 3\r\n"},
    {"bad pattern without conditions",
     "[Vortane]\n\n\n\n\n\n\n\nRewriteRule a} /c\n",
     {},
     "Bad regular expression at lines 9 - 9\r\n"},
    {"conditions without a rule",
     "[Vortane]\nRewriteCond Host: a\nRewriteCond Host: b\n# last\n",
     {},
     "Lines 2 - 4: RewriteCond directive(s) without matching RewriteRule or RewriteHeader\r\n"},
    {"second header",
     "[Vortane]\n\n\n\n[Vortane]\n",
     {},
     "Line 5: Unrecognized string: [Vortane]\r\n"},
    {"leading blanks echoed",
     "[Vortane]\n\n\n\n\n\n   foo bar\n",
     {},
     "Line 7: Unrecognized string:    foo bar\r\n"},
    {"CR LF line ends leave no CR",
     "[Vortane]\r\nbad line\r\r\nRewriteRule a b [L]\r\n",
     {"URL b 1"},
     "Line 2: Unrecognized string: bad line\r\n"},
    {"bytes echoed as they are",
     std::string("[Vortane]\n\x01\x00\xff\x80z\n", 16),
     {},
     std::string("Line 2: Unrecognized string: \x01\x00\xff\x80z\r\n", 36)},
    {"too many digits",
     "[Vortane]\nCacheClockRate 12345678\nRepeatLimit 1234567890\n",
     {},
     "Line 2: Unrecognized string: CacheClockRate 12345678\r\n"
     "Line 3: Unrecognized string: RepeatLimit 1234567890\r\n"},
    {"cache clock rate in a site file",
     "[Vortane]\nCacheClockRate 60\nCacheClockRate 0\n",
     {},
     "Line 2: CacheClockRate directive ignored. It could be used only in the global "
     "configuration file\r\n"
     "Line 3: CacheClockRate directive ignored. It could be used only in the global "
     "configuration file\r\n"},
    {"site repeat limit above the global one",
     "[Vortane]\nRepeatLimit 100\nRepeatLimit 32\n",
     {},
     "Line 2: RepeatLimit value is greater than global limit. Global setting will be used\r\n"},
};

TEST_F(ParserTest, Table) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Parse(c.file), c.report);
    EXPECT_EQ(Rules(), c.rules);
  }
}

TEST_F(ParserTest, RulesAndConditionsKeepTheirLineNumbers) {
  // Lines before the header count; comments, other directives, CR LF ends and a dropped
  // group between them shift nothing.
  Parse(
      "# prologue\n[Vortane]\r\nRewriteCond Host: a\n# c\nRepeatLimit 9\nRewriteCond %HTTPS on\n"
      "RewriteHeader X-A: x y\nRewriteCond URL b\nRewriteRule ( /c\r\n\nRewriteRule ^/c$ /d\n");
  Lines lines;
  for (const Rule& rule : parsed_.rules) {
    std::string line = std::to_string(rule.line);
    for (const Condition& c : rule.conditions) line += " " + std::to_string(c.line);
    lines.push_back(line);
  }
  EXPECT_EQ(lines, (Lines{"7 3 6", "11"}));
}

TEST_F(ParserTest, SiteRepeatLimitIsCappedByTheGlobalOne) {
  const std::string above =
      "Line 3: RepeatLimit value is greater than global limit. Global setting will be used\r\n";
  EXPECT_EQ(Parse("[Vortane]\nCacheClockRate 60\nRepeatLimit 100\n"),
            "Line 2: CacheClockRate directive ignored. It could be used only in the global "
            "configuration file\r\n" +
                above);
  EXPECT_EQ(parsed_.settings, (Settings{{Kind::RepeatLimit, 3, 32}}));  // no clock rate
  EXPECT_EQ(Parse("[Vortane]\nRepeatLimit 7\n"), "");
  EXPECT_EQ(parsed_.settings, (Settings{{Kind::RepeatLimit, 2, 7}}));
  EXPECT_EQ(Parse("[Vortane]\n\nRepeatLimit 7\n", 1, 5), above);
  EXPECT_EQ(parsed_.settings, (Settings{{Kind::RepeatLimit, 3, 5}}));
}

TEST_F(ParserTest, GlobalSettingsComeInFileOrderWithTheirLines) {
  // The global limit caps nothing in the global file.
  EXPECT_EQ(Parse("[Vortane]\nRepeatLimit 50\n# c\nCacheClockRate 30\nRepeatLimit 0\n", 0, 5), "");
  EXPECT_EQ(parsed_.settings, (Settings{{Kind::RepeatLimit, 2, 50},
                                        {Kind::CacheClockRate, 4, 30000},
                                        {Kind::RepeatLimit, 5, 0}}));
  Parse("RepeatLimit 3\n", 0);  // no section: no setting
  EXPECT_TRUE(parsed_.settings.empty());
}

TEST_F(ParserTest, GlobalCacheClockRateIsHeldInMilliseconds) {
  struct ClockCase {
    const char* line;
    uint32_t ms;
    bool reported;
  };
  const ClockCase cases[] = {
      {"CacheClockRate 30", 30000, false},
      {"CacheClockRate 0000060", 60000, false},
      {"CacheClockRate 0", 3600000, true},
      {"CacheClockRate 4294967", 4294967000u, false},
      {"CacheClockRate 9999999", 4294967000u, false},  // held at the largest that fits
  };
  for (const ClockCase& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string report = Parse(std::string("[Vortane]\n") + c.line + "\n", 0);
    EXPECT_EQ(parsed_.settings, (Settings{{Kind::CacheClockRate, 2, c.ms}}));
    EXPECT_EQ(report, c.reported ? "Line 2: Invalid value in the CacheClockRate directive. "
                                   "Default will be used\r\n"
                                 : "");
  }
}

TEST_F(ParserTest, RulesWorkAsParsed) {
  Parse(
      "[Vortane]\n"
      "RewriteCond Host: ^ABC$\n"
      "RewriteCond %SERVER_PORT ^(\\d+)$\n"
      "RewriteRule ^/(.*)$ /port$1/$2 [I]\n");
  ASSERT_EQ(parsed_.rules.size(), 1u);
  MemoryRequest request;
  request.url = "/page";
  request.headers = {{"Host", "abc"}};
  request.serverVariables = {{"SERVER_PORT", "8080"}};
  MemoryServer server(request);
  EvaluationScratch scratch;
  EXPECT_EQ(EvaluateRule(parsed_.rules[0], server.Context(), server.PreprocHeaders(), scratch),
            RuleResult::Matched);
  EXPECT_EQ(server.Request().url, "/port8080/page");
}

TEST_F(ParserTest, ConditionsAndTheRuleShareOnePatternAndItsGroups) {
  // Three conditions; the first has no group, so $1 is the second condition's group.
  Parse(
      "[Vortane]\n"
      "RewriteCond Host: www\\..*\n"
      "RewriteCond X-Id: (\\d+)\n"
      "RewriteCond User-Agent: [a-z]+\n"
      "RewriteRule ^/item/(.*)$ /$1/$2 [I]\n");
  ASSERT_EQ(parsed_.rules.size(), 1u);
  const Expression& e = parsed_.rules[0].joinedPattern.expression();
  const std::string subject = "www.example.com\n42\nMozilla\n/item/shoes";
  MatchResults groups;
  ASSERT_TRUE(TimedMatch(subject.data(), subject.data() + subject.size(), groups, e, MatchTimeLimit,
                         boost::match_not_dot_newline));
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(std::string(groups[1].first.base(), groups[1].second.base()), "42");
  EXPECT_EQ(std::string(groups[2].first.base(), groups[2].second.base()), "shoes");

  // A condition cannot reach into the next segment.
  const std::string crossing = "www.example.com/42\nMozilla\n/item/shoes";
  EXPECT_FALSE(TimedMatch(crossing.data(), crossing.data() + crossing.size(), groups, e,
                          MatchTimeLimit, boost::match_not_dot_newline));
}

TEST_F(ParserTest, HostileInputGivesAConfigurationAndAReport) {
  // A single line of 2 MiB, 100,000 nested parentheses in a pattern and in a substitution,
  // junk with NUL bytes: each line is reported or dropped, never a crash or a hang.
  const std::string longLine(2 * 1024 * 1024 - 16, 'x');
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
  const std::string file = "[Vortane]\n" + longLine + "\nRewriteRule " + std::string(100000, '(') +
                           "a" + std::string(100000, ')') + " /b\n" + "RewriteRule ^/a$ " +
                           std::string(100000, '(') + "\n" + junk + "\nRewriteRule ^/ok$ /fine\n";
  const std::string report = Parse(file);
  EXPECT_EQ(report.substr(0, 30), "Line 2: Unrecognized string: x");
  EXPECT_NE(report.find("Bad regular expression at lines 3 - 3\r\n"), std::string::npos);
  ASSERT_GE(parsed_.rules.size(), 2u);
  EXPECT_EQ(parsed_.rules.back().format, "/fine");
}

}  // namespace
}  // namespace vortane
