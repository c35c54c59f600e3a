// Fuzzes the readers of vortane-test's inputs, all of them files an administrator may take
// from anywhere: test files, W3C access logs and URL lists. The first byte picks the reader;
// the rest is the file.
//   - A test file either fails with TestFileError or gives tests whose request and
//     expectation, written back as a test file writes them, read back to the same text.
//   - A log or URL list gives requests with a URL and no control byte in it, never more than
//     one per line, and counts every line it skips.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "rules/server_values.h"
#include "tools/request_log.h"
#include "tools/test_file.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int reader = data[0] % 3;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (reader == 0) {
    FuzzTestFile(text);
  } else {
    FuzzRequests(text, reader == 1);
  }
  return 0;
}
