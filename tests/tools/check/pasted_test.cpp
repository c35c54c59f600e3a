// What administrators paste from Apache's rule files: every hint that proposes replacement
// text gives, applied as it stands, a clean file that answers requests as Apache answers the
// original (where the two languages can agree), and pasted front-controller blocks get an
// explanation on every line that would behave differently.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/directory_test.h"
#include "tools/check/check.h"
#include "tools/runner/in_process.h"

namespace vortane::tools {
namespace {

#define H "[Vortane]\n"

// A request and what Apache answers with the original rules: "403", "301 LOCATION" or
// "302 LOCATION", or the URL passed on.
struct Exchange {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string expected;
  bool secure = false;
  std::vector<std::pair<std::string, std::string>> variables = {};  // server variables
};

struct HintCase {
  const char* code;
  std::string pasted;  // the file as pasted
  std::string fixed;   // the file with the hint applied
  std::vector<Exchange> exchanges;
};

const HintCase kHintCases[] = {
    // Apache's "!" is true where the pattern matches nowhere in the value.
    {"negated-pattern",
     H "RewriteCond User-Agent: !bot\nRewriteRule ^/a$ /b [L]\n",
     H "RewriteCond User-Agent: ^(?!.*(?:bot)).*$\nRewriteRule ^/a$ /b [L]\n",
     {{"/a", {{"User-Agent", "Mozilla/5.0"}}, "/b"},
      {"/a", {{"User-Agent", "Googlebot/2.1"}}, "/a"},
      {"/a", {{"User-Agent", "bot"}}, "/a"},
      {"/a", {}, "/b"}}},
    {"negated-pattern",
     H "RewriteCond User-Agent: !^Monitor\nRewriteRule ^/a$ /b [L]\n",
     H "RewriteCond User-Agent: ^(?!Monitor).*$\nRewriteRule ^/a$ /b [L]\n",
     {{"/a", {{"User-Agent", "Monitor/2"}}, "/a"}, {"/a", {{"User-Agent", "XMonitor"}}, "/b"}}},
    {"negated-pattern",
     H "RewriteCond User-Agent: !^a|b$\nRewriteRule ^/a$ /b [L]\n",
     H "RewriteCond User-Agent: ^(?!.*(?:^a|b$)).*$\nRewriteRule ^/a$ /b [L]\n",
     {{"/a", {{"User-Agent", "ax"}}, "/a"},
      {"/a", {{"User-Agent", "xb"}}, "/a"},
      {"/a", {{"User-Agent", "xa"}}, "/b"},
      {"/a", {{"User-Agent", "bx"}}, "/b"}}},
    {"negated-pattern",
     H "RewriteCond Host: !^www\\.\nRewriteRule ^/(.*)$ /w/$1 [I]\n",
     H "RewriteCond Host: ^(?!www\\.).*$\nRewriteRule ^/(.*)$ /w/$1 [I]\n",
     {{"/x", {{"Host", "WWW.example.com"}}, "/x"}, {"/x", {{"Host", "example.com"}}, "/w/x"}}},
    // Apache's variables. REQUEST_URI is the decoded path, its pattern found anywhere in it:
    // a condition on the URL with O, the query outside the test.
    {"braced-variable",
     H "RewriteCond %{REQUEST_URI} ^/api/.*\nRewriteRule ^/(.*)$ /v1/$1 [L]\n",
     H "RewriteCond URL ^/api/[^?]*(?:\\?.*)?$ [O]\nRewriteRule ^/(.*)$ /v1/$1 [L]\n",
     {{"/api/x", {}, "/v1/api/x"},
      {"/api/x?y=1", {}, "/v1/api/x?y=1"},
      {"/%61pi/x", {}, "/v1/%61pi/x"},
      {"/web?/api/", {}, "/web?/api/"}}},
    {"unknown-variable",
     H "RewriteCond %REQUEST_URI (.+)/$\nRewriteRule ^/.*$ $1 [R=301]\n",
     H "RewriteCond URL ^[^?]*?([^?]+)/(?:\\?.*)?$ [O]\nRewriteRule ^/.*$ $1 [R=301]\n",
     {{"/a/b/", {}, "301 /a/b"}, {"/a/b/?x=1", {}, "301 /a/b"}, {"/a?b/", {}, "/a?b/"}}},
    {"braced-variable",
     H "RewriteCond %{REQUEST_URI} !=/favicon.ico\nRewriteRule ^/.*$ /index.php [L]\n",
     H "RewriteCond URL ^(?!/favicon\\.ico(?:\\?.*)?$).*$ [O]\nRewriteRule ^/.*$ /index.php [L]\n",
     {{"/favicon.ico", {}, "/favicon.ico"},
      {"/favicon%2Eico?v=2", {}, "/favicon%2Eico?v=2"},
      {"/favicon.ico.bak", {}, "/index.php"}}},
    {"braced-variable",
     H "RewriteCond %{REQUEST_URI} !/core/[^/]*\\.php$\nRewriteRule ^/.*$ / [F]\n",
     H "RewriteCond URL ^(?![^?]*?/core/[^?/]*\\.php(?:\\?.*)?$).*$ [O]\nRewriteRule ^/.*$ / [F]\n",
     {{"/core/a.php", {}, "/core/a.php"},
      {"/core/a.php?x=/b", {}, "/core/a.php?x=/b"},
      {"/core/x/a.php", {}, "403"},
      {"/x/core/a.php", {}, "/x/core/a.php"}}},
    {"braced-variable",
     H
     "RewriteCond %{HTTP:X-Forwarded-Proto} ^http$\nRewriteRule ^(/.*)$ https://e.com$1 [R=301]\n",
     H "RewriteCond X-Forwarded-Proto: ^http$\nRewriteRule ^(/.*)$ https://e.com$1 [R=301]\n",
     {{"/a", {{"X-Forwarded-Proto", "http"}}, "301 https://e.com/a"},
      {"/a", {{"X-Forwarded-Proto", "https"}}, "/a"},
      {"/a", {}, "/a"}}},
    {"braced-variable",
     H "RewriteCond %{HTTPS} ^off$\nRewriteRule ^(/.*)$ https://e.com$1 [R]\n",
     H "RewriteCond %HTTPS ^off$\nRewriteRule ^(/.*)$ https://e.com$1 [R]\n",
     {{"/a", {}, "302 https://e.com/a"}, {"/a", {}, "/a", true}}},
    {"unknown-variable",
     H "RewriteCond %REMOTE_ADR ^10\\.0\\.0\\.1$\nRewriteRule ^/a$ / [F]\n",
     H "RewriteCond %REMOTE_ADDR ^10\\.0\\.0\\.1$\nRewriteRule ^/a$ / [F]\n",
     {{"/a", {}, "403", false, {{"REMOTE_ADDR", "10.0.0.1"}}},
      {"/a", {}, "/a", false, {{"REMOTE_ADDR", "10.0.0.2"}}}}},
    {"braced-variable",
     H "RewriteCond %{REMOTE_ADR} ^10\\.0\\.0\\.1$\nRewriteRule ^/a$ / [F]\n",
     H "RewriteCond %REMOTE_ADDR ^10\\.0\\.0\\.1$\nRewriteRule ^/a$ / [F]\n",
     {{"/a", {}, "403", false, {{"REMOTE_ADDR", "10.0.0.1"}}},
      {"/a", {}, "/a", false, {{"REMOTE_ADDR", "10.0.0.2"}}}}},
    {"braced-variable",
     H "RewriteCond %{SERVER_ADDR} ^10\\.0\\.0\\.1$\nRewriteRule ^/a$ / [F]\n",
     H "RewriteCond %LOCAL_ADDR ^10\\.0\\.0\\.1$\nRewriteRule ^/a$ / [F]\n",
     {{"/a", {}, "403", false, {{"LOCAL_ADDR", "10.0.0.1"}}},
      {"/a", {}, "/a", false, {{"LOCAL_ADDR", "10.0.0.2"}}}}},
    {"braced-variable",
     H "RewriteCond %{DOCUMENT_ROOT} ^/srv/www$\nRewriteRule ^/a$ / [F]\n",
     H "RewriteCond %APPL_PHYSICAL_PATH ^/srv/www$\nRewriteRule ^/a$ / [F]\n",
     {{"/a", {}, "403", false, {{"APPL_PHYSICAL_PATH", "/srv/www"}}}}},
    {"braced-variable",
     H "RewriteCond %{SCRIPT_FILENAME} !-f\nRewriteRule ^/.*$ /index.php [L]\n",
     H "RewriteCond %REQUEST_FILENAME !-f\nRewriteRule ^/.*$ /index.php [L]\n",
     {}},
    {"bad-subject",
     H "RewriteCond %HTTP:X-Forwarded-Proto ^http$\nRewriteRule ^/a$ /b [L]\n",
     H "RewriteCond X-Forwarded-Proto: ^http$\nRewriteRule ^/a$ /b [L]\n",
     {{"/a", {{"X-Forwarded-Proto", "http"}}, "/b"},
      {"/a", {{"X-Forwarded-Proto", "https"}}, "/a"}}},
    // Apache's quotes.
    {"quoted-pattern",
     H "RewriteCond Host: \"^www\\.e\\.com$\"\nRewriteRule ^/(.*)$ /w/$1\n",
     H "RewriteCond Host: ^www\\.e\\.com$\nRewriteRule ^/(.*)$ /w/$1\n",
     {{"/x", {{"Host", "www.e.com"}}, "/w/x"}, {"/x", {{"Host", "e.com"}}, "/x"}}},
    {"quoted-substitution",
     H "RewriteRule ^/a$ \"/b\" [L]\n",
     H "RewriteRule ^/a$ /b [L]\n",
     {{"/a", {}, "/b"}}},
    // Apache's per-directory rules see the decoded path without its slash and keep the query
    // unless the substitution writes one: each becomes one rule on the whole URL, with O.
    {"never-matches",
     H "RewriteRule ^old$ /new [R=301]\n",
     H "RewriteRule ^/old(\\?.*)?$ /new$1 [O,R=301]\n",
     {{"/old", {}, "301 /new"}, {"/old?x=1", {}, "301 /new?x=1"}, {"/older", {}, "/older"}}},
    {"never-matches",
     H "RewriteRule ^blog/(.*) /news/$1 [L]\n",
     H "RewriteRule ^/blog/([^?]*)[^?]*(\\?.*)?$ /news/$1$2 [O,L]\n",
     {{"/blog/a", {}, "/news/a"}, {"/blog/a?x=1", {}, "/news/a?x=1"}, {"/blogs", {}, "/blogs"}}},
    {"never-matches",
     H "RewriteRule ^ index.php [L]\n",
     H "RewriteRule ^/[^?]*(\\?.*)?$ /index.php$1 [O,L]\n",
     {{"/", {}, "/index.php"}, {"/a/b?c", {}, "/index.php?c"}}},
    {"never-matches",
     H "RewriteRule ^$ /home [L]\n",
     H "RewriteRule ^/(\\?.*)?$ /home$1 [O,L]\n",
     {{"/", {}, "/home"}, {"/?a=1", {}, "/home?a=1"}, {"/x", {}, "/x"}}},
    {"never-matches",
     H "RewriteRule \\.(?:gif|png)$ - [F]\n",
     H "RewriteRule ^/[^?]*?\\.(?:gif|png)(?:\\?.*)?$ - [O,F,I]\n",
     {{"/a/b.png", {}, "403"},
      {"/a/B.PNG", {}, "403"},
      {"/a/b.png?x", {}, "403"},
      {"/a%2Epng", {}, "403"},
      {"/b.pngx", {}, "/b.pngx"},
      {"/b?.png", {}, "/b?.png"}}},
    {"whole-url-match",
     H "RewriteRule . /index.php [L]\n",
     H "RewriteRule ^/[^?]*?[^?][^?]*(\\?.*)?$ /index.php$1 [O,L]\n",
     {{"/", {}, "/"}, {"/?x=1", {}, "/?x=1"}, {"/a?x=1", {}, "/index.php?x=1"}}},
    {"quoted-pattern",
     H "RewriteRule \"/\\.|^\\.(?!well-known/)\" - [F]\n",
     H "RewriteRule ^/(?:[^?]*?/\\.[^?]*|\\.(?!well-known/)[^?]*)(?:\\?.*)?$ - [O,F]\n",
     {{"/.git/config", {}, "403"},
      {"/a/.b", {}, "403"},
      {"/.well-known/x", {}, "/.well-known/x"},
      {"/a.b/c", {}, "/a.b/c"},
      {"/a?/.x", {}, "/a?/.x"},
      {"/%2Egit", {}, "403"}}},
    {"bad-flags",
     H "RewriteRule \"^(.+/.*|autoload)\\.php($|/)\" - [F,NC]\n",
     H "RewriteRule ^/([^?]+/[^?]*|autoload)\\.php((?![^?])|/)[^?]*(?:\\?.*)?$ - [O,F,I]\n",
     {{"/a/b.php", {}, "403"},
      {"/AUTOLOAD.PHP?x", {}, "403"},
      {"/a/b.php/c", {}, "403"},
      {"/a/b.phps", {}, "/a/b.phps"},
      {"/b.php", {}, "/b.php"}}},
    // Groups: $N after the conditions' groups, %N those of the last condition that matched.
    {"bad-flags",
     H "RewriteCond %{HTTP_HOST} ^(.+)$\nRewriteRule ^shop/([0-9]+)$ item.php?id=$1&h=%1 [QSA,L]\n",
     H "RewriteCond %HTTP_HOST ^(.+)$\n"
       "RewriteRule ^/shop/([0-9]+)(?:\\?(.*))?$ /item.php\\?id=$2&h=$1(?3&$3) [O,L]\n",
     {{"/shop/7", {}, "/item.php?id=7&h=e.com", false, {{"HTTP_HOST", "e.com"}}},
      {"/shop/7?a=b", {}, "/item.php?id=7&h=e.com&a=b", false, {{"HTTP_HOST", "e.com"}}},
      {"/shop/7x", {}, "/shop/7x", false, {{"HTTP_HOST", "e.com"}}}}},
    {"relative-substitution",
     H "RewriteBase /blog/\nRewriteRule ^(.*)$ index.php/$1 [L]\n",
     H "RewriteRule ^/([^?]*)(\\?.*)?$ /blog/index.php/$1$2 [O,L]\n",
     {{"/a?b=1", {}, "/blog/index.php/a?b=1"}}},
    // [OR]: one rule for each condition joined, the rule ending the pass (once the conditions'
    // subjects are written as here).
    {"braced-variable",
     H "RewriteCond %{REQUEST_URI} ^(.*)/install\\.php [OR]\n"
       "RewriteCond %{REQUEST_URI} ^(.*)/rebuild\\.php\n"
       "RewriteRule ^ %1/core/ [R=301,L]\n",
     H "RewriteCond URL ^([^?]*)/install\\.php[^?]*(?:\\?.*)?$ [O]\n"
       "RewriteRule ^/[^?]*(\\?.*)?$ $1/core/$2 [O,R=301,L]\n"
       "RewriteCond URL ^([^?]*)/rebuild\\.php[^?]*(?:\\?.*)?$ [O]\n"
       "RewriteRule ^/[^?]*(\\?.*)?$ $1/core/$2 [O,R=301,L]\n",
     {{"/a/install.php?x=1", {}, "301 /a/core/?x=1"},
      {"/a/rebuild.php", {}, "301 /a/core/"},
      {"/a/other.php", {}, "/a/other.php"}}},
    // A rule that only sets environment variables goes, with its conditions.
    {"bad-flags",
     H "RewriteCond %{HTTP:Authorization} .\n"
       "RewriteRule .* - [E=HTTP_AUTHORIZATION:%{HTTP:Authorization}]\n"
       "RewriteRule ^/a$ /b [L]\n",
     H "RewriteRule ^/a$ /b [L]\n",
     {{"/a", {{"Authorization", "Basic x"}}, "/b"}}},
    // Lines that only make Apache run its rules go; the header goes first.
    {"no-section",
     "<IfModule mod_rewrite.c>\nRewriteEngine On\nRewriteRule ^/a$ /b [L]\n</IfModule>\n",
     H "RewriteRule ^/a$ /b [L]\n",
     {{"/a", {}, "/b"}}},
    // A per-directory substitution, without its slash.
    {"relative-substitution",
     H "RewriteRule ^/(.*)$ index.php [L]\n",
     H "RewriteRule ^/(.*)$ /index.php [L]\n",
     {{"/a", {}, "/index.php"}}},
    // A refusal on a file system that ignores case.
    {"case-sensitive-refusal",
     H "RewriteRule ^/private/.*$ / [O,F]\n",
     H "RewriteRule ^/private/.*$ / [O,F,I]\n",
     {{"/private/a", {}, "403"}, {"/PRIVATE/a", {}, "403"}, {"/public/a", {}, "/public/a"}}},
    // A file test on another subject: what the filter tests.
    {"file-test",
     H "RewriteCond %SCRIPT_FILENAME !-f\nRewriteRule ^/.*$ /index.php [L]\n",
     H "RewriteCond %REQUEST_FILENAME !-f\nRewriteRule ^/.*$ /index.php [L]\n",
     {}},
};

class PastedTest : public testing::DirectoryTest {};

TEST_F(PastedTest, EachHintAppliedGivesACleanFileThatAnswersAsApache) {
  for (const HintCase& c : kHintCases) {
    SCOPED_TRACE(c.pasted);
    const auto found = CheckConfigText(c.pasted, "f.ini", {});
    const auto diagnostic = std::find_if(found.begin(), found.end(), [&c](const Diagnostic& d) {
      return d.code == c.code && d.fixFirstLine != 0;
    });
    ASSERT_NE(diagnostic, found.end()) << c.code;
    const std::string fixed = ApplyHints(c.pasted, {});
    EXPECT_EQ(fixed, c.fixed) << diagnostic->hint;
    for (const Diagnostic& d : CheckConfigText(fixed, "f.ini", {})) {
      ADD_FAILURE() << "not clean:\n" << FormatText(d);
    }
    Put("httpd.ini", fixed);
    InProcessFilter filter(directory_);
    for (const Exchange& e : c.exchanges) {
      SCOPED_TRACE(e.url);
      MemoryRequest request;
      request.url = e.url;
      request.headers = e.headers;
      request.secure = e.secure;
      for (const auto& [name, value] : e.variables) request.serverVariables[name] = value;
      const RequestOutcome outcome = filter.Run(request, false);
      std::string got = outcome.passedOn.url;
      if (outcome.kind == RequestOutcome::Kind::Answered) {
        got = std::to_string(outcome.status) +
              (outcome.location.empty() ? "" : " " + outcome.location);
      }
      EXPECT_EQ(got, e.expected);
    }
  }
}

// Where Apache's meaning has no exact spelling here, the hint is advice: applying the hints
// leaves the line as it is, and the file keeps the diagnostic.
TEST(PastedAdviceTest, LinesWithoutAnExactSpellingAreLeftAsTheyAre) {
  const struct {
    const char* code;
    std::string pasted;
    const char* kept;  // a line that every round leaves
  } cases[] = {
      // Rules that do not end the pass: the copies of a split could both apply.
      {"bad-flags",
       H "RewriteCond URL ^/a.*$ [OR]\nRewriteCond URL ^/b.*$\nRewriteRule ^/(.*)$ /c/$1\n",
       "RewriteCond URL ^/a.*$ [OR]"},
      // "Off" stops Apache's rules: removing the line would start them here.
      {"unknown-directive", H "RewriteEngine Off\nRewriteRule ^/a$ /b [L]\n", "RewriteEngine Off"},
      // A start of the path inside a group; a map; a flag with no equivalent; E= beside a
      // substitution.
      {"never-matches", H "RewriteRule ^(a|^b) /x [L]\n", "RewriteRule ^(a|^b) /x [L]"},
      {"never-matches", H "RewriteRule ^a$ ${map:x} [L]\n", "RewriteRule ^a$ ${map:x} [L]"},
      {"bad-flags", H "RewriteRule ^a$ /b [L,T=text/html]\n", "RewriteRule ^a$ /b [L,T=text/html]"},
      {"bad-flags", H "RewriteRule ^/a$ /b [E=X:1,L]\n", "RewriteRule ^/a$ /b [E=X:1,L]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pasted);
    const std::string applied = ApplyHints(c.pasted, {});
    EXPECT_NE(applied.find(std::string(c.kept) + "\n"), std::string::npos) << applied;
    const auto left = CheckConfigText(applied, "f.ini", {});
    EXPECT_TRUE(std::any_of(left.begin(), left.end(), [&c](const Diagnostic& d) {
      return d.code == c.code && d.fixFirstLine == 0;
    })) << c.code;
  }
}

// Fixes apply where no earlier one changed the lines; a changed line ends with a line feed.
TEST(PastedAdviceTest, FixesThatOverlapWaitForTheNextRound) {
  Diagnostic both, first, second;
  both.fixFirstLine = 1, both.fixLastLine = 2, both.fixText = "AB\n";
  first.fixFirstLine = first.fixLastLine = 2, first.fixText = "B\n";
  second.fixFirstLine = second.fixLastLine = 3, second.fixText = "c\n";
  EXPECT_EQ(ApplyFixes("a\r\nb\nc", {both, first, second}), "AB\nc\n");
  EXPECT_EQ(ApplyFixes("a\r\nb\nc", {first, both}), "a\r\nB\nc");
  EXPECT_EQ(ApplyFixes("a\nb\n", {second}), "a\nb\n");  // a line the file does not have
}

// The front-controller blocks of three widespread applications, pasted as they are below the
// section header: every line that would behave differently here is explained.
TEST(PastedBlocksTest, StrictExplainsEveryLineOfTheFrontControllerBlocks) {
  const char* const blocks[] = {
      // WordPress
      "# BEGIN WordPress\n"
      "<IfModule mod_rewrite.c>\n"
      "RewriteEngine On\n"
      "RewriteRule .* - [E=HTTP_AUTHORIZATION:%{HTTP:Authorization}]\n"
      "RewriteBase /\n"
      "RewriteRule ^index\\.php$ - [L]\n"
      "RewriteCond %{REQUEST_FILENAME} !-f\n"
      "RewriteCond %{REQUEST_FILENAME} !-d\n"
      "RewriteRule . /index.php [L]\n"
      "</IfModule>\n"
      "# END WordPress\n",
      // Drupal
      "<IfModule mod_rewrite.c>\n"
      "  RewriteEngine on\n"
      "  RewriteRule ^ - [E=protossl]\n"
      "  RewriteCond %{HTTPS} on\n"
      "  RewriteRule ^ - [E=protossl:s]\n"
      "  RewriteRule .* - [E=HTTP_AUTHORIZATION:%{HTTP:Authorization}]\n"
      "  RewriteRule \"/\\.|^\\.(?!well-known/)\" - [F]\n"
      "  RewriteCond %{REQUEST_FILENAME} !-f\n"
      "  RewriteCond %{REQUEST_FILENAME} !-d\n"
      "  RewriteCond %{REQUEST_URI} !=/favicon.ico\n"
      "  RewriteRule ^ index.php [L]\n"
      "  RewriteCond %{REQUEST_URI} !/core/[^/]*\\.php$\n"
      "  RewriteCond %{REQUEST_URI} !/core/modules/system/tests/https?\\.php\n"
      "  RewriteRule \"^(.+/.*|autoload)\\.php($|/)\" - [F]\n"
      "</IfModule>\n",
      // Laravel
      "<IfModule mod_rewrite.c>\n"
      "    <IfModule mod_negotiation.c>\n"
      "        Options -MultiViews -Indexes\n"
      "    </IfModule>\n"
      "\n"
      "    RewriteEngine On\n"
      "\n"
      "    # Handle Authorization Header\n"
      "    RewriteCond %{HTTP:Authorization} .\n"
      "    RewriteRule .* - [E=HTTP_AUTHORIZATION:%{HTTP:Authorization}]\n"
      "\n"
      "    # Redirect Trailing Slashes If Not A Folder...\n"
      "    RewriteCond %{REQUEST_FILENAME} !-d\n"
      "    RewriteCond %{REQUEST_URI} (.+)/$\n"
      "    RewriteRule ^ %1 [L,R=301]\n"
      "\n"
      "    # Send Requests To Front Controller...\n"
      "    RewriteCond %{REQUEST_FILENAME} !-d\n"
      "    RewriteCond %{REQUEST_FILENAME} !-f\n"
      "    RewriteRule ^ index.php [L]\n"
      "</IfModule>\n",
  };
  for (const char* block : blocks) {
    const std::string text = std::string(H) + block;
    const auto found = CheckConfigText(text, "f.ini", {});
    std::vector<bool> explained;
    for (const Diagnostic& d : found) {
      if (explained.size() <= d.line) explained.resize(d.line + 1);
      explained[d.line] = true;
    }
    uint32_t number = 1;
    for (size_t at = sizeof(H) - 1; at < text.size(); at = text.find('\n', at) + 1) {
      ++number;
      const std::string line = text.substr(at, text.find('\n', at) - at);
      const size_t first = line.find_first_not_of(' ');
      if (first == std::string::npos || line[first] == '#') continue;
      EXPECT_TRUE(number < explained.size() && explained[number])
          << "line " << number << " unexplained: " << line;
    }
  }
}

}  // namespace
}  // namespace vortane::tools
