// vortane-try: runs one request through the filter library the way the web server does, and
// prints what the server sees afterwards.
//
// DIRECTORY plays the directory the server loads the filter from: it holds the global
// httpd.ini and, outside Windows, the site table sites.txt. The built library is copied into
// it (unless it already holds the same bytes) and loaded from there, so that the filter finds
// its global configuration beside itself. One request then goes through an in-memory server:
// the request-header notification and, unless the filter switched it off, the log
// notification. Run without arguments for the options.
//
// With --trace the library is not loaded: the request runs in this process through the
// request handling the library is built from (vortane_core's OnPreprocHeaders and OnLog), with
// the global configuration DIRECTORY/httpd.ini, and a tracer prints every sweep and rule of
// the global and the site pass before the usual output.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "base/text.h"
#include "config/site_config.h"
#include "filter/request.h"
#include "memory_server/memory_server.h"
#include "platform/isapi.h"
#include "platform/library.h"
#include "platform/site_roots.h"
#include "platform/system.h"
#include "rules/trace.h"
#include "store/store.h"
#include "tools/command_line.h"
#include "tools/filter_directory.h"

namespace fs = std::filesystem;

namespace {

using vortane::tools::UsageError;

constexpr char kUsage[] =
    "usage: vortane-try [options] DIRECTORY URL\n"
    "\n"
    "Runs one request for URL (path and query) through the filter, with DIRECTORY as the\n"
    "directory the server loads it from: the global httpd.ini is DIRECTORY/httpd.ini, and the\n"
    "site table DIRECTORY/sites.txt gives each site's root, where its own httpd.ini lies. The\n"
    "filter library is copied into DIRECTORY and loaded from there.\n"
    "\n"
    "options:\n"
    "  --library PATH         the filter library to copy (default: the one beside vortane-try)\n"
    "  --site N               the request's site number (default 1)\n"
    "  --site-root N=PATH     write site N's root directory into DIRECTORY/sites.txt first,\n"
    "                         replacing the site's line there; PATH may be relative to the\n"
    "                         current directory (repeatable)\n"
    "  --secure               the request came in on a secure port (HTTPS is \"on\")\n"
    "  --method M             the request method (default GET)\n"
    "  --version V            the protocol version (default HTTP/1.1)\n"
    "  --header \"Name: value\" a request header (repeatable, in order)\n"
    "  --var NAME=VALUE       a server variable such as REMOTE_ADDR (repeatable)\n"
    "  --trace                run the request in this process through the same request\n"
    "                         handling, without loading the library, and first print every\n"
    "                         sweep and rule of the global and the site pass: values read,\n"
    "                         groups, values written, results\n"
    "\n"
    "Prints the response the filter wrote, or the request passed on to the server with every\n"
    "header the filter changed or added; then what the log notification left in the log\n"
    "record, and the parse reports written by this run that are not empty.\n";

// Anything else that stops the run: exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::optional<fs::path> library;
  std::vector<std::pair<uint32_t, fs::path>> siteRoots;
  fs::path directory;
  vortane::MemoryRequest request;
  bool trace = false;
};

std::string Quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

uint32_t ParseSiteNumber(std::string_view text) {
  const std::optional<uint64_t> value = vortane::ParseDecimal(text, UINT32_MAX);
  if (!value || *value == 0) {
    throw UsageError("bad site number " + Quoted(text) + ": expected 1 to 4294967295");
  }
  return static_cast<uint32_t>(*value);
}

// "NAME=VALUE" split at its first "=", with a non-empty name.
std::pair<std::string, std::string> SplitAssignment(std::string_view text,
                                                    std::string_view option) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0) {
    throw UsageError(std::string(option) + " needs NAME=VALUE, not " + Quoted(text));
  }
  return {std::string(text.substr(0, equals)), std::string(text.substr(equals + 1))};
}

std::pair<std::string, std::string> ParseHeader(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    throw UsageError("header without a name and colon: " + Quoted(text));
  }
  std::string_view value = text.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
    value.remove_prefix(1);
  }
  return {std::string(text.substr(0, colon)), std::string(value)};
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  std::vector<std::string_view> positional;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg.substr(0, 2) != "--") {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--secure") {
      options.request.secure = true;
      continue;
    }
    if (arg == "--trace") {
      options.trace = true;
      continue;
    }
    if (arg.substr(0, 9) == "--secure=" || arg.substr(0, 8) == "--trace=") {
      throw UsageError("option " + std::string(arg.substr(0, arg.find('='))) + " takes no value");
    }
    // Every other option takes a value, as the next argument or after "=".
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (const size_t equals = arg.find('='); equals != std::string_view::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    const bool known = name == "--library" || name == "--site" || name == "--site-root" ||
                       name == "--method" || name == "--version" || name == "--header" ||
                       name == "--var";
    if (!known) throw UsageError("unknown option " + std::string(name));
    if (!value) {
      if (i + 1 >= argc) throw UsageError("option " + std::string(name) + " needs a value");
      value = argv[++i];
    }
    if (name == "--library") {
      options.library = fs::path(std::string(*value));
    } else if (name == "--site") {
      options.request.siteId = ParseSiteNumber(*value);
    } else if (name == "--site-root") {
      auto [site, root] = SplitAssignment(*value, name);
      options.siteRoots.emplace_back(ParseSiteNumber(site), fs::path(root));
    } else if (name == "--method") {
      options.request.method = std::string(*value);
    } else if (name == "--version") {
      options.request.version = std::string(*value);
    } else if (name == "--header") {
      options.request.headers.push_back(ParseHeader(*value));
    } else {
      auto [variable, text] = SplitAssignment(*value, name);
      options.request.serverVariables.insert_or_assign(std::move(variable), std::move(text));
    }
  }
  if (positional.size() != 2) {
    throw UsageError(positional.size() < 2 ? "expected DIRECTORY and URL"
                                           : "too many arguments: expected DIRECTORY and URL");
  }
  options.directory = fs::path(std::string(positional[0]));
  options.request.url = std::string(positional[1]);
  return options;
}

// Bytes as one printable line: CR, LF and tab as \r, \n and \t, other control bytes and bytes
// outside ASCII as \xHH.
std::string Escaped(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string_view TextOf(const char* text) {
  return text != nullptr ? std::string_view(text) : std::string_view("(null)");
}

// "value" as one printable line in quotes.
std::string Shown(std::string_view bytes) {
  return "\"" + Escaped(bytes) + "\"";
}

// A configuration file's path for the trace: relative to the current directory when the
// file lies below it, as it was probably given; absolute otherwise.
std::string ShownPath(const vortane::platform::PathString& path) {
  std::error_code error;
  const fs::path current = fs::current_path(error);
  const fs::path relative = fs::path(path).lexically_proximate(current);
  const bool below =
      !error && !relative.empty() && relative.is_relative() && *relative.begin() != fs::path("..");
  return Escaped((below ? relative : fs::path(path)).u8string());
}

// Prints each step of the rule passes as the passes report them, indented under "trace:".
class TracePrinter : public vortane::RequestTracer {
 public:
  void PassStarted(const vortane::SiteConfig& config) override {
    ++passes_;
    repeatLimit_ = config.RepeatLimit();
    const std::string who =
        config.siteId == 0 ? "global rules" : "site " + std::to_string(config.siteId) + " rules";
    if (config.path.empty()) {
      std::printf("  %s: no configuration file (the site has no root)\n", who.c_str());
    } else if (config.fileTime == vortane::FileTime()) {
      std::printf("  %s: %s not found: no rules\n", who.c_str(), ShownPath(config.path).c_str());
    } else {
      std::printf("  %s: %s (%zu rule%s, repeat limit %d)\n", who.c_str(),
                  ShownPath(config.path).c_str(), config.rules.size(),
                  config.rules.size() == 1 ? "" : "s", static_cast<int>(repeatLimit_));
    }
  }

  void SweepStarted(int32_t sweep) override {
    if (sweep == 1) {
      std::printf("  sweep 1\n");
    } else {
      std::printf("  restart: sweep %d of at most %d\n", static_cast<int>(sweep),
                  static_cast<int>(repeatLimit_));
    }
  }

  void RuleSkipped(const vortane::Rule& rule) override {
    PrintRuleLine(rule);
    std::printf("      disabled after a timeout: skipped\n");
  }

  void RuleEvaluated(const vortane::RuleEvaluation& evaluation, uint32_t passResult) override {
    const vortane::Rule& rule = *evaluation.rule;
    PrintRuleLine(rule);
    // The values: one per condition, then the target's; those the evaluation did not read
    // (the rule could no longer match, or an earlier value was too long) are marked so.
    for (size_t i = 0; i < evaluation.values.size(); ++i) {
      const std::string shown = evaluation.read[i] ? Shown(evaluation.values[i]) : "(not read)";
      if (i < rule.conditions.size()) {
        const vortane::Condition& condition = rule.conditions[i];
        std::printf("      condition (line %u) %s%s %s\n", static_cast<unsigned>(condition.line),
                    condition.isServerVariable ? "%" : "", Escaped(condition.name).c_str(),
                    shown.c_str());
      } else {
        std::printf("      target %s %s\n", Escaped(rule.target).c_str(), shown.c_str());
      }
    }
    const uint32_t result = evaluation.result;
    const std::string results =
        "result " + vortane::ResultNames(result) + "; pass " + vortane::ResultNames(passResult);
    if ((result & vortane::RuleResult::InvalidPattern) != 0) {
      std::printf("      invalid pattern: %s\n", results.c_str());
    } else if ((result & vortane::RuleResult::Timeout) != 0) {
      std::printf("      the match timed out, the rule is disabled: %s\n", results.c_str());
    } else if (evaluation.groups == nullptr) {
      std::printf("      no match: %s\n", results.c_str());
    } else {
      std::string groups;
      for (size_t i = 0; i < evaluation.groups->size(); ++i) {
        const auto& group = (*evaluation.groups)[i];
        groups += (i == 0 ? " $" : ", $") + std::to_string(i) + " ";
        groups += group.matched
                      ? Shown(std::string_view(
                            group.first.base(),
                            static_cast<size_t>(group.second.base() - group.first.base())))
                      : "(unmatched)";
      }
      std::printf("      matched:%s\n", groups.c_str());
      if (evaluation.wrote) {
        std::printf("      wrote %s %s (%s)\n", Escaped(rule.target).c_str(),
                    Shown(evaluation.newValue).c_str(),
                    evaluation.accepted ? "accepted" : "refused by the server");
      } else {
        std::printf("      nothing written (refusal)\n");
      }
      std::printf("      %s\n", results.c_str());
    }
  }

  void RepeatLimitReached(int32_t sweeps) override {
    std::printf("  no restart: %d sweeps, the repeat limit, have run\n", static_cast<int>(sweeps));
  }

  void PassEnded(vortane::PassEnd end, uint32_t result) override {
    const char* how = end == vortane::PassEnd::Completed  ? "after the last rule"
                      : end == vortane::PassEnd::Stopped  ? "stopped"
                      : end == vortane::PassEnd::TimedOut ? "timed out"
                                                          : "a value too long to read";
    std::printf("  end (%s): %s\n", how, vortane::ResultNames(result).c_str());
  }

  // How many passes were reported.
  int Passes() const { return passes_; }

 private:
  static void PrintRuleLine(const vortane::Rule& rule) {
    const std::string letters = vortane::FlagLetters(rule);
    const std::string shownLetters = letters.empty() ? "" : " [" + letters + "]";
    std::printf("    line %u: %s%s\n", static_cast<unsigned>(rule.line),
                Escaped(rule.target).c_str(), shownLetters.c_str());
  }

  int passes_ = 0;
  int32_t repeatLimit_ = 0;
};

// A parse report that the run may write, with its state before the run.
struct Report {
  fs::path path;
  std::optional<fs::file_time_type> writtenBefore;
};

Report WatchReport(const fs::path& directory) {
  Report report{directory / "httpd.parse.errors", std::nullopt};
  std::error_code error;
  const fs::file_time_type written = fs::last_write_time(report.path, error);
  if (!error) report.writtenBefore = written;
  return report;
}

// Prints a report that this run wrote, unless it is empty.
void PrintReport(const Report& report) {
  std::error_code error;
  const fs::file_time_type written = fs::last_write_time(report.path, error);
  if (error || (report.writtenBefore && written == *report.writtenBefore)) return;
  const std::string text = vortane::tools::ReadWholeFile(report.path);
  if (text.empty()) return;
  std::printf("report %s:\n", report.path.string().c_str());
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::printf("  %s\n", Escaped(line).c_str());
  }
}

// Prints what the server holds after the filter's notifications.
void PrintResponse(std::string_view written) {
  std::printf("response:\n");
  // One printed line per line of the response, its CR LF shown at its end.
  size_t start = 0;
  while (start < written.size()) {
    size_t end = written.find('\n', start);
    end = end == std::string_view::npos ? written.size() : end + 1;
    std::printf("  %s\n", Escaped(written.substr(start, end - start)).c_str());
    start = end;
  }
}

void PrintPassedOn(const vortane::MemoryRequest& sent, const vortane::MemoryRequest& now) {
  std::printf("request passed on:\n  %s %s %s\n", Escaped(now.method).c_str(),
              Escaped(now.url).c_str(), Escaped(now.version).c_str());
  // The server replaces a header in place and adds one at the end.
  for (size_t i = 0; i < now.headers.size(); ++i) {
    const auto& [name, value] = now.headers[i];
    if (i >= sent.headers.size()) {
      std::printf("  %s: %s (added)\n", Escaped(name).c_str(), Escaped(value).c_str());
    } else if (value != sent.headers[i].second) {
      std::printf("  %s: %s (was \"%s\")\n", Escaped(name).c_str(), Escaped(value).c_str(),
                  Escaped(sent.headers[i].second).c_str());
    }
  }
}

// What the filter's notifications left: the status of the request-header notification and
// the log line.
struct Outcome {
  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  std::string logLine;
};

std::string LogLine(const HTTP_FILTER_LOG* record) {
  return "log: target=" + Escaped(TextOf(record->pszTarget)) +
         " parameters=" + Escaped(TextOf(record->pszParameters));
}

// Loads the library placed at `library` and sends it the request.
Outcome RunThroughLibrary(const fs::path& library, vortane::MemoryServer& server, bool secure) {
  const vortane::tools::StartedFilter started = vortane::tools::StartFilter(library);
  vortane::platform::FilterLibrary& filter = *started.library;
  // The server calls the filter only for the notifications and the kind of port it asked for.
  const DWORD port = secure ? SF_NOTIFY_SECURE_PORT : SF_NOTIFY_NONSECURE_PORT;
  const auto notified = [&](DWORD notification) {
    return (started.flags & port) != 0 && (started.flags & notification) != 0;
  };

  Outcome outcome;
  if (notified(SF_NOTIFY_PREPROC_HEADERS)) {
    outcome.status =
        filter.httpFilterProc(server.Context(), SF_NOTIFY_PREPROC_HEADERS, server.PreprocHeaders());
  }
  if (!notified(SF_NOTIFY_LOG)) {
    outcome.logLine = "log: (not asked for by the filter)";
  } else if (server.LogNotificationDisabled()) {
    outcome.logLine = "log: (notification disabled)";
  } else {
    // The server logs a request the filter answered too.
    HTTP_FILTER_LOG* record = server.PrepareLogRecord();
    filter.httpFilterProc(server.Context(), SF_NOTIFY_LOG, record);
    outcome.logLine = LogLine(record);
  }
  filter.terminateFilter(0);
  filter.Unload();
  return outcome;
}

// Sends the request through the library's own request handling in this process, with a
// tracer printing the passes. The library asks for both notifications on both kinds of port,
// so both are sent as the server would send them to it. The configuration store's threads
// are not started: a single request needs neither expiry nor site-change notifications.
Outcome RunTraced(const fs::path& directory, vortane::MemoryServer& server) {
  // Site roots resolve as in the library: from the site table beside the global file
  // (DIRECTORY/sites.txt), or on Windows from the metabase.
  vortane::ConfigStore store((directory / "httpd.ini").native());
  std::printf("trace:\n");
  TracePrinter tracer;
  Outcome outcome;
  outcome.status =
      vortane::OnPreprocHeaders(store, server.Context(), server.PreprocHeaders(), &tracer);
  if (tracer.Passes() == 1) {
    std::printf("  no site pass: the global result answered or stopped the request\n");
  }
  if (server.LogNotificationDisabled()) {
    outcome.logLine = "log: (notification disabled)";
  } else {
    HTTP_FILTER_LOG* record = server.PrepareLogRecord();
    vortane::OnLog(server.Context(), record);
    outcome.logLine = LogLine(record);
  }
  return outcome;
}

int Run(const Options& options) {
  if (!fs::is_directory(options.directory)) {
    throw Failure("no such directory: " + options.directory.string());
  }
  const fs::path directory = fs::absolute(options.directory).lexically_normal();
  const fs::path library = directory / vortane::platform::FilterLibraryFileName();
  if (!options.trace) {
    vortane::tools::PlaceLibrary(options.library ? fs::absolute(*options.library)
                                                 : vortane::tools::ProgramDirectory() /
                                                       vortane::platform::FilterLibraryFileName(),
                                 library);
  } else if (options.library) {
    std::fprintf(stderr,
                 "vortane-try: note: --trace runs the request in this process; "
                 "--library is not used\n");
  }
  if (!options.siteRoots.empty()) {
#ifdef _WIN32
    std::fprintf(stderr,
                 "vortane-try: note: on Windows site roots come from the server's metabase; "
                 "sites.txt is written but not read\n");
#endif
    vortane::tools::WriteSiteTable(directory / "sites.txt", options.siteRoots,
                                   vortane::tools::SiteTableUpdate::ReplaceGivenSites);
  }
  if (!fs::exists(directory / "httpd.ini")) {
    std::fprintf(stderr, "vortane-try: note: %s holds no httpd.ini: no global rules\n",
                 options.directory.string().c_str());
  }

  const vortane::MemoryRequest& sent = options.request;
  std::vector<Report> reports = {WatchReport(options.directory)};
  if (const auto root = vortane::platform::ReadSiteRootPath(sent.siteId, directory.native())) {
    reports.push_back(WatchReport(fs::path(*root)));
  }

  vortane::MemoryServer server(sent);
  const Outcome outcome = options.trace ? RunTraced(directory, server)
                                        : RunThroughLibrary(library, server, sent.secure);
  const DWORD status = outcome.status;
  if (status == SF_STATUS_REQ_FINISHED || status == SF_STATUS_REQ_FINISHED_KEEP_CONN) {
    PrintResponse(server.Written());
  } else if (status == SF_STATUS_REQ_NEXT_NOTIFICATION ||
             status == SF_STATUS_REQ_HANDLED_NOTIFICATION) {
    PrintPassedOn(sent, server.Request());
  } else {
    std::printf("request failed: the filter returned status 0x%08lx\n",
                static_cast<unsigned long>(status));
  }
  std::printf("%s\n", outcome.logLine.c_str());
  for (const Report& report : reports) PrintReport(report);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return vortane::tools::RunCommand("vortane-try", kUsage, argc, argv, ParseArguments, Run);
}
