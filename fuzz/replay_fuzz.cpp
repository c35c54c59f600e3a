// Fuzzes the readers of vortane-test's inputs, all of them files an administrator may take
// from anywhere: test files, W3C access logs and URL lists. The first byte picks the reader;
// the rest is the file.
//   - A test file either fails with TestFileError or gives tests whose request and
//     expectation, written back as a test file writes them, read back to the same text.
//   - A log or URL list gives requests with a URL and no control byte in it, never more than
//     one per line, and counts every line it skips.
//   - For a log, the same bytes cut at their line feeds into a URL and two header values,
//     written as vortane-serve writes its fields (EscapedLogField), read back as exactly
//     those values, or the line is skipped when a value holds what a request cannot (a
//     control byte, a tab in a header excepted; no URL).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "rules/server_values.h"
#include "tools/runner/request_log.h"
#include "tools/test_runner/test_file.h"

namespace {

using vortane::tools::FileTest;

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

std::string Written(const FileTest& test) {
  return vortane::tools::DescribeRequest(test.request.request) + " => " +
         vortane::tools::DescribeExpectation(test.expected);
}

void FuzzTestFile(const std::string& text) {
  std::vector<FileTest> tests;
  try {
    tests = vortane::tools::ParseTests(text, "fuzz.tests");
  } catch (const vortane::tools::TestFileError&) {
    return;
  }
  for (const FileTest& test : tests) {
    const std::string written = Written(test);
    std::vector<FileTest> again;
    try {
      again = vortane::tools::ParseTests(written, "again.tests");
    } catch (const vortane::tools::TestFileError&) {
      __builtin_trap();  // what the runner writes must read back
    }
    Check(again.size() == 1 && Written(again[0]) == written);
  }
}

void FuzzRequests(const std::string& text, bool log) {
  std::istringstream input(text);
  size_t lines = 1;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  size_t handed = 0;
  const auto sink = [&](vortane::tools::SourcedRequest&& sourced) {
    ++handed;
    Check(!sourced.request.url.empty() && !vortane::HasControlByte(sourced.request.url));
    Check(sourced.line >= 1 && sourced.line <= lines);
  };
  const vortane::tools::ReadSummary summary = log ? vortane::tools::ReadAccessLog(input, 1, sink)
                                                  : vortane::tools::ReadUrlList(input, 1, sink);
  Check(summary.requests == handed && summary.requests + summary.skipped <= lines);
}

// The first three lines of `text` (missing ones empty) as x-requested-uri, cs(User-Agent)
// and cs(Referer) of one line of vortane-serve's log.
void FuzzLogRoundTrip(const std::string& text) {
  // Escaped, a line of this much stays under the reader's line limit.
  if (text.size() * 3 + 128 > vortane::tools::kRequestLineLimit) return;
  std::string values[3];
  size_t start = 0;
  for (std::string& value : values) {
    const size_t end = std::min(text.find('\n', start), text.size());
    if (start < text.size()) value = text.substr(start, end - start);
    start = end + 1;
  }
  const std::string log =
      "#Software: vortane-serve\n#Fields: x-requested-uri cs(User-Agent) cs(Referer)\n" +
      vortane::EscapedLogField(values[0]) + " " + vortane::EscapedLogField(values[1]) + " " +
      vortane::EscapedLogField(values[2]) + "\n";
  std::istringstream input(log);
  std::vector<vortane::tools::SourcedRequest> read;
  const vortane::tools::ReadSummary summary = vortane::tools::ReadAccessLog(
      input, 1, [&](vortane::tools::SourcedRequest&& sourced) { read.push_back(sourced); });
  const auto usableHeader = [](std::string value) {
    for (char& c : value) {
      if (c == '\t') c = ' ';
    }
    return !vortane::HasControlByte(value);
  };
  const bool usable = !values[0].empty() && !vortane::HasControlByte(values[0]) &&
                      usableHeader(values[1]) && usableHeader(values[2]);
  if (!usable) return Check(read.empty() && summary.skipped + summary.requests <= 1);
  Check(summary.skipped == 0 && read.size() == 1 && read[0].request.url == values[0]);
  std::vector<std::pair<std::string, std::string>> headers;
  if (!values[1].empty()) headers.emplace_back("User-Agent", values[1]);
  if (!values[2].empty()) headers.emplace_back("Referer", values[2]);
  Check(read[0].request.headers == headers);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int reader = data[0] % 3;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (reader == 0) {
    FuzzTestFile(text);
  } else {
    FuzzRequests(text, reader == 1);
    if (reader == 1) FuzzLogRoundTrip(text);
  }
  return 0;
}
