#include "tools/runner/request_log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace vortane::tools {
namespace {

std::vector<SourcedRequest> Read(RequestFormat format, const std::string& text,
                                 ReadSummary* summary = nullptr) {
  std::istringstream input(text);
  std::vector<SourcedRequest> requests;
  const RequestSink sink = [&](SourcedRequest&& request) { requests.push_back(request); };
  const ReadSummary read = format == RequestFormat::AccessLog ? ReadAccessLog(input, 7, sink)
                                                              : ReadUrlList(input, 7, sink);
  EXPECT_EQ(read.requests, requests.size());
  if (summary != nullptr) *summary = read;
  return requests;
}

// One request as "line: METHOD URL VERSION site N [secure] | Header: value | VAR=value".
std::string Shown(const SourcedRequest& sourced) {
  const MemoryRequest& r = sourced.request;
  std::string text = std::to_string(sourced.line) + ": " + r.method + " " + r.url + " " +
                     r.version + " site " + std::to_string(r.siteId) + (r.secure ? " secure" : "");
  for (const auto& [name, value] : r.headers) text += " | " + name + ": " + value;
  for (const auto& [name, value] : r.serverVariables) text += " | " + name + "=" + value;
  return text;
}

constexpr char kServeHeader[] =
    "#Software: vortane-serve\n#Version: 1.0\n#Date: 2026-01-02 03:04:05\n"
    "#Fields: date time c-ip cs-method cs-uri-stem cs-uri-query sc-status sc-bytes "
    "time-taken\n";

struct Case {
  const char* name;
  RequestFormat format;
  std::string text;
  std::vector<std::string> requests;
  size_t skipped;
};

TEST(RequestLogTest, ReadsRequestsAndSkipsWhatItCannotUse) {
  const std::string huge(kRequestLineLimit, 'a');
  const Case cases[] = {
      {"the server's own log",
       RequestFormat::AccessLog,
       std::string(kServeHeader) + "2026-01-02 03:04:05 10.0.0.1 GET /a - 200 10 1\r\n"
                                   "2026-01-02 03:04:06 ::1 HEAD /b/c x=1&y=a%2Bb 404 0 0\n",
       {"5: GET /a HTTP/1.1 site 7 | REMOTE_ADDR=10.0.0.1",
        "6: HEAD /b/c?x=1&y=a+b HTTP/1.1 site 7 | REMOTE_ADDR=::1"},
       0},
      {"the client's URL before the stem the rules left",
       RequestFormat::AccessLog,
       "#Fields: cs-method cs-uri-stem cs-uri-query s-sitename cs-host x-requested-uri\n"
       "GET http://example.com/a - W3SVC2 www.example.com /a?b=1\n"
       "GET /pages/x.html - 1 - -\n",
       {"2: GET /a?b=1 HTTP/1.1 site 2 | Host: www.example.com",
        "3: GET /pages/x.html HTTP/1.1 site 1"},
       0},
      {"headers, site, version and a second #Fields",
       RequestFormat::AccessLog,
       "#Fields: s-sitename cs-uri-stem cs(User-Agent) cs-host cs-version\n"
       "W3SVC2 /x Mozilla/5.0+(X11) www.example.com HTTP/1.0\n"
       "3 /y - - -\n"
       "#Fields: cs-method cs-uri\n"
       "POST /z?q\n",
       {"2: GET /x HTTP/1.0 site 2 | User-Agent: Mozilla/5.0 (X11) | Host: www.example.com",
        "3: GET /y HTTP/1.1 site 3", "5: POST /z?q HTTP/1.1 site 7"},
       0},
      {"hostile and malformed lines",
       RequestFormat::AccessLog,
       "GET /before-fields\n" + std::string(kServeHeader) + "2026-01-02 03:04:05 1.2.3.4 GET /" +
           huge + " - 200 1 1\n" +                                // too long
           "2026-01-02 03:04:05 1.2.3.4 GET /a - 200 1\n" +       // a field short
           "2026-01-02 03:04:05 1.2.3.4 GET /a\tb - 200 1 1\n" +  // control byte
           "2026-01-02 03:04:05 1.2.3.4 GET - - 200 1 1\n" +      // no URL
           "2026-01-02 03:04:05 1.2.3.4 GET /ok - 200 1 1\n" +
           "#Fields: s-sitename cs-uri-stem\nW3SVC0 /a\nW3SVC99999999999 /a\nfoo /a\n",
       {"10: GET /ok HTTP/1.1 site 7 | REMOTE_ADDR=1.2.3.4"},
       8},
      {"vortane-serve's escapes read back exactly; another server's log as it stands",
       RequestFormat::AccessLog,
       "#Software: vortane-serve\n#Fields: cs-uri-stem cs(User-Agent) cs(Referer) cs(X)\n"
       "/a%2Bb%25 a+%2Bbot %2D -\n"
       "/a - - %09+tab\n"
       "/a%zz - - -\n"      // malformed escape
       "/a%0Ab - - -\n"     // an escaped line feed is still a control byte
       "/a - - x%0D%0Ay\n"  // and so in a header
       "#Software: Other Server 10.0\n#Fields: cs-uri-stem cs(User-Agent) cs(Referer)\n"
       "/%41+b a+%2Bbot -\n",
       {"3: GET /a+b% HTTP/1.1 site 7 | User-Agent: a +bot | Referer: -",
        "4: GET /a HTTP/1.1 site 7 | X: \t tab",
        "10: GET /%41+b HTTP/1.1 site 7 | User-Agent: a %2Bbot"},
       3},
      {"URL list",
       RequestFormat::UrlList,
       "# comment\n\n/plain?q=1\n  POST\t/form  \nhttps://Example.com:8443/p?x\n"
       "http://h.example\nhttp://h.example?q\n",
       {"3: GET /plain?q=1 HTTP/1.1 site 7", "4: POST /form HTTP/1.1 site 7",
        "5: GET /p?x HTTP/1.1 site 7 secure | Host: Example.com:8443",
        "6: GET / HTTP/1.1 site 7 | Host: h.example",
        "7: GET /?q HTTP/1.1 site 7 | Host: h.example"},
       0},
      {"URL list: hostile lines",
       RequestFormat::UrlList,
       "GET /a b\n/" + huge + "\n/a\x01" + "b\n/last",
       {"4: GET /last HTTP/1.1 site 7"},
       3},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ReadSummary summary;
    std::vector<std::string> shown;
    for (const SourcedRequest& request : Read(test.format, test.text, &summary)) {
      shown.push_back(Shown(request));
    }
    EXPECT_EQ(shown, test.requests);
    EXPECT_EQ(summary.skipped, test.skipped);
    EXPECT_EQ(summary.skipExamples.size(), std::min(test.skipped, ReadSummary::kSkipExamples));
  }
}

TEST(RequestLogTest, LineLimitIsExact) {
  // A line of exactly the limit is read; one byte more is skipped, and the next line is not
  // taken for part of it.
  const std::string atLimit = "/" + std::string(kRequestLineLimit - 1, 'a');
  ReadSummary summary;
  const auto requests =
      Read(RequestFormat::UrlList, atLimit + "\n" + atLimit + "b\n/next\n", &summary);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].request.url.size(), kRequestLineLimit);
  EXPECT_EQ(requests[1].request.url, "/next");
  EXPECT_EQ(requests[1].line, 3u);
  EXPECT_EQ(summary.skipped, 1u);
}

TEST(RequestLogTest, DetectsTheFormatFromTheFirstLine) {
  EXPECT_EQ(DetectRequestFormat("#Software: x\n"), RequestFormat::AccessLog);
  EXPECT_EQ(DetectRequestFormat("#Fields: cs-uri-stem\n"), RequestFormat::AccessLog);
  EXPECT_EQ(DetectRequestFormat("# my URLs\n/a\n"), RequestFormat::UrlList);
  EXPECT_EQ(DetectRequestFormat(""), RequestFormat::UrlList);
}

}  // namespace
}  // namespace vortane::tools
