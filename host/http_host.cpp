#include "host/http_host.h"
#include "base/file_names.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "base/text.h"
#include "host/static_files.h"

namespace vortane::host {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// What the host and its sessions share. Sessions hold it by shared pointer, so it outlives
// any session that a stop deadline left behind.
struct HttpHost::Shared {
  explicit Shared(HostSettings given) : settings(WithSiteFiles(std::move(given))) {}

  // The settings with every site's own filter files among the private files.
  static HostSettings WithSiteFiles(HostSettings settings) {
    for (const SiteBinding& site : settings.sites) {
      settings.privateFiles.push_back(site.root / kConfigFileName);
      settings.privateFiles.push_back(site.root / kReportFileName);
    }
    return settings;
  }

  // A live connection. The pointer may be read under `mutex` while the entry is listed: the
  // session's destructor unlists it under the same lock before its members go.
  struct Live {
    std::weak_ptr<Session> weak;
    Session* session;
  };

  const HostSettings settings;
  std::mutex mutex;                  // guards stopping and sessions
  std::condition_variable allEnded;  // signalled when sessions becomes empty
  bool stopping = false;
  std::list<Live> sessions;  // every live connection
  // Sites with a client waiting at the connection limit while no connection could make
  // room: they wait for a connection to end or to begin waiting for a request.
  std::vector<size_t> waitingSites;
  // Whether waitingSites may hold a site; set before the connections are looked at, so that
  // one that begins waiting meanwhile sees it (and the scan sees that connection otherwise).
  std::atomic<bool> sitesWaiting{false};
  HttpHost* host = nullptr;  // used only while not stopping: the host stops before it ends

  // Starts accepting on the waiting sites again; called without the lock held, when a
  // connection ended or began waiting before the host began stopping.
  void ResumeAccepting(std::vector<size_t> sites) {
    for (const size_t site : sites) {
      asio::post(host->acceptors_[site]->get_executor(), [this, site] {
        {
          std::lock_guard<std::mutex> lock(mutex);
          if (stopping) return;  // the listener is closed or about to be
        }
        host->WaitForClient(site);
      });
    }
  }

  // The waiting sites, taken from the list; called with the lock held.
  std::vector<size_t> TakeWaitingSites() {
    std::vector<size_t> sites;
    if (stopping) return sites;
    sites.swap(waitingSites);
    sitesWaiting = false;
    return sites;
  }

  // A connection began waiting for a request: a client waiting at the limit may take its
  // place. Called without the lock held.
  void ConnectionWaits() {
    if (!sitesWaiting.load()) return;
    std::vector<size_t> sites;
    {
      std::lock_guard<std::mutex> lock(mutex);
      sites = TakeWaitingSites();
    }
    ResumeAccepting(std::move(sites));
  }
};

namespace {

constexpr char kServerSoftware[] = "vortane-serve";
// How long a closing connection waits for the client to stop sending.
constexpr std::chrono::seconds kLingerTime{1};

using Request = http::request<http::string_body>;

// The host part of a Host header: without the port, IPv6 brackets kept off.
std::string_view HostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    return close == std::string_view::npos ? host : host.substr(1, close - 1);
  }
  return host.substr(0, host.find(':'));
}

// A short text response: the status line's reason as the body, or no body for HEAD.
http::message_generator TextResponse(http::status status, unsigned version, bool keepAlive,
                                     bool head) {
  http::response<http::string_body> response{status, version};
  response.set(http::field::server, kServerSoftware);
  response.set(http::field::content_type, "text/plain; charset=utf-8");
  response.keep_alive(keepAlive);
  response.body() = std::to_string(static_cast<unsigned>(status)) + " " +
                    std::string(http::obsolete_reason(status)) + "\n";
  response.prepare_payload();
  if (head) response.body().clear();  // Content-Length still gives the size a GET would get
  return response;
}

// The server variables of one connection that a request does not carry itself: answered
// from the addresses the connection was accepted with and from the request's Host header.
class ConnectionVariables final : public ServerVariableSource {
 public:
  std::string remoteAddress, remotePort, localAddress, serverPort;

  std::optional<std::string_view> Find(std::string_view name,
                                       const MemoryRequest& request) const override {
    if (name == "SERVER_NAME") {
      for (const auto& [header, value] : request.headers) {
        if (!beast::iequals(header, "Host")) continue;
        const std::string_view host = HostName(value);
        if (!host.empty()) return host;
        break;
      }
      return localAddress;
    }
    if (name == "SERVER_PORT") return serverPort;
    if (name == "REMOTE_ADDR" || name == "REMOTE_HOST") return remoteAddress;
    if (name == "REMOTE_PORT") return remotePort;
    if (name == "LOCAL_ADDR") return localAddress;
    if (name == "SERVER_SOFTWARE") return std::string_view(kServerSoftware);
    return std::nullopt;
  }
};

}  // namespace

// One client connection: reads requests one after another, passes each through the filter,
// and answers it. Every handler runs on the connection's strand.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, const SiteBinding& site, std::shared_ptr<HttpHost::Shared> shared)
      : stream_(std::move(socket)),
        site_(site),
        shared_(std::move(shared)),
        filter_(shared_->settings.filter, &variables_) {
    beast::error_code error;
    const tcp::endpoint remote = stream_.socket().remote_endpoint(error);
    if (!error) {
      variables_.remoteAddress = remote.address().to_string();
      variables_.remotePort = std::to_string(remote.port());
    }
    const tcp::endpoint local = stream_.socket().local_endpoint(error);
    if (!error) {
      variables_.localAddress = local.address().to_string();
      variables_.serverPort = std::to_string(local.port());
    }
  }

  ~Session() {
    std::vector<size_t> waiting;
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      if (!registered_) return;
      shared_->sessions.erase(registration_);
      if (shared_->sessions.empty()) shared_->allEnded.notify_all();
      waiting = shared_->TakeWaitingSites();
    }
    // A handler posted here runs before the host's worker threads can end, so it cannot
    // outlive the host.
    if (!waiting.empty()) shared_->ResumeAccepting(std::move(waiting));
  }

  // Registers the connection and starts reading; drops it when the host is stopping.
  void Start() {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      if (shared_->stopping) return;
      registration_ = shared_->sessions.insert(shared_->sessions.end(), {weak_from_this(), this});
      registered_ = true;
    }
    asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->ReadRequest(); });
  }

  // Since when the connection has waited for a request (steady clock ticks): 0 while it
  // reads a body or answers, kEvicted once chosen to make room. Read from any thread.
  int64_t WaitingSince() const { return waitingSince_.load(); }

  // Claims the connection to be closed to make room for a new one, if it still waits for a
  // request since `since`; true when claimed. Then Evict closes it. Thread-safe.
  bool Claim(int64_t since) {
    return since > 0 && waitingSince_.compare_exchange_strong(since, kEvicted);
  }

  // Closes a claimed connection. Safe from any thread.
  void Evict() {
    asio::post(stream_.get_executor(), [self = shared_from_this()] { self->CloseNow(); });
  }

  // Ends the connection at once if it waits for a request, otherwise after the response
  // being made. Safe from any thread.
  void Shutdown() {
    asio::post(stream_.get_executor(), [self = shared_from_this()] {
      self->stopping_ = true;
      if (self->reading_) self->stream_.cancel();  // the read ends with operation_aborted
    });
  }

 private:
  const HostLimits& Limits() const { return shared_->settings.limits; }

  void ReadRequest() {
    if (stopping_ || requests_ >= Limits().maxRequestsPerConnection) return CloseAfterResponse();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(Limits().RequestHeadLimit()));
    parser_->body_limit(Limits().bodyLimit);
    reading_ = true;
    int64_t notWaiting = 0;
    if (!waitingSince_.compare_exchange_strong(
            notWaiting,
            std::max<int64_t>(1, std::chrono::steady_clock::now().time_since_epoch().count()))) {
      return CloseNow();  // claimed to make room
    }
    shared_->ConnectionWaits();
    if (requests_ > 0 && buffer_.size() == 0) {
      // Idle between requests until the next one's first bytes.
      stream_.expires_after(Limits().keepAliveTimeout);
      stream_.async_read_some(buffer_.prepare(kIdleRead),
                              beast::bind_front_handler(&Session::OnIdleRead, shared_from_this()));
      return;
    }
    ReadHeader();
  }

  void OnIdleRead(beast::error_code error, size_t bytes) {
    if (closed_) return;
    if (error) {
      reading_ = false;
      return CloseNow();  // the client left or stayed idle too long, or the host stops
    }
    buffer_.commit(bytes);
    ReadHeader();
  }

  void ReadHeader() {
    stream_.expires_after(Limits().headerTimeout);
    // The header first: how the body is framed is checked before any of it is read.
    http::async_read_header(stream_, buffer_, *parser_,
                            beast::bind_front_handler(&Session::OnHeader, shared_from_this()));
  }

  void OnHeader(beast::error_code error, size_t bytes) {
    if (closed_) return;
    if (error) {
      reading_ = false;
      return RefuseUnparsed(error);
    }
    int64_t since = waitingSince_.load();
    if (since == kEvicted || !waitingSince_.compare_exchange_strong(since, 0)) {
      reading_ = false;
      return CloseNow();  // claimed to make room just before its header was complete
    }
    if (const std::optional<http::status> refusal = HeaderRefusal(parser_->get(), bytes)) {
      reading_ = false;
      return Refuse(*refusal);
    }
    stream_.expires_after(Limits().bodyTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&Session::OnRead, shared_from_this()));
  }

  void OnRead(beast::error_code error, size_t /*bytes*/) {
    reading_ = false;
    if (closed_) return;
    arrived_ = std::chrono::system_clock::now();
    started_ = std::chrono::steady_clock::now();
    if (error) return RefuseUnparsed(error);
    ++requests_;
    Serve(parser_->release());
  }

  // Why a request whose header (`bytes` long, request line included) parsed is refused
  // before its body is read, if it is. Beyond the limits: a URL over the URL limit, header
  // fields over the header limit. Its framing must leave no doubt where it ends, or the bytes
  // after it would be read as another request that a front end in between may never have
  // seen: the only transfer coding taken is a single "chunked", never beside a
  // Content-Length, and at most one Content-Length, a plain number. And HTTP/1.1 requires one
  // Host.
  std::optional<http::status> HeaderRefusal(const http::request_header<>& header,
                                            size_t bytes) const {
    if (header.target().size() > Limits().urlLimit) return http::status::uri_too_long;
    // "METHOD SP target SP HTTP/1.x CRLF"
    const size_t requestLine = header.method_string().size() + header.target().size() + 12;
    if (bytes > requestLine && bytes - requestLine > Limits().headerLimit) {
      return http::status::request_header_fields_too_large;
    }
    const auto [lengthsBegin, lengthsEnd] = header.equal_range(http::field::content_length);
    if (std::distance(lengthsBegin, lengthsEnd) > 1 ||
        (lengthsBegin != lengthsEnd && !ParseDecimal(lengthsBegin->value()))) {
      return http::status::bad_request;
    }
    const auto [codingsBegin, codingsEnd] = header.equal_range(http::field::transfer_encoding);
    const auto codings = std::distance(codingsBegin, codingsEnd);
    if (codings > 1 || (codings == 1 && (!beast::iequals(codingsBegin->value(), "chunked") ||
                                         header.count(http::field::content_length) != 0))) {
      return http::status::bad_request;
    }
    const size_t hosts = header.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && header.version() >= 11)) return http::status::bad_request;
    return std::nullopt;
  }

  // A request that could not be read whole: answered with the fitting 4xx where one
  // applies, then the connection closes. The filter never sees it.
  void RefuseUnparsed(beast::error_code error) {
    if (error == http::error::end_of_stream || error == beast::error::timeout ||
        error == asio::error::operation_aborted || error == asio::error::connection_reset ||
        error == asio::error::eof) {
      return CloseNow();  // the client left, went idle or too slow, or the host stops
    }
    http::status status = http::status::bad_request;
    if (error == http::error::header_limit) {
      // The parser keeps the target once the request line is through: without one, the
      // request line itself was too long, that is the URL.
      status = parser_->get().target().empty() ? http::status::uri_too_long
                                               : http::status::request_header_fields_too_large;
    } else if (error == http::error::body_limit) {
      status = http::status::payload_too_large;
    }
    Refuse(status);
  }

  // Answers `status` to a request the filter does not see, then closes the connection.
  void Refuse(http::status status) {
    arrived_ = std::chrono::system_clock::now();
    started_ = std::chrono::steady_clock::now();
    served_ = false;
    method_ = "-";
    loggedHeaders_ = {};
    status_ = static_cast<unsigned>(status);
    SendResponse(TextResponse(status, 11, false, false), false);
  }

  // Fills the filter's record of the request in place, reusing the storage the connection's
  // last request left in it: the request line and the headers in arrival order. The server
  // variables of the connection are answered on demand by variables_.
  void FillFilterRequest(const Request& request, MemoryRequest& filterRequest) const {
    filterRequest.method.assign(request.method_string());
    filterRequest.url.assign(request.target());
    filterRequest.version.assign(request.version() == 10 ? "HTTP/1.0" : "HTTP/1.1");
    auto& headers = filterRequest.headers;
    size_t count = 0;
    for (const auto& field : request) {
      if (count == headers.size()) headers.emplace_back();
      headers[count].first.assign(field.name_string());
      headers[count].second.assign(field.value());
      ++count;
    }
    headers.resize(count);
    filterRequest.serverVariables.clear();
    filterRequest.siteId = site_.id;
    filterRequest.secure = false;
  }

  void Serve(Request request) {
    method_.assign(request.method_string());
    served_ = true;
    if (shared_->settings.accessLog != nullptr) {
      // The headers and the URL as the client sent them, before a rule may rewrite one.
      loggedHeaders_[0].assign(request[http::field::host]);
      loggedHeaders_[1].assign(request[http::field::user_agent]);
      loggedHeaders_[2].assign(request[http::field::referer]);
      loggedHeaders_[3].assign(request.target());
    }
    FillFilterRequest(request, filter_.NextRequest());
    switch (filter_.OnRequestHeaders()) {
      case FilterVerdict::Finished:
        return SendFilterResponse();
      case FilterVerdict::Failed:
        status_ = 500;
        return SendResponse(
            TextResponse(http::status::internal_server_error, request.version(), false, false),
            false);
      case FilterVerdict::Continue:
        break;
    }
    // An HTTP/1.0 message with a Transfer-Encoding may be framed otherwise than it was read:
    // what follows it is not taken for another request.
    const bool framingInDoubt =
        request.version() < 11 && request.count(http::field::transfer_encoding) != 0;
    const bool keepAlive = request.keep_alive() && !framingInDoubt && !stopping_ &&
                           requests_ < Limits().maxRequestsPerConnection;
    SendResponse(StaticResponse(request.version(), keepAlive), keepAlive);
  }

  // The URL as the filter left it, served from the site's root.
  http::message_generator StaticResponse(unsigned version, bool keepAlive) {
    const MemoryRequest& now = filter_.Request();
    const bool head = now.method == "HEAD";
    if (now.method != "GET" && !head) {
      status_ = 405;
      http::response<http::string_body> response{http::status::method_not_allowed, version};
      response.set(http::field::server, kServerSoftware);
      response.set(http::field::allow, "GET, HEAD");
      response.set(http::field::content_type, "text/plain; charset=utf-8");
      response.keep_alive(keepAlive);
      response.body() = "405 Method Not Allowed\n";
      response.prepare_payload();
      return response;
    }
    FileMapping mapping = MapUrlToFile(site_.root, now.url, shared_->settings.privateFiles,
                                       shared_->settings.defaultDocuments);
    if (mapping.kind == FileMapping::AddSlash) {
      status_ = 301;
      http::response<http::empty_body> response{http::status::moved_permanently, version};
      response.set(http::field::server, kServerSoftware);
      response.set(http::field::location, mapping.location);
      response.keep_alive(keepAlive);
      response.content_length(0);
      return response;
    }
    http::file_body::value_type body;
    beast::error_code error;
    if (mapping.kind == FileMapping::File) {
      // The file the mapping opened, not its name again: the name may lead elsewhere by now.
      beast::file file;
      file.native_handle(mapping.handle.Release());
      body.reset(std::move(file), error);
    }
    if (mapping.kind != FileMapping::File || error) {
      const http::status status = mapping.kind == FileMapping::BadRequest
                                      ? http::status::bad_request
                                      : http::status::not_found;
      status_ = static_cast<unsigned>(status);
      return TextResponse(status, version, keepAlive, head);
    }
    status_ = 200;
    const uint64_t size = body.size();
    const std::string_view type = ContentTypeFor(mapping.file);
    if (head) {
      http::response<http::empty_body> response{http::status::ok, version};
      response.set(http::field::server, kServerSoftware);
      response.set(http::field::content_type, type);
      response.content_length(size);
      response.keep_alive(keepAlive);
      return response;
    }
    http::response<http::file_body> response{std::piecewise_construct,
                                             std::make_tuple(std::move(body)),
                                             std::make_tuple(http::status::ok, version)};
    response.set(http::field::server, kServerSoftware);
    response.set(http::field::content_type, type);
    response.content_length(size);
    response.keep_alive(keepAlive);
    return response;
  }

  // The filter answered: its bytes are the whole response, and the connection closes.
  void SendFilterResponse() {
    status_ = StatusOf(filter_.Written());
    asio::async_write(stream_, asio::buffer(filter_.Written()),
                      beast::bind_front_handler(&Session::OnWritten, shared_from_this(), false));
  }

  void SendResponse(http::message_generator response, bool keepAlive) {
    beast::async_write(
        stream_, std::move(response),
        beast::bind_front_handler(&Session::OnWritten, shared_from_this(), keepAlive));
  }

  void OnWritten(bool keepAlive, beast::error_code error, size_t bytes) {
    Log(bytes);
    if (error || !keepAlive || stopping_) return CloseAfterResponse();
    ReadRequest();
  }

  // The log notification for a request the filter saw, then the access log line.
  void Log(size_t bytes) {
    AccessLog* log = shared_->settings.accessLog;
    LogFields fields;
    if (served_) filter_.OnLog(status_, log != nullptr ? &fields : nullptr);
    if (log == nullptr) return;
    AccessLogEntry entry;
    entry.time = arrived_;
    entry.clientAddress = variables_.remoteAddress;
    entry.method = method_;
    entry.siteId = site_.id;
    entry.host = loggedHeaders_[0];
    entry.userAgent = loggedHeaders_[1];
    entry.referer = loggedHeaders_[2];
    entry.requestedUri = loggedHeaders_[3];
    entry.target = fields.target;
    entry.query = fields.query;
    entry.status = status_;
    entry.bytes = bytes;
    entry.milliseconds =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - started_)
                                  .count());
    log->Write(entry);
  }

  // Sends FIN, then reads and discards what the client still sends for a moment before
  // closing: closing with unread bytes would reset the connection, and a reset can destroy
  // the response the client has not read yet.
  void CloseAfterResponse() {
    if (closed_) return;
    closed_ = true;
    beast::error_code error;
    stream_.socket().shutdown(tcp::socket::shutdown_send, error);
    if (error) return stream_.close();
    stream_.expires_after(kLingerTime);
    Linger();
  }

  // Closes a connection that has no response on its way.
  void CloseNow() {
    if (closed_) return;
    closed_ = true;
    stream_.close();
  }

  void Linger() {
    stream_.async_read_some(asio::buffer(discard_),
                            [self = shared_from_this()](beast::error_code error, size_t /*bytes*/) {
                              if (error) return self->stream_.close();
                              self->Linger();
                            });
  }

  static constexpr int64_t kEvicted = -1;
  // What an idle connection reads at once: the first bytes of the next request.
  static constexpr size_t kIdleRead = 1024;

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  char discard_[512];
  std::optional<http::request_parser<http::string_body>> parser_;
  const SiteBinding& site_;
  std::shared_ptr<HttpHost::Shared> shared_;
  ConnectionVariables variables_;  // before filter_, which refers to it
  FilterConnection filter_;
  std::list<HttpHost::Shared::Live>::iterator registration_;
  std::atomic<int64_t> waitingSince_{0};  // see WaitingSince
  bool registered_ = false;
  bool reading_ = false;   // waiting for a request
  bool stopping_ = false;  // the host is stopping: close after the response
  bool closed_ = false;
  unsigned requests_ = 0;  // requests read on this connection
  // The request being answered.
  bool served_ = false;  // it reached the filter
  std::string method_;
  // Host, User-Agent, Referer and the request target as sent, for the access log.
  std::array<std::string, 4> loggedHeaders_;
  unsigned status_ = 0;
  std::chrono::system_clock::time_point arrived_;
  std::chrono::steady_clock::time_point started_;
};

HttpHost::HttpHost(HostSettings settings) : shared_(std::make_shared<Shared>(std::move(settings))) {
  shared_->host = this;
  for (const SiteBinding& site : shared_->settings.sites) {
    auto acceptor = std::make_unique<tcp::acceptor>(asio::make_strand(io_));
    beast::error_code error;
    const tcp::endpoint endpoint(asio::ip::make_address(site.address, error), site.port);
    if (!error) acceptor->open(endpoint.protocol(), error);
    if (!error) acceptor->set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor->bind(endpoint, error);
    if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      throw std::runtime_error("site " + std::to_string(site.id) + ": cannot listen on " +
                               site.address + ":" + std::to_string(site.port) + ": " +
                               error.message());
    }
    acceptors_.push_back(std::move(acceptor));
  }
}

HttpHost::~HttpHost() {
  Stop();
  Join();
}

std::vector<uint16_t> HttpHost::Ports() const {
  std::vector<uint16_t> ports;
  for (const auto& acceptor : acceptors_) {
    beast::error_code error;
    ports.push_back(acceptor->local_endpoint(error).port());
  }
  return ports;
}

void HttpHost::Start() {
  for (size_t site = 0; site < acceptors_.size(); ++site) Accept(site);
  // Without this the workers would return as soon as the io_context ran out of work, for
  // instance between closing the listeners and running a stop posted to a connection.
  work_.emplace(io_.get_executor());
  const unsigned count = std::max(1u, shared_->settings.threads);
  for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { io_.run(); });
}

void HttpHost::Accept(size_t site) {
  acceptors_[site]->async_accept(asio::make_strand(io_), [this, site](beast::error_code error,
                                                                      tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (!error) {
      std::make_shared<Session>(std::move(socket), shared_->settings.sites[site], shared_)->Start();
    } else {
      // Out of descriptors, most likely: give connections a moment to end.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    WaitForClient(site);
  });
}

void HttpHost::WaitForClient(size_t site) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stopping) return;
    if (shared_->sessions.size() >= shared_->settings.limits.maxConnections) {
      // At the limit: the next client is accepted when it arrives and a connection can make
      // room for it.
      acceptors_[site]->async_wait(tcp::acceptor::wait_read, [this, site](beast::error_code error) {
        if (error == asio::error::operation_aborted) return;
        MakeRoom(site);
      });
      return;
    }
  }
  Accept(site);
}

void HttpHost::MakeRoom(size_t site) {
  std::shared_ptr<Session> evicted;  // released after the lock: its end takes the lock
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stopping) return;
    if (shared_->sessions.size() >= shared_->settings.limits.maxConnections) {
      shared_->sitesWaiting = true;  // before the connections are looked at
      // The connection that has waited longest for a request.
      const HttpHost::Shared::Live* longest = nullptr;
      int64_t since = 0;
      for (const auto& live : shared_->sessions) {
        const int64_t waiting = live.session->WaitingSince();
        if (waiting > 0 && (longest == nullptr || waiting < since)) {
          longest = &live;
          since = waiting;
        }
      }
      if (longest != nullptr && longest->session->Claim(since)) evicted = longest->weak.lock();
      if (evicted == nullptr) {
        // Every connection is busy: the client waits in the listen queue.
        shared_->waitingSites.push_back(site);
        return;
      }
      shared_->sitesWaiting = !shared_->waitingSites.empty();
    }
  }
  if (evicted != nullptr) evicted->Evict();
  Accept(site);
}

void HttpHost::Stop() {
  std::vector<std::shared_ptr<Session>> live;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stopping) return;
    shared_->stopping = true;
    for (const auto& session : shared_->sessions) {
      if (auto alive = session.weak.lock()) live.push_back(std::move(alive));
    }
  }
  for (auto& acceptor : acceptors_) {
    asio::post(acceptor->get_executor(), [acceptor = acceptor.get()] {
      beast::error_code error;
      acceptor->close(error);
    });
  }
  for (const auto& session : live) session->Shutdown();
}

void HttpHost::Join() {
  if (joined_) return;
  joined_ = true;
  {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    const bool ended = shared_->allEnded.wait_for(lock, shared_->settings.limits.stopGrace,
                                                  [this] { return shared_->sessions.empty(); });
    if (!ended) io_.stop();  // abandon connections that would not end
  }
  work_.reset();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

}  // namespace vortane::host
