#include "tools/check/check.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace vortane::tools {
namespace {

#define H "[Vortane]\n"

struct Case {
  const char* code;
  Severity severity;
  uint32_t siteId;  // 0: checked as the global file
  bool cut;         // the file goes on past the text
  std::string text;
  uint32_t line, column;
  std::string nearMiss;  // a text that must not give `code`
};

// Each diagnostic with a text that gives it at a place, and a near miss that does not.
const Case kCases[] = {
    // What the filter's report lists, explained.
    {"no-section", Severity::Error, 0, false, "[vortane]\nRewriteRule a b\n", 1, 1, H},
    {"no-section", Severity::Error, 0, false, "\xEF\xBB\xBF[Vortane]\n", 1, 1,
     "# \xEF\xBB\xBF\n" H},
    {"no-section", Severity::Error, 0, false, std::string("\xFF\xFE[\0V\0", 6), 1, 1, H},
    {"no-section", Severity::Error, 0, false, "[Vortane] # main\n", 1, 11, "# main\n[Vortane]\n"},
    {"unknown-directive", Severity::Error, 0, false, H "  rewriterule ^/a$ /b\n", 2, 3,
     H "RewriteRule ^/a$ /b\n"},
    {"unknown-directive", Severity::Error, 0, false, H "RewriteEngine On\n", 2, 1, H "# On\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [L,NC]\n", 2, 24,
     H "RewriteRule ^/a$ /b [L,I]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [L, R]\n", 2, 25,
     H "RewriteRule ^/a$ /b [L,R]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [L,L,L,L,L,L]\n", 2, 21,
     H "RewriteRule ^/a$ /b [L,L,L,L,L]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [R=permanent,L]\n", 2, 22,
     H "RewriteRule ^/a$ /b [R=301,L]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [L,r=301]\n", 2, 24,
     H "RewriteRule ^/a$ /b [L,R=301]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [R=x]\n", 2, 22,
     H "RewriteRule ^/a$ /b [R=307]\n"},
    {"bad-redirect-status", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [L,R=404]\n", 2, 24,
     H "RewriteRule ^/a$ /b [L,R=308]\n"},
    {"bad-redirect-status", Severity::Error, 0, false,
     H "RewriteCond Host: x\nRewriteRule ^/a$ /b [L,R,R=301]\n", 3, 24,
     H "RewriteCond Host: x\nRewriteRule ^/a$ /b [L,R,R]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [r]\n", 2, 22,
     H "RewriteRule ^/a$ /b [R]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteCond Host: x [L]\nRewriteRule a b\n", 2, 22,
     H "RewriteCond Host: x [O]\nRewriteRule a b\n"},
    {"braced-variable", Severity::Error, 0, false, H "RewriteCond %{HTTPS} on\nRewriteRule a b\n",
     2, 13, H "RewriteCond %HTTPS on\nRewriteRule a b\n"},
    {"missing-colon", Severity::Error, 0, false, H "RewriteCond Host ^x$\nRewriteRule a b\n", 2, 17,
     H "RewriteCond Host: ^x$\nRewriteRule a b\n"},
    {"bad-subject", Severity::Error, 0, false, H "RewriteHeader url ^/a$ /b\n", 2, 15,
     H "RewriteHeader URL ^/a$ /b\n"},
    {"bad-arguments", Severity::Error, 0, false, H "RewriteRule ^/a$\n", 2, 13,
     H "RewriteRule ^/a$ /b\n"},
    {"bad-value", Severity::Error, 0, false, H "RepeatLimit 1234567890\n", 2, 13,
     H "RepeatLimit 123456789\n"},
    {"trailing-comment", Severity::Error, 0, false, H "RewriteRule ^/a$ /b # note\n", 2, 21,
     H "RewriteRule ^/a$ /b#note\n"},
    {"bad-pattern", Severity::Error, 0, false, H "RewriteRule ^/a[ /b\n", 2, 16,
     H "RewriteRule ^/a\\[ /b\n"},
    {"bad-pattern", Severity::Error, 0, false,
     H "RewriteCond Host: (a\n# between\nRewriteRule b)** /c\n", 4, 16,
     H "RewriteCond Host: (a\nRewriteRule b)+ /c\n"},
    {"nul-byte", Severity::Error, 0, false, std::string(H "Rewrite\0Rule a b\n", 27), 2, 8,
     H "RewriteRule a b\n"},
    {"carriage-return", Severity::Error, 0, false, H "# a\rb\n", 2, 4, H "# ab\r\n"},
    {"misplaced-section", Severity::Error, 0, false, H "RewriteRule a b\n[Vortane]\n", 3, 1,
     H "RewriteRule a b\n"},
    {"conditions-without-rule", Severity::Error, 0, false, H "RewriteCond Host: x\n# end\n", 2, 1,
     H "RewriteCond Host: x\nRewriteHeader URL a b\n"},
    {"repeat-limit-above-global", Severity::Error, 1, false, H "RepeatLimit 33\n", 2, 1,
     H "RepeatLimit 32\n"},
    {"clock-rate-in-site", Severity::Error, 1, false, H "CacheClockRate 60\n", 2, 1,
     H "RepeatLimit 1\n"},
    {"clock-rate-zero", Severity::Error, 0, false, H "CacheClockRate 0\n", 2, 1,
     H "CacheClockRate 1\n"},
    {"line-cut", Severity::Error, 0, true, H "RewriteRule ^/a$ /b", 2, 1,
     H "RewriteRule ^/a$ /b\n"},
    // Lines the filter uses, likely not as meant.
    {"conditions-moved", Severity::Warning, 0, false,
     H "RewriteCond Host: x\nRewriteRul ^/a$ / [F]\nRewriteRule ^/b$ /c\n", 4, 1,
     H "RewriteCond Host: x\nRewriteRule ^/a$ / [F]\nRewriteRule ^/b$ /c\n"},
    {"encoded-literal", Severity::Warning, 0, false, H "RewriteRule ^/admin.*$ / [I,F]\n", 2, 15,
     H "RewriteRule ^/admin.*$ / [I,F,O]\n"},
    {"unescaped-question", Severity::Warning, 0, false, H "RewriteRule ^/p$ /p.asp?id=1\n", 2, 24,
     H "RewriteRule ^/(p)$ /p.asp\\?id=1(?1&x)\n"},
    {"percent-reference", Severity::Warning, 0, false,
     H "RewriteCond Host: (.*)\nRewriteRule ^/p$ /%1\n", 3, 19,
     H "RewriteCond Host: (.*)\nRewriteRule ^/p$ /$1%\n"},
    {"flags-in-substitution", Severity::Warning, 0, false, H "RewriteRule ^/a$ /b[L]\n", 2, 20,
     H "RewriteRule ^/a$ /b [L]\n"},
    {"whole-value-match", Severity::Warning, 0, false,
     H "RewriteCond User-Agent: bot\nRewriteRule ^/a$ /b\n", 2, 25,
     H "RewriteCond User-Agent: .*bot.*\nRewriteRule ^/a$ /b\n"},
    {"whole-value-match", Severity::Warning, 0, false, H "RewriteHeader Referer: x /y\n", 2, 24,
     H "RewriteCond %HTTPS on\nRewriteRule ^/a$ /b\n"},
    {"negated-pattern", Severity::Warning, 0, false,
     H "RewriteCond Host: !^a$\nRewriteRule ^/a$ /b\n", 2, 19,
     H "RewriteCond Host: ^(?!a$).*\nRewriteRule ^/a$ /b\n"},
    {"file-test", Severity::Warning, 0, false, H "RewriteCond Host: !-f\nRewriteRule ^/a$ /b\n", 2,
     13,
     H
     "RewriteCond %REQUEST_FILENAME !-f\nRewriteCond %REQUEST_FILENAME !-d\nRewriteRule ^/a$ /b\n"},
    {"top-level-alternation", Severity::Warning, 0, false,
     H "RewriteCond Host: ^a$|^b$\nRewriteRule ^/x$ /y\n", 2, 22,
     H "RewriteCond Host: ^(?:a|b)$\nRewriteRule ^/x$ /y\nRewriteRule ^/x$|^/y$ /z\n"},
    {"nested-repeat", Severity::Warning, 0, false, H "RewriteRule ^/(\\w+-?)*$ /b\n", 2, 15,
     H "RewriteRule ^/(\\w+-)?(a{2})+$ /b\n"},
    {"unreachable-rule", Severity::Warning, 0, false,
     H "RewriteRule ^(.*)$ /x [L]\nRewriteRule ^/a$ /b\n", 3, 1,
     H "RewriteRule ^/a$ /b\nRewriteRule ^(.*)$ /x [L]\n"},
    {"high-repeat-limit", Severity::Warning, 0, false,
     H "RepeatLimit 5000\nRewriteRule ^(.*)//(.*)$ $1/$2 [N]\n", 2, 13,
     H "RepeatLimit 5000\nRewriteRule ^(.*)//(.*)$ $1/$2 [L]\n"},
    {"redirect-to-same-url", Severity::Warning, 0, false, H "RewriteRule ^/a$ - [R=301]\n", 2, 18,
     H "RewriteRule ^/a$ - [F,R]\nRewriteRule ^/b$ /c [R=301]\n"},
    {"kept-value-log", Severity::Warning, 0, false, H "RewriteRule ^/a$ - [U,L]\n", 2, 18,
     H "RewriteRule ^/a$ /b [U,L]\nRewriteRule ^/b$ - [R,U]\n"},
    {"kept-value-no-effect", Severity::Warning, 0, false, H "RewriteRule ^/a$ - [I,O]\n", 2, 18,
     H "RewriteRule ^/a$ - [L]\nRewriteRule ^/b$ - [N]\nRewriteRule ^/c$ -- [I]\n"},
    {"case-class-under-i", Severity::Warning, 0, false, H "RewriteRule ^/[[:lower:]]+$ /b [I]\n", 2,
     16, H "RewriteRule ^/[[:lower:]]+$ /b\n"},
    // What is pasted from Apache: flags and lines without an equivalent.
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ - [L,E=X:1]\n", 2, 23,
     H "RewriteRule ^/a$ - [L]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteRule ^/a$ /b [S=2]\n", 2, 22,
     H "RewriteRule ^/a$ /b [N]\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteCond Host: ^a$ [OR]\nRewriteRule a b\n", 2,
     24, H "RewriteCond Host: ^(?:a|b)$\nRewriteRule a b\n"},
    {"bad-flags", Severity::Error, 0, false, H "RewriteCond Host: ^a$ [NC]\nRewriteRule a b\n", 2,
     24, H "RewriteCond Host: ^a$\nRewriteRule a b [I]\n"},
    {"unknown-directive", Severity::Error, 0, false, H "<IfModule mod_rewrite.c>\n", 2, 1,
     H "# <IfModule mod_rewrite.c>\n"},
    {"unknown-directive", Severity::Error, 0, false, H "  Options -MultiViews\n", 2, 3,
     H "# Options -MultiViews\n"},
    {"file-test", Severity::Warning, 0, false,
     H "RewriteCond %PATH_TRANSLATED !-d\nRewriteRule a b\n", 2, 13,
     H "RewriteCond %REQUEST_FILENAME !-d\nRewriteRule a b\n"},
    {"no-equivalent", Severity::Warning, 0, false,
     H "RewriteCond %REQUEST_FILENAME -s\nRewriteRule a b\n", 2, 31,
     H "RewriteCond %REQUEST_FILENAME -f\nRewriteRule a b\n"},
    {"no-equivalent", Severity::Warning, 0, false,
     H "RewriteCond URL !=/favicon.ico\nRewriteRule a b\n", 2, 17,
     H "RewriteCond URL ^(?!/favicon\\.ico$).*$\nRewriteRule a b\n"},
    {"unknown-variable", Severity::Warning, 0, false,
     H "RewriteCond %HTTP_HOST ^a$\nRewriteCond %NOPE ^a$\nRewriteRule a b\n", 3, 13,
     H "RewriteCond %HEADER_X-Y ^a$\nRewriteCond %SERVER_NAME ^a$\nRewriteRule a b\n"},
    {"whole-url-match", Severity::Warning, 0, false, H "RewriteRule . /x.asp\n", 2, 13,
     H "RewriteRule ^.*\\.php$ /x.asp\nRewriteRule /a /b\nRewriteRule (/.*) /c$1\nRewriteRule "
       "[a-z/]+ /d\n"},
    {"never-matches", Severity::Warning, 0, false, H "RewriteRule ^index\\.php$ - [L]\n", 2, 13,
     H "RewriteRule ^/index\\.php$ - [L]\nRewriteRule ^(/a|b)$ - [L]\n"},
    {"never-matches", Severity::Warning, 0, false,
     H "RewriteCond URL api/.*\nRewriteRule ^/(.*)$ /v1/$1\n", 2, 17,
     H "RewriteCond URL /api/.*\nRewriteRule ^/(.*)$ /v1/$1\n"},
    {"relative-substitution", Severity::Warning, 0, false, H "RewriteRule ^/a$ b.asp\n", 2, 18,
     H "RewriteRule ^/a$ /b.asp\nRewriteRule ^/b$ $1\nRewriteRule ^/c$ http://e.com/\n"},
};

TEST(CheckTest, EachDiagnosticAtItsPlaceAndNotOnItsNearMiss) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.code) + " on: " + c.text);
    ParseContext context;
    context.siteId = c.siteId;
    const auto found = CheckConfigText(c.text, "f.ini", context, c.cut);
    bool hit = false;
    for (const Diagnostic& d : found) {
      if (d.code != c.code) continue;
      hit = true;
      EXPECT_EQ(d.line, c.line) << d.message;
      EXPECT_EQ(d.column, c.column) << d.message;
      EXPECT_EQ(d.severity, c.severity);
    }
    EXPECT_TRUE(hit);
    for (const Diagnostic& d : CheckConfigText(c.nearMiss, "f.ini", context, c.cut)) {
      EXPECT_NE(d.code, c.code) << "near miss: " << c.nearMiss << "\n" << FormatText(d);
    }
  }
}

// Apache's redirect flags, pasted: those with a status the filter has are clean, and every
// hint that names a replacement flag gives a clean file when applied as it stands.
TEST(CheckTest, RedirectStatusesAndTheirHints) {
  for (const char* clean : {"[R=301,L]", "[L,R=302]", "[R=303]", "[I,R=307]", "[R=308,N]"}) {
    const std::string text = std::string(H "RewriteRule ^/old$ /new ") + clean + "\n";
    EXPECT_TRUE(CheckConfigText(text, "f.ini", {}).empty()) << clean;
  }
  const struct {
    const char* flags;
    const char* replacement;
  } cases[] = {
      {"[R=permanent,L]", "R=301"}, {"[R=temp]", "R=302"},  {"[L,R=SeeOther]", "R=303"},
      {"[r=307]", "R=307"},         {"[R=404,L]", "R=301"}, {"[R=30]", "R=301"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    std::string text = std::string(H "RewriteRule ^/old$ /new ") + c.flags + "\n";
    const auto found = CheckConfigText(text, "f.ini", {});
    ASSERT_EQ(found.size(), 1u);
    const Diagnostic& d = found[0];
    ASSERT_EQ(d.hint.rfind("write ", 0), 0u) << d.hint;
    const std::string written = d.hint.substr(6, d.hint.find(' ', 6) - 6);
    EXPECT_EQ(written, c.replacement);
    // The item at the column, up to its comma or the closing bracket, becomes the hint's text.
    const size_t at = (d.column - 1) + sizeof(H) - 1;
    const size_t end = text.find_first_of(",]", at);
    text.replace(at, end - at, written);
    EXPECT_TRUE(CheckConfigText(text, "f.ini", {}).empty()) << text;
  }
}

TEST(CheckTest, UnmatchedGroupPointsAtItsParenthesis) {
  const auto found = CheckConfigText(H "RewriteRule ^/(a(b)$ /c\n", "f.ini", {});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].column, 15u);
}

// Hostile runs that a naive look-ahead would make quadratic (minutes for these lines).
TEST(CheckTest, HostileLinesStayLinear) {
  for (const char* run : {"[[:", "a{", "# "}) {
    std::string text = H "RewriteCond Host: ";
    for (int i = 0; i < 200000; ++i) text += run;
    const auto start = std::chrono::steady_clock::now();
    CheckConfigText(text, "f.ini", {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << run;
  }
}

TEST(CheckTest, FormatsTextAndJson) {
  const auto found = CheckConfigText(H "\tRewriteRule ^/a$ /b [l]\n", "f.ini", {});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(FormatText(found[0]),
            "f.ini:2:23: error: flag letters are upper case [bad-flags]\n"
            "  \tRewriteRule ^/a$ /b [l]\n"
            "  \t                     ^\n"
            "  hint: write L\n");
  Diagnostic odd;
  odd.file = "a\"b\\";
  odd.message = std::string("x\0\xff", 3);
  EXPECT_EQ(FormatJson({odd}),
            "[\n  {\"file\": \"a\\\"b\\\\\", \"line\": 0, \"column\": 0, \"severity\": "
            "\"error\", \"message\": \"x\\u0000\\u00ff\", \"code\": \"\", \"hint\": \"\"}\n]\n");
  EXPECT_EQ(FormatJson({}), "[]\n");

  // The text form escapes what a file holds: a terminal's title sequence in a directive's
  // name, and in the file's name, reaches the terminal as text.
  const auto title = CheckConfigText(H "\x1b]0;x\x07 y\n", "f\x1b.ini", {});
  ASSERT_EQ(title.size(), 1u);
  const std::string text = FormatText(title[0]);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_NE(text.find("f\\x1b.ini:2:1: error: unknown directive '\\x1b]0;x\\x07'"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace vortane::tools
