// vortane-try: runs one request through the filter library the way the web server does, and
// prints what the server sees afterwards.
//
// DIRECTORY plays the directory the server loads the filter from: it holds the global
// httpd.ini and, outside Windows, the site table sites.txt. The built library is copied into
// it (unless it already holds the same bytes) and loaded from there, so that the filter finds
// its global configuration beside itself. One request then goes through an in-memory server:
// the request-header notification and, unless the filter switched it off, the log
// notification. Run without arguments for the options.
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

#include "filter/memory_server.h"
#include "host/filter_directory.h"
#include "platform/files.h"
#include "platform/isapi.h"
#include "platform/library.h"
#include "platform/system.h"

namespace fs = std::filesystem;

namespace {

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
    "\n"
    "Prints the response the filter wrote, or the request passed on to the server with every\n"
    "header the filter changed or added; then what the log notification left in the log\n"
    "record, and the parse reports written by this run that are not empty.\n";

// Arguments that cannot be used: exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Anything else that stops the run: exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::optional<fs::path> library;
  std::vector<std::pair<uint32_t, fs::path>> siteRoots;
  fs::path directory;
  vortane::MemoryRequest request;
};

std::string Quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

uint32_t ParseSiteNumber(std::string_view text) {
  uint64_t value = 0;
  bool valid = !text.empty() && text.size() <= 10;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      valid = false;
      break;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!valid || value == 0 || value > UINT32_MAX) {
    throw UsageError("bad site number " + Quoted(text) + ": expected 1 to 4294967295");
  }
  return static_cast<uint32_t>(value);
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
    if (arg.substr(0, 9) == "--secure=") throw UsageError("option --secure takes no value");
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
  const std::string text = vortane::host::ReadWholeFile(report.path);
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

int Run(const Options& options) {
  if (!fs::is_directory(options.directory)) {
    throw Failure("no such directory: " + options.directory.string());
  }
  const fs::path directory = fs::absolute(options.directory).lexically_normal();
  const fs::path library = directory / vortane::platform::FilterLibraryFileName();
  vortane::host::PlaceLibrary(options.library ? fs::absolute(*options.library)
                                              : vortane::host::ProgramDirectory() /
                                                    vortane::platform::FilterLibraryFileName(),
                              library);
  if (!options.siteRoots.empty()) {
#ifdef _WIN32
    std::fprintf(stderr,
                 "vortane-try: note: on Windows site roots come from the server's metabase; "
                 "sites.txt is written but not read\n");
#endif
    vortane::host::WriteSiteTable(directory / "sites.txt", options.siteRoots,
                                  vortane::host::SiteTableUpdate::ReplaceGivenSites);
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

  vortane::platform::FilterLibrary filter(library.native());
  if (!filter.IsLoaded()) {
    throw Failure("cannot load " + library.string() + ": " + filter.Error());
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  if (!filter.getFilterVersion(&version)) {
    filter.terminateFilter(0);
    throw Failure("the filter refused to start (GetFilterVersion returned FALSE)");
  }
  // The server calls the filter only for the notifications and the kind of port it asked for.
  const DWORD port = sent.secure ? SF_NOTIFY_SECURE_PORT : SF_NOTIFY_NONSECURE_PORT;
  const auto notified = [&](DWORD notification) {
    return (version.dwFlags & port) != 0 && (version.dwFlags & notification) != 0;
  };

  vortane::MemoryServer server(sent);
  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (notified(SF_NOTIFY_PREPROC_HEADERS)) {
    status =
        filter.httpFilterProc(server.Context(), SF_NOTIFY_PREPROC_HEADERS, server.PreprocHeaders());
  }
  std::string logLine;
  if (!notified(SF_NOTIFY_LOG)) {
    logLine = "log: (not asked for by the filter)";
  } else if (server.LogNotificationDisabled()) {
    logLine = "log: (notification disabled)";
  } else {
    // The server logs a request the filter answered too.
    HTTP_FILTER_LOG* record = server.PrepareLogRecord();
    filter.httpFilterProc(server.Context(), SF_NOTIFY_LOG, record);
    logLine = "log: target=" + Escaped(TextOf(record->pszTarget)) +
              " parameters=" + Escaped(TextOf(record->pszParameters));
  }
  filter.terminateFilter(0);
  filter.Unload();

  if (status == SF_STATUS_REQ_FINISHED || status == SF_STATUS_REQ_FINISHED_KEEP_CONN) {
    PrintResponse(server.Written());
  } else if (status == SF_STATUS_REQ_NEXT_NOTIFICATION ||
             status == SF_STATUS_REQ_HANDLED_NOTIFICATION) {
    PrintPassedOn(sent, server.Request());
  } else {
    std::printf("request failed: the filter returned status 0x%08lx\n",
                static_cast<unsigned long>(status));
  }
  std::printf("%s\n", logLine.c_str());
  for (const Report& report : reports) PrintReport(report);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1 ||
      (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h"))) {
    std::fputs(kUsage, argc == 1 ? stderr : stdout);
    return argc == 1 ? 2 : 0;
  }
  try {
    return Run(ParseArguments(argc, argv));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "vortane-try: %s (run vortane-try --help for the options)\n",
                 error.what());
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vortane-try: %s\n", error.what());
    return 1;
  }
}
