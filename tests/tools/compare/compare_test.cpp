#include "tools/compare/compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vortane::tools {
namespace {

RequestOutcome PassedOn(const std::string& url) {
  RequestOutcome outcome;
  outcome.passedOn.url = url;
  outcome.passedOn.headers = {{"X-Rewrite-URL", "/orig"}};
  outcome.logDisabled = true;
  return outcome;
}

RequestOutcome Redirect(const std::string& location) {
  RequestOutcome outcome;
  outcome.kind = RequestOutcome::Kind::Answered;
  outcome.status = 302;
  outcome.location = location;
  outcome.response = "HTTP/1.1 302 Object moved\r\nLocation: " + location + "\r\n\r\n";
  outcome.logDisabled = true;
  return outcome;
}

TEST(CompareTest, NamesWhatDiffers) {
  struct Case {
    const char* name;
    RequestOutcome before, after;
    std::vector<std::string_view> differences;
  };
  std::vector<Case> cases = {
      {"same", PassedOn("/a"), PassedOn("/a"), {}},
      {"kind", PassedOn("/a"), Redirect("/a"), {"kind"}},
      {"Location", Redirect("/a"), Redirect("/b"), {"Location"}},
      {"URL", PassedOn("/a"), PassedOn("/b"), {"URL"}},
  };
  // Only the bytes of the response differ.
  cases.push_back({"response", Redirect("/a"), Redirect("/a"), {"response"}});
  cases.back().after.response += "x";
  // A header changed, the method too.
  cases.push_back({"method, headers", PassedOn("/a"), PassedOn("/a"), {"method", "headers"}});
  cases.back().after.passedOn.method = "HEAD";
  cases.back().after.passedOn.headers.emplace_back("X-Api-Version", "2");
  // The log kept: target, then parameters.
  cases.push_back({"log on", PassedOn("/a"), PassedOn("/a"), {"log"}});
  cases.back().after.logDisabled = false;
  cases.push_back({"log parameters", PassedOn("/a"), PassedOn("/a"), {"log"}});
  cases.back().before.logDisabled = cases.back().after.logDisabled = false;
  cases.back().after.logParameters = "q=1";
  // Which rule decided, what matched and the trace are not what the traffic sees.
  cases.push_back({"rules only", PassedOn("/a"), PassedOn("/a"), {}});
  cases.back().after.decidedBy = RuleRef{"httpd.ini", 3};
  cases.back().after.matched = {RuleRef{"httpd.ini", 3}};
  cases.back().after.trace = "x";
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(OutcomeDifferences(test.before, test.after), test.differences);
  }
}

TEST(CompareTest, GroupsByDecidingRulesAndMergesRepeatedRequests) {
  const std::filesystem::path oldDirectory = "/cfg/old", newDirectory = "/cfg/new";
  const RuleRef oldRule{"/cfg/old/shop/httpd.ini", 6};
  const RuleRef newFirst{"/cfg/new/httpd.ini", 14}, newSecond{"/cfg/new/shop/httpd.ini", 6};
  Comparison comparison;
  MemoryRequest catalogue;
  catalogue.url = "/catalogue/mugs";
  MemoryRequest wiki;
  wiki.url = "/wiki/x";
  wiki.headers = {{"Host", "a\tb"}};

  RequestOutcome oldRedirect = Redirect("/products/mugs"), newRedirect = Redirect("/shop/mugs");
  oldRedirect.decidedBy = oldRule;
  newRedirect.decidedBy = newSecond;
  RequestOutcome refused;
  refused.kind = RequestOutcome::Kind::Answered;
  refused.status = 403;
  refused.response = "HTTP/1.1 403 Forbidden\r\n\r\n";
  refused.logDisabled = true;
  refused.decidedBy = newFirst;

  EXPECT_FALSE(comparison.Add(catalogue, 1, oldRedirect, oldRedirect));
  EXPECT_TRUE(comparison.Add(catalogue, 2, oldRedirect, newRedirect));
  EXPECT_TRUE(comparison.Add(wiki, 3, PassedOn("/wiki/x"), refused));
  EXPECT_TRUE(comparison.Add(catalogue, 4, oldRedirect, newRedirect));
  EXPECT_EQ(comparison.Replayed(), 4u);
  EXPECT_EQ(comparison.Differing(), 3u);

  // The group of the earlier new rule first, whatever the order the requests came in.
  EXPECT_EQ(
      comparison.Format(oldDirectory, newDirectory, {oldRule}, {newFirst, newSecond}),
      "httpd.ini:14 (new) / no rule (old): 1 request\n"
      "  line 3: /wiki/x Host: \"a\\tb\"\n"
      "    old: passed on: GET \"/wiki/x\" HTTP/1.1\n"
      "           X-Rewrite-URL: \"/orig\"\n"
      "         log: off\n"
      "    new: answered 403: \"HTTP/1.1 403 Forbidden\\r\\n\\r\\n\"\n"
      "         log: off\n"
      "    differs in: kind\n"
      "\n"
      "shop/httpd.ini:6 (new) / shop/httpd.ini:6 (old): 2 requests\n"
      "  lines 2, 4: /catalogue/mugs\n"
      "    old: answered 302: \"HTTP/1.1 302 Object moved\\r\\nLocation: "
      "/products/mugs\\r\\n\\r\\n\"\n"
      "         log: off\n"
      "    new: answered 302: \"HTTP/1.1 302 Object moved\\r\\nLocation: /shop/mugs\\r\\n\\r\\n\"\n"
      "         log: off\n"
      "    differs in: Location\n"
      "\n"
      "4 requests replayed, 3 differ\n");
}

TEST(CompareTest, KeepsABoundedNumberOfRequestsPerGroup) {
  Comparison comparison;
  MemoryRequest request;
  for (size_t i = 0; i <= Comparison::kShownPerGroup; ++i) {
    request.url = "/" + std::to_string(i);
    comparison.Add(request, i + 1, PassedOn("/a"), PassedOn("/b"));
  }
  // One request more than a group shows, and the same one again and again.
  request.url = "/0";
  for (size_t i = 0; i < Comparison::kLinesPerEntry + 5; ++i) {
    comparison.Add(request, 5000 + i, PassedOn("/a"), PassedOn("/b"));
  }
  const std::string report = comparison.Format("/o", "/n", {}, {});
  EXPECT_NE(
      report.find("no rule (new) / no rule (old): " +
                  std::to_string(Comparison::kShownPerGroup + 1 + Comparison::kLinesPerEntry + 5) +
                  " requests\n"),
      std::string::npos);
  EXPECT_NE(report.find(" and 6 more: /0\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  ... and 1 more requests not shown"), std::string::npos);
  EXPECT_EQ(report.find(": /" + std::to_string(Comparison::kShownPerGroup) + "\n"),
            std::string::npos);
}

}  // namespace
}  // namespace vortane::tools
