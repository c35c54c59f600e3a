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
// request handling the library is built from (OnPreprocHeaders and OnLog of filter/request.h,
// by tools/runner/in_process.h), with the global configuration DIRECTORY/httpd.ini, and a tracer
// prints every sweep and rule of the global and the site pass, as the library runs them,
// before the usual output.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "base/file_names.h"
#include "base/text.h"
#include "config/site_config.h"
#include "filter/request.h"
#include "memory_server/memory_server.h"
#include "platform/files.h"
#include "platform/isapi.h"
#include "platform/library.h"
#include "platform/site_roots.h"
#include "platform/system.h"
#include "rules/trace.h"
#include "store/store.h"
#include "tools/runner/command_line.h"
#include "tools/runner/filter_directory.h"
#include "tools/runner/in_process.h"

namespace fs = std::filesystem;

namespace {

using vortane::tools::Escaped;
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
  using vortane::tools::ParseSiteNumber;
  Options options;
  const vortane::tools::OptionNames names = {
      {"--secure", "--trace"},
      {"--library", "--site", "--site-root", "--method", "--version", "--header", "--var"}};
  const std::vector<std::string_view> positional = vortane::tools::WalkArguments(
      argc, argv, names, [&](std::string_view name, std::string_view value) {
        if (name == "--secure") {
          options.request.secure = true;
        } else if (name == "--trace") {
          options.trace = true;
        } else if (name == "--library") {
          options.library = fs::path(std::string(value));
        } else if (name == "--site") {
          options.request.siteId = ParseSiteNumber(value);
        } else if (name == "--site-root") {
          auto [site, root] = SplitAssignment(value, name);
          options.siteRoots.emplace_back(ParseSiteNumber(site), fs::path(root));
        } else if (name == "--method") {
          options.request.method = std::string(value);
        } else if (name == "--version") {
          options.request.version = std::string(value);
        } else if (name == "--header") {
          options.request.headers.push_back(ParseHeader(value));
        } else {
          auto [variable, text] = SplitAssignment(value, name);
          options.request.serverVariables.insert_or_assign(std::move(variable), std::move(text));
        }
      });
  if (positional.size() != 2) {
    throw UsageError(positional.size() < 2 ? "expected DIRECTORY and URL"
                                           : "too many arguments: expected DIRECTORY and URL");
  }
  options.directory = fs::path(std::string(positional[0]));
  options.request.url = std::string(positional[1]);
  return options;
}

std::string_view TextOf(const char* text) {
  return text != nullptr ? std::string_view(text) : std::string_view("(null)");
}

// A parse report that the run may write, with its state before the run.
struct Report {
  fs::path path;
  std::optional<fs::file_time_type> writtenBefore;
};

Report WatchReport(const fs::path& directory) {
  Report report{directory / vortane::kReportFileName, std::nullopt};
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
  // Read as the filter writes it: a regular file, at most its first 64 KiB shown.
  constexpr size_t kShown = 65536;
  const vortane::platform::FileView view(report.path.native(), kShown);
  const std::string text(view.Bytes());
  if (text.empty()) return;
  std::printf("report %s:\n", report.path.string().c_str());
  vortane::LineReader lines(text);
  for (std::string_view line; lines.Next(line);) {
    std::printf("  %s\n", Escaped(line).c_str());
  }
  if (view.IsCut()) std::printf("  ... (more in the file)\n");
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
  std::string written;            // the response the filter wrote
  vortane::MemoryRequest passed;  // the request as it stands after the filter
  std::string logLine;
};

std::string LogLine(const HTTP_FILTER_LOG* record) {
  return "log: target=" + Escaped(TextOf(record->pszTarget)) +
         " parameters=" + Escaped(TextOf(record->pszParameters));
}

// Loads the library placed at `library` and sends it the request.
Outcome RunThroughLibrary(const fs::path& library, const vortane::MemoryRequest& sent) {
  vortane::MemoryServer server(sent);
  const bool secure = sent.secure;
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
  outcome.written = server.Written();
  outcome.passed = server.Request();
  return outcome;
}

// Sends the request through the library's own request handling in this process, with a
// tracer printing the passes; site roots are found as the library finds them. The
// configuration store's threads are not started: a single request needs neither expiry nor
// site-change notifications.
Outcome RunTraced(const fs::path& directory, const vortane::MemoryRequest& sent) {
  vortane::tools::InProcessFilter filter(directory,
                                         vortane::tools::InProcessFilter::SiteRoots::Server);
  const vortane::tools::RequestOutcome ran = filter.Run(sent, true);
  std::fputs(ran.trace.c_str(), stdout);
  Outcome outcome;
  outcome.status = ran.filterStatus;
  outcome.written = ran.response;
  outcome.passed = ran.kind == vortane::tools::RequestOutcome::Kind::PassedOn ? ran.passedOn : sent;
  if (ran.logDisabled) {
    outcome.logLine = "log: (notification disabled)";
  } else {
    outcome.logLine =
        "log: target=" + Escaped(ran.logTarget) + " parameters=" + Escaped(ran.logParameters);
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
    vortane::tools::WriteSiteTable(directory / vortane::kSiteTableFileName, options.siteRoots,
                                   vortane::tools::SiteTableUpdate::ReplaceGivenSites);
  }
  if (!fs::exists(directory / vortane::kConfigFileName)) {
    std::fprintf(stderr, "vortane-try: note: %s holds no httpd.ini: no global rules\n",
                 options.directory.string().c_str());
  }

  const vortane::MemoryRequest& sent = options.request;
  std::vector<Report> reports = {WatchReport(options.directory)};
  if (const auto root = vortane::platform::ReadSiteRootPath(sent.siteId, directory.native())) {
    reports.push_back(WatchReport(fs::path(*root)));
  }

  const Outcome outcome =
      options.trace ? RunTraced(directory, sent) : RunThroughLibrary(library, sent);
  const DWORD status = outcome.status;
  if (status == SF_STATUS_REQ_FINISHED || status == SF_STATUS_REQ_FINISHED_KEEP_CONN) {
    PrintResponse(outcome.written);
  } else if (status == SF_STATUS_REQ_NEXT_NOTIFICATION ||
             status == SF_STATUS_REQ_HANDLED_NOTIFICATION) {
    PrintPassedOn(sent, outcome.passed);
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
