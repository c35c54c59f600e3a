// Request handling through the in-memory server: the global and site passes, the responses
// the filter writes, X-Rewrite-URL, and the log notification.
#include "filter/request.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "platform/tick.h"
#include "rules/request_context.h"
#include "rules/server_values.h"
#include "store/store.h"
#include "tests/support/file_out_of_reach.h"
#include "tests/support/rule_builder.h"
#include "tests/support/temp_dir.h"

namespace vortane {
namespace {

using testing::MakeRule;

struct RuleLine {
  std::string pattern, format, letters;
};

// The rules of each site for the current test, loaded by the cache from here.
std::map<uint32_t, std::vector<RuleLine>> siteRules;

SiteConfig* LoadFromTable(uint32_t siteId) {
  ParsedConfig parsed;
  for (const RuleLine& r : siteRules[siteId]) {
    parsed.rules.push_back(MakeRule({}, r.pattern, r.format, r.letters));
  }
  return new SiteConfig(siteId, platform::PathString(), std::move(parsed));
}

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    siteRules.clear();
    store_.Cache().SetLoaderForTesting(&LoadFromTable);
  }

  DWORD Request(const std::string& url, uint32_t siteId = 1) {
    MemoryRequest request;
    request.url = url;
    request.siteId = siteId;
    request.headers = {{"Host", "example.com"}, {"X-Rewrite-URL", "/forged"}};
    server_.EndConnection();
    server_.StartRequest(request);
    return OnPreprocHeaders(store_, server_.Context(), server_.PreprocHeaders());
  }

  std::optional<std::string> RewriteHeader() const { return server_.Header("X-Rewrite-URL"); }

  ConfigStore store_{platform::PathString()};
  MemoryServer server_;
};

constexpr DWORD kNext = SF_STATUS_REQ_NEXT_NOTIFICATION;
constexpr DWORD kFinished = SF_STATUS_REQ_FINISHED;

TEST_F(RequestTest, PassesRequestsOnWithTheUrlAsSent) {
  siteRules[0] = {{"^/old/(.*)$", "/new/$1", ""}};
  siteRules[1] = {{"^/nothing$", "/x", ""}};
  EXPECT_EQ(Request("/old/a?b=1"), kNext);
  EXPECT_EQ(server_.Request().url, "/new/a?b=1");
  EXPECT_EQ(RewriteHeader(), "/old/a?b=1");  // the client's own header is replaced
  EXPECT_EQ(server_.Written(), "");
  EXPECT_TRUE(server_.LogNotificationDisabled());
}

TEST_F(RequestTest, AGlobalStopSkipsTheSitePass) {
  siteRules[0] = {{"^/a$", "/b", "L"}};
  siteRules[1] = {{".*", "/site", ""}};
  EXPECT_EQ(Request("/a"), kNext);
  EXPECT_EQ(server_.Request().url, "/b");
  EXPECT_EQ(RewriteHeader(), "/a");
  EXPECT_EQ(Request("/c"), kNext);  // without the global match the site pass runs
  EXPECT_EQ(server_.Request().url, "/site");
}

TEST_F(RequestTest, WritesTheResponsesByteForByte) {
  struct Case {
    const char* name;
    std::vector<RuleLine> global, site;
    std::string written;
  };
  const Case cases[] = {
      {"refusal", {{".*", "-", "F"}}, {}, "HTTP/1.1 403 Forbidden\r\n\r\n"},
      {"refusal wins over redirect", {{".*", "-", "F,R"}}, {}, "HTTP/1.1 403 Forbidden\r\n\r\n"},
      {"redirect",
       {{"^/old$", "/new/place\\?x=1", "R"}},
       {},
       "HTTP/1.1 302 Object moved\r\nLocation: /new/place?x=1\r\n\r\n"},
      {"site refusal",
       {{".*", "$0x", ""}},
       {{"^/oldx$", "-", "F"}},
       "HTTP/1.1 403 Forbidden\r\n\r\n"},
      {"site redirect",
       {},
       {{".*", "/moved", "R"}},
       "HTTP/1.1 302 Object moved\r\nLocation: /moved\r\n\r\n"},
      {"301",
       {{".*", "/m", "R=301"}},
       {},
       "HTTP/1.1 301 Moved Permanently\r\nLocation: /m\r\n\r\n"},
      {"302 written",
       {{".*", "/m", "R=302"}},
       {},
       "HTTP/1.1 302 Object moved\r\nLocation: /m\r\n\r\n"},
      {"303", {{".*", "/m", "R=303"}}, {}, "HTTP/1.1 303 See Other\r\nLocation: /m\r\n\r\n"},
      {"307",
       {{".*", "/m", "R=307"}},
       {},
       "HTTP/1.1 307 Temporary Redirect\r\nLocation: /m\r\n\r\n"},
      {"308",
       {{".*", "/m", "R=308"}},
       {},
       "HTTP/1.1 308 Permanent Redirect\r\nLocation: /m\r\n\r\n"},
      {"site 308 after a global rewrite",
       {{".*", "/g", ""}},
       {{"^/g$", "/s", "R=308"}},
       "HTTP/1.1 308 Permanent Redirect\r\nLocation: /s\r\n\r\n"},
      {"the redirecting rule's status after a restart",
       {{"^/old$", "/again", "R=301,N"}, {"^/again$", "/last", "R=307"}},
       {},
       "HTTP/1.1 307 Temporary Redirect\r\nLocation: /last\r\n\r\n"},
      {"- with R=301 redirects to the URL as it is",
       {{"^/old$", "/kept", ""}, {"^/kept$", "-", "R=301"}},
       {},
       "HTTP/1.1 301 Moved Permanently\r\nLocation: /kept\r\n\r\n"},
      {"refusal wins over R=301", {{".*", "-", "F,R=301"}}, {}, "HTTP/1.1 403 Forbidden\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    siteRules[0] = c.global;
    siteRules[1] = c.site;
    store_.Cache().Clear();
    EXPECT_EQ(Request("/old"), kFinished);
    EXPECT_EQ(server_.Written(), c.written);
    EXPECT_EQ(RewriteHeader(), "/forged");  // untouched: the filter answered itself
  }
}

uint32_t JumpingClock() {
  static uint32_t now = 0;
  return now += 1000;
}

TEST_F(RequestTest, TimeoutsAnswerWithTheirPassesError) {
  const std::string longUrl = "/" + std::string(3000, 'a');
  const platform::TickSource previous = platform::SetTickSourceForTesting(&JumpingClock);
  siteRules[0] = {{"^/(?:a|b)*$", "-", ""}};
  EXPECT_EQ(Request(longUrl), kFinished);
  EXPECT_EQ(server_.Written(),
            "HTTP/1.1 500 Internal Server Error. Timeout while processing global rule. Please "
            "check your configuration file\r\n\r\n");

  siteRules[0] = {{"^/x$", longUrl, ""}};  // rewrites, then the site times out
  siteRules[1] = {{"^/(?:a|b)*$", "-", ""}};
  store_.Cache().Clear();
  EXPECT_EQ(Request("/x"), kFinished);
  EXPECT_EQ(server_.Written(),
            "HTTP/1.1 500 Internal Server Error. Timeout while processing per-site rule. Please "
            "check your configuration file\r\n\r\n");
  platform::SetTickSourceForTesting(previous);
}

TEST_F(RequestTest, LongUrlsAreHandledWhole) {
  // Past the first read's 4096 bytes every rule still sees, and the request keeps, the URL
  // whole; beyond the limit the filter answers rather than let the URL past its rules.
  const std::string longUrl = "/" + std::string(5000, 'u') + "?q=1";
  siteRules[0] = {{"^/(u+)\\?q=1$", "/all$1", "U"}};
  EXPECT_EQ(Request(longUrl), kNext);
  EXPECT_EQ(server_.Request().url, "/all" + std::string(5000, 'u'));
  EXPECT_EQ(RewriteHeader(), longUrl);
  HTTP_FILTER_LOG* record = server_.PrepareLogRecord();
  OnLog(server_.Context(), record);
  EXPECT_EQ(record->pszTarget, "/" + std::string(5000, 'u'));
  EXPECT_STREQ(record->pszParameters, "q=1");

  siteRules[0] = {{"^/x$", "/" + std::string(5000, 'r'), "R"}};  // a long Location, whole
  store_.Cache().Clear();
  EXPECT_EQ(Request("/x"), kFinished);
  EXPECT_EQ(server_.Written(),
            std::string(kRedirectResponseStart) + "/" + std::string(5000, 'r') + "\r\n\r\n");

  EXPECT_EQ(Request("/" + std::string(kValueLimit, 'u')), kFinished);
  EXPECT_EQ(server_.Written(), kUrlTooLongResponse);
  EXPECT_EQ(RewriteHeader(), "/forged");
}

TEST_F(RequestTest, ControlBytesAreEscapedInWhatTheFilterWrites) {
  siteRules[0] = {{"^/go/([^?]*)$", "http://example.com/$1", "O,R"}};
  EXPECT_EQ(Request("/go/x%0d%0aSet-Cookie:%20admin=1%0d%0a%0d%0a<script>"), kFinished);
  EXPECT_EQ(server_.Written(), std::string(kRedirectResponseStart) +
                                   "http://example.com/x%0D%0ASet-Cookie:%20"
                                   "admin=1%0D%0A%0D%0A%3Cscript%3E\r\n\r\n");
  EXPECT_EQ(Request("/a\tb"), kNext);  // nor in X-Rewrite-URL
  EXPECT_EQ(RewriteHeader(), "/a%09b");
}

// Under O, what a client spelled with escapes is written back with escapes: in the URL
// passed on and in a redirect's Location.
TEST_F(RequestTest, NormalisedGroupsAreWrittenBackEncoded) {
  siteRules[0] = {{"^/(?!index\\.php)[^?]+(\\?.*)?$", "/index.php$1", "O,L"}};
  EXPECT_EQ(Request("/hello%3Fp=1"), kNext);
  EXPECT_EQ(server_.Request().url, "/index.php%3Fp=1");  // no query injected
  EXPECT_EQ(Request("/hello?p=1"), kNext);
  EXPECT_EQ(server_.Request().url, "/index.php?p=1");  // a real query stays one

  const std::pair<const char*, const char*> redirects[] = {
      {"/a%23b/", "/a%23b"}, {"/x%20y/", "/x%20y"}, {"/a%2541/", "/a%2541"}};
  siteRules[0] = {{"^(/.*)/$", "$1", "O,R"}};
  store_.Cache().Clear();
  for (const auto& [url, location] : redirects) {
    SCOPED_TRACE(url);
    EXPECT_EQ(Request(url), kFinished);
    EXPECT_EQ(server_.Written(), std::string(kRedirectResponseStart) + location + "\r\n\r\n");
  }
}

TEST_F(RequestTest, MarkedRequestsKeepTheirLogEntryWithTheUrlAsSent) {
  siteRules[0] = {{"^(/[^?]*).*$", "/rewritten$1", "U"}};
  struct Case {
    std::string url, target, parameters;
  };
  const Case cases[] = {{"/a/b?x=1&y=2", "/a/b", "x=1&y=2"},
                        {"/a/b", "/a/b", ""},
                        {"/a?", "/a", ""},
                        {"/a?b?c", "/a", "b?c"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(Request(c.url), kNext);
    EXPECT_FALSE(server_.LogNotificationDisabled());
    HTTP_FILTER_LOG* record = server_.PrepareLogRecord();
    EXPECT_EQ(OnLog(server_.Context(), record), kNext);
    EXPECT_STREQ(record->pszTarget, c.target.c_str());
    EXPECT_STREQ(record->pszParameters, c.parameters.c_str());
  }
}

// The mark comes back from the rule passes: from either of them, through a restart that drops
// the rest of the sweep's result, and past an answer that a later rule gives.
TEST_F(RequestTest, EitherPassMarksTheRequestForTheLog) {
  struct Case {
    const char* name;
    std::vector<RuleLine> global, site;
    DWORD status;
    bool logged;
  };
  const Case cases[] = {
      {"global", {{"^/a$", "/b", "U"}}, {}, kNext, true},
      {"site", {}, {{"^/a$", "/b", "U"}}, kNext, true},
      {"before a restart", {{"^/a$", "/b", "U,N"}}, {}, kNext, true},
      {"site refuses after", {{"^/a$", "/b", "U"}}, {{".*", "-", "F"}}, kFinished, true},
      {"U with R", {{"^/a$", "/b", "U,R"}}, {}, kFinished, false},
      {"no match", {{"^/x$", "/b", "U"}}, {{"^/y$", "/b", "U"}}, kNext, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    siteRules[0] = c.global;
    siteRules[1] = c.site;
    store_.Cache().Clear();
    EXPECT_EQ(Request("/a"), c.status);
    EXPECT_EQ(server_.LogNotificationDisabled(), !c.logged);
  }
}

TEST_F(RequestTest, ServerFailuresNeverSkipTheRules) {
  siteRules[0] = {{".*", "/all", "U"}};

  server_.Fail(ServerOperation::AllocMem);  // no block: rules run, nothing is marked
  EXPECT_EQ(Request("/a"), kNext);
  EXPECT_EQ(server_.Request().url, "/all");
  EXPECT_TRUE(server_.LogNotificationDisabled());
  HTTP_FILTER_LOG* record = server_.PrepareLogRecord();
  const HTTP_FILTER_LOG before = *record;
  EXPECT_EQ(OnLog(server_.Context(), record), kNext);  // no block: the record stays as it was
  EXPECT_EQ(record->pszTarget, before.pszTarget);
  EXPECT_EQ(record->pszParameters, before.pszParameters);
  server_.Fail(ServerOperation::AllocMem, false);

  // No URL or no site number: no rule could run, so the filter answers.
  for (const ServerOperation failing : {ServerOperation::GetHeader, ServerOperation::GetProperty}) {
    server_.Fail(failing);
    EXPECT_EQ(Request("/a"), kFinished);
    EXPECT_EQ(server_.Written(), kUnreadableResponse);
    EXPECT_EQ(server_.Request().url, "/a");
    EXPECT_EQ(RewriteHeader(), "/forged");
    EXPECT_TRUE(server_.LogNotificationDisabled());
    server_.Fail(failing, false);
  }
}

BOOL SERVER_CALL ThrowingSetHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR) {
  throw std::runtime_error("server failure");
}

// Fails every read once a rule has rewritten the URL to "/b".
BOOL SERVER_CALL FailingReadBack(HTTP_FILTER_CONTEXT* context, LPSTR name, LPVOID buffer,
                                 LPDWORD size) {
  MemoryServer* server = static_cast<MemoryServer*>(context->ServerContext);
  if (server->Request().url == "/b") return FALSE;
  return server->PreprocHeaders()->GetHeader(context, name, buffer, size);
}

TEST_F(RequestTest, RulesThatCannotFinishAnswerTheRequest) {
  // An exception inside the rules, or a redirect whose URL cannot be read back: the request
  // is answered, never passed on with the rules half run.
  siteRules[0] = {{".*", "/all", "U"}};
  MemoryRequest request;
  request.url = "/a";
  server_.StartRequest(request);
  HTTP_FILTER_PREPROC_HEADERS headers = *server_.PreprocHeaders();
  headers.SetHeader = &ThrowingSetHeader;
  EXPECT_EQ(OnPreprocHeaders(store_, server_.Context(), &headers), kFinished);
  EXPECT_EQ(server_.Written(), kUnreadableResponse);
  EXPECT_TRUE(server_.LogNotificationDisabled());  // the rule never wrote, so no mark

  siteRules[0] = {{"^/a$", "/b", "R"}};
  store_.Cache().Clear();
  server_.EndConnection();
  server_.StartRequest(request);
  headers = *server_.PreprocHeaders();
  headers.GetHeader = &FailingReadBack;
  EXPECT_EQ(OnPreprocHeaders(store_, server_.Context(), &headers), kFinished);
  EXPECT_EQ(server_.Written(), kUnreadableResponse);
}

}  // namespace
}  // namespace vortane

namespace vortane {
namespace {

namespace fs = std::filesystem;

// The global and a site's httpd.ini read from files: one that exists but cannot be read, with
// no earlier version loaded, is answered with a 500 of its pass rather than let the request
// past its rules; the next request reads it again. A missing file means no rules.
TEST(UnreadableConfigTest, AnswersWith500UntilTheFileCanBeRead) {
  const fs::path dir = testing::ScratchFolder("unreadable-config");
  fs::remove_all(dir);
  fs::create_directories(dir / "site");
  struct Case {
    const char* name;
    fs::path file;
    std::string written;
  } cases[] = {
      {"global", dir / "httpd.ini",
       "HTTP/1.1 500 Internal Server Error. Unable to read global configuration file\r\n\r\n"},
      {"site", dir / "site" / "httpd.ini",
       "HTTP/1.1 500 Internal Server Error. Unable to read per-site configuration file\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigStore store((dir / "httpd.ini").native());
    store.SetSiteRootSource([&dir](uint32_t) { return (dir / "site").native(); });
    MemoryServer server;
    const auto request = [&](const std::string& url) {
      MemoryRequest sent;
      sent.url = url;
      sent.siteId = 1;
      server.EndConnection();
      server.StartRequest(sent);
      return OnPreprocHeaders(store, server.Context(), server.PreprocHeaders());
    };
    std::ofstream(c.file, std::ios::binary) << "[Vortane]\nRewriteRule ^/private/.* / [F]\n";
    {
      const testing::FileOutOfReach unreadable(c.file);
      for (int attempt = 0; attempt < 2; ++attempt) {  // nothing is kept: each one tries
        EXPECT_EQ(request("/public"), static_cast<DWORD>(SF_STATUS_REQ_FINISHED));
        EXPECT_EQ(server.Written(), c.written);
        EXPECT_EQ(server.Header("X-Rewrite-URL"), std::nullopt);
      }
    }
    EXPECT_EQ(request("/private/x"), static_cast<DWORD>(SF_STATUS_REQ_FINISHED));
    EXPECT_EQ(server.Written(), kForbiddenResponse);
    EXPECT_EQ(request("/public"), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));

    // Once loaded, a file that cannot be read for a moment leaves its rules in force.
    std::ofstream(c.file, std::ios::binary) << "[Vortane]\nRewriteRule ^/private/.* / [F]\n\n";
    {
      const testing::FileOutOfReach unreadable(c.file);
      request("/private/x");  // notices the change
      EXPECT_EQ(request("/private/x"), static_cast<DWORD>(SF_STATUS_REQ_FINISHED));
      EXPECT_EQ(server.Written(), kForbiddenResponse);
    }

    fs::remove(c.file);  // missing: no rules, passed on
    request("/private/x");
    EXPECT_EQ(request("/private/x"), static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
    EXPECT_EQ(server.Written(), "");
  }
  fs::remove_all(dir);
}

// File tests in both passes look in the request's site's folders, resolved with the site's
// configuration: a change of the site's folders counts once the site's configuration is
// dropped (as the site-change notification does), not before.
TEST(FileTestRequestTest, BothPassesUseTheRequestsSiteFolders) {
  const fs::path dir = testing::ScratchFolder("file-test-request");
  fs::remove_all(dir);
  fs::create_directories(dir / "site" / "assets");
  fs::create_directories(dir / "other");
  std::ofstream(dir / "site" / "real.html") << "x";
  std::ofstream(dir / "other" / "lib.js") << "x";
  std::ofstream(dir / "httpd.ini") << "[Vortane]\nRewriteCond %REQUEST_FILENAME -d\n"
                                      "RewriteRule ^/(.*[^/])$ /$1/ [L]\n";
  std::ofstream(dir / "site" / "httpd.ini")
      << "[Vortane]\nRewriteCond %REQUEST_FILENAME !-f\nRewriteCond %REQUEST_FILENAME !-d\n"
         "RewriteRule ^/.*$ /index.php [L]\n";
  ConfigStore store((dir / "httpd.ini").native());
  std::vector<platform::VirtualFolder> folders;
  int virtualLookUps = 0;
  store.SetSiteRootSource([&dir](uint32_t siteId) -> std::optional<platform::PathString> {
    if (siteId != 1) return std::nullopt;
    return (dir / "site").native();
  });
  store.SetVirtualFolderSource([&](uint32_t) {
    ++virtualLookUps;
    return folders;
  });
  MemoryServer server;
  const auto passedOn = [&](const std::string& url, uint32_t siteId = 1) {
    MemoryRequest sent;
    sent.url = url;
    sent.siteId = siteId;
    server.EndConnection();
    server.StartRequest(sent);
    OnPreprocHeaders(store, server.Context(), server.PreprocHeaders());
    return server.Request().url;
  };
  EXPECT_EQ(passedOn("/assets"), "/assets/");  // the global rule found the site's folder
  EXPECT_EQ(passedOn("/real.html"), "/real.html");
  EXPECT_EQ(passedOn("/missing"), "/index.php");
  EXPECT_EQ(passedOn("/lib/lib.js"), "/index.php");
  EXPECT_EQ(passedOn("/assets", 2), "/assets");  // a site without a root: no folders
  EXPECT_EQ(virtualLookUps, 1);                  // once per load of the site

  folders = {{"/lib", (dir / "other").native()}};
  EXPECT_EQ(passedOn("/lib/lib.js"), "/index.php");
  store.Cache().Drop(1);
  EXPECT_EQ(passedOn("/lib/lib.js"), "/lib/lib.js");
  EXPECT_EQ(passedOn("/lib"), "/lib/");
  EXPECT_EQ(virtualLookUps, 2);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vortane
