// The server's access log, in the W3C extended log file format.
//
// The file opens with the directives (#Software, #Version, #Date, #Fields) and then holds one
// line per request with the fields
//   date time c-ip cs-method cs-uri-stem cs-uri-query sc-status sc-bytes time-taken
//   s-sitename cs-host cs(User-Agent) cs(Referer) x-requested-uri
// in UTC, separated by single spaces. Each field is written by EscapedLogField (base/text.h):
// an empty field is "-", a space inside a field "+", and "%", "+", control bytes, a lone "-"
// and a leading "#" as percent escapes, so every line splits into the same fourteen fields and each
// field reads back exactly the value logged (a "+" or a "-" in a header is not taken for a space or
// an absent header when the log is replayed). The last five are what
// `vortane-test --compare` needs to replay the log through a configuration: the site number
// picks the site's rules, rules often look at those headers, and x-requested-uri is the URL
// as the client sent it, before any rule (cs-uri-stem is what the log record held after
// them, the rewritten or redirected URL).
//
// Request threads hand their line to Write, which only queues it under a short lock; a
// writer thread of the log's own does all disk work. If the disk falls far behind, lines
// beyond a bounded queue are dropped and counted, and a #Remark line says how many, so a
// stalled disk can never exhaust memory or hold up a request.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vortane::host {

// One request's entry.
struct AccessLogEntry {
  std::chrono::system_clock::time_point time;  // when the request arrived
  std::string_view clientAddress;
  std::string_view method;
  std::string_view target;  // cs-uri-stem: what the log record held after the filter
  std::string_view query;   // cs-uri-query: likewise, without the "?"
  unsigned status = 0;
  uint64_t bytes = 0;  // bytes sent, headers included
  uint64_t milliseconds = 0;
  uint32_t siteId = 0;            // s-sitename, written "W3SVC<siteId>"; 0 writes "-"
  std::string_view host;          // cs-host: the request's Host header as the client sent it
  std::string_view userAgent;     // cs(User-Agent), likewise
  std::string_view referer;       // cs(Referer), likewise
  std::string_view requestedUri;  // x-requested-uri: path and query as the client sent them
};

// The entry as one line of the log, with its LF.
std::string FormatAccessLogLine(const AccessLogEntry& entry);

class AccessLog {
 public:
  // Lines queued beyond this many are dropped until the writer catches up.
  static constexpr size_t kQueueLimit = 65536;

  // Opens `path` for appending and writes the directives; throws std::runtime_error when it
  // cannot be opened. Starts the writer thread.
  explicit AccessLog(const std::filesystem::path& path);
  // Writes every queued line, then stops the writer and closes the file.
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // Queues the entry's line. Thread-safe; never waits for the disk.
  void Write(const AccessLogEntry& entry);

 private:
  void WriterLoop();

  std::FILE* file_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::string> queue_;
  uint64_t dropped_ = 0;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace vortane::host
