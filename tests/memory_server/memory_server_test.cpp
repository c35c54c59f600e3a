// The in-memory server, driven through the records' function pointers as a filter drives it:
// size contracts, items and headers, server variables, support functions, failure injection,
// block ownership, URL normalisation and the log record.
#include "memory_server/memory_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vortane {
namespace {

struct ReadResult {
  BOOL ok;
  DWORD size;
  std::string value;  // the buffer up to its first NUL
};

enum class Reader { Header, Variable };

ReadResult Read(MemoryServer& server, Reader reader, const std::string& name, DWORD size) {
  std::string buffer(size + 1, '#');  // one guard byte past the size given
  std::string nameCopy = name;
  DWORD inOut = size;
  const BOOL ok = reader == Reader::Header
                      ? server.PreprocHeaders()->GetHeader(server.Context(), nameCopy.data(),
                                                           buffer.data(), &inOut)
                      : server.Context()->GetServerVariable(server.Context(), nameCopy.data(),
                                                            buffer.data(), &inOut);
  EXPECT_EQ(buffer[size], '#') << name << ": written past the size given";
  return {ok, inOut, ok ? std::string(buffer.c_str()) : std::string()};
}

BOOL Set(MemoryServer& server, std::string name, std::string value) {
  return server.PreprocHeaders()->SetHeader(server.Context(), name.data(), value.data());
}

MemoryRequest SampleRequest() {
  MemoryRequest request;
  request.method = "POST";
  request.url = "/a/b?x=1?y";
  request.version = "HTTP/1.0";
  request.headers = {{"Host", "example.test"}, {"X-Forwarded-For", "10.0.0.1"}, {"host", "second"}};
  request.serverVariables = {{"REMOTE_ADDR", "192.0.2.7"}};
  request.siteId = 42;
  request.secure = true;
  return request;
}

TEST(MemoryServerTest, ReadsFollowTheSizeContract) {
  MemoryServer server(SampleRequest());
  struct Case {
    Reader reader;
    const char* name;
    DWORD size;
    BOOL ok;
    DWORD sizeAfter;
    const char* value;
  };
  const Case cases[] = {
      {Reader::Header, "url", 11, TRUE, 11, "/a/b?x=1?y"},  // exact fit
      {Reader::Header, "URL", 10, FALSE, 11, ""},           // one byte short: the size needed
      {Reader::Header, "METHOD", 4096, TRUE, 5, "POST"},
      {Reader::Header, "VERSION", 4096, TRUE, 9, "HTTP/1.0"},
      {Reader::Header, "HOST:", 13, TRUE, 13, "example.test"},  // any case, first one
      {Reader::Header, "host:", 12, FALSE, 13, ""},
      {Reader::Header, "Host", 4096, FALSE, 4096, ""},  // no colon: not a header
      {Reader::Header, "Cookie:", 4096, FALSE, 4096, ""},
      {Reader::Variable, "REMOTE_ADDR", 10, TRUE, 10, "192.0.2.7"},
      {Reader::Variable, "REMOTE_ADDR", 9, FALSE, 10, ""},
      {Reader::Variable, "NO_SUCH_VARIABLE", 4096, FALSE, 4096, ""},
      {Reader::Variable, "HTTP_HOST", 4096, TRUE, 13, "example.test"},
      {Reader::Variable, "HTTP_X_FORWARDED_FOR", 4096, TRUE, 9, "10.0.0.1"},
      {Reader::Variable, "HTTP_X-FORWARDED-FOR", 4096, FALSE, 4096, ""},
      {Reader::Variable, "HTTP_COOKIE", 4096, FALSE, 4096, ""},
      {Reader::Variable, "HTTPS", 4096, TRUE, 3, "on"},
      {Reader::Variable, "INSTANCE_ID", 3, TRUE, 3, "42"},
      {Reader::Variable, "REQUEST_METHOD", 4096, TRUE, 5, "POST"},
      {Reader::Variable, "SERVER_PROTOCOL", 4096, TRUE, 9, "HTTP/1.0"},
      {Reader::Variable, "URL", 4096, TRUE, 5, "/a/b"},
      {Reader::Variable, "QUERY_STRING", 4096, TRUE, 6, "x=1?y"},
  };
  for (const Case& c : cases) {
    const ReadResult result = Read(server, c.reader, c.name, c.size);
    EXPECT_EQ(result.ok, c.ok) << c.name << " size " << c.size;
    EXPECT_EQ(result.size, c.sizeAfter) << c.name << " size " << c.size;
    EXPECT_EQ(result.value, c.value) << c.name << " size " << c.size;
  }
}

TEST(MemoryServerTest, ServerVariablesFollowTheRequestAsItStands) {
  MemoryServer server(SampleRequest());
  ASSERT_TRUE(Set(server, "url", "/rewritten"));
  ASSERT_TRUE(Set(server, "Host:", "other.test"));
  EXPECT_EQ(Read(server, Reader::Variable, "URL", 4096).value, "/rewritten");
  EXPECT_EQ(Read(server, Reader::Variable, "HTTP_HOST", 4096).value, "other.test");
  EXPECT_EQ(Read(server, Reader::Variable, "QUERY_STRING", 4096).size, 1u);

  MemoryRequest next = SampleRequest();
  next.serverVariables["URL"] = "/given";  // explicit variables come first
  next.secure = false;
  server.StartRequest(next);
  EXPECT_EQ(Read(server, Reader::Variable, "URL", 4096).value, "/given");
  EXPECT_EQ(Read(server, Reader::Variable, "HTTPS", 4096).value, "off");
  EXPECT_FALSE(server.Context()->fIsSecurePort);
}

// Answers SERVER_NAME from the request's Host header and URL with a value of its own.
struct HostNameSource : ServerVariableSource {
  std::optional<std::string_view> Find(std::string_view name,
                                       const MemoryRequest& request) const override {
    if (name == "SERVER_NAME") return request.headers.at(0).second;
    if (name == "URL") return std::string_view("/from-source");
    return std::nullopt;
  }
};

TEST(MemoryServerTest, VariableSourceComesBetweenGivenAndDerivedVariables) {
  const HostNameSource source;
  MemoryServer server(SampleRequest());
  server.SetVariableSource(&source);
  // The request filled in place: the source sees it as it now stands.
  MemoryRequest& request = server.BeginRequest();
  request.headers.at(0).second = "in-place.test";
  request.secure = false;
  EXPECT_EQ(Read(server, Reader::Variable, "SERVER_NAME", 4096).value, "in-place.test");
  EXPECT_EQ(Read(server, Reader::Variable, "URL", 4096).value, "/from-source");
  EXPECT_EQ(Read(server, Reader::Variable, "REMOTE_ADDR", 4096).value, "192.0.2.7");
  EXPECT_EQ(Read(server, Reader::Variable, "REQUEST_METHOD", 4096).value, "POST");
  EXPECT_FALSE(Read(server, Reader::Variable, "SERVER_PORT", 4096).ok);
  EXPECT_FALSE(server.Context()->fIsSecurePort);
}

TEST(MemoryServerTest, SetHeaderReplacesOrAddsAndAddHeaderAppends) {
  MemoryServer server(SampleRequest());
  EXPECT_TRUE(Set(server, "URL", "/new?q"));
  EXPECT_TRUE(Set(server, "METHOD", "GET"));
  EXPECT_TRUE(Set(server, "VERSION", "HTTP/1.1"));
  EXPECT_TRUE(Set(server, "HOST:", "replaced"));
  EXPECT_TRUE(Set(server, "X-Rewrite-URL:", "/a/b?x=1?y"));
  EXPECT_FALSE(Set(server, "Host", "no colon"));
  EXPECT_FALSE(Set(server, ":", "no name"));

  const MemoryRequest& request = server.Request();
  EXPECT_EQ(request.url, "/new?q");
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.version, "HTTP/1.1");
  ASSERT_EQ(request.headers.size(), 4u);
  EXPECT_EQ(request.headers[0].second, "replaced");  // the first of two, in its place
  EXPECT_EQ(request.headers[2].second, "second");
  EXPECT_EQ(server.Header("x-rewrite-url"), "/a/b?x=1?y");

  std::string name = "X-Rewrite-URL:", value = "again";
  EXPECT_TRUE(server.PreprocHeaders()->AddHeader(server.Context(), name.data(), value.data()));
  EXPECT_EQ(request.headers.size(), 5u);
  EXPECT_EQ(server.Header("X-Rewrite-URL"), "/a/b?x=1?y");
}

TEST(MemoryServerTest, SupportFunctions) {
  MemoryServer server(SampleRequest());
  HTTP_FILTER_CONTEXT* pfc = server.Context();
  DWORD site = 0;
  EXPECT_TRUE(
      pfc->ServerSupportFunction(pfc, SF_REQ_GET_PROPERTY, &site, SF_PROPERTY_INSTANCE_NUM_ID, 0));
  EXPECT_EQ(site, 42u);
  EXPECT_FALSE(
      pfc->ServerSupportFunction(pfc, SF_REQ_GET_PROPERTY, &site, SF_PROPERTY_SSL_CTXT, 0));
  EXPECT_FALSE(pfc->ServerSupportFunction(pfc, SF_REQ_GET_CONNID, &site, 0, 0));

  EXPECT_TRUE(pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr,
                                         SF_NOTIFY_SEND_RAW_DATA, 0));
  EXPECT_FALSE(server.LogNotificationDisabled());
  EXPECT_TRUE(
      pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, SF_NOTIFY_LOG, 0));
  EXPECT_TRUE(server.LogNotificationDisabled());

  char url[] = "/a/%2E%2e/b?c\0tail";
  EXPECT_TRUE(pfc->ServerSupportFunction(pfc, SF_REQ_NORMALIZE_URL, url, 0, 0));
  EXPECT_STREQ(url, "/b?c");
  EXPECT_STREQ(url + 14, "tail");  // nothing written past the value

  std::string bytes("HTTP/1.1 403\0x", 14);
  DWORD count = static_cast<DWORD>(bytes.size());
  EXPECT_TRUE(pfc->WriteClient(pfc, bytes.data(), &count, 0));
  EXPECT_TRUE(pfc->WriteClient(pfc, bytes.data(), &count, 0));
  EXPECT_EQ(server.Written(), bytes + bytes);
}

TEST(MemoryServerTest, EveryOperationCanBeMadeToFail) {
  MemoryServer server(SampleRequest());
  HTTP_FILTER_CONTEXT* pfc = server.Context();
  HTTP_FILTER_PREPROC_HEADERS* headers = server.PreprocHeaders();
  std::string item = "url", variable = "URL", path = "/a", header = "X-A:", value = "v";
  char buffer[4096];
  DWORD number = 0;
  const auto getVariable = [&] {
    DWORD size = sizeof buffer;
    return pfc->GetServerVariable(pfc, variable.data(), buffer, &size) != FALSE;
  };
  const auto writeClient = [&] {
    DWORD size = 1;
    return pfc->WriteClient(pfc, value.data(), &size, 0) != FALSE;
  };
  const auto getHeader = [&] {
    DWORD size = sizeof buffer;
    return headers->GetHeader(pfc, item.data(), buffer, &size) != FALSE;
  };
  const std::pair<ServerOperation, std::function<bool()>> operations[] = {
      {ServerOperation::GetServerVariable, getVariable},
      {ServerOperation::AddResponseHeaders,
       [&] { return pfc->AddResponseHeaders(pfc, header.data(), 0) != FALSE; }},
      {ServerOperation::WriteClient, writeClient},
      {ServerOperation::AllocMem, [&] { return pfc->AllocMem(pfc, 8, 0) != nullptr; }},
      {ServerOperation::GetProperty,
       [&] {
         return pfc->ServerSupportFunction(pfc, SF_REQ_GET_PROPERTY, &number,
                                           SF_PROPERTY_INSTANCE_NUM_ID, 0) != FALSE;
       }},
      {ServerOperation::NormalizeUrl,
       [&] {
         return pfc->ServerSupportFunction(pfc, SF_REQ_NORMALIZE_URL, path.data(), 0, 0) != FALSE;
       }},
      {ServerOperation::DisableNotifications,
       [&] {
         return pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr,
                                           SF_NOTIFY_LOG, 0) != FALSE;
       }},
      {ServerOperation::GetHeader, getHeader},
      {ServerOperation::SetHeader,
       [&] { return headers->SetHeader(pfc, header.data(), value.data()) != FALSE; }},
      {ServerOperation::AddHeader,
       [&] { return headers->AddHeader(pfc, header.data(), value.data()) != FALSE; }},
  };
  static_assert(std::size(operations) == static_cast<size_t>(kServerOperationCount));
  for (const auto& [failing, call] : operations) {
    server.Fail(failing);
    for (const auto& [operation, other] : operations) {
      const unsigned before = server.Calls(operation);
      EXPECT_EQ(other(), operation != failing)
          << static_cast<int>(operation) << " while " << static_cast<int>(failing) << " fails";
      EXPECT_EQ(server.Calls(operation), before + 1);
    }
    server.Fail(failing, false);
    EXPECT_TRUE(call()) << static_cast<int>(failing) << " after the failure was lifted";
  }
  // Failed calls have no effect: one write per round but the one where it failed, plus one.
  EXPECT_EQ(server.Written(), std::string(kServerOperationCount, 'v'));
  EXPECT_EQ(server.AllocatedBlocks(), static_cast<size_t>(kServerOperationCount));
}

TEST(MemoryServerTest, BlocksBelongToTheConnection) {
  MemoryServer server(SampleRequest());
  HTTP_FILTER_CONTEXT* pfc = server.Context();
  auto* first = static_cast<unsigned char*>(pfc->AllocMem(pfc, 4097, 0));
  auto* second = static_cast<unsigned char*>(pfc->AllocMem(pfc, 0, 0));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first[0], 0xA5);
  EXPECT_EQ(first[4096], 0xA5);
  std::memset(first, 0, 4097);  // the whole size is the filter's (ASan checks the bounds)
  pfc->pFilterContext = first;

  // A second request on the same connection keeps the blocks and the filter's pointer, but
  // starts with fresh output, log flag and call counts; injected failures stay.
  DWORD count = 1;
  pfc->WriteClient(pfc, first, &count, 0);
  pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, SF_NOTIFY_LOG, 0);
  server.Fail(ServerOperation::AllocMem);
  server.StartRequest(MemoryRequest());
  EXPECT_EQ(server.AllocatedBlocks(), 2u);
  EXPECT_EQ(pfc->pFilterContext, first);
  EXPECT_EQ(first[4096], 0);
  EXPECT_TRUE(server.Written().empty());
  EXPECT_FALSE(server.LogNotificationDisabled());
  EXPECT_EQ(server.Calls(ServerOperation::AllocMem), 0u);
  EXPECT_EQ(pfc->AllocMem(pfc, 16, 0), nullptr);
  EXPECT_EQ(server.AllocatedBlocks(), 2u);

  server.EndConnection();
  EXPECT_EQ(server.AllocatedBlocks(), 0u);
  EXPECT_EQ(pfc->pFilterContext, nullptr);
  server.Fail(ServerOperation::AllocMem, false);
  EXPECT_NE(pfc->AllocMem(pfc, 16, 0), nullptr);  // freed by the destructor
  EXPECT_EQ(server.AllocatedBlocks(), 1u);
}

TEST(MemoryServerTest, RecycledBlocksGoToTheThreadsNextConnectionAsFresh) {
  MemoryServer first;
  MemoryServer second;
  first.RecycleBlocks(true);
  second.RecycleBlocks(true);
  const auto alloc = [](MemoryServer& server, DWORD size) {
    return static_cast<unsigned char*>(server.Context()->AllocMem(server.Context(), size, 0));
  };
  unsigned char* block = alloc(first, 300);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0, 300);
  first.EndConnection();
  EXPECT_EQ(first.AllocatedBlocks(), 0u);
  // Had the block gone back to the allocator, this would most likely take it.
  const std::unique_ptr<unsigned char[]> other(new unsigned char[300]);
  EXPECT_NE(other.get(), block);
  // Taken again for the same size, and filled again as a fresh block is.
  EXPECT_EQ(alloc(second, 300), block);
  EXPECT_EQ(block[0], 0xA5);
  EXPECT_EQ(block[299], 0xA5);
  EXPECT_EQ(second.AllocatedBlocks(), 1u);
}

TEST(NormalizeUrlPathTest, DecodesThenResolvesDotSegments) {
  struct Case {
    const char* input;
    const char* output;  // nullptr: refused
  };
  const Case cases[] = {
      {"/", "/"},
      {"/a/b.html?x=%zz/../..", "/a/b.html?x=%zz/../.."},  // the query is left alone
      {"/a%20b/%41%6a", "/a b/Aj"},
      {"/a%2fb", "/a/b"},
      {"/a%3fb?c", "/a?b?c"},
      {"/%252e", "/%2e"},  // decoded once only
      {"\\a\\b\\..\\c", "/a/c"},
      {"/a%5c..%5cb", "/b"},
      {"/a/./b/../c", "/a/c"},
      {"/a/.", "/a/"},
      {"/.", "/"},
      {"/a/..", "/"},
      {"/a//..", "/"},
      {"//private/index.html", "/private/index.html"},  // runs of slashes count as one
      {"/%2fprivate/", "/private/"},
      {"/.//private/", "/private/"},
      {"/a\\/%2F/b//", "/a/b/"},
      {"a//b", "a/b"},
      {"/a/%2e%2E/b", "/b"},
      {"/a/..b/.c/...", "/a/..b/.c/..."},
      {"a/../b", "b"},  // relative paths resolve as if from the root
      {"", ""},
      {"/..", nullptr},
      {"/a/../..", nullptr},
      {"/%2e%2e/etc", nullptr},
      {"..", nullptr},
      {"/a/..%5c..%5cx", nullptr},
      {"/a%", nullptr},
      {"/a%4", nullptr},
      {"/a%%41", nullptr},
      {"/a%00b", nullptr},
  };
  for (const Case& c : cases) {
    std::string url = c.input;
    const bool ok = NormalizeUrlPath(url);
    EXPECT_EQ(ok, c.output != nullptr) << c.input;
    if (ok && c.output != nullptr) {
      EXPECT_EQ(url, c.output) << c.input;
      EXPECT_LE(url.size(), std::strlen(c.input)) << c.input;
    }
  }
}

TEST(MemoryServerTest, LogRecordSplitsTheUrlAtTheFirstQuestionMark) {
  struct Case {
    const char* url;
    const char* target;
    const char* parameters;
  };
  const Case cases[] = {
      {"/a/b?x=1&y=2", "/a/b", "x=1&y=2"},
      {"/a/b", "/a/b", ""},
      {"/a?", "/a", ""},
      {"/a?b?c", "/a", "b?c"},
  };
  MemoryServer server;
  for (const Case& c : cases) {
    ASSERT_TRUE(Set(server, "url", c.url));
    const HTTP_FILTER_LOG* log = server.PrepareLogRecord();
    EXPECT_STREQ(log->pszTarget, c.target) << c.url;
    EXPECT_STREQ(log->pszParameters, c.parameters) << c.url;
    EXPECT_STREQ(log->pszOperation, "GET");
    EXPECT_EQ(log->dwHttpStatus, 200u);
  }
}

}  // namespace
}  // namespace vortane
