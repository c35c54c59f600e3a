// The access log's lines and file: fields that always split the same way and read back
// exactly, the directives, and every queued line on disk once the log closes.
#include "host/access_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/runner/request_log.h"

namespace vortane::host {
namespace {

namespace fs = std::filesystem;

// 2026-12-08 09:05:03 UTC.
const std::chrono::system_clock::time_point kTime =
    std::chrono::system_clock::from_time_t(1796720703);

TEST(AccessLogTest, FormatsLines) {
  struct Case {
    const char* target;
    const char* query;
    const char* expected;
  };
  const Case cases[] = {
      {"/index.html", "", "2026-12-08 09:05:03 10.0.0.7 GET /index.html - 200 512 3 - - - - -\n"},
      {"/product.asp", "id=42&ref=mail",
       "2026-12-08 09:05:03 10.0.0.7 GET /product.asp id=42&ref=mail 200 512 3 - - - - -\n"},
      {"/a b", "q=x y", "2026-12-08 09:05:03 10.0.0.7 GET /a+b q=x+y 200 512 3 - - - - -\n"},
      {"/line\r\nbreak", "",
       "2026-12-08 09:05:03 10.0.0.7 GET /line%0D%0Abreak - 200 512 3 - - - - -\n"},
      // "%", "+" and a lone "-" are escaped, so that they read back as themselves.
      {"/a+b%2F", "-", "2026-12-08 09:05:03 10.0.0.7 GET /a%2Bb%252F %2D 200 512 3 - - - - -\n"},
      {"/#a", "#b#", "2026-12-08 09:05:03 10.0.0.7 GET /#a %23b# 200 512 3 - - - - -\n"},
      {"", "", "2026-12-08 09:05:03 10.0.0.7 GET - - 200 512 3 - - - - -\n"},
  };
  for (const Case& c : cases) {
    AccessLogEntry entry;
    entry.time = kTime;
    entry.clientAddress = "10.0.0.7";
    entry.method = "GET";
    entry.target = c.target;
    entry.query = c.query;
    entry.status = 200;
    entry.bytes = 512;
    entry.milliseconds = 3;
    EXPECT_EQ(FormatAccessLogLine(entry), c.expected);
  }
  // The site and the headers a replay needs, with spaces and control bytes kept in one field.
  AccessLogEntry entry;
  entry.time = kTime;
  entry.clientAddress = "10.0.0.7";
  entry.method = "GET";
  entry.target = "/";
  entry.status = 302;
  entry.siteId = 2;
  entry.host = "www.example.com";
  entry.userAgent = "Mozilla/5.0 (X11)\r\nX: y";
  entry.referer = "";
  entry.requestedUri = "/old page?a=1";
  EXPECT_EQ(FormatAccessLogLine(entry),
            "2026-12-08 09:05:03 10.0.0.7 GET / - 302 0 0 W3SVC2 www.example.com "
            "Mozilla/5.0+(X11)%0D%0AX:+y - /old+page?a=1\n");
}

// What the log holds of a request is what a replay sends: every header value and URL, read
// back by vortane-test's log reader, is the one logged.
TEST(AccessLogTest, FieldsReadBackExactly) {
  struct Case {
    std::string userAgent, referer, requestedUri;
  };
  const Case cases[] = {
      {"a+b", "-", "/x?q=a+b"},   {"a b", "--", "/%2e%2E/x%25"},    {"100% +1 %2B", " - ", "/-"},
      {"tab\there", "+", "/a b"}, {"\xC3\xA9t\xC3\xA9", "%", "/%"},
  };
  std::string log =
      "#Software: vortane-serve\n#Fields: date time c-ip cs-method cs-uri-stem "
      "cs-uri-query sc-status sc-bytes time-taken s-sitename cs-host "
      "cs(User-Agent) cs(Referer) x-requested-uri\n";
  for (const Case& c : cases) {
    AccessLogEntry entry;
    entry.time = kTime;
    entry.method = "GET";
    entry.siteId = 3;
    entry.userAgent = c.userAgent;
    entry.referer = c.referer;
    entry.requestedUri = c.requestedUri;
    log += FormatAccessLogLine(entry);
  }
  std::istringstream input(log);
  std::vector<tools::SourcedRequest> read;
  const tools::ReadSummary summary = tools::ReadAccessLog(
      input, 1, [&](tools::SourcedRequest&& request) { read.push_back(std::move(request)); });
  EXPECT_EQ(summary.skipped, 0u);
  ASSERT_EQ(read.size(), std::size(cases));
  for (size_t i = 0; i < read.size(); ++i) {
    const MemoryRequest& request = read[i].request;
    EXPECT_EQ(request.url, cases[i].requestedUri);
    EXPECT_EQ(request.siteId, 3u);
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"User-Agent", cases[i].userAgent}, {"Referer", cases[i].referer}};
    EXPECT_EQ(request.headers, headers);
  }
}

TEST(AccessLogTest, WritesDirectivesAndEveryLineFromManyThreads) {
  const fs::path path = testing::ScratchFolder("access-log");
  fs::remove(path);
  constexpr int kThreads = 4, kLines = 500;
  {
    AccessLog log(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log] {
        AccessLogEntry entry;
        entry.time = kTime;
        entry.clientAddress = "127.0.0.1";
        entry.method = "GET";
        entry.target = "/";
        entry.status = 200;
        for (int i = 0; i < kLines; ++i) log.Write(entry);
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  fs::remove(path);
  ASSERT_EQ(lines.size(), 4u + kThreads * kLines);
  EXPECT_EQ(lines[0], "#Software: vortane-serve");
  EXPECT_EQ(lines[1], "#Version: 1.0");
  EXPECT_EQ(lines[2].rfind("#Date: ", 0), 0u);
  EXPECT_EQ(lines[3],
            "#Fields: date time c-ip cs-method cs-uri-stem cs-uri-query sc-status sc-bytes "
            "time-taken s-sitename cs-host cs(User-Agent) cs(Referer) x-requested-uri");
  EXPECT_EQ(lines.back(), "2026-12-08 09:05:03 127.0.0.1 GET / - 200 0 0 - - - - -");
}

// The log is appended to only as a regular file of its own: never through a link planted
// under its name, never into a FIFO (which would hang), never into a file linked elsewhere.
TEST(AccessLogTest, RefusesAPathThatIsNotALogOfItsOwn) {
  const fs::path dir = testing::ScratchFolder("access-log-refused");
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "victim") << "keep";
  fs::create_symlink(dir / "victim", dir / "link");
  fs::create_hard_link(dir / "victim", dir / "hard");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "folder");
  for (const char* name : {"link", "hard", "fifo", "folder", "missing/access.log"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(AccessLog(dir / name), std::runtime_error);
  }
  std::ifstream victim(dir / "victim");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "keep");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vortane::host
