// Test files of vortane-test: requests and what the filter should make of each, one test a
// line.
//
//   # comment (a line whose first non-blank is "#"); blank lines are skipped
//   [METHOD] URL [HTTP/x.y] [modifier...] => expectation [check...]
//
// Words are separated by blanks (spaces, tabs). A word is taken literally, or written in
// double quotes with the escapes \\ \" \r \n \t and \xHH, for blanks, quotes, control bytes
// and bytes outside ASCII; a quoted word is never a keyword. A line that starts with a blank
// continues the test of the line before. No other control byte may appear raw.
//
// Request: METHOD (upper-case letters, default GET), URL (path and query as sent), version
// (default HTTP/1.1, a word starting with "HTTP/"), then in any order: "Name: value" (a
// request header, in order), "site N" (default 1), "secure", "var NAME=VALUE" (a server
// variable), "method M" and "version V" (for other forms of either).
//
// Expectation: "redirect LOCATION" (302 with that Location), "redirect STATUS LOCATION" (a
// redirect with that status: 301, 302, 303, 307 or 308; "redirect 301" alone is a 302 to
// "301"), "forbidden" (403), "error N"
// (the filter answered with status N: 500, 414), or the request passed on: "passed URL", or
// the URL alone when it starts with "/" or is quoted. Checks that may follow: "Name: value"
// (the passed-on request has the header with that value), "no Name:" (it has no such header),
// "method M", "version V" (passed on only); on any outcome "log TEXT" (the log shows TEXT:
// target, then "?" and the parameters when there are any) and "no log" (the log
// notification was switched off). "with" may stand before a check, for reading.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memory_server/memory_server.h"
#include "tools/runner/in_process.h"

namespace vortane::tools {

// A request of a test file with where it was written.
struct TestRequest {
  std::string file;   // the test file's name as given
  uint32_t line = 0;  // the line the test starts on, from 1
  MemoryRequest request;
};

// What a test expects of the filter.
struct Expectation {
  enum class Kind { Redirect, Answered, PassedOn };
  Kind kind = Kind::PassedOn;
  int status = 0;                              // Redirect, Answered: the status code
  std::string location;                        // Redirect: the Location header's value
  std::string url;                             // PassedOn: the URL passed on
  std::optional<std::string> method, version;  // PassedOn: when checked
  // PassedOn: headers checked in order, each with its value, or nullopt for "absent".
  std::vector<std::pair<std::string, std::optional<std::string>>> headers;
  enum class Log { Unchecked, Off, Shows };
  Log log = Log::Unchecked;
  std::string logText;  // Log::Shows: target, then "?" and parameters when there are any
};

struct FileTest {
  TestRequest request;
  Expectation expected;
};

// A mistake in a test file: what() is "FILE:LINE: what was expected, what was found".
struct TestFileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The tests of the test file text `text`, named `file` in messages. Throws TestFileError at
// the first mistake. Linear in the text's length; thread-safe (a pure function).
std::vector<FileTest> ParseTests(std::string_view text, const std::string& file);

// Called with each test read, in file order.
using TestSink = std::function<void(FileTest&&)>;

// Reads the test file at `path` (a regular file, links followed) line by line and hands each
// test to `sink` as soon as it is read: memory stays bounded by one test whatever the file's
// length. Throws TestFileError for a mistake (after the tests before it were handed on), a
// line longer than kRequestLineLimit, a test longer than 1 MiB over its lines, and a name
// that is not a regular file that can be read. Cost: one pass over the file.
void ReadTests(const std::filesystem::path& path, const TestSink& sink);

// The requests of the test file at `path`, without their expectations: for running the same
// requests some other way. Throws as ReadTests.
std::vector<TestRequest> ReadTestRequests(const std::filesystem::path& path);

// `request` written as a test file writes it (method and version only when not the
// defaults), so that it can be pasted into one. Thread-safe.
std::string DescribeRequest(const MemoryRequest& request);

// `expected` written as a test file writes it. Thread-safe.
std::string DescribeExpectation(const Expectation& expected);

// Whether `outcome` meets `expected`; when it does not, `actual` receives what the filter
// did, told in the terms of `expected` (the same checks, with the values found).
bool Meets(const RequestOutcome& outcome, const Expectation& expected, std::string& actual);

}  // namespace vortane::tools
