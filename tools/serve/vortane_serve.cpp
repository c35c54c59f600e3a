// vortane-serve: an HTTP server that hosts web sites with the filter loaded the way the
// target web server loads it, for trying rules with a browser or curl and for load tests.
// Run with --help for the options. Stops gracefully on SIGINT and SIGTERM: it stops
// accepting, finishes the requests in flight, then calls TerminateFilter and unloads the
// filter.
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "base/file_names.h"
#include "base/text.h"
#include "host/access_log.h"
#include "host/filter_connection.h"
#include "host/http_host.h"
#include "platform/library.h"
#include "platform/tree_files.h"
#include "rules/request_context.h"
#include "tools/runner/command_line.h"
#include "tools/runner/filter_directory.h"

namespace fs = std::filesystem;

namespace {

using vortane::tools::UsageError;

// The usage text; `BLOCK` stands for the size of the filter's per-request block.
constexpr char kUsage[] =
    "usage: vortane-serve [options] DIRECTORY --site N=ADDRESS:PORT:ROOT [--site ...]\n"
    "\n"
    "Serves web sites through the filter. DIRECTORY is the directory the filter is loaded\n"
    "from: it holds the global httpd.ini; the filter library is copied into it, and its site\n"
    "table sites.txt is written there to list exactly the sites given.\n"
    "\n"
    "options:\n"
    "  --site N=ADDRESS:PORT:ROOT  site instance N listens on ADDRESS:PORT and serves the\n"
    "                         files under ROOT, whose httpd.ini holds the site's rules;\n"
    "                         ADDRESS may be an IPv6 address in brackets (repeatable)\n"
    "  --library PATH         the filter library to copy (default: the one beside\n"
    "                         vortane-serve)\n"
    "  --no-filter            serve without loading the filter\n"
    "  --threads N            worker threads (default: the machine's hardware threads)\n"
    "  --access-log FILE      append a W3C extended access log to FILE\n"
    "  --default-document NAME\n"
    "                         a request for a folder (with its trailing /) is served by\n"
    "                         the first of these files that is in it (repeatable, tried\n"
    "                         in the order given; default: index.html)\n"
    "  --max-connections N    connections served at once, over all sites (default 1024);\n"
    "                         at the limit a new client takes the place of the connection\n"
    "                         that has waited longest for a request; when all are busy,\n"
    "                         clients wait in the listen queue until one ends\n"
    "  --header-timeout S     seconds for a request line and its header fields (default 20)\n"
    "  --keepalive-timeout S  seconds a connection may stay idle between requests\n"
    "                         (default 60); a body has 60 seconds\n"
    "\n"
    "Limits: a URL over 16,384 bytes gets 414, header fields over 8 KiB 431, a body over\n"
    "1 MiB 413; a client that misses a timeout is disconnected. A keep-alive connection\n"
    "serves at most 100 requests and holds the filter's block for each (BLOCK bytes)\n"
    "until it closes: at most about 400 KiB, besides the request being read (up to about\n"
    "24 KiB of request line and headers, 1 MiB of body).\n"
    "Each worker thread keeps up to 256 blocks of ended connections for the next ones:\n"
    "about 1 MiB, 4 MiB at most.\n"
    "\n"
    "No site's httpd.ini or httpd.parse.errors, nor DIRECTORY's, its sites.txt or the\n"
    "library, is served under any name, hard links included.\n"
    "\n"
    "Prints a line per site once it listens, and the lines of each parse error report\n"
    "(httpd.parse.errors) as a load of a configuration writes them; SIGINT or SIGTERM stops\n"
    "it gracefully.\n";

struct Options {
  fs::path directory;
  std::vector<vortane::host::SiteBinding> sites;
  std::optional<fs::path> library;
  bool noFilter = false;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::optional<fs::path> accessLog;
  std::vector<std::string> defaultDocuments;  // empty: index.html alone
  size_t maxConnections = vortane::host::HostLimits().maxConnections;
  std::chrono::milliseconds headerTimeout = vortane::host::HostLimits().headerTimeout;
  std::chrono::milliseconds keepAliveTimeout = vortane::host::HostLimits().keepAliveTimeout;
};

// A decimal number from 1 (or 0) to `maximum`.
uint64_t ParseNumber(std::string_view text, uint64_t minimum, uint64_t maximum,
                     std::string_view what) {
  const std::optional<uint64_t> value = vortane::ParseDecimal(text, maximum);
  if (!value || *value < minimum) {
    throw UsageError("bad " + std::string(what) + " '" + std::string(text) + "': expected " +
                     std::to_string(minimum) + " to " + std::to_string(maximum));
  }
  return *value;
}

// "N=ADDRESS:PORT:ROOT", ADDRESS possibly "[IPv6]", ROOT the rest of the text.
vortane::host::SiteBinding ParseSite(std::string_view text) {
  const auto bad = [&] {
    return UsageError("--site needs N=ADDRESS:PORT:ROOT, not '" + std::string(text) + "'");
  };
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos) throw bad();
  vortane::host::SiteBinding site;
  site.id = static_cast<uint32_t>(ParseNumber(text.substr(0, equals), 1, UINT32_MAX, "site"));
  std::string_view rest = text.substr(equals + 1);
  size_t addressEnd;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) throw bad();
    site.address = std::string(rest.substr(1, close - 1));
    addressEnd = close + 1;
  } else {
    addressEnd = rest.find(':');
    if (addressEnd == std::string_view::npos) throw bad();
    site.address = std::string(rest.substr(0, addressEnd));
  }
  if (addressEnd >= rest.size() || rest[addressEnd] != ':') throw bad();
  rest.remove_prefix(addressEnd + 1);
  const size_t portEnd = rest.find(':');
  if (portEnd == std::string_view::npos || portEnd + 1 >= rest.size()) throw bad();
  site.port = static_cast<uint16_t>(ParseNumber(rest.substr(0, portEnd), 0, 65535, "port"));
  const fs::path root = fs::absolute(fs::path(std::string(rest.substr(portEnd + 1))));
  if (!fs::is_directory(root))
    throw UsageError("the root of site " + std::to_string(site.id) + ", " + root.string() +
                     ", is not a directory");
  site.root = root.lexically_normal();
  return site;
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  const vortane::tools::OptionNames names = {
      {"--no-filter"},
      {"--site", "--library", "--threads", "--access-log", "--max-connections", "--header-timeout",
       "--keepalive-timeout", "--default-document"}};
  const std::vector<std::string_view> positional = vortane::tools::WalkArguments(
      argc, argv, names, [&](std::string_view name, std::string_view value) {
        if (name == "--no-filter") {
          options.noFilter = true;
        } else if (name == "--site") {
          options.sites.push_back(ParseSite(value));
        } else if (name == "--library") {
          options.library = fs::absolute(fs::path(std::string(value)));
        } else if (name == "--threads") {
          options.threads = static_cast<unsigned>(ParseNumber(value, 1, 1024, "thread count"));
        } else if (name == "--max-connections") {
          options.maxConnections =
              static_cast<size_t>(ParseNumber(value, 1, 1000000, "connection limit"));
        } else if (name == "--header-timeout") {
          options.headerTimeout = std::chrono::seconds(ParseNumber(value, 1, 3600, "timeout"));
        } else if (name == "--default-document") {
          if (!vortane::host::IsDefaultDocumentName(value)) {
            throw UsageError("--default-document needs a file name without a folder, not '" +
                             std::string(value) + "'");
          }
          options.defaultDocuments.emplace_back(value);
        } else if (name == "--keepalive-timeout") {
          options.keepAliveTimeout = std::chrono::seconds(ParseNumber(value, 1, 3600, "timeout"));
        } else {
          options.accessLog = fs::path(std::string(value));
        }
      });
  if (positional.size() != 1) throw UsageError("expected one DIRECTORY");
  if (options.sites.empty()) throw UsageError("no --site given");
  options.directory = fs::absolute(fs::path(std::string(positional[0]))).lexically_normal();
  if (!fs::is_directory(options.directory)) {
    throw UsageError("no such directory: " + options.directory.string());
  }
  return options;
}

// The filter, loaded from DIRECTORY after the library is placed there and the site table
// written beside it.
std::unique_ptr<vortane::platform::FilterLibrary> LoadFilter(const Options& options,
                                                             vortane::host::Filter& filter) {
  const char* fileName = vortane::platform::FilterLibraryFileName();
  const fs::path library = options.directory / fileName;
  vortane::tools::PlaceLibrary(
      options.library ? *options.library : vortane::tools::ProgramDirectory() / fileName, library);
  std::vector<vortane::tools::SiteRoot> roots;
  for (const auto& site : options.sites) roots.emplace_back(site.id, site.root);
  vortane::tools::WriteSiteTable(options.directory / vortane::kSiteTableFileName, roots,
                                 vortane::tools::SiteTableUpdate::ReplaceAll);

  vortane::tools::StartedFilter started = vortane::tools::StartFilter(library);
  filter.httpFilterProc = started.library->httpFilterProc;
  filter.flags = started.flags;
  return std::move(started.library);
}

// SIGINT and SIGTERM, the signals that stop the server.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// Prints the parse error reports as the filter writes them, so that the administrator sees
// a mistake when the configuration is loaded: the filter writes each report beside its
// httpd.ini on every load and has no other output. Polls the report files (the global one
// and each site's) twice a second on a thread of its own; a report whose file, time or size
// changed is printed line by line, up to its first 64 KiB. Reports written before the
// server started are not printed. A report is read as the filter writes it: a regular file
// under its own name, never through a symbolic link (platform/tree_files.h).
class ReportEcho {
 public:
  explicit ReportEcho(const Options& options) {
    reports_.push_back(options.directory);
    for (const auto& site : options.sites) reports_.push_back(site.root);
    for (const fs::path& folder : reports_) seen_[folder] = Open(folder).stamp;
    thread_ = std::thread([this] { Loop(); });
  }
  ~ReportEcho() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  ReportEcho(const ReportEcho&) = delete;
  ReportEcho& operator=(const ReportEcho&) = delete;

 private:
  // The report's file, last change and size.
  using FileStamp = std::tuple<vortane::platform::FileIdentity, int64_t, uint64_t>;
  struct Report {
    vortane::platform::FileHandle file;
    std::optional<FileStamp> stamp;  // nothing when there is no regular file
  };

  // The report in `folder`, opened without following a link; a FIFO or device is not opened.
  static Report Open(const fs::path& folder) {
    Report report;
    vortane::platform::TreeEntry entry = vortane::platform::OpenInTree(
        vortane::platform::OpenTree(folder.native()), {vortane::kReportFileName});
    if (entry.kind != vortane::platform::TreeEntry::RegularFile) return report;
    report.file = std::move(entry.handle);
    report.stamp = FileStamp{entry.identity, entry.modified, entry.size};
    return report;
  }

  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stop_; })) {
      for (const fs::path& folder : reports_) {
        const Report report = Open(folder);
        if (!report.stamp || report.stamp == seen_[folder]) continue;
        seen_[folder] = report.stamp;
        Print(folder / vortane::kReportFileName, report.file);
      }
    }
  }

  static void Print(const fs::path& path, const vortane::platform::FileHandle& file) {
    constexpr size_t kShown = 65536;
    bool cut = false;
    const std::string bytes = vortane::platform::ReadStart(file, kShown, cut);
    vortane::LineReader lines(bytes);
    for (std::string_view line; lines.Next(line);) {
      std::string shown;
      for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        shown += byte >= 0x20 && byte < 0x7F ? c : '?';  // no control bytes to the terminal
      }
      std::printf("%s: %s\n", path.string().c_str(), shown.c_str());
    }
    if (cut) std::printf("%s: ... (more in the file)\n", path.string().c_str());
    std::fflush(stdout);
  }

  std::vector<fs::path> reports_;  // the folders that hold one
  std::map<fs::path, std::optional<FileStamp>> seen_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

int Run(const Options& options) {
  vortane::host::Filter filter;
  std::unique_ptr<vortane::platform::FilterLibrary> library;
  if (!options.noFilter) library = LoadFilter(options, filter);

  std::unique_ptr<vortane::host::AccessLog> accessLog;
  if (options.accessLog) {
    accessLog = std::make_unique<vortane::host::AccessLog>(*options.accessLog);
  }
  vortane::host::HostSettings settings;
  settings.sites = options.sites;
  settings.filter = library ? &filter : nullptr;
  settings.accessLog = accessLog.get();
  if (!options.defaultDocuments.empty()) settings.defaultDocuments = options.defaultDocuments;
  settings.threads = options.threads;
  settings.limits.maxConnections = options.maxConnections;
  settings.limits.headerTimeout = options.headerTimeout;
  settings.limits.keepAliveTimeout = options.keepAliveTimeout;
  // The global directory's files are never served, whatever a root holds.
  for (const char* name :
       {vortane::kConfigFileName, vortane::kReportFileName, vortane::kSiteTableFileName,
        vortane::platform::FilterLibraryFileName()}) {
    settings.privateFiles.push_back(options.directory / name);
  }
  {
    vortane::host::HttpHost host(settings);
    const std::vector<uint16_t> ports = host.Ports();
    for (size_t i = 0; i < options.sites.size(); ++i) {
      const auto& site = options.sites[i];
      const bool v6 = site.address.find(':') != std::string::npos;
      std::printf("site %u listening on %s%s%s:%u, root %s\n", static_cast<unsigned>(site.id),
                  v6 ? "[" : "", site.address.c_str(), v6 ? "]" : "",
                  static_cast<unsigned>(ports[i]), site.root.string().c_str());
    }
    std::printf("%s; %u threads; at most %zu connections; SIGINT or SIGTERM stops\n",
                library ? "filter loaded" : "no filter", options.threads, options.maxConnections);
    std::fflush(stdout);
    std::optional<ReportEcho> reportEcho;
    if (library) reportEcho.emplace(options);
    host.Start();

    const sigset_t stopSignals = StopSignals();
    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::printf("stopping: finishing requests in flight\n");
    std::fflush(stdout);
    host.Stop();
    host.Join();
  }
  if (library) {
    library->terminateFilter(0);
    library->Unload();
  }
  std::printf("stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Every thread, the filter's own included, inherits this mask, so the stop signals reach
  // only the main thread's sigwait.
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A client that disconnects mid-response must not kill the server.
  signal(SIGPIPE, SIG_IGN);

  std::string usage = kUsage;
  const size_t block = usage.find("BLOCK");
  usage.replace(block, 5, std::to_string(sizeof(vortane::RequestContext)));
  return vortane::tools::RunCommand("vortane-serve", usage.c_str(), argc, argv, ParseArguments,
                                    Run);
}
