#include "tools/compare/compare.h"

#include <algorithm>
#include <cstdio>
#include <istream>
#include <system_error>

#include "base/text.h"
#include "tools/compare/coverage.h"
#include "tools/runner/command_line.h"
#include "tools/runner/file_access.h"
#include "tools/runner/request_log.h"
#include "tools/test_runner/test_file.h"

namespace fs = std::filesystem;

namespace vortane::tools {
namespace {

std::string Quoted(std::string_view bytes) {
  return "\"" + Escaped(bytes) + "\"";
}

// `lines` under the request: the first after "LABEL: ", the rest lined up under it.
std::string Labelled(std::string_view label, const std::string& lines) {
  std::string out;
  size_t start = 0;
  while (start < lines.size()) {
    const size_t newline = lines.find('\n', start);
    const size_t end = newline == std::string::npos ? lines.size() : newline + 1;
    out += (start == 0 ? "    " + std::string(label) + ": " : std::string(9, ' ')) +
           lines.substr(start, end - start);
    start = end;
  }
  return out;
}

// The position of `rule` in `rules`: after all of them for a rule not among them, and after
// that for no rule, so that "no rule" sorts last.
size_t Place(const std::optional<RuleRef>& rule, const std::vector<RuleRef>& rules) {
  if (!rule) return rules.size() + 1;
  const auto found = std::find(rules.begin(), rules.end(), *rule);
  return static_cast<size_t>(found - rules.begin());
}

// The first bytes of the requests file at `path`, to tell its format.
std::string FileStart(const fs::path& path) {
  FileInput input(path);
  std::string start(4096, '\0');
  const std::streamsize got = input.sgetn(start.data(), static_cast<std::streamsize>(start.size()));
  start.resize(static_cast<size_t>(std::max<std::streamsize>(got, 0)));
  return start;
}

// A test file: its first line that is neither blank nor a comment holds "=>" as a word. Only
// `start`, the file's first bytes, is looked at.
bool LooksLikeTestFile(std::string_view start) {
  size_t at = 0;
  while (at < start.size()) {
    size_t end = start.find('\n', at);
    if (end == std::string_view::npos) end = start.size();
    const std::string_view line = start.substr(at, end - at);
    at = end + 1;
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') continue;
    const size_t arrow = line.find("=>");
    return arrow != std::string_view::npos &&
           (arrow == 0 || line[arrow - 1] == ' ' || line[arrow - 1] == '\t') &&
           (arrow + 2 == line.size() || line[arrow + 2] == ' ' || line[arrow + 2] == '\t');
  }
  return false;
}

}  // namespace

std::vector<std::string_view> OutcomeDifferences(const RequestOutcome& before,
                                                 const RequestOutcome& after) {
  std::vector<std::string_view> differences;
  if (before.kind != after.kind) {
    differences.push_back("kind");
  } else if (before.kind == RequestOutcome::Kind::Answered) {
    if (before.status != after.status) differences.push_back("status");
    if (before.location != after.location) differences.push_back("Location");
    if (differences.empty() && before.response != after.response) {
      differences.push_back("response");
    }
  } else if (before.kind == RequestOutcome::Kind::PassedOn) {
    const MemoryRequest& old = before.passedOn;
    const MemoryRequest& now = after.passedOn;
    if (old.method != now.method) differences.push_back("method");
    if (old.url != now.url) differences.push_back("URL");
    if (old.version != now.version) differences.push_back("version");
    if (old.headers != now.headers) differences.push_back("headers");
  } else if (before.filterStatus != after.filterStatus) {
    differences.push_back("status");
  }
  if (before.logDisabled != after.logDisabled ||
      (!before.logDisabled &&
       (before.logTarget != after.logTarget || before.logParameters != after.logParameters))) {
    differences.push_back("log");
  }
  return differences;
}

std::string DescribeOutcome(const RequestOutcome& outcome) {
  std::string text;
  switch (outcome.kind) {
    case RequestOutcome::Kind::Answered:
      text += "answered " + std::to_string(outcome.status) + ": " + Quoted(outcome.response) + "\n";
      break;
    case RequestOutcome::Kind::PassedOn: {
      const MemoryRequest& request = outcome.passedOn;
      text += "passed on: " + Escaped(request.method) + " " + Quoted(request.url) + " " +
              Escaped(request.version) + "\n";
      for (const auto& [name, value] : request.headers) {
        text += "  " + Escaped(name) + ": " + Quoted(value) + "\n";
      }
      break;
    }
    case RequestOutcome::Kind::Failed: {
      char status[16];
      std::snprintf(status, sizeof status, "0x%08lx",
                    static_cast<unsigned long>(outcome.filterStatus));
      text += std::string("failed (status ") + status + ")\n";
      break;
    }
  }
  text += outcome.logDisabled ? "log: off\n"
                              : "log: target " + Quoted(outcome.logTarget) + " parameters " +
                                    Quoted(outcome.logParameters) + "\n";
  return text;
}

std::string DescribeRule(const std::optional<RuleRef>& rule, const fs::path& directory) {
  if (!rule) return "no rule";
  const fs::path file = fs::u8path(rule->file);
  const fs::path relative = file.lexically_proximate(directory);
  const bool below =
      !relative.empty() && relative.is_relative() && *relative.begin() != fs::path("..");
  return Escaped((below ? relative : file).generic_u8string()) + ":" + std::to_string(rule->line);
}

bool Comparison::Add(const MemoryRequest& request, size_t line, const RequestOutcome& before,
                     const RequestOutcome& after) {
  ++replayed_;
  const std::vector<std::string_view> differences = OutcomeDifferences(before, after);
  if (differences.empty()) return false;
  ++differing_;
  // The request in the form a test file writes it, so that it can be pasted into one. Server
  // variables (a logged client address) are left out: requests that differ only there are
  // shown once.
  MemoryRequest shown = request;
  shown.serverVariables.clear();
  std::string text = DescribeRequest(shown) + "\n" + Labelled("old", DescribeOutcome(before)) +
                     Labelled("new", DescribeOutcome(after));
  text += "    differs in:";
  for (size_t i = 0; i < differences.size(); ++i) {
    text += (i == 0 ? " " : ", ") + std::string(differences[i]);
  }
  text += "\n";

  Group& group = groups_[GroupKey(after.decidedBy, before.decidedBy)];
  ++group.count;
  const auto known = group.index.find(text);
  if (known == group.index.end() && group.entries.size() >= kShownPerGroup) {
    ++group.unshown;
    return true;
  }
  if (known == group.index.end()) {
    group.index.emplace(text, group.entries.size());
    group.entries.push_back(Entry{std::move(text), {}, 0});
  }
  Entry& entry =
      group.entries[known == group.index.end() ? group.entries.size() - 1 : known->second];
  ++entry.count;
  if (entry.lines.size() < kLinesPerEntry) entry.lines.push_back(line);
  return true;
}

std::string Comparison::Format(const fs::path& oldDirectory, const fs::path& newDirectory,
                               const std::vector<RuleRef>& oldRules,
                               const std::vector<RuleRef>& newRules) const {
  std::vector<const std::pair<const GroupKey, Group>*> order;
  for (const auto& group : groups_) order.push_back(&group);
  std::stable_sort(order.begin(), order.end(), [&](const auto* a, const auto* b) {
    return std::make_pair(Place(a->first.first, newRules), Place(a->first.second, oldRules)) <
           std::make_pair(Place(b->first.first, newRules), Place(b->first.second, oldRules));
  });
  std::string report;
  for (const auto* item : order) {
    const auto& [key, group] = *item;
    report += DescribeRule(key.first, newDirectory) + " (new) / " +
              DescribeRule(key.second, oldDirectory) + " (old): " + std::to_string(group.count) +
              (group.count == 1 ? " request\n" : " requests\n");
    for (const Entry& entry : group.entries) {
      std::string lines = entry.lines.size() == 1 ? "  line " : "  lines ";
      for (size_t i = 0; i < entry.lines.size(); ++i) {
        lines += (i == 0 ? "" : ", ") + std::to_string(entry.lines[i]);
      }
      if (entry.count > entry.lines.size()) {
        lines += " and " + std::to_string(entry.count - entry.lines.size()) + " more";
      }
      report += lines + ": " + entry.text;
    }
    if (group.unshown > 0) {
      report += "  ... and " + std::to_string(group.unshown) +
                " more requests not shown (at most " + std::to_string(kShownPerGroup) +
                " different ones per group)\n";
    }
    report += "\n";
  }
  report += std::to_string(replayed_) + (replayed_ == 1 ? " request" : " requests") +
            " replayed, " + std::to_string(differing_) + " differ\n";
  return report;
}

bool IsCompareMode(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "--compare") return true;
  }
  return false;
}

CompareOptions ParseCompareArguments(int argc, char** argv) {
  CompareOptions options;
  bool compare = false;
  const OptionNames names = {{"--compare", "--coverage"}, {"--site"}};
  const std::vector<std::string_view> positional =
      WalkArguments(argc, argv, names, [&](std::string_view name, std::string_view value) {
        if (name == "--compare") {
          compare = true;
        } else if (name == "--coverage") {
          options.coverage = true;
        } else {
          options.site = ParseSiteNumber(value);
        }
      });
  if (!compare) throw UsageError("expected --compare");
  if (positional.size() != 3) {
    throw UsageError("--compare takes OLD_DIRECTORY NEW_DIRECTORY REQUESTS");
  }
  options.oldDirectory = fs::u8path(positional[0]);
  options.newDirectory = fs::u8path(positional[1]);
  options.requests = fs::u8path(positional[2]);
  return options;
}

namespace {

// Replays the requests of options.requests into `replay`, in the file's own format.
ReadSummary ReadRequests(const CompareOptions& options, const RequestSink& replay) {
  // Read as every tool reads: a regular file only, line by line.
  const std::string start = FileStart(options.requests);
  const bool testFile = DetectRequestFormat(start) != RequestFormat::AccessLog &&
                        (options.requests.extension() == ".tests" || LooksLikeTestFile(start));
  if (testFile) {
    ReadSummary summary;
    ReadTests(options.requests, [&](FileTest&& test) {
      ++summary.requests;
      replay(SourcedRequest{std::move(test.request.request), test.request.line});
    });
    return summary;
  }
  FileInput file(options.requests);
  std::istream input(&file);
  const ReadSummary summary = DetectRequestFormat(start) == RequestFormat::AccessLog
                                  ? ReadAccessLog(input, options.site, replay)
                                  : ReadUrlList(input, options.site, replay);
  if (file.Failed()) throw UsageError(Escaped(options.requests.u8string()) + ": cannot be read");
  return summary;
}

void PrintSkipped(const ReadSummary& summary, const fs::path& requests) {
  if (summary.skipped == 0) return;
  std::printf("%s line%s of %s skipped:\n", std::to_string(summary.skipped).c_str(),
              summary.skipped == 1 ? "" : "s", Escaped(requests.u8string()).c_str());
  for (const std::string& example : summary.skipExamples) {
    std::printf("  %s\n", Escaped(example).c_str());
  }
  if (summary.skipped > summary.skipExamples.size()) std::printf("  ...\n");
}

int Compare(const CompareOptions& options) {
  for (const fs::path& directory : {options.oldDirectory, options.newDirectory}) {
    if (!fs::is_directory(directory)) {
      throw UsageError("no such directory: " + directory.u8string());
    }
  }
  const platform::PathKind kind = platform::LookAtPath(options.requests.native(), true).kind;
  if (kind != platform::PathKind::Regular) throw UsageError(NotReadable(options.requests, kind));
  InProcessFilter oldFilter(options.oldDirectory);
  InProcessFilter newFilter(options.newDirectory);
  Comparison comparison;
  Coverage coverage;
  const ReadSummary summary = ReadRequests(options, [&](SourcedRequest&& sourced) {
    const RequestOutcome before = oldFilter.Run(sourced.request, false);
    const RequestOutcome after = newFilter.Run(sourced.request, false);
    comparison.Add(sourced.request, sourced.line, before, after);
    coverage.Add(after);
  });

  const fs::path oldDirectory = fs::absolute(options.oldDirectory).lexically_normal();
  const fs::path newDirectory = fs::absolute(options.newDirectory).lexically_normal();
  std::fputs(
      comparison
          .Format(oldDirectory, newDirectory, oldFilter.LoadedRules(), newFilter.LoadedRules())
          .c_str(),
      stdout);
  PrintSkipped(summary, options.requests);
  if (options.coverage) {
    std::printf("\nnew configuration, ");
    std::fputs(coverage.Report(newFilter.LoadedRules()).c_str(), stdout);
  }
  return comparison.Differing() == 0 ? kCompareSame : kCompareDiffer;
}

}  // namespace

int RunCompare(const CompareOptions& options) {
  // Status 1 means "some differ": whatever stops the run is reported with status 2.
  try {
    return Compare(options);
  } catch (const UsageError&) {
    throw;
  } catch (const std::exception& error) {
    throw UsageError(error.what());
  }
}

}  // namespace vortane::tools
