#include "tools/runner/in_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "config/parser.h"
#include "rules/rule_pass.h"
#include "tests/support/directory_test.h"

namespace vortane::tools {
namespace {

class InProcessTest : public testing::DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    Put("httpd.ini",
        "[Vortane]\n"
        "RewriteCond Host: ^www\\.example\\.com$\n"
        "RewriteRule ^(/.*)$ http://example.com$1 [R]\n"           // line 3
        "RewriteRule ^/admin.*$ / [F]\n"                           // line 4
        "RewriteRule ^/help/(\\w+)$ /help.asp\\?topic=$1 [U]\n");  // line 5
    std::filesystem::create_directory(directory_ / "site");
    Put("site/httpd.ini", "[Vortane]\nRewriteRule ^/old$ /new\n");  // line 2
    Put("sites.txt", "1 " + (directory_ / "site").u8string() + "\n");
  }

  std::string Global() const { return (directory_ / "httpd.ini").u8string(); }
  std::string Site() const { return (directory_ / "site" / "httpd.ini").u8string(); }
};

TEST_F(InProcessTest, ReportsWhatTheFilterDidAndWhichRuleDecided) {
  struct Case {
    std::string url, host;
    uint32_t siteId;
    RequestOutcome::Kind kind;
    int status;
    std::string location, passedUrl;
    std::optional<RuleRef> decidedBy;
  };
  const Case cases[] = {
      {"/a?b=1", "www.example.com", 1, RequestOutcome::Kind::Answered, 302,
       "http://example.com/a?b=1", "", RuleRef{Global(), 3}},
      {"/admin/x", "example.com", 1, RequestOutcome::Kind::Answered, 403, "", "",
       RuleRef{Global(), 4}},
      {"/help/faq", "example.com", 1, RequestOutcome::Kind::PassedOn, 0, "", "/help.asp?topic=faq",
       RuleRef{Global(), 5}},
      // The site's rules come from the site table beside the global file.
      {"/old", "example.com", 1, RequestOutcome::Kind::PassedOn, 0, "", "/new", RuleRef{Site(), 2}},
      {"/old", "example.com", 2, RequestOutcome::Kind::PassedOn, 0, "", "/old", std::nullopt},
  };
  InProcessFilter filter(directory_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " site " + std::to_string(c.siteId));
    MemoryRequest request;
    request.url = c.url;
    request.siteId = c.siteId;
    request.headers = {{"Host", c.host}};
    const RequestOutcome outcome = filter.Run(request, false);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.location, c.location);
    if (c.kind == RequestOutcome::Kind::PassedOn) {
      EXPECT_EQ(outcome.passedOn.url, c.passedUrl);
    }
    EXPECT_EQ(outcome.decidedBy, c.decidedBy);
    EXPECT_TRUE(outcome.trace.empty());
  }
  // Global rules first, then the site's, each in file order.
  const std::vector<RuleRef> loaded = {{Global(), 3}, {Global(), 4}, {Global(), 5}, {Site(), 2}};
  EXPECT_EQ(filter.LoadedRules(), loaded);
}

TEST_F(InProcessTest, RecordsEveryMatchTheLogAndTheTrace) {
  InProcessFilter filter(directory_);
  MemoryRequest request;
  request.url = "/help/faq";
  const RequestOutcome outcome = filter.Run(request, true);
  const std::vector<RuleRef> matched = {RuleRef{Global(), 5}};
  EXPECT_EQ(outcome.matched, matched);
  EXPECT_FALSE(outcome.logDisabled);
  EXPECT_EQ(outcome.logTarget, "/help/faq");
  EXPECT_NE(outcome.trace.find("    line 5: URL [U]\n      target URL \"/help/faq\"\n"
                               "      matched: $0 \"/help/faq\", $1 \"faq\"\n"),
            std::string::npos)
      << outcome.trace;
  request.url = "/other";
  EXPECT_TRUE(filter.Run(request, false).logDisabled);
}

TEST_F(InProcessTest, TracesAKeptValueAndARedirectsStatus) {
  Put("site/httpd.ini",
      "[Vortane]\nRewriteRule ^/keep$ - [U]\nRewriteRule ^/keep$ /moved [R=308]\n");
  InProcessFilter filter(directory_);
  MemoryRequest request;
  request.url = "/keep";
  const RequestOutcome outcome = filter.Run(request, true);
  EXPECT_EQ(outcome.status, 308);
  EXPECT_EQ(outcome.location, "/moved");
  EXPECT_EQ(outcome.response, "HTTP/1.1 308 Permanent Redirect\r\nLocation: /moved\r\n\r\n");
  for (const char* shown :
       {"    line 2: URL [U]\n      target URL \"/keep\"\n      matched: $0 \"/keep\"\n"
        "      nothing written (substitution '-': URL kept)\n      result Matched; pass Matched\n",
        "    line 3: URL [R=308]\n", "  end (stopped): Matched|Stop|Redirect=308\n"}) {
    EXPECT_NE(outcome.trace.find(shown), std::string::npos) << shown << outcome.trace;
  }
}

// The tools run the pass the library runs, through the configuration's index: each request's
// outcome is the one the pass visiting every rule gives, and the trace shows the rules the
// index passed over. A visit through the index that leaves out a rule that could match, or
// misses the candidates of a URL a rule rewrote, gives another outcome here.
class InProcessIndexTest : public testing::DirectoryTest {};

TEST_F(InProcessIndexTest, OutcomesAreThoseOfThePassOverEveryRule) {
  const std::string config =
      "[Vortane]\n"
      "RewriteRule ^/old/(.*)$ /new/$1\n"          // line 2: indexed
      "RewriteRule ^([^?]*?)//+(.*)$ $1/$2 [N]\n"  // line 3: not indexed, restarts
      "RewriteRule ^/new/a$ /final [R]\n"          // line 4: only after line 2 rewrote
      "RewriteRule ^/x/(\\d+)$ /y.asp\\?id=$1 [L]\n"
      "RewriteRule ^/Case$ /case-sensitive\n"
      "RewriteRule ^/blog/(.*)$ /posts/$1 [I,R]\n";
  Put("httpd.ini", config);
  ParseReport ignored([](std::string_view) {});
  const ParsedConfig parsed = ParseConfigText(config, {0, 32}, ignored);
  ASSERT_EQ(parsed.rules.size(), 6u);
  const std::atomic<int32_t> repeatLimit{32};

  InProcessFilter filter(directory_);
  for (const char* url : {"/old/a", "//old//a", "/old/b", "/x/7", "/Case", "/case", "/BLOG/x",
                          "/nothing", "/new/a"}) {
    SCOPED_TRACE(url);
    MemoryRequest request;
    request.url = url;
    std::vector<Rule> rules = parsed.rules;
    MemoryServer plain(request);
    const uint32_t result =
        RunRulePass(rules, repeatLimit, plain.Context(), plain.PreprocHeaders());
    const RequestOutcome outcome = filter.Run(request, true);
    if ((result & RuleResult::Redirect) != 0) {
      EXPECT_EQ(outcome.kind, RequestOutcome::Kind::Answered);
      EXPECT_EQ(outcome.location, plain.Request().url);
    } else {
      EXPECT_EQ(outcome.kind, RequestOutcome::Kind::PassedOn);
      EXPECT_EQ(outcome.passedOn.url, plain.Request().url);
    }
  }
  // The rule on line 4 is a candidate only for URLs that start with "/new/a".
  MemoryRequest request;
  request.url = "/x/7";
  EXPECT_NE(filter.Run(request, true)
                .trace.find("    line 4: URL [R]\n"
                            "      skipped by the index, the URL does not start with \"/new/a\": "
                            "result NoMatch; pass NoMatch\n"),
            std::string::npos);
}

}  // namespace
}  // namespace vortane::tools
