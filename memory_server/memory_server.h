// An in-memory web server that plays the server's side of the filter interface for one
// connection and one request at a time.
//
// It fills the same records a real server hands to the filter (HTTP_FILTER_CONTEXT,
// HTTP_FILTER_PREPROC_HEADERS, HTTP_FILTER_LOG) and implements every server operation the
// filter uses, with the real contracts: sizes passed in and out, FALSE when an item is absent
// or its value with its NUL does not fit, header names compared without regard to case,
// SetHeader replacing or adding, AllocMem blocks owned by the connection, WriteClient bytes
// recorded, the site number answered through SF_REQ_GET_PROPERTY, a disabled log
// notification recorded, and URL normalisation as the server does it. Any one operation can
// be told to fail, so that every failure path of the filter can be reached.
//
// It is what the tests use, and what command-line runners and HTTP hosts build on. Not
// thread-safe: one connection is served by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/isapi.h"

namespace vortane {

// The server operations the filter can call, for failure injection and call counts.
enum class ServerOperation {
  GetServerVariable,     // HTTP_FILTER_CONTEXT::GetServerVariable
  AddResponseHeaders,    // HTTP_FILTER_CONTEXT::AddResponseHeaders
  WriteClient,           // HTTP_FILTER_CONTEXT::WriteClient
  AllocMem,              // HTTP_FILTER_CONTEXT::AllocMem (fails with NULL)
  GetProperty,           // ServerSupportFunction SF_REQ_GET_PROPERTY
  NormalizeUrl,          // ServerSupportFunction SF_REQ_NORMALIZE_URL
  DisableNotifications,  // ServerSupportFunction SF_REQ_DISABLE_NOTIFICATIONS
  GetHeader,             // HTTP_FILTER_PREPROC_HEADERS::GetHeader
  SetHeader,             // HTTP_FILTER_PREPROC_HEADERS::SetHeader
  AddHeader,             // HTTP_FILTER_PREPROC_HEADERS::AddHeader
};
inline constexpr int kServerOperationCount = 10;

// One request as a client sent it.
struct MemoryRequest {
  std::string method = "GET";
  std::string url = "/";  // path and query string, as sent
  std::string version = "HTTP/1.1";
  // Request headers in arrival order: names without the colon, compared without case.
  std::vector<std::pair<std::string, std::string>> headers;
  // Server variables by exact name. Besides these the server answers HTTP_<NAME> (a request
  // header, upper case with "-" as "_"), HTTPS ("on"/"off"), INSTANCE_ID, REQUEST_METHOD,
  // SERVER_PROTOCOL, URL (the path) and QUERY_STRING, from the request as it stands.
  std::map<std::string, std::string, std::less<>> serverVariables;
  uint32_t siteId = 1;  // the web-site instance number
  bool secure = false;  // arrived on a secure port
};

// Server variables that belong to the server and the connection rather than to the request
// (the server's name and port, the client's address and the like), computed when the filter
// asks for one instead of stored with every request.
class ServerVariableSource {
 public:
  virtual ~ServerVariableSource() = default;
  // The value of `name` for `request`, or nothing when this source does not know the name.
  // The view must stay valid until the request changes or the source ends. Called on the
  // thread that serves the connection; should cost no more than a few comparisons.
  virtual std::optional<std::string_view> Find(std::string_view name,
                                               const MemoryRequest& request) const = 0;
};

class MemoryServer {
 public:
  explicit MemoryServer(MemoryRequest request = MemoryRequest());
  ~MemoryServer();  // ends the connection, freeing its AllocMem blocks
  MemoryServer(const MemoryServer&) = delete;
  MemoryServer& operator=(const MemoryServer&) = delete;

  // The records handed to the filter. They stay at the same address for the connection;
  // fIsSecurePort follows the request's `secure`.
  HTTP_FILTER_CONTEXT* Context() {
    context_.fIsSecurePort = request_.secure ? TRUE : FALSE;
    return &context_;
  }
  HTTP_FILTER_PREPROC_HEADERS* PreprocHeaders() { return &preprocHeaders_; }

  // Fills the log record the way the server does just before the log notification: the
  // target is the request's URL as it stands up to its first "?", the parameters what
  // follows it (empty without "?"). The strings stay valid until the next call or the end
  // of the connection.
  HTTP_FILTER_LOG* PrepareLogRecord();

  // The request as it stands after whatever the filter changed.
  const MemoryRequest& Request() const { return request_; }
  // A header's value by name (without colon, any case), if present.
  std::optional<std::string> Header(std::string_view name) const;

  // Everything WriteClient sent, in order.
  const std::string& Written() const { return written_; }
  // True once the filter asked for no log notification on this request.
  bool LogNotificationDisabled() const { return logDisabled_; }
  // How many AllocMem blocks the connection holds.
  size_t AllocatedBlocks() const { return blocks_.size(); }
  // How many times the filter called an operation, failed calls included.
  unsigned Calls(ServerOperation operation) const;

  // Makes every later call of `operation` fail (or succeed again) as a server's can.
  void Fail(ServerOperation operation, bool fail = true);

  // Whether AllocMem fills each fresh block with a garbage byte (0xA5), so that a filter
  // which reads bytes it never wrote sees garbage rather than the zeros fresh memory often
  // holds. On by default, for the tests and tools; a host serving load turns it off, as a
  // real server hands blocks over as they come, and the fill costs a pass over every block.
  void FillFreshBlocks(bool fill) { fillFreshBlocks_ = fill; }

  // Where server variables beyond the request's own serverVariables come from; null (the
  // default) for none. Asked before the variables derived from the request (see
  // MemoryRequest). Must outlive the server or be replaced first.
  void SetVariableSource(const ServerVariableSource* source) { variableSource_ = source; }

  // Whether the blocks of an ended connection go to a pool of the thread that ends it, for
  // AllocMem calls of later connections on that thread to take again, instead of back to the
  // allocator (off by default). A pooled block is handed out only for the size it was made
  // for; a thread keeps at most kPooledBlocks of them, none larger than kLargestPooledBlock.
  // For a host that serves many connections: the filter takes a block of one size for every
  // request, and the allocator's way for blocks that size is slow. Tests keep it off, so
  // that a memory checker sees every block freed with its connection.
  void RecycleBlocks(bool recycle) { recycleBlocks_ = recycle; }
  static constexpr size_t kPooledBlocks = 256;
  static constexpr size_t kLargestPooledBlock = 16 * 1024;

  // Ends the connection: frees its blocks and forgets pFilterContext. The server may then
  // take a new request on the same object.
  void EndConnection();
  // Starts a new request on the connection (the output, the log flag and the call counts
  // start afresh; blocks, pFilterContext and injected failures stay).
  void StartRequest(MemoryRequest request);
  // The same, but the caller fills the request in place: the record still holds the last
  // request's values, so that their storage can be reused without allocating; the caller
  // must set every field before the filter runs. Constant time.
  MemoryRequest& BeginRequest();

 private:
  static MemoryServer& Of(HTTP_FILTER_CONTEXT* context);
  bool Enter(ServerOperation operation);  // counts the call; false when told to fail

  static BOOL SERVER_CALL GetServerVariableOp(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                              LPDWORD size);
  static BOOL SERVER_CALL AddResponseHeadersOp(HTTP_FILTER_CONTEXT* pfc, LPSTR headers,
                                               DWORD reserved);
  static BOOL SERVER_CALL WriteClientOp(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes,
                                        DWORD reserved);
  static VOID* SERVER_CALL AllocMemOp(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD reserved);
  static BOOL SERVER_CALL ServerSupportFunctionOp(HTTP_FILTER_CONTEXT* pfc,
                                                  enum SF_REQ_TYPE request, PVOID data,
                                                  ULONG_PTR ul1, ULONG_PTR ul2);
  static BOOL SERVER_CALL GetHeaderOp(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                      LPDWORD size);
  static BOOL SERVER_CALL SetHeaderOp(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL SERVER_CALL AddHeaderOp(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);

  // Values as views into the request (or into computedVariable_), valid until it changes.
  std::optional<std::string_view> ItemOrHeader(std::string_view name) const;
  std::optional<std::string_view> ServerVariable(std::string_view name) const;
  std::optional<std::string_view> HeaderValue(std::string_view name) const;
  BOOL SetItemOrHeader(std::string_view item, const char* value);

  MemoryRequest request_;
  HTTP_FILTER_CONTEXT context_{};
  HTTP_FILTER_PREPROC_HEADERS preprocHeaders_{};
  HTTP_FILTER_LOG log_{};
  std::string logOperation_, logTarget_, logParameters_;
  struct Block {
    std::unique_ptr<unsigned char[]> bytes;
    size_t size;
  };
  std::vector<Block> blocks_;
  std::string written_;
  mutable std::string computedVariable_;  // a server variable made up on request
  const ServerVariableSource* variableSource_ = nullptr;
  bool fillFreshBlocks_ = true;
  bool recycleBlocks_ = false;
  bool logDisabled_ = false;
  unsigned calls_[kServerOperationCount] = {};
  bool failing_[kServerOperationCount] = {};
};

// The server's URL normalisation, applied in place by SF_REQ_NORMALIZE_URL, and the one
// vortane-serve maps URLs to files with (host/static_files.h), so that a rule with O sees
// exactly the path that is served: percent escapes decoded, backslashes turned into slashes,
// runs of slashes collapsed into one, "." segments removed and ".." segments resolved against
// the segment before them. A path that ends in "/" (or in a "." or ".." segment) keeps one
// trailing "/": it names a directory. Only the part before the first "?" is normalised; the
// query string is kept as it is. Escapes are decoded once, before anything else, so an
// encoded slash or dot segment is resolved like a plain one. A path without a leading "/" is
// resolved as if it hung from the root and comes back without one. The result is never longer
// than the input, so the server can write it back into the caller's buffer. Returns false,
// leaving `url` unspecified, when an escape is malformed (not two hexadecimal digits) or
// decodes to a zero byte, or ".." would climb above the root. Linear in the URL's length;
// thread-safe (touches only `url`).
bool NormalizeUrlPath(std::string& url);

}  // namespace vortane
