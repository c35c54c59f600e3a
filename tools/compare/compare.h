// vortane-test --compare: replays requests through two configurations and reports every
// request whose outcome differs, grouped by the rules that decided it in each.
//
// What an administrator learns before deploying a change: what it does to the traffic the
// site really gets. The requests come from an access log, a URL list or a test file
// (tools/runner/request_log.h); each runs through an in-process filter per configuration directory
// (tools/runner/in_process.h), each with its own DIRECTORY/httpd.ini and DIRECTORY/sites.txt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memory_server/memory_server.h"
#include "tools/runner/in_process.h"

namespace vortane::tools {

// Exit statuses of the compare mode; arguments or files that cannot be used end it with
// UsageError (command_line.h) instead.
inline constexpr int kCompareSame = 0;    // no request's outcome differs
inline constexpr int kCompareDiffer = 1;  // some do

// The aspects of two outcomes that differ, by name, in this order: "kind", "status",
// "Location", "response" (other bytes of a response), "method", "URL", "version", "headers"
// (of the request passed on: names, values and order), "log" (switched off or on, target,
// parameters). Empty when the outcomes are the same for the client, the server and the log:
// which rules matched and the trace are not compared. Linear; thread-safe.
std::vector<std::string_view> OutcomeDifferences(const RequestOutcome& before,
                                                 const RequestOutcome& after);

// The outcome as printable lines (bytes escaped, values in quotes), each ending in "\n":
// "answered STATUS: RESPONSE", "passed on: METHOD URL
// VERSION" with one line per header, or "failed (status 0xHHHHHHHH)"; then "log: off" or the
// log record's target and parameters. Linear; thread-safe.
std::string DescribeOutcome(const RequestOutcome& outcome);

// A rule for a heading: its file relative to `directory` when it lies below it (as given
// otherwise), ":" and its line; "no rule" for none. Thread-safe.
std::string DescribeRule(const std::optional<RuleRef>& rule,
                         const std::filesystem::path& directory);

// Collects the requests whose outcomes differ, grouped by the rule that decided each in the
// new configuration and in the old. Within a group, requests with the same printed request
// and the same two outcomes are shown once with all their line numbers. Memory is bounded:
// a group keeps at most kShownPerGroup distinct entries (the rest are only counted) and an
// entry at most kLinesPerEntry line numbers. Not thread-safe.
class Comparison {
 public:
  static constexpr size_t kShownPerGroup = 1000;
  static constexpr size_t kLinesPerEntry = 20;

  // Counts one replayed request and keeps it when its outcomes differ. `line` is its line in
  // the requests file. Returns true when they differ.
  bool Add(const MemoryRequest& request, size_t line, const RequestOutcome& before,
           const RequestOutcome& after);

  size_t Replayed() const { return replayed_; }
  size_t Differing() const { return differing_; }

  // The report: one group after another, ordered by the new deciding rule's place in
  // `newRules` (and then the old one's in `oldRules`; "no rule" last), and the requests of a
  // group in the order first seen. File names are shown relative to their directory.
  std::string Format(const std::filesystem::path& oldDirectory,
                     const std::filesystem::path& newDirectory,
                     const std::vector<RuleRef>& oldRules,
                     const std::vector<RuleRef>& newRules) const;

 private:
  struct Entry {
    std::string text;  // the request and both outcomes, printed
    std::vector<size_t> lines;
    size_t count = 0;
  };
  struct Group {
    std::vector<Entry> entries;
    std::map<std::string, size_t, std::less<>> index;  // Entry::text -> position in entries
    size_t count = 0;
    size_t unshown = 0;
  };
  using GroupKey = std::pair<std::optional<RuleRef>, std::optional<RuleRef>>;  // new, old

  std::map<GroupKey, Group> groups_;
  size_t replayed_ = 0;
  size_t differing_ = 0;
};

// What the compare mode was asked to do.
struct CompareOptions {
  std::filesystem::path oldDirectory, newDirectory, requests;
  bool coverage = false;
  uint32_t site = 1;  // the site of requests whose source names none
};

// Whether the arguments ask for the compare mode: "--compare" before any "--".
bool IsCompareMode(int argc, char** argv);

// Parses the compare mode's arguments (argv[0] is the program): "--compare", OLD, NEW,
// REQUESTS, and the options --coverage and --site N, in any order. Throws UsageError.
CompareOptions ParseCompareArguments(int argc, char** argv);

// Replays the requests of options.requests through both directories' configurations and
// prints the report to stdout: the groups of differing requests, the summary, the lines of
// the requests file that were skipped, and with options.coverage the new configuration's
// coverage. The requests file is an access log, a test file (named *.tests, or whose first
// test line holds "=>") or a URL list (tools/runner/request_log.h, tools/test_runner/test_file.h).
// Returns kCompareSame or kCompareDiffer; throws UsageError for whatever stops the run (a directory
// or the requests file that cannot be used, a mistake in a test file), so that status 1
// always means "some differ". Cost: two in-process filter runs per request; memory bounded
// by Comparison's limits, whatever the log's size (a test file is read whole, 16 MiB at
// most). Not thread-safe (the parse reports it writes).
int RunCompare(const CompareOptions& options);

}  // namespace vortane::tools
