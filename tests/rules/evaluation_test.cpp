// One rule over one request, through the in-memory server.
#include "rules/evaluation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "memory_server/memory_server.h"
#include "platform/tick.h"
#include "rules/request_context.h"
#include "rules/trace.h"
#include "tests/support/rule_builder.h"

namespace vortane {
namespace {

using testing::ConditionLine;
using testing::MakeRule;

MemoryRequest SampleRequest() {
  MemoryRequest request;
  request.method = "GET";
  request.url = "/old/page.html?x=1";
  request.headers = {{"Host", "www.example.com"}, {"User-Agent", "Mozilla/5.0 (X11)"}};
  request.serverVariables = {{"SERVER_NAME", "example.com"}};
  return request;
}

// A server for the sample request whose request block is in place, as the request handling
// leaves it before the rules run.
class EvaluationTest : public ::testing::Test {
 protected:
  EvaluationTest() : server_(SampleRequest()) {
    block_ = static_cast<RequestContext*>(
        server_.Context()->AllocMem(server_.Context(), sizeof(RequestContext), 0));
    std::memset(block_, 0, sizeof(RequestContext));
    server_.Context()->pFilterContext = block_;
  }

  // The names of the result bits (rules/trace.h), as a pass shares one set of buffers between
  // its evaluations.
  std::string Evaluate(const Rule& rule) {
    return ResultNames(EvaluateRule(rule, server_.Context(), server_.PreprocHeaders(), scratch_));
  }

  MemoryServer server_;
  EvaluationScratch scratch_;
  RequestContext* block_ = nullptr;
};

struct Case {
  const char* name;
  std::vector<ConditionLine> conditions;
  const char* pattern;
  const char* format;
  const char* letters;
  const char* target;
  const char* result;  // the names of its bits
  const char* url;     // the URL afterwards
};

const Case kCases[] = {
    {"rewrite", {}, "^/old/(.*)$", "/new/$1", "", "URL", "Matched", "/new/page.html?x=1"},
    {"a partial match is no match", {}, "/old", "/x", "", "URL", "NoMatch", "/old/page.html?x=1"},
    {"last", {}, "^/old/.*", "/a", "L", "URL", "Matched|Stop", "/a"},
    {"restart", {}, "^/old/.*", "/a", "N", "URL", "Matched|Restart", "/a"},
    {"last and restart", {}, "^/old/.*", "/a", "L,N", "URL", "Matched|Stop|Restart", "/a"},
    {"redirect and restart",
     {},
     "^/old/.*",
     "/a",
     "R,N",
     "URL",
     "Matched|Stop|Redirect|Restart",
     "/a"},
    {"forbidden with redirect writes nothing",
     {},
     "^/old/.*",
     "/a",
     "F,R",
     "URL",
     "Matched|Stop|Redirect|Forbidden",
     "/old/page.html?x=1"},
    {"U marks the request",
     {},
     "^/old/(.*)",
     "/b/$1",
     "U",
     "URL",
     "Matched|LogMark",
     "/b/page.html?x=1"},
    {"U with R does not",
     {},
     "^/old/(.*)",
     "/b/$1",
     "U,R",
     "URL",
     "Matched|Stop|Redirect",
     "/b/page.html?x=1"},
    {"subject joins values with LF",
     {{"X-Missing:", "^$"}, {"SERVER_NAME", "^example\\.com$", true}},
     "^/old/.*",
     "$&",
     "",
     "URL",
     "Matched",
     "%0Aexample.com%0A/old/page.html?x=1"},  // control bytes reach the URL escaped
    {"conditions combine by AND",
     {{"Host:", "^www\\..*"}, {"User-Agent:", ".*Googlebot.*"}},
     ".*",
     "/bot",
     "",
     "URL",
     "NoMatch",
     "/old/page.html?x=1"},
    {"groups number from the first condition",
     {{"Host:", "^www\\.(.*)$"}},
     "^/old/(.*)$",
     "/$1/$2",
     "",
     "URL",
     "Matched",
     "/example.com/page.html?x=1"},
    {"I folds a condition's case",
     {{"User-Agent:", "MOZILLA.*"}},
     ".*",
     "/m",
     "I",
     "URL",
     "Matched",
     "/m"},
    {"without I case matters",
     {{"User-Agent:", "MOZILLA.*"}},
     ".*",
     "/m",
     "",
     "URL",
     "NoMatch",
     "/old/page.html?x=1"},
    {"a dot star stays in its segment",
     {{"Host:", ".*"}},
     "^/old/.*",
     "/h",
     "",
     "URL",
     "Matched",
     "/h"},
    {"R=301 gives its status",
     {},
     "^/old/.*",
     "/a",
     "R=301",
     "URL",
     "Matched|Stop|Redirect=301",
     "/a"},
    {"R=308 with N",
     {},
     "^/old/.*",
     "/a",
     "R=308,N",
     "URL",
     "Matched|Stop|Redirect=308|Restart",
     "/a"},
    {"R=302 is R", {}, "^/old/.*", "/a", "R=302", "URL", "Matched|Stop|Redirect", "/a"},
    {"a status without R is not a redirect",
     {},
     "^/old/.*",
     "/a",
     "L",
     "URL",
     "Matched|Stop",
     "/a"},
    {"- keeps the URL", {}, "^/old/.*", "-", "", "URL", "Matched", "/old/page.html?x=1"},
    {"- with L stops", {}, "^/old/.*", "-", "L", "URL", "Matched|Stop", "/old/page.html?x=1"},
    {"- with N restarts", {}, "^/old/.*", "-", "N", "URL", "Matched|Restart", "/old/page.html?x=1"},
    {"- with U marks nothing", {}, "^/old/.*", "-", "U", "URL", "Matched", "/old/page.html?x=1"},
    {"- with R=303 redirects to the URL kept",
     {},
     "^/old/.*",
     "-",
     "R=303",
     "URL",
     "Matched|Stop|Redirect=303",
     "/old/page.html?x=1"},
    {"- with F refuses",
     {},
     "^/old/.*",
     "-",
     "F",
     "URL",
     "Matched|Stop|Forbidden",
     "/old/page.html?x=1"},
    {"- no match", {}, "^/new/.*", "-", "L", "URL", "NoMatch", "/old/page.html?x=1"},
    {"- among other bytes is written", {}, "^/old/.*", "-/", "", "URL", "Matched", "-/"},
    {"an empty substitution is written", {}, ".*", "?9x", "", "URL", "Matched", ""},
    {"a NUL byte ends the value written", {}, ".*", "/a\\0b", "", "URL", "Matched", "/a"},
    {"the URL rule reads with GetHeader",
     {},
     "^/old/page\\.html\\?x=1$",
     "/q",
     "",
     "url",
     "Matched",
     "/q"},
};

TEST_F(EvaluationTest, Table) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    server_.StartRequest(SampleRequest());
    const Rule rule = MakeRule(c.conditions, c.pattern, c.format, c.letters, c.target);
    EXPECT_EQ(Evaluate(rule), c.result);
    EXPECT_EQ(server_.Request().url, c.url);
    EXPECT_FALSE(rule.IsDisabled());
  }
}

TEST_F(EvaluationTest, RewriteHeaderOnTheMethodAndAHeader) {
  EXPECT_EQ(Evaluate(MakeRule({}, "GET", "POST", "", "METHOD")), "Matched");
  EXPECT_EQ(server_.Request().method, "POST");
  EXPECT_EQ(Evaluate(MakeRule({}, "Mozilla(.*)", "Robot$1", "", "User-Agent:")), "Matched");
  EXPECT_EQ(server_.Header("user-agent"), "Robot/5.0 (X11)");
  // "-" keeps the header's value.
  EXPECT_EQ(Evaluate(MakeRule({}, "Robot(.*)", "-", "", "User-Agent:")), "Matched");
  EXPECT_EQ(server_.Header("user-agent"), "Robot/5.0 (X11)");
  // A header that is absent is matched as empty text, and written all the same.
  EXPECT_EQ(Evaluate(MakeRule({}, "^$", "added", "", "X-New:")), "Matched");
  EXPECT_EQ(server_.Header("X-New"), "added");
}

TEST_F(EvaluationTest, ReadsOnlyTheValuesARuleCanStillMatch) {
  struct ReadCase {
    std::vector<ConditionLine> conditions;
    const char* pattern;
    const char* result;
    unsigned headerReads;  // the URL and the headers read
    unsigned variableReads;
  };
  const ReadCase cases[] = {
      // Refused on the URL: no condition is read.
      {{{"Host:", ".*"}, {"SERVER_NAME", ".*", true}}, "^/new/.*", "NoMatch", 1, 0},
      // Refused on the first condition: the second is not read.
      {{{"Host:", "^shop\\..*"}, {"SERVER_NAME", ".*", true}}, ".*", "NoMatch", 2, 0},
      {{{"User-Agent:", ".*bot.*"}, {"Host:", ".*"}}, ".*", "NoMatch", 2, 0},
      // A part that may take an LF pairs with no value: every value is read.
      {{{"Host:", "[^/]*"}, {"SERVER_NAME", "^x.*", true}}, ".*", "NoMatch", 2, 1},
      {{{"Host:", "^www\\..*"}, {"SERVER_NAME", ".*", true}}, "^/old/.*", "Matched", 2, 1},
  };
  for (const ReadCase& c : cases) {
    server_.StartRequest(SampleRequest());
    EXPECT_EQ(Evaluate(MakeRule(c.conditions, c.pattern, "$0")), c.result) << c.pattern;
    EXPECT_EQ(server_.Calls(ServerOperation::GetHeader), c.headerReads) << c.pattern;
    EXPECT_EQ(server_.Calls(ServerOperation::GetServerVariable), c.variableReads) << c.pattern;
  }
}

TEST_F(EvaluationTest, AValueHoldingALineFeedIsCheckedOnlyAsAWhole) {
  // A part that takes no LF must not be held to a value that holds one: the part after it
  // may take the rest of that value.
  MemoryRequest request = SampleRequest();
  request.headers.push_back({"X-Data", "a\nq"});
  server_.StartRequest(request);
  EXPECT_EQ(Evaluate(MakeRule({{"X-Data:", "a"}}, "[^z]*", "-", "F")), "Matched|Stop|Forbidden");
  EXPECT_EQ(Evaluate(MakeRule({{"Host:", "[^z]*"}}, "q", "-", "F", "X-Data:")),
            "Matched|Stop|Forbidden");
}

TEST_F(EvaluationTest, ARangeFromAnEscapeMayTakeALineFeed) {
  // "[\t-~]" and "[\t-\r]" hold LF: a part with such a range pairs with no value, so the
  // rule matches where the matcher alone matches.
  struct RangeCase {
    const char* url;
    std::vector<ConditionLine> conditions;
    const char* pattern;
    const char* letters;
    const char* result;
    const char* urlAfter;
  };
  const RangeCase cases[] = {
      {"/bot%0A/private/x",
       {{"User-Agent:", "[\\t-~]*bot"}},
       "/private/.*",
       "O,F",
       "Matched|Stop|Forbidden",
       "/bot%0A/private/x"},
      {"/%0A//k", {{"URL", "^/[^/]*$", false, true}}, "^/k[\\t-\\r]?.*$", "", "Matched", ""},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.pattern);
    MemoryRequest request = SampleRequest();
    request.url = c.url;
    request.headers[1].second = "Mozilla";
    Rule rule = MakeRule(c.conditions, c.pattern, "$1", c.letters);
    for (const bool prefiltered : {true, false}) {
      server_.StartRequest(request);
      EXPECT_EQ(Evaluate(rule), c.result) << prefiltered;
      EXPECT_EQ(server_.Request().url, c.urlAfter) << prefiltered;
      rule.joinedPattern.DropPrefilterForTesting();
    }
  }
}

TEST_F(EvaluationTest, InvalidPatternTouchesNothing) {
  Rule rule;
  rule.target = "URL";
  EXPECT_EQ(Evaluate(rule), "InvalidPattern");
  EXPECT_EQ(server_.Calls(ServerOperation::GetHeader), 0u);
  EXPECT_EQ(server_.Calls(ServerOperation::SetHeader), 0u);
}

TEST_F(EvaluationTest, RefusedSetHeaderKeepsTheResultButNotTheLogMark) {
  server_.Fail(ServerOperation::SetHeader);
  EXPECT_EQ(Evaluate(MakeRule({}, ".*", "/b", "U")), "Matched");
  EXPECT_EQ(server_.Request().url, "/old/page.html?x=1");
}

TEST_F(EvaluationTest, TheLogMarkIsReturnedAndTheRequestBlockLeftAlone) {
  // The mark goes back to the caller in the result; the request's block is the filter's.
  EXPECT_EQ(Evaluate(MakeRule({}, ".*", "/b", "U")), "Matched|LogMark");
  EXPECT_EQ(block_->logMark, 0);
  server_.Context()->pFilterContext = nullptr;
  EXPECT_EQ(Evaluate(MakeRule({}, ".*", "/c", "U")), "Matched|LogMark");
  EXPECT_EQ(server_.Request().url, "/c");
}

TEST_F(EvaluationTest, UnreadableValuesAreEmpty) {
  // Normalisation refused: the target is matched as empty text.
  server_.Fail(ServerOperation::NormalizeUrl);
  EXPECT_EQ(Evaluate(MakeRule({}, "^$", "/empty", "O")), "Matched");
  EXPECT_EQ(server_.Request().url, "/empty");
  server_.Fail(ServerOperation::NormalizeUrl, false);

  // A server variable that cannot be read contributes an empty segment.
  server_.Fail(ServerOperation::GetServerVariable);
  EXPECT_EQ(Evaluate(MakeRule({{"SERVER_NAME", "^$", true}}, ".*", "/nv")), "Matched");
  server_.Fail(ServerOperation::GetServerVariable, false);
}

TEST_F(EvaluationTest, ValuesAreReadWholeUpToTheLimit) {
  // Values of any length up to the limit enter the subject whole; a longer one ends the
  // evaluation unmatched and unwritten, so that the request cannot pass a rule unread.
  MemoryRequest request = SampleRequest();
  request.headers[1].second = std::string(5000, 'a') + "BadBot";  // the User-Agent
  request.headers.push_back({"X-Limit", std::string(kValueLimit, 'b')});
  request.headers.push_back({"X-Over", std::string(kValueLimit + 1, 'c')});
  server_.StartRequest(request);
  EXPECT_EQ(Evaluate(MakeRule({{"User-Agent:", ".*BadBot.*"}}, ".*", "-", "F")),
            "Matched|Stop|Forbidden");
  EXPECT_EQ(Evaluate(MakeRule({{"X-Limit:", "b*"}}, ".*", "/l")), "Matched");
  EXPECT_EQ(Evaluate(MakeRule({{"X-Over:", ".*"}}, ".*", "/o", "U")), "Unreadable");
  EXPECT_EQ(Evaluate(MakeRule({}, ".*", "x", "", "X-Over:")), "Unreadable");
  EXPECT_EQ(server_.Request().url, "/l");
}

TEST_F(EvaluationTest, ControlBytesNeverReachAHeaderRaw) {
  // CR LF from a normalised %0d%0a: escaped in the URL, and no header takes them at all.
  MemoryRequest request = SampleRequest();
  request.url = "/go/x%0d%0aSet-Cookie:%20a=1";
  server_.StartRequest(request);
  EXPECT_EQ(Evaluate(MakeRule({}, "^/go/([^?]*)$", "http://example.com/$1", "O,R")),
            "Matched|Stop|Redirect");
  EXPECT_EQ(server_.Request().url, "http://example.com/x%0D%0ASet-Cookie:%20a=1");
  for (const char* header : {"X-Topic:", "METHOD"}) {
    SCOPED_TRACE(header);
    server_.StartRequest(request);
    EXPECT_EQ(Evaluate(MakeRule({}, ".*", "a\r\nX-Remote-User: admin", "U", header)), "Matched");
    EXPECT_EQ(server_.Header("X-Topic"), std::nullopt);
    EXPECT_EQ(server_.Request().method, "GET");
    EXPECT_EQ(server_.Calls(ServerOperation::SetHeader), 0u);
  }
}

TEST_F(EvaluationTest, NormalisedValuesEnterTheSubject) {
  MemoryRequest request = SampleRequest();
  request.url = "/a/../b%41\\c";
  server_.StartRequest(request);
  EXPECT_EQ(Evaluate(MakeRule({{"URL", "^/bA/c$", false, true}}, "^/a/\\.\\..*", "/ok", "O")),
            "NoMatch");  // the rule's own target is normalised too: "/a/.." is gone
  EXPECT_EQ(Evaluate(MakeRule({{"URL", "^/bA/c$", false, true}}, "^/bA/c$", "/ok", "O")),
            "Matched");
  EXPECT_EQ(server_.Request().url, "/ok");
}

// Under O, group bytes from the decoded part of a normalised value are written into a URL
// encoded again; the raw query, literal text and values not normalised as they are.
TEST_F(EvaluationTest, NormalisedGroupsAreWrittenBackEncoded) {
  struct WriteBack {
    const char* name;
    const char* url;
    std::vector<ConditionLine> conditions;
    const char* pattern;
    const char* format;
    const char* letters;
    const char* expected;  // the URL afterwards
  };
  const WriteBack cases[] = {
      {"an escaped ? stays in the path",
       "/hello%3Fp=1",
       {},
       "^/(?!index\\.php)[^?]+(\\?.*)?$",
       "/index.php$1",
       "O,L",
       "/index.php%3Fp=1"},
      {"a raw query stays a query",
       "/hello?p=1",
       {},
       "^/(?!index\\.php)[^?]+(\\?.*)?$",
       "/index.php$1",
       "O,L",
       "/index.php?p=1"},
      {"#", "/a%23b/", {}, "^(/.*)/$", "$1", "O,R", "/a%23b"},
      {"space", "/x%20y/", {}, "^(/.*)/$", "$1", "O,R", "/x%20y"},
      {"% is not decoded twice", "/a%2541/", {}, "^(/.*)/$", "$1", "O,R", "/a%2541"},
      {"the other bytes a path may not hold raw",
       "/%22%3C%3E%5E%60%7B%7C%7D%7F%C3%A9%01/z",
       {},
       "^/(.*)/z$",
       "/$1",
       "O",
       "/%22%3C%3E%5E%60%7B%7C%7D%7F%C3%A9%01"},
      {"a group spanning path and query is encoded over the path only",
       "/a%3Fb?c=%3F#",
       {},
       "^(.*)$",
       "$1",
       "O",
       "/a%3Fb?c=%3F#"},
      {"literal text is written as it is",
       "/a%3Fb",
       {},
       "^/(.*)$",
       "/l i\\?t=$1",
       "O",
       "/l i?t=a%3Fb"},
      {"a condition not normalised is written as it is",
       "/p%20q",
       {{"X-Topic:", "^(.*)$"}},
       "^/(.*)$",
       "/$2/$1",
       "O",
       "/p%20q/a b?c"},
      {"a normalised condition's decoded part is encoded",
       "/old/page.html?x=1",
       {{"X-Original:", "^/(.*)$", false, true}},
       ".*",
       "/new/$1",
       "",
       "/new/o%3Fx?q=1"},
      {"without O nothing is encoded", "/a%3Fb c", {}, "^/(.*)$", "/$1", "", "/a%3Fb c"},
  };
  for (const WriteBack& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryRequest request = SampleRequest();
    request.url = c.url;
    request.headers.push_back({"X-Topic", "a b?c"});
    request.headers.push_back({"X-Original", "/o%3Fx?q=1"});
    server_.StartRequest(request);
    EXPECT_EQ(Evaluate(MakeRule(c.conditions, c.pattern, c.format, c.letters)).rfind("Matched", 0),
              0u);
    EXPECT_EQ(server_.Request().url, c.expected);
  }

  // A header other than the URL is written as today, decoded.
  MemoryRequest request = SampleRequest();
  request.headers.push_back({"X-Original", "/o%3Fx"});
  server_.StartRequest(request);
  EXPECT_EQ(Evaluate(MakeRule({}, "^/(.*)$", "$1", "O", "X-Original:")), "Matched");
  EXPECT_EQ(server_.Header("X-Original"), "o?x");
}

// A clock that jumps a second at every read: any match long enough to check the clock
// twice runs out of time.
uint32_t JumpingClock() {
  static uint32_t now = 0;
  return now += 1000;
}

TEST_F(EvaluationTest, TimeoutDisablesTheRuleAndWritesNothing) {
  MemoryRequest request = SampleRequest();
  request.url = "/" + std::string(3000, 'a');
  server_.StartRequest(request);
  const Rule rule = MakeRule({}, "^/(?:a|b)*$", "/never", "U");
  const platform::TickSource previous = platform::SetTickSourceForTesting(&JumpingClock);
  EXPECT_EQ(Evaluate(rule), "Timeout");
  EXPECT_TRUE(rule.IsDisabled());
  EXPECT_EQ(server_.Request().url, request.url);
  // Skipping a disabled rule is the pass's business: evaluation still runs it.
  EXPECT_EQ(Evaluate(rule), "Timeout");
  platform::SetTickSourceForTesting(previous);
  EXPECT_EQ(Evaluate(rule), "Matched|LogMark");
}

TEST_F(EvaluationTest, ASubjectThePatternCannotMatchNeverTimesOut) {
  MemoryRequest request = SampleRequest();
  request.url = "/" + std::string(3000, 'a');
  server_.StartRequest(request);
  const platform::TickSource previous = platform::SetTickSourceForTesting(&JumpingClock);
  // Each would run long enough to time out, but the URL lacks the ending or is too short.
  for (const char* pattern : {"^/(?:a|b)*\\.html$", "^/(?:a|b)*/.{3000}"}) {
    const Rule rule = MakeRule({}, pattern, "/never");
    EXPECT_EQ(Evaluate(rule), "NoMatch") << pattern;
    EXPECT_FALSE(rule.IsDisabled()) << pattern;
  }
  platform::SetTickSourceForTesting(previous);
}

}  // namespace
}  // namespace vortane
