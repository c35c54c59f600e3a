// Running requests through the filter's own request handling inside a tool's process: the
// request-header and log notifications of filter/request.h, served by the in-memory server,
// with one configuration store for every request and no thread started. What vortane-try
// --trace and vortane-test build on.
//
// Also the trace text of a request (every pass, sweep and rule, as vortane-try --trace prints
// it) and the printable form of bytes the tools share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "filter/request.h"
#include "memory_server/memory_server.h"
#include "platform/system.h"

namespace vortane {
class ConfigStore;
}

namespace vortane::tools {

// Bytes as one printable line (base/text.h).
using vortane::Escaped;

// A file's path as the tools show it: relative to the current directory when the file lies
// below it (as it was probably given), absolute otherwise; Escaped. Thread-safe.
std::string ShownPath(const std::filesystem::path& path);

// A rule in a loaded configuration: the file it came from and its RewriteRule/RewriteHeader line.
struct RuleRef {
  std::string file;  // the configuration file's path as the store holds it, UTF-8
  uint32_t line = 0;
  bool operator<(const RuleRef& other) const;
  bool operator==(const RuleRef& other) const;
};

// What the filter made of one request.
struct RequestOutcome {
  enum class Kind {
    PassedOn,  // the request goes on to the server
    Answered,  // the filter wrote the response itself
    Failed,    // the request handling returned another status (filterStatus)
  };
  Kind kind = Kind::PassedOn;
  // Answered: the status code of the response the filter wrote (302, 403, 414, 500).
  int status = 0;
  std::string response;  // Answered: the bytes the filter wrote
  std::string location;  // Answered with a Location header: its value
  // PassedOn: the request as passed on (method, URL, version, headers after the filter).
  MemoryRequest passedOn;
  // What the log notification left; empty when it was switched off.
  std::string logTarget;
  std::string logParameters;
  bool logDisabled = false;
  // The last rule that matched in the request (the last pass with a match, its last matching
  // evaluation); nullopt when no rule matched.
  std::optional<RuleRef> decidedBy;
  // Every rule evaluation that matched, in order (a rule may appear more than once).
  std::vector<RuleRef> matched;
  std::string trace;       // vortane-try's --trace text for this request, when asked for
  DWORD filterStatus = 0;  // what the request-header notification returned
};

// Runs requests through the library's own request handling (OnPreprocHeaders, OnLog) in this
// process against DIRECTORY/httpd.ini and, through DIRECTORY/sites.txt, the sites' files.
// Thousands of requests per second: one ConfigStore for all requests, no threads started.
//
// Site roots come from DIRECTORY/sites.txt on every system (its format: platform/site_table.h;
// at most 1 MiB of it is read, and only a regular file), read again for each site the store
// loads, so the same table gives the same sites on Windows as elsewhere; or, when asked, as the
// library finds them. A configuration file is reloaded when its modification time changes, as
// in the library. Writes the parse reports beside the files it loads, as the library does.
// Not thread-safe: one caller at a time.
class InProcessFilter {
 public:
  // Where the sites' roots come from.
  enum class SiteRoots {
    SiteTable,  // DIRECTORY/sites.txt, on every system
    Server,     // as in the library: the metabase on Windows, DIRECTORY/sites.txt elsewhere
  };

  // Cheap: no file is read until the first Run. `directory` is made absolute.
  explicit InProcessFilter(const std::filesystem::path& directory,
                           SiteRoots siteRoots = SiteRoots::SiteTable);
  ~InProcessFilter();
  InProcessFilter(const InProcessFilter&) = delete;
  InProcessFilter& operator=(const InProcessFilter&) = delete;

  // Runs `request` through both notifications (the log one unless the filter switched it
  // off) and reports the outcome; with `trace` also its trace text. Cost: the two rule passes,
  // plus loading a configuration the first time it is needed or after its file changed.
  RequestOutcome Run(const MemoryRequest& request, bool trace);

  // Makes site `siteId` take its root from `root` (made absolute) before the site table or
  // the server, for the runs after; nothing is written. Call before the first Run that
  // needs the site.
  void SetSiteRoot(uint32_t siteId, const std::filesystem::path& root);

  // Every rule of every configuration the runs so far loaded (global first, then sites by
  // number), in file order: for each site the configuration its latest pass ran.
  std::vector<RuleRef> LoadedRules() const;

  // The configuration files the runs so far loaded (global first, then sites by number): each
  // that exists, with its parse report httpd.parse.errors beside it.
  std::vector<std::filesystem::path> LoadedFiles() const;

 private:
  std::filesystem::path directory_;
  std::map<uint32_t, platform::PathString> givenRoots_;
  std::unique_ptr<ConfigStore> store_;
  std::map<uint32_t, std::vector<RuleRef>> loadedRules_;
  std::map<uint32_t, platform::PathString> loadedFiles_;
};

// Writes what each step of the rule passes reports as vortane-try --trace shows it, one
// indented line each, into a string.
class TracePrinter : public RequestTracer {
 public:
  void PassStarted(const SiteConfig& config) override;
  void SweepStarted(int32_t sweep) override;
  void RuleSkipped(const Rule& rule) override;
  void RuleLeftOut(const Rule& rule, uint32_t passResult) override;
  void RuleEvaluated(const RuleEvaluation& evaluation, uint32_t passResult) override;
  void RepeatLimitReached(int32_t sweeps) override;
  void PassEnded(PassEnd end, uint32_t result) override;

  // How many passes were reported.
  int Passes() const { return passes_; }
  // The lines written so far.
  const std::string& Text() const { return text_; }

 private:
  void RuleLine(const Rule& rule);

  std::string text_;
  int passes_ = 0;
  int32_t repeatLimit_ = 0;
};

}  // namespace vortane::tools
