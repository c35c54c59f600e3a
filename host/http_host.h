// An HTTP/1.1 server that hosts web sites and passes every request through the filter the
// way the target web server does, for trying rules with a browser or curl and for load
// tests. Built on Boost.Beast and Boost.Asio.
//
// Each site is an instance number listening on one address and port, with a root
// directory. For every request that parses, the host
//   1. sends the filter the request-header notification, on the connection's own
//      HTTP_FILTER_CONTEXT (see FilterConnection), with the server variables a filter
//      expects: HTTPS, SERVER_PORT, SERVER_NAME, REMOTE_ADDR, REMOTE_PORT, LOCAL_ADDR,
//      SERVER_SOFTWARE, QUERY_STRING, URL, REQUEST_METHOD, SERVER_PROTOCOL, INSTANCE_ID, and
//      HTTP_<NAME> for every request header;
//   2. when the filter answered, sends exactly the bytes it wrote and closes the connection;
//      otherwise serves the URL as the filter left it from the site's root (GET and HEAD;
//      405 for other methods, 404 for nothing there, a directory by its first default
//      document that is there; see MapUrlToFile), never a file that is
//      one of the private files: every site's httpd.ini and httpd.parse.errors and those the
//      settings add, compared by device and inode, so under no name;
//   3. sends the log notification (unless the filter disabled it) and queues the access log
//      line with the target and query the log record then held.
// What does not parse never reaches the filter: a malformed request gets 400, so does one
// framed by a transfer coding other than a lone "chunked" (or by one beside a
// Content-Length), by more than one Content-Length or one that is not a plain number
// ("1, 1"), and an HTTP/1.1 request without exactly one Host; a URL longer than the URL limit
// (or a request line longer than that plus kRequestLineExtra) 414, header fields over the
// header limit 431, a body over the body limit 413, each followed by closing the connection,
// the body unread when the header already decided. An HTTP/1.0 request with a
// Transfer-Encoding is answered, then the connection closes: an HTTP/1.0 sender may not mean
// that framing, so the bytes after it are not taken for another request.
// Timeouts: a new connection must deliver its request line and header fields within the
// header timeout; a keep-alive connection may wait idle for the next request for the
// keep-alive timeout, and then has the header timeout from the request's first byte; a body
// must arrive within the body timeout. A client that misses one is disconnected without an
// answer. Keep-alive connections serve at most maxRequestsPerConnection requests, which
// bounds the AllocMem blocks a connection holds (the filter takes one per request and the
// server frees them with the connection).
//
// At most maxConnections connections are served at once, over all sites. When a client
// connects at the limit, the connection that has waited longest for a request (idle between
// requests, or its request line and header fields still coming) is closed to make room, so
// slow or idle clients cannot keep others out; for a moment one more connection is open.
// Only when every connection is reading a body or being answered do clients wait in the
// listen queue until one ends. What one connection holds at most:
//   - its filter blocks, held until it closes: maxRequestsPerConnection times the filter's
//     per-request block (sizeof(RequestContext) of rules/request_context.h, a little over
//     4 KiB, so about 400 KiB at 100 requests);
//   - while a request is read and answered, the request itself: its request line and
//     headers (RequestHeadLimit, about 24 KiB by default) and its body (bodyLimit, 1 MiB by
//     default), freed once the response is sent;
//   - a few KiB of buffers and bookkeeping.
// So with the defaults idle keep-alive connections hold at most about 400 MiB in all, and
// connections that all send the largest request at once up to 1 GiB more. Besides, each
// worker thread keeps the blocks of connections that ended for the next ones to reuse: at
// most 256 blocks of at most 16 KiB, that is 1 MiB per thread with today's blocks.
//
// Thread-safety: Stop may be called from any thread; construct, Start and Join from one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "host/access_log.h"
#include "host/filter_connection.h"
#include "host/static_files.h"

namespace vortane::host {

// One web site: its instance number, where it listens, and where its files are.
struct SiteBinding {
  uint32_t id = 1;
  std::string address = "127.0.0.1";
  uint16_t port = 0;           // 0: any free port (see HttpHost::Ports)
  std::filesystem::path root;  // absolute
};

// What a request line holds besides its URL: the method, two spaces, the version and CRLF.
inline constexpr size_t kRequestLineExtra = 64;

struct HostLimits {
  size_t headerLimit = 8 * 1024;                      // header fields after the request line, bytes
  size_t urlLimit = 16 * 1024;                        // request target, bytes
  uint64_t bodyLimit = 1024 * 1024;                   // request body, bytes
  std::chrono::milliseconds headerTimeout{20000};     // request line and header fields
  std::chrono::milliseconds bodyTimeout{60000};       // the body, once the header is read
  std::chrono::milliseconds keepAliveTimeout{60000};  // idle between requests
  unsigned maxRequestsPerConnection = 100;
  size_t maxConnections = 1024;                // served at once, over all sites; at least 1
  std::chrono::milliseconds stopGrace{10000};  // how long Join waits for requests in flight

  // The most a request's line and header fields take together, the longest URL included.
  size_t RequestHeadLimit() const { return urlLimit + kRequestLineExtra + headerLimit; }
};

struct HostSettings {
  std::vector<SiteBinding> sites;
  const Filter* filter = nullptr;  // null: no filter; otherwise must outlive the host
  // Files never served besides every site's httpd.ini and httpd.parse.errors (see
  // MapUrlToFile): the global directory's, for instance.
  std::vector<std::filesystem::path> privateFiles;
  // The names a directory asked for with "/" is served by, the first that is there (see
  // MapUrlToFile).
  std::vector<std::string> defaultDocuments = {std::string(kDefaultDocument)};
  AccessLog* accessLog = nullptr;  // null: no access log; otherwise must outlive the host
  unsigned threads = 1;
  HostLimits limits;
};

class Session;

class HttpHost {
 public:
  // Opens and binds every site's listener; throws std::runtime_error naming the site when
  // one cannot be bound. Nothing is served before Start.
  explicit HttpHost(HostSettings settings);
  // Stops and joins, if the caller has not.
  ~HttpHost();
  HttpHost(const HttpHost&) = delete;
  HttpHost& operator=(const HttpHost&) = delete;

  // The port each site listens on, in the order of the settings' sites.
  std::vector<uint16_t> Ports() const;

  // Starts the worker threads, which accept and serve until Stop.
  void Start();
  // Graceful stop: stops accepting, closes idle connections, and lets requests in flight
  // finish and close. Returns at once; idempotent; safe from any thread.
  void Stop();
  // Waits until every connection has ended (at most stopGrace after Stop, after which
  // whatever remains is abandoned) and the worker threads have returned.
  void Join();

  // For the sessions.
  struct Shared;

 private:
  // Accepts the next client of `site`, at once below the connection limit, otherwise when
  // one arrives (see MakeRoom).
  void WaitForClient(size_t site);
  void Accept(size_t site);
  // A client arrived at the limit: closes the connection that has waited longest for a
  // request and accepts, or when none waits leaves the client in the listen queue.
  void MakeRoom(size_t site);

  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::shared_ptr<Shared> shared_;
  std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> acceptors_;
  std::vector<std::thread> threads_;
  bool joined_ = false;
};

}  // namespace vortane::host
