// One client connection as the filter sees it: a single HTTP_FILTER_CONTEXT for every request
// on the connection, whose AllocMem blocks live until the connection closes, and the
// notifications in the order the web server sends them: request headers before the URL is
// mapped, the log after the response.
//
// Built on the in-memory server, which implements every server operation with the real
// contracts. Belongs to one connection and is used by one thread at a time.
#pragma once

#include <string>
#include <string_view>

#include "memory_server/memory_server.h"
#include "platform/isapi.h"
#include "platform/library.h"

namespace vortane::host {

// A loaded filter: its notification entry point and the flags it registered.
struct Filter {
  platform::HttpFilterProcFunction httpFilterProc = nullptr;
  DWORD flags = 0;  // HTTP_FILTER_VERSION::dwFlags from GetFilterVersion

  // True when the filter asked for `notification` on connections of the given kind.
  bool Wants(DWORD notification, bool secure) const {
    const DWORD port = secure ? SF_NOTIFY_SECURE_PORT : SF_NOTIFY_NONSECURE_PORT;
    return httpFilterProc != nullptr && (flags & port) != 0 && (flags & notification) != 0;
  }
};

// What the request-header notification decided.
enum class FilterVerdict {
  Continue,  // serve the request as the filter left it
  Finished,  // the filter answered: Written() is the whole response; close afterwards
  Failed,    // the filter reported an error: answer 500 and close
};

// The log record's fields after the log notification (or as the server filled it when the
// filter did not take the notification).
struct LogFields {
  std::string target;
  std::string query;
};

class FilterConnection {
 public:
  // `filter` may be null (no filter loaded); it must outlive the connection. `variables`,
  // when given, answers the server variables that belong to the connection (see
  // ServerVariableSource) and must outlive it too. Fresh AllocMem blocks are not filled
  // (that aid is for tests, and this serves load), and the blocks of an ended connection
  // are reused by the thread's next ones (see MemoryServer::RecycleBlocks).
  explicit FilterConnection(const Filter* filter, const ServerVariableSource* variables = nullptr)
      : filter_(filter) {
    server_.FillFreshBlocks(false);
    server_.RecycleBlocks(true);
    server_.SetVariableSource(variables);
  }

  // Starts a request on the connection: the record to fill, every field of it, before
  // OnRequestHeaders. It still holds the last request's values, whose storage the caller
  // reuses by assigning in place, so that a request costs no allocation once the connection
  // has served one like it.
  MemoryRequest& NextRequest() { return server_.BeginRequest(); }
  // Sends the request-header notification for the request NextRequest filled.
  FilterVerdict OnRequestHeaders();
  // The request as it stands after the filter.
  const MemoryRequest& Request() const { return server_.Request(); }
  // The bytes the filter wrote to the client.
  const std::string& Written() const { return server_.Written(); }
  // Fills the log record for the response status and sends the log notification, unless
  // the filter disabled it for this request (or takes no log notification). `fields`, when
  // not null, receives the record's fields afterwards; when it is null and no notification
  // is sent, nothing is done at all.
  void OnLog(unsigned status, LogFields* fields);

 private:
  const Filter* filter_;
  MemoryServer server_;  // freed with the connection, and its AllocMem blocks with it
};

}  // namespace vortane::host
