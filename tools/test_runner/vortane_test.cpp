// vortane-test: runs the requests of test files through the filter's request handling in this
// process, against the configuration of a server directory, and compares what the filter made
// of each with the outcome the test expects. Run without arguments for the options; the test
// file format is described in tools/test_runner/test_file.h.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file_names.h"
#include "base/text.h"
#include "platform/files.h"
#include "tools/compare/compare.h"
#include "tools/compare/coverage.h"
#include "tools/runner/command_line.h"
#include "tools/runner/file_access.h"
#include "tools/runner/in_process.h"
#include "tools/test_runner/test_file.h"

namespace fs = std::filesystem;

namespace {

using vortane::tools::UsageError;

constexpr char kUsage[] =
    "usage: vortane-test [options] DIRECTORY TESTFILE...\n"
    "       vortane-test --compare OLD_DIRECTORY NEW_DIRECTORY REQUESTS [--site N] [--coverage]\n"
    "\n"
    "Runs the requests of each TESTFILE through the filter's request handling in this process,\n"
    "with DIRECTORY as the directory the server loads it from: the global httpd.ini is\n"
    "DIRECTORY/httpd.ini, and the site table DIRECTORY/sites.txt gives each site's root, where\n"
    "its own httpd.ini lies. Each test is one line: a request, \"=>\", and what the filter\n"
    "should make of it:\n"
    "\n"
    "  # comments and blank lines are skipped\n"
    "  GET /a?b=1 Host: www.example.com => redirect http://example.com/a?b=1\n"
    "  /wp-login.php => forbidden\n"
    "  /help/install => /help.asp?topic=install log /help/install\n"
    "  /x site 2 Accept-Language: en-GB => passed /x with Accept-Language: en\n"
    "\n"
    "options:\n"
    "  --trace-failures       print the trace of each failing request (as vortane-try --trace)\n"
    "  --junit FILE           also write a JUnit XML report to FILE\n"
    "  --coverage             print how many requests matched each rule, and the rules none\n"
    "                         reached\n"
    "  --site-root N=PATH     site N's root directory, before DIRECTORY/sites.txt (repeatable;\n"
    "                         nothing is written)\n"
    "\n"
    "Prints one line per failing test and a summary. Exit status: 0 when every test passed, 1\n"
    "when one failed, 2 when the arguments or a test file cannot be used.\n"
    "\n"
    "--compare replays the requests of REQUESTS (an access log in the W3C extended format, a\n"
    "test file, or a list of URLs, one \"[METHOD] URL\" a line) through the configurations of\n"
    "both directories, each with its own sites.txt, and lists every request whose outcome\n"
    "differs, grouped by the rule that decided it in each. --site N: the site of requests\n"
    "whose source names none (default 1). Exit status: 0 when none differ, 1 when some do, 2\n"
    "when the arguments or REQUESTS cannot be used.\n";

struct Options {
  fs::path directory;
  std::vector<fs::path> testFiles;
  std::vector<std::pair<uint32_t, fs::path>> siteRoots;
  std::optional<fs::path> junit;
  bool traceFailures = false;
  bool coverage = false;
};

Options ParseArguments(int argc, char** argv) {
  Options options;
  const vortane::tools::OptionNames names = {{"--trace-failures", "--coverage"},
                                             {"--junit", "--site-root"}};
  const std::vector<std::string_view> positional = vortane::tools::WalkArguments(
      argc, argv, names, [&](std::string_view name, std::string_view value) {
        if (name == "--trace-failures") {
          options.traceFailures = true;
        } else if (name == "--coverage") {
          options.coverage = true;
        } else if (name == "--junit") {
          options.junit = fs::path(std::string(value));
        } else {
          const size_t equals = value.find('=');
          if (equals == std::string_view::npos || equals + 1 == value.size()) {
            throw UsageError("--site-root needs N=PATH with N from 1, not '" + std::string(value) +
                             "'");
          }
          options.siteRoots.emplace_back(vortane::tools::ParseSiteNumber(value.substr(0, equals)),
                                         fs::path(std::string(value.substr(equals + 1))));
        }
      });
  if (positional.size() < 2) throw UsageError("expected DIRECTORY and at least one TESTFILE");
  options.directory = fs::path(std::string(positional[0]));
  for (size_t i = 1; i < positional.size(); ++i) {
    options.testFiles.emplace_back(std::string(positional[i]));
  }
  return options;
}

// Text for an XML attribute or element: the five special characters as entities. The text
// is already free of control bytes and bytes outside ASCII (Escaped), which XML cannot carry
// or would read as another encoding.
std::string Xml(std::string_view text) {
  std::string out;
  for (const char c : vortane::tools::Escaped(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The same for a multi-line text: each line escaped, the line breaks kept.
std::string XmlLines(std::string_view text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    out += Xml(text.substr(start, end - start)) + "\n";
    start = end + 1;
  }
  return out;
}

// The JUnit report of one test file, built as its tests run: the report is written once
// every test has run, when the counts its first lines hold are known.
struct Suite {
  std::string name;  // Xml already
  size_t tests = 0, failures = 0;
  std::string cases;
};

void AddCase(Suite& suite, const vortane::tools::FileTest& test, const std::string* failure,
             const std::string& trace) {
  ++suite.tests;
  suite.cases += "    <testcase classname=\"" + suite.name + "\" name=\"" +
                 std::to_string(test.request.line) + ": " +
                 Xml(vortane::tools::DescribeRequest(test.request.request)) + "\"";
  if (failure == nullptr) {
    suite.cases += "/>\n";
    return;
  }
  ++suite.failures;
  suite.cases += ">\n      <failure message=\"" + Xml(*failure) + "\">" + XmlLines(trace) +
                 "</failure>\n    </testcase>\n";
}

// The files a report must never replace: the test files, and the configuration the run
// reads (the global httpd.ini and sites.txt, each loaded site's httpd.ini and the report
// beside it).
std::vector<fs::path> Inputs(const Options& options, const std::vector<fs::path>& loaded) {
  std::vector<fs::path> inputs = options.testFiles;
  inputs.push_back(options.directory / vortane::kConfigFileName);
  inputs.push_back(options.directory / vortane::kSiteTableFileName);
  for (const auto& [site, root] : options.siteRoots)
    inputs.push_back(root / vortane::kConfigFileName);
  for (const fs::path& file : loaded) {
    inputs.push_back(file);
    inputs.push_back(file.parent_path() / vortane::kReportFileName);
  }
  return inputs;
}

// Throws UsageError when the JUnit report may not be written at `path`: a link, anything but
// a regular file, a file with other hard links (writing it would change what another name
// shows), or one of the run's inputs (the same device and file index, under any name).
void CheckReportPath(const fs::path& path, const std::vector<fs::path>& inputs) {
  using vortane::platform::PathKind;
  const std::string shown = "the JUnit report " + vortane::tools::Escaped(path.u8string());
  const vortane::platform::PathFacts facts = vortane::platform::LookAtPath(path.native(), false);
  if (facts.kind == PathKind::Missing) return;
  if (facts.kind == PathKind::Link) throw UsageError(shown + " is a symbolic link: not written");
  if (facts.kind != PathKind::Regular) {
    throw UsageError(shown + " is " +
                     (facts.kind == PathKind::Directory
                          ? std::string("a directory")
                          : std::string(vortane::platform::PathKindText(facts.kind))) +
                     ": not written");
  }
  for (const fs::path& input : inputs) {
    if (facts.IsSameFile(vortane::platform::LookAtPath(input.native(), true))) {
      throw UsageError(shown + " is " + vortane::tools::Escaped(input.u8string()) +
                       ", an input of this run: not written");
    }
  }
  if (facts.links > 1) {
    throw UsageError(shown + " has other hard links (" + std::to_string(facts.links - 1) +
                     "): not written");
  }
}

void WriteJunit(const fs::path& path, const std::vector<Suite>& suites, size_t total, size_t failed,
                const std::vector<fs::path>& inputs) {
  CheckReportPath(path, inputs);
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"vortane-test\" tests=\"" +
      std::to_string(total) + "\" failures=\"" + std::to_string(failed) + "\">\n";
  for (const Suite& suite : suites) {
    xml += "  <testsuite name=\"" + suite.name + "\" tests=\"" + std::to_string(suite.tests) +
           "\" failures=\"" + std::to_string(suite.failures) + "\">\n" + suite.cases +
           "  </testsuite>\n";
  }
  xml += "</testsuites>\n";
  // The report replaces a file, never what a link points to.
  try {
    vortane::tools::ReplaceFileWith(path, xml);
  } catch (const std::runtime_error& error) {
    throw UsageError(std::string("the JUnit report ") + error.what());
  }
}

// Notes on stderr each parse report beside a loaded configuration that lists lines the filter
// could not use: their rules were not tested.
void NoteReports(const std::vector<fs::path>& files) {
  for (const fs::path& file : files) {
    const fs::path report = file.parent_path() / vortane::kReportFileName;
    std::error_code error;
    if (!fs::is_regular_file(report, error) || fs::file_size(report, error) == 0 || error) {
      continue;
    }
    std::fprintf(stderr, "vortane-test: note: %s lists lines of %s the filter could not use\n",
                 vortane::tools::ShownPath(report).c_str(),
                 vortane::tools::ShownPath(file).c_str());
  }
}

int Run(const Options& options) {
  if (!fs::is_directory(options.directory)) {
    throw UsageError("no such directory: " + options.directory.u8string());
  }
  if (options.junit) CheckReportPath(*options.junit, Inputs(options, {}));
  // Every file is read before any test runs: a mistake in one stops the run. The tests are
  // not kept: each file is read again as its tests run, one test in memory at a time.
  bool unusable = false;
  for (const fs::path& file : options.testFiles) {
    try {
      vortane::tools::ReadTests(file, [](vortane::tools::FileTest&&) {});
    } catch (const vortane::tools::TestFileError& error) {
      std::fprintf(stderr, "vortane-test: %s\n", vortane::tools::Escaped(error.what()).c_str());
      unusable = true;
    }
  }
  if (unusable) return 2;

  vortane::tools::InProcessFilter filter(options.directory);
  for (const auto& [site, root] : options.siteRoots) filter.SetSiteRoot(site, root);
  vortane::tools::Coverage coverage;
  std::vector<Suite> suites;
  size_t total = 0, failed = 0;
  for (const fs::path& file : options.testFiles) {
    Suite& suite = suites.emplace_back();
    suite.name = Xml(file.u8string());
    const auto run = [&](vortane::tools::FileTest&& test) {
      ++total;
      // Traced from the start when a trace may be shown: a second run could differ (a rule
      // whose match timed out is disabled for later runs).
      const bool trace = options.traceFailures || options.junit.has_value();
      vortane::tools::RequestOutcome outcome = filter.Run(test.request.request, trace);
      coverage.Add(outcome);
      std::string actual;
      if (vortane::tools::Meets(outcome, test.expected, actual)) {
        if (options.junit) AddCase(suite, test, nullptr, std::string());
        return;
      }
      ++failed;
      const std::string failure =
          vortane::tools::DescribeRequest(test.request.request) + " => expected " +
          vortane::tools::DescribeExpectation(test.expected) + "; got " + actual;
      std::printf("%s:%u: %s\n", vortane::tools::Escaped(test.request.file).c_str(),
                  static_cast<unsigned>(test.request.line), failure.c_str());
      if (options.traceFailures) std::fputs(outcome.trace.c_str(), stdout);
      if (options.junit) AddCase(suite, test, &failure, outcome.trace);
    };
    try {
      vortane::tools::ReadTests(file, run);
    } catch (const vortane::tools::TestFileError& error) {
      // Changed since it was first read.
      std::fprintf(stderr, "vortane-test: %s\n", vortane::tools::Escaped(error.what()).c_str());
      return 2;
    }
  }
  NoteReports(filter.LoadedFiles());
  if (options.coverage) std::fputs(coverage.Report(filter.LoadedRules()).c_str(), stdout);
  std::printf("%zu test%s, %zu failed\n", total, total == 1 ? "" : "s", failed);
  if (options.junit) {
    WriteJunit(*options.junit, suites, total, failed, Inputs(options, filter.LoadedFiles()));
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (vortane::tools::IsCompareMode(argc, argv)) {
    return vortane::tools::RunCommand("vortane-test", kUsage, argc, argv,
                                      vortane::tools::ParseCompareArguments,
                                      vortane::tools::RunCompare);
  }
  return vortane::tools::RunCommand("vortane-test", kUsage, argc, argv, ParseArguments, Run);
}
