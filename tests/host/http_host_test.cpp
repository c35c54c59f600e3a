// The HTTP host with stand-in filters: what the filter sees of each request and connection,
// what the client gets back, what never reaches the filter, and a graceful stop.
#include "host/http_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tests/support/temp_dir.h"

namespace vortane::host {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// What the stand-in filter saw and what it is told to do. The host calls it from its worker
// threads, hence the lock.
struct Recorder {
  std::mutex mutex;
  std::vector<std::map<std::string, std::string>> variables;  // per request
  std::vector<HTTP_FILTER_CONTEXT*> contexts;                 // per request
  std::vector<void*> blocks;                                  // pFilterContext on arrival
  int preprocCalls = 0;
  int logCalls = 0;
  // Behaviour, set before the requests.
  std::string rewriteTo;  // set the URL to this
  std::string answer;     // write this and finish
  bool disableLog = false;
  std::chrono::milliseconds delay{0};
};
Recorder* recorder = nullptr;

std::string Variable(HTTP_FILTER_CONTEXT* context, const char* name) {
  char buffer[256];
  DWORD size = sizeof buffer;
  if (!context->GetServerVariable(context, const_cast<char*>(name), buffer, &size)) {
    return "(absent)";
  }
  return buffer;
}

DWORD SERVER_CALL StandInFilter(HTTP_FILTER_CONTEXT* context, DWORD notification, VOID* data) {
  std::lock_guard<std::mutex> lock(recorder->mutex);
  if (notification == SF_NOTIFY_LOG) {
    ++recorder->logCalls;
    static char loggedTarget[] = "/as-logged";
    static_cast<HTTP_FILTER_LOG*>(data)->pszTarget = loggedTarget;
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  ++recorder->preprocCalls;
  std::map<std::string, std::string> seen;
  for (const char* name : {"HTTPS", "SERVER_PORT", "SERVER_NAME", "REMOTE_ADDR", "QUERY_STRING",
                           "INSTANCE_ID", "HTTP_X_FORWARDED_FOR", "HTTP_USER_AGENT"}) {
    seen[name] = Variable(context, name);
  }
  recorder->variables.push_back(seen);
  recorder->contexts.push_back(context);
  recorder->blocks.push_back(context->pFilterContext);
  context->pFilterContext = context->AllocMem(context, 64, 0);
  auto* headers = static_cast<HTTP_FILTER_PREPROC_HEADERS*>(data);
  if (!recorder->rewriteTo.empty()) {
    headers->SetHeader(context, const_cast<char*>("url"), recorder->rewriteTo.data());
  }
  if (recorder->disableLog) {
    context->ServerSupportFunction(context, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, SF_NOTIFY_LOG,
                                   0);
  }
  std::this_thread::sleep_for(recorder->delay);
  if (!recorder->answer.empty()) {
    DWORD size = static_cast<DWORD>(recorder->answer.size());
    context->WriteClient(context, recorder->answer.data(), &size, 0);
    return SF_STATUS_REQ_FINISHED;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

// A blocking client on one connection.
class Client {
 public:
  explicit Client(uint16_t port) : socket_(io_) {
    socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  }
  void Send(const std::string& bytes) { asio::write(socket_, asio::buffer(bytes)); }
  http::response<http::string_body> Receive(bool head = false) {
    http::response_parser<http::string_body> parser;
    parser.skip(head);
    http::read(socket_, buffer_, parser);
    return parser.release();
  }
  // Everything until the server closes the connection.
  std::string ReadToEnd() {
    std::string bytes(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    buffer_.consume(buffer_.size());
    beast::error_code error;
    char chunk[4096];
    for (;;) {
      const size_t got = socket_.read_some(asio::buffer(chunk), error);
      bytes.append(chunk, got);
      if (error) break;
    }
    return bytes;
  }
  bool ClosedByServer() { return ReadToEnd().empty(); }

 private:
  asio::io_context io_;
  tcp::socket socket_;
  beast::flat_buffer buffer_;
};

std::string Get(const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: shop.example\r\n" + extra + "\r\n";
}

class HttpHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder = &recorder_;
    root_ = testing::ScratchFolder("http-host");
    fs::remove_all(root_);
    fs::create_directories(root_);
    std::ofstream(root_ / "index.html") << "<p>home</p>";
    std::ofstream(root_ / "b.html") << "<p>b</p>";
    filter_.httpFilterProc = StandInFilter;
    filter_.flags = SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_LOG;
  }
  void TearDown() override {
    host_.reset();
    log_.reset();
    fs::remove_all(root_);
    recorder = nullptr;
  }

  uint16_t StartHost(HostLimits limits = HostLimits()) {
    log_ = std::make_unique<AccessLog>(root_ / "access.log");
    HostSettings settings;
    settings.sites.push_back(SiteBinding{7, "127.0.0.1", 0, root_});
    settings.filter = &filter_;
    settings.accessLog = log_.get();
    settings.threads = 2;
    settings.limits = limits;
    host_ = std::make_unique<HttpHost>(settings);
    host_->Start();
    return host_->Ports().at(0);
  }
  // The access log's request lines, once the host has stopped.
  std::vector<std::string> AccessLogLines() {
    host_.reset();
    log_.reset();
    std::ifstream in(root_ / "access.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind('#', 0) != 0) lines.push_back(line.substr(20));  // without date and time
    }
    return lines;
  }

  Recorder recorder_;
  fs::path root_;
  Filter filter_;
  std::unique_ptr<AccessLog> log_;
  std::unique_ptr<HttpHost> host_;
};

TEST_F(HttpHostTest, FilterSeesServerVariablesAndOneContextPerConnection) {
  const uint16_t port = StartHost();
  Client first(port);
  first.Send(Get("/index.html?q=1", "X-Forwarded-For: 10.1.2.3\r\n"));
  EXPECT_EQ(first.Receive().body(), "<p>home</p>");
  first.Send(Get("/b.html"));
  EXPECT_EQ(first.Receive().body(), "<p>b</p>");
  Client second(port);
  second.Send(Get("/"));
  EXPECT_EQ(second.Receive().result_int(), 200);

  std::lock_guard<std::mutex> lock(recorder_.mutex);
  ASSERT_EQ(recorder_.variables.size(), 3u);
  const std::map<std::string, std::string> expected = {
      {"HTTPS", "off"},
      {"SERVER_PORT", std::to_string(port)},
      {"SERVER_NAME", "shop.example"},
      {"REMOTE_ADDR", "127.0.0.1"},
      {"QUERY_STRING", "q=1"},
      {"INSTANCE_ID", "7"},
      {"HTTP_X_FORWARDED_FOR", "10.1.2.3"},
      {"HTTP_USER_AGENT", "(absent)"},
  };
  EXPECT_EQ(recorder_.variables[0], expected);
  // The next request on the connection sees its own headers and query, none of the first's.
  EXPECT_EQ(recorder_.variables[1].at("HTTP_X_FORWARDED_FOR"), "(absent)");
  EXPECT_EQ(recorder_.variables[1].at("QUERY_STRING"), "");
  // The second request on the connection finds the block the first one took.
  EXPECT_EQ(recorder_.contexts[0], recorder_.contexts[1]);
  EXPECT_EQ(recorder_.blocks[0], nullptr);
  EXPECT_NE(recorder_.blocks[1], nullptr);
  EXPECT_NE(recorder_.contexts[2], recorder_.contexts[0]);
  EXPECT_EQ(recorder_.blocks[2], nullptr);
}

TEST_F(HttpHostTest, ServesTheUrlAsTheFilterLeftItAndLogsTheRecord) {
  recorder_.rewriteTo = "/b.html?from=rule";
  const uint16_t port = StartHost();
  Client client(port);
  client.Send(Get("/old-page"));
  const auto response = client.Receive();
  EXPECT_EQ(response.result_int(), 200);
  EXPECT_EQ(response.body(), "<p>b</p>");
  EXPECT_EQ(response[http::field::content_type], "text/html; charset=utf-8");
  client.Send(Get("/other"));
  client.Receive();
  const std::vector<std::string> lines = AccessLogLines();
  ASSERT_EQ(lines.size(), 2u);
  // The log notification replaced the target; the query is the rewritten URL's.
  EXPECT_EQ(lines[0].rfind("127.0.0.1 GET /as-logged from=rule 200 ", 0), 0u) << lines[0];
  EXPECT_EQ(recorder_.logCalls, 2);
}

TEST_F(HttpHostTest, FilterAnswerIsTheWholeResponseAndClosesTheConnection) {
  recorder_.answer = "HTTP/1.1 302 Object moved\r\nLocation: /b.html\r\n\r\n";
  const uint16_t port = StartHost();
  Client client(port);
  client.Send(Get("/"));
  EXPECT_EQ(client.ReadToEnd(), recorder_.answer);
  const std::vector<std::string> lines = AccessLogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" 302 "), std::string::npos) << lines[0];
}

TEST_F(HttpHostTest, DisabledLogNotificationIsNotSent) {
  recorder_.disableLog = true;
  const uint16_t port = StartHost();
  Client client(port);
  client.Send(Get("/index.html"));
  client.Receive();
  const std::vector<std::string> lines = AccessLogLines();
  EXPECT_EQ(recorder_.logCalls, 0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("127.0.0.1 GET /index.html - 200 ", 0), 0u) << lines[0];
}

TEST_F(HttpHostTest, StaticResponses) {
  const uint16_t port = StartHost();
  struct Case {
    std::string request;
    int status;
    const char* header;  // a header the response must carry, "Name: value"
    bool head;
  };
  const Case cases[] = {
      {Get("/missing"), 404, nullptr, false},
      {Get("/httpd.ini"), 404, nullptr, false},
      {Get("/%2e%2e/x"), 400, nullptr, false},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc", 405, "Allow: GET, HEAD",
       false},
      {"DELETE /index.html HTTP/1.1\r\nHost: a\r\n\r\n", 405, nullptr, false},
      {"HEAD /index.html HTTP/1.1\r\nHost: a\r\n\r\n", 200, "Content-Length: 11", true},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 405,
       nullptr, false},
      // The longest URL and the most header bytes both reach the filter.
      {Get("/" + std::string(16383, 'a'), "X-Big: " + std::string(8000, 'b') + "\r\n"), 404,
       nullptr, false},
      {"GET /b.html HTTP/1.0\r\n\r\n", 200, nullptr, false},  // HTTP/1.0 needs no Host; last
  };
  // All on one connection: none of these ends it.
  Client client(port);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 60));
    client.Send(c.request);
    const auto response = client.Receive(c.head);
    EXPECT_EQ(response.result_int(), c.status);
    if (c.header != nullptr) {
      const std::string header = c.header;
      const size_t colon = header.find(": ");
      EXPECT_EQ(response[header.substr(0, colon)], header.substr(colon + 2));
    }
  }
}

TEST_F(HttpHostTest, WhatDoesNotParseNeverReachesTheFilter) {
  HostLimits limits;
  limits.headerTimeout = 300ms;
  const uint16_t port = StartHost(limits);
  struct Case {
    std::string bytes;
    int status;  // 0: the connection just closes
  };
  const Case cases[] = {
      {"GARBAGE\r\n\r\n", 400},
      {"GET /index.html HTTP/9.9\r\n\r\n", 400},
      {"GET /a HTTP/1.1\r\nBad Header\r\n\r\n", 400},
      {"GET /" + std::string(30000, 'a') + " HTTP/1.1\r\n\r\n", 414},
      {Get("/" + std::string(16384, 'a')), 414},  // a byte over the URL limit
      {Get("/", "X-Big: " + std::string(8200, 'b') + "\r\n"), 431},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999\r\n\r\n", 413},
      {"GET / HTTP/1.1\r\nHost: a\r\n", 0},  // never finished: the timeout closes it
      // Framing other than a Content-Length or a lone "chunked" could hide a second request
      // in what looks like a body; HTTP/1.1 needs exactly one Host.
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n" + Get("/smuggled"), 400},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, identity\r\n\r\n0\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: "
       "chunked\r\n\r\n0\r\n\r\n",
       400},
      {"GET / HTTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
      // One Content-Length, a plain number: two, even equal, or a list leave the length to
      // whoever reads the request.
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx", 400},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1, 1\r\n\r\nx", 400},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: +1\r\n\r\nx", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    Client client(port);
    client.Send(c.bytes);
    const std::string answer = client.ReadToEnd();  // the server closes in every case
    if (c.status == 0) {
      EXPECT_EQ(answer, "");
    } else {
      EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(c.status));
      EXPECT_EQ(answer.find("HTTP/", 1), std::string::npos) << answer;  // one answer only
    }
  }
  std::lock_guard<std::mutex> lock(recorder_.mutex);
  EXPECT_EQ(recorder_.preprocCalls, 0);
}

// An HTTP/1.0 message with a Transfer-Encoding is answered, and what follows it is not read
// as another request: the connection closes after the answer.
TEST_F(HttpHostTest, Http10WithATransferEncodingClosesAfterItsAnswer) {
  const uint16_t port = StartHost();
  struct Case {
    std::string bytes;
    size_t answers;
  };
  const Case cases[] = {
      {"GET /b.html HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
       "0\r\n\r\nGET /index.html HTTP/1.0\r\n\r\n",
       1},
      {"POST / HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
       "3\r\nabc\r\n0\r\n\r\nGET /index.html HTTP/1.0\r\n\r\n",
       1},
      // Without one, a keep-alive HTTP/1.0 connection goes on.
      {"GET /b.html HTTP/1.0\r\nConnection: keep-alive\r\n\r\nGET /index.html HTTP/1.0\r\n\r\n", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    Client client(port);
    client.Send(c.bytes);
    const std::string answer = client.ReadToEnd();
    size_t answers = 0;
    for (size_t at = answer.find("HTTP/1."); at != std::string::npos;
         at = answer.find("HTTP/1.", at + 1)) {
      ++answers;
    }
    EXPECT_EQ(answers, c.answers) << answer;
  }
}

// Hard links do not give a name to the rules: the file opened is compared with the site's.
TEST_F(HttpHostTest, NoNameServesTheSiteRules) {
  std::ofstream(root_ / "httpd.ini") << "[Vortane]\n";
  fs::create_hard_link(root_ / "httpd.ini", root_ / "rules.txt");
  const uint16_t port = StartHost();
  Client client(port);
  client.Send(Get("/rules.txt"));
  EXPECT_EQ(client.Receive().result_int(), 404);
}

// A keep-alive connection may idle for the keep-alive timeout, longer than a request's
// header may take, and no longer.
TEST_F(HttpHostTest, IdleAndHeaderTimeoutsAreApart) {
  HostLimits limits;
  limits.headerTimeout = 300ms;
  limits.keepAliveTimeout = 1500ms;
  const uint16_t port = StartHost(limits);
  Client client(port);
  client.Send(Get("/"));
  EXPECT_EQ(client.Receive().result_int(), 200);
  std::this_thread::sleep_for(700ms);  // past the header timeout: still open
  client.Send(Get("/b.html"));
  EXPECT_EQ(client.Receive().result_int(), 200);
  const auto idle = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.ClosedByServer());
  const auto waited = std::chrono::steady_clock::now() - idle;
  EXPECT_GE(waited, 1400ms);
  EXPECT_LT(waited, 5s);
  // A header begun after an idle moment has the header timeout from its first byte.
  Client slow(port);
  slow.Send(Get("/"));
  slow.Receive();
  std::this_thread::sleep_for(500ms);
  slow.Send("GET / HTTP/1.1\r\n");
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_TRUE(slow.ClosedByServer());
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 1200ms);
}

// At the connection limit, the connection that has waited longest for a request makes room
// for a new client: slow or idle clients cannot keep a request out.
TEST_F(HttpHostTest, AtTheLimitTheLongestWaitingConnectionMakesRoom) {
  HostLimits limits;
  limits.maxConnections = 3;
  const uint16_t port = StartHost(limits);
  Client slow(port);
  slow.Send("GET / HTTP/1.1\r\nHost: a\r\n");  // a header that never ends
  std::this_thread::sleep_for(100ms);
  Client idle(port);
  idle.Send(Get("/"));
  EXPECT_EQ(idle.Receive().result_int(), 200);
  std::this_thread::sleep_for(100ms);
  Client silent(port);  // sends nothing
  std::this_thread::sleep_for(100ms);
  const auto started = std::chrono::steady_clock::now();
  Client first(port);
  first.Send(Get("/b.html"));
  EXPECT_EQ(first.Receive().body(), "<p>b</p>");
  EXPECT_TRUE(slow.ClosedByServer());  // it waited longest
  Client second(port);
  second.Send(Get("/b.html"));
  EXPECT_EQ(second.Receive().body(), "<p>b</p>");
  EXPECT_TRUE(idle.ClosedByServer());  // then the idle one
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

TEST_F(HttpHostTest, KeepAliveEndsAfterTheRequestLimit) {
  HostLimits limits;
  limits.maxRequestsPerConnection = 3;
  const uint16_t port = StartHost(limits);
  Client client(port);
  for (int i = 0; i < 3; ++i) {
    client.Send(Get("/"));
    const auto response = client.Receive();
    EXPECT_EQ(response.keep_alive(), i < 2) << i;
  }
  EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(HttpHostTest, ClientsBeyondTheConnectionLimitWaitUntilOneEnds) {
  HostLimits limits;
  limits.maxConnections = 2;
  const uint16_t port = StartHost(limits);
  auto first = std::make_unique<Client>(port);
  Client second(port);
  // Both busy: their bodies are still coming, so neither waits for a request.
  for (Client* client : {first.get(), &second}) {
    client->Send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nabc");
  }
  std::this_thread::sleep_for(100ms);
  Client third(port);  // connects: the listen queue holds it
  third.Send(Get("/b.html"));
  std::this_thread::sleep_for(300ms);
  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    EXPECT_EQ(recorder_.preprocCalls, 0);
  }
  first.reset();
  EXPECT_EQ(third.Receive().body(), "<p>b</p>");
}

TEST_F(HttpHostTest, StopFinishesRequestsInFlightAndClosesIdleConnections) {
  recorder_.delay = 300ms;
  const uint16_t port = StartHost();
  Client idle(port);
  Client busy(port);
  busy.Send(Get("/index.html"));
  std::this_thread::sleep_for(100ms);  // the filter is now working on it
  host_->Stop();
  const auto response = busy.Receive();
  EXPECT_EQ(response.result_int(), 200);
  EXPECT_EQ(response.body(), "<p>home</p>");
  EXPECT_TRUE(busy.ClosedByServer());
  EXPECT_TRUE(idle.ClosedByServer());
  const auto started = std::chrono::steady_clock::now();
  host_->Join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_THROW(Client{port}, boost::system::system_error);
}

TEST_F(HttpHostTest, RefusesAnAddressItCannotBind) {
  const uint16_t port = StartHost();
  HostSettings settings;
  settings.sites.push_back(SiteBinding{1, "127.0.0.1", port, root_});
  EXPECT_THROW(HttpHost{settings}, std::runtime_error);
  settings.sites[0] = SiteBinding{1, "not-an-address", 0, root_};
  EXPECT_THROW(HttpHost{settings}, std::runtime_error);
}

}  // namespace
}  // namespace vortane::host
