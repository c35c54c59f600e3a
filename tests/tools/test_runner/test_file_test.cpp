#include "tools/test_runner/test_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/directory_test.h"
#include "tools/runner/request_log.h"

namespace vortane::tools {
namespace {

TEST(TestFile, ReadsRequestsAndExpectations) {
  const std::vector<FileTest> tests = ParseTests(
      "# comment\r\n"
      "\n"
      "POST /a?b=1 HTTP/1.0 Host: www.example.com site 2 secure var REMOTE_ADDR=1.2.3.4\n"
      "  X-Empty: \"\" => redirect http://example.com/a?b=1 no log\n"
      "\"/a b\\x01\\\"\" => forbidden log \"/a b\"\n"
      "/x method \"m e\" version 2 => error 500\n"
      "/x => passed /y with Accept-Language: en no X-Api-Version: method GET version HTTP/1.1\n"
      "/x => \"x y\"\n",
      "t.tests");
  ASSERT_EQ(tests.size(), 5u);
  const MemoryRequest& first = tests[0].request.request;
  EXPECT_EQ(tests[0].request.line, 3u);
  EXPECT_EQ(first.method, "POST");
  EXPECT_EQ(first.url, "/a?b=1");
  EXPECT_EQ(first.version, "HTTP/1.0");
  const std::vector<std::pair<std::string, std::string>> headers = {{"Host", "www.example.com"},
                                                                    {"X-Empty", ""}};
  EXPECT_EQ(first.headers, headers);
  EXPECT_EQ(first.siteId, 2u);
  EXPECT_TRUE(first.secure);
  EXPECT_EQ(first.serverVariables.at("REMOTE_ADDR"), "1.2.3.4");
  EXPECT_EQ(tests[0].expected.kind, Expectation::Kind::Redirect);
  EXPECT_EQ(tests[0].expected.location, "http://example.com/a?b=1");
  EXPECT_EQ(tests[0].expected.log, Expectation::Log::Off);

  EXPECT_EQ(tests[1].request.request.url, std::string("/a b\x01\""));
  EXPECT_EQ(tests[1].expected.status, 403);
  EXPECT_EQ(tests[1].expected.logText, "/a b");
  EXPECT_EQ(tests[2].request.request.method, "m e");
  EXPECT_EQ(tests[2].request.request.version, "2");
  EXPECT_EQ(tests[2].expected.status, 500);
  const Expectation& passed = tests[3].expected;
  EXPECT_EQ(passed.url, "/y");
  ASSERT_EQ(passed.headers.size(), 2u);
  EXPECT_EQ(passed.headers[0].second, "en");
  EXPECT_FALSE(passed.headers[1].second.has_value());
  EXPECT_EQ(passed.method, "GET");
  EXPECT_EQ(tests[4].expected.url, "x y");
}

TEST(TestFile, NamesTheLineAndWhatWasExpected) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"/a\n/b\n", "t:1: expected '=>' and the expected outcome, found none"},
      {"/a => /a\n  \n/b Host:\n  => /b\n", "t:3: expected the header's value"},
      {"/a => \"/b\n", "t:1: expected a closing '\"'"},
      {"/a => \"\\q\"\n", "t:1: expected an escape"},
      {"/a => \"b\"c\n", "t:1: expected a blank after a quoted word"},
      {"/a\x01 => /a\n", "t:1: expected a control byte written as \\xHH in quotes"},
      {"/a site 0 => /a\n", "t:1: expected a site number from 1, found '0'"},
      {"/a bogus => /a\n", "t:1: expected a header 'Name: value', site N"},
      {"/a => moved\n", "t:1: expected redirect LOCATION, forbidden, error N, passed URL"},
      {"/a => forbidden Host: x\n", "t:1: expected only log TEXT or no log after a response"},
      {"/a => error 99\n", "t:1: expected a status code from 100 to 599"},
      {"  /a => /a\n", "t:1: expected a test that starts at the line's beginning"},
  };
  for (const auto& c : cases) {
    try {
      ParseTests(c.text, "t");
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const TestFileError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.message, 0), 0u) << error.what();
    }
  }
}

// A test file is read line by line, as its text parses: the same tests, handed on one at a
// time; a line over the line bound and a name that is no regular file are named.
using TestFileRead = testing::DirectoryTest;

TEST_F(TestFileRead, ReadsAFileLineByLineAsItsTextParses) {
  const std::string text =
      "# c\r\n/a => /a\n/b Host: x\n  => forbidden\n\n/c => \"/d e\"";  // no final LF
  Put("t.tests", text);
  std::vector<std::string> read;
  ReadTests(directory_ / "t.tests", [&](FileTest&& test) {
    read.push_back(std::to_string(test.request.line) + " " + DescribeRequest(test.request.request) +
                   " => " + DescribeExpectation(test.expected));
  });
  std::vector<std::string> parsed;
  for (const FileTest& test : ParseTests(text, "t")) {
    parsed.push_back(std::to_string(test.request.line) + " " +
                     DescribeRequest(test.request.request) + " => " +
                     DescribeExpectation(test.expected));
  }
  EXPECT_EQ(read, parsed);
  EXPECT_EQ(read.size(), 3u);

  // A test is handed on once a line starts the next one; the long line stops the read first.
  Put("long.tests", "/a => /a\n/" + std::string(kRequestLineLimit, 'x') + " => /b\n");
  std::filesystem::create_directory(directory_ / "dir.tests");
  const struct {
    const char* name;
    const char* message;
  } cases[] = {
      {"long.tests", "long.tests:2: expected a line of at most 128 KiB"},
      {"missing.tests", "missing.tests: no such file or directory"},
      {"dir.tests", "dir.tests: a directory"},
  };
  for (const auto& c : cases) {
    size_t handed = 0;
    try {
      ReadTests(directory_ / c.name, [&](FileTest&&) { ++handed; });
      ADD_FAILURE() << "no error for " << c.name;
    } catch (const TestFileError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
    EXPECT_EQ(handed, 0u) << c.name;
  }
}

TEST(TestFile, DescribesARequestSoThatItReadsBack) {
  // URLs that read as a method or a version are quoted, their backslashes escaped as well.
  for (const char* url : {"DELETE", "HTTP//help/\\\\\\x", "HTTP/\"", "/a\\b"}) {
    MemoryRequest request;
    request.method = "GET x";
    request.url = url;
    request.version = "HTTP/1.0";
    request.headers = {{"A", "=> \"q\"\\ \r\n\x80"}, {"B", "site"}};
    request.siteId = 7;
    request.secure = true;
    request.serverVariables = {{"V", "1 2"}};
    const std::string line = DescribeRequest(request) + " => /";
    MemoryRequest back;
    try {
      back = ParseTests(line, "t").at(0).request.request;
    } catch (const TestFileError& error) {
      ADD_FAILURE() << line << ": " << error.what();
      continue;
    }
    EXPECT_EQ(back.method, request.method) << line;
    EXPECT_EQ(back.url, request.url) << line;
    EXPECT_EQ(back.version, request.version) << line;
    EXPECT_EQ(back.headers, request.headers) << line;
    EXPECT_EQ(back.siteId, 7u);
    EXPECT_TRUE(back.secure);
    EXPECT_EQ(back.serverVariables, request.serverVariables) << line;
  }
}

TEST(TestFile, ComparesTheOutcomeWithWhatIsChecked) {
  RequestOutcome redirect;
  redirect.kind = RequestOutcome::Kind::Answered;
  redirect.status = 302;
  redirect.location = "/b";
  redirect.logDisabled = true;
  RequestOutcome moved = redirect;
  moved.status = 301;
  RequestOutcome toStatus = redirect;  // a 302 to the Location "301"
  toStatus.location = "301";
  RequestOutcome passed;
  passed.passedOn.url = "/p";
  passed.passedOn.headers = {{"x-a", "1"}};
  passed.logTarget = "/q";
  passed.logParameters = "r=1";
  const struct {
    const RequestOutcome& outcome;
    const char* expectation;
    const char* actual;  // empty: met
  } cases[] = {
      {redirect, "redirect /b no log", ""},
      {redirect, "redirect /c", "redirect /b"},
      {redirect, "forbidden", "redirect /b"},
      {redirect, "/b", "redirect /b"},
      {redirect, "redirect 302 /b", ""},
      {redirect, "redirect 301 /b", "redirect /b"},
      {moved, "redirect 301 /b no log", ""},
      {moved, "redirect /b", "redirect 301 /b"},
      {moved, "redirect 308 /b", "redirect 301 /b"},
      {moved, "redirect 301 \"301\"", "redirect 301 /b"},
      {toStatus, "redirect 301", ""},
      {toStatus, "redirect 301 no log", ""},
      {toStatus, "redirect \"301\" with no log", ""},
      {toStatus, "redirect 301 301", "redirect 301"},
      {passed, "/p X-A: 1 no B: log /q?r=1", ""},
      {passed, "/p X-A: 2 no X-A:", "passed /p X-A: 1 X-A: 1"},
      {passed, "/p method POST no log", "passed /p method GET log /q?r=1"},
      {passed, "error 500", "passed /p"},
  };
  for (const auto& c : cases) {
    const Expectation expected = ParseTests(std::string("/ => ") + c.expectation, "t")[0].expected;
    std::string actual;
    EXPECT_EQ(Meets(c.outcome, expected, actual), *c.actual == '\0') << c.expectation;
    EXPECT_EQ(actual, c.actual) << c.expectation;
  }
}

}  // namespace
}  // namespace vortane::tools
