#include "memory_server/memory_server.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "base/text.h"

namespace vortane {
namespace {

// Byte that fills fresh AllocMem blocks: a filter that relies on zeroed memory sees garbage.
constexpr unsigned char kFreshBlockFill = 0xA5;

// Whether a request header's name, spelled as the server variables spell it (upper case,
// "-" as "_"), is `spelled`.
bool IsSpelledAs(std::string_view headerName, std::string_view spelled) {
  if (headerName.size() != spelled.size()) return false;
  for (size_t i = 0; i < headerName.size(); ++i) {
    const char c = headerName[i] == '-' ? '_' : UpperAscii(headerName[i]);
    if (c != spelled[i]) return false;
  }
  return true;
}

// "Name:" names a request header; the name without its colon, or nothing for anything else.
std::optional<std::string_view> HeaderNameOf(std::string_view name) {
  if (name.size() < 2 || name.back() != ':') return std::nullopt;
  return name.substr(0, name.size() - 1);
}

std::vector<std::pair<std::string, std::string>>::iterator FindHeader(
    std::vector<std::pair<std::string, std::string>>& headers, std::string_view name) {
  auto it = headers.begin();
  while (it != headers.end() && !EqualIgnoringAsciiCase(it->first, name)) ++it;
  return it;
}

// The size contract shared by GetHeader and GetServerVariable.
BOOL CopyOut(std::optional<std::string_view> value, LPVOID buffer, LPDWORD size) {
  if (!value) return FALSE;
  const size_t needed = value->size() + 1;
  if (buffer == nullptr || needed > *size) {
    *size = static_cast<DWORD>(needed);
    return FALSE;
  }
  if (!value->empty()) std::memcpy(buffer, value->data(), value->size());
  static_cast<char*>(buffer)[value->size()] = '\0';
  *size = static_cast<DWORD>(needed);
  return TRUE;
}

// A server operation reports exhausted memory as its failure; nothing is thrown into the filter.
template <typename Body>
BOOL Guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
}

// The blocks that ended connections left to this thread, for MemoryServer::RecycleBlocks.
thread_local std::vector<std::pair<std::unique_ptr<unsigned char[]>, size_t>> pooledBlocks;

}  // namespace

bool NormalizeUrlPath(std::string& url) {
  const size_t queryStart = url.find('?');
  const std::string_view raw(url.data(), queryStart == std::string::npos ? url.size() : queryStart);

  std::string path;
  if (!PercentDecode(raw, path)) return false;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }

  // The segments kept so far; an empty last one stands for a trailing "/".
  const bool rooted = !path.empty() && path[0] == '/';
  std::vector<std::string_view> segments;
  const std::string_view rest = std::string_view(path).substr(rooted ? 1 : 0);
  size_t start = 0;
  for (;;) {
    const size_t slash = rest.find('/', start);
    const bool last = slash == std::string_view::npos;
    const std::string_view segment =
        rest.substr(start, last ? std::string_view::npos : slash - start);
    if (segment == "..") {
      if (segments.empty()) return false;
      segments.pop_back();
    }
    if (segment.empty() || segment == "." || segment == "..") {
      // Runs of slashes count as one; "/a/", "/a/." and "/a/b/.." end in "/".
      if (last) segments.emplace_back();
    } else {
      segments.push_back(segment);
    }
    if (last) break;
    start = slash + 1;
  }

  std::string normalized = rooted ? "/" : "";
  for (size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) normalized += '/';
    normalized.append(segments[i]);
  }
  if (queryStart != std::string::npos) normalized.append(url, queryStart, std::string::npos);
  url = std::move(normalized);
  return true;
}

MemoryServer::MemoryServer(MemoryRequest request) : request_(std::move(request)) {
  context_.cbSize = sizeof(HTTP_FILTER_CONTEXT);
  context_.Revision = HTTP_FILTER_REVISION;
  context_.ServerContext = this;
  context_.ulReserved = 0;
  context_.fIsSecurePort = request_.secure ? TRUE : FALSE;
  context_.pFilterContext = nullptr;
  context_.GetServerVariable = &GetServerVariableOp;
  context_.AddResponseHeaders = &AddResponseHeadersOp;
  context_.WriteClient = &WriteClientOp;
  context_.AllocMem = &AllocMemOp;
  context_.ServerSupportFunction = &ServerSupportFunctionOp;

  preprocHeaders_.GetHeader = &GetHeaderOp;
  preprocHeaders_.SetHeader = &SetHeaderOp;
  preprocHeaders_.AddHeader = &AddHeaderOp;
  preprocHeaders_.HttpStatus = 0;
  preprocHeaders_.dwReserved = 0;
}

MemoryServer::~MemoryServer() {
  EndConnection();
}

HTTP_FILTER_LOG* MemoryServer::PrepareLogRecord() {
  // Assigned in place: the strings keep their storage from one request to the next.
  const size_t queryStart = request_.url.find('?');
  logOperation_.assign(request_.method);
  logTarget_.assign(request_.url, 0, queryStart);
  if (queryStart == std::string::npos) {
    logParameters_.clear();
  } else {
    logParameters_.assign(request_.url, queryStart + 1, std::string::npos);
  }

  log_ = HTTP_FILTER_LOG{};
  log_.pszClientHostName = "";
  log_.pszClientUserName = "";
  log_.pszServerName = "";
  log_.pszOperation = logOperation_.c_str();
  log_.pszTarget = logTarget_.c_str();
  log_.pszParameters = logParameters_.c_str();
  log_.dwHttpStatus = 200;
  return &log_;
}

std::optional<std::string> MemoryServer::Header(std::string_view name) const {
  const std::optional<std::string_view> value = HeaderValue(name);
  if (!value) return std::nullopt;
  return std::string(*value);
}

std::optional<std::string_view> MemoryServer::HeaderValue(std::string_view name) const {
  for (const auto& [headerName, value] : request_.headers) {
    if (EqualIgnoringAsciiCase(headerName, name)) return value;
  }
  return std::nullopt;
}

unsigned MemoryServer::Calls(ServerOperation operation) const {
  return calls_[static_cast<int>(operation)];
}

void MemoryServer::Fail(ServerOperation operation, bool fail) {
  failing_[static_cast<int>(operation)] = fail;
}

void MemoryServer::EndConnection() {
  if (recycleBlocks_) {
    for (Block& block : blocks_) {
      if (pooledBlocks.size() >= kPooledBlocks) break;
      if (block.size > kLargestPooledBlock) continue;
      try {
        pooledBlocks.emplace_back(std::move(block.bytes), block.size);
      } catch (const std::bad_alloc&) {
        break;  // the rest is freed
      }
    }
  }
  blocks_.clear();
  context_.pFilterContext = nullptr;
  // The record may point into the blocks just freed.
  log_ = HTTP_FILTER_LOG{};
}

void MemoryServer::StartRequest(MemoryRequest request) {
  BeginRequest() = std::move(request);
}

MemoryRequest& MemoryServer::BeginRequest() {
  preprocHeaders_.HttpStatus = 0;
  written_.clear();
  logDisabled_ = false;
  for (unsigned& count : calls_) count = 0;
  return request_;
}

MemoryServer& MemoryServer::Of(HTTP_FILTER_CONTEXT* context) {
  return *static_cast<MemoryServer*>(context->ServerContext);
}

bool MemoryServer::Enter(ServerOperation operation) {
  const int index = static_cast<int>(operation);
  ++calls_[index];
  return !failing_[index];
}

std::optional<std::string_view> MemoryServer::ItemOrHeader(std::string_view name) const {
  if (IsUrlItem(name)) return request_.url;
  if (name == "METHOD") return request_.method;
  if (name == "VERSION") return request_.version;
  if (const auto header = HeaderNameOf(name)) return HeaderValue(*header);
  return std::nullopt;
}

std::optional<std::string_view> MemoryServer::ServerVariable(std::string_view name) const {
  const auto given = request_.serverVariables.find(name);
  if (given != request_.serverVariables.end()) return given->second;
  if (variableSource_ != nullptr) {
    if (const auto found = variableSource_->Find(name, request_)) return found;
  }

  constexpr std::string_view kHeaderPrefix = "HTTP_";
  if (name.size() > kHeaderPrefix.size() && name.substr(0, kHeaderPrefix.size()) == kHeaderPrefix) {
    const std::string_view wanted = name.substr(kHeaderPrefix.size());
    for (const auto& [headerName, value] : request_.headers) {
      if (IsSpelledAs(headerName, wanted)) return value;
    }
    return std::nullopt;
  }
  const std::string_view url = request_.url;
  const size_t queryStart = url.find('?');
  if (name == "HTTPS") return request_.secure ? std::string_view("on") : std::string_view("off");
  if (name == "INSTANCE_ID") return computedVariable_ = std::to_string(request_.siteId);
  if (name == "REQUEST_METHOD") return request_.method;
  if (name == "SERVER_PROTOCOL") return request_.version;
  if (name == "URL") return url.substr(0, queryStart);
  if (name == "QUERY_STRING") {
    return queryStart == std::string_view::npos ? std::string_view() : url.substr(queryStart + 1);
  }
  return std::nullopt;
}

BOOL SERVER_CALL MemoryServer::GetServerVariableOp(HTTP_FILTER_CONTEXT* pfc, LPSTR name,
                                                   LPVOID buffer, LPDWORD size) {
  if (pfc == nullptr) return FALSE;
  MemoryServer& server = Of(pfc);
  if (!server.Enter(ServerOperation::GetServerVariable)) return FALSE;
  if (name == nullptr || size == nullptr) return FALSE;
  return Guarded([&] { return CopyOut(server.ServerVariable(name), buffer, size); });
}

BOOL SERVER_CALL MemoryServer::AddResponseHeadersOp(HTTP_FILTER_CONTEXT* pfc, LPSTR headers,
                                                    DWORD /*reserved*/) {
  if (pfc == nullptr) return FALSE;
  if (!Of(pfc).Enter(ServerOperation::AddResponseHeaders)) return FALSE;
  return headers != nullptr ? TRUE : FALSE;
}

BOOL SERVER_CALL MemoryServer::WriteClientOp(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes,
                                             DWORD reserved) {
  if (pfc == nullptr) return FALSE;
  MemoryServer& server = Of(pfc);
  if (!server.Enter(ServerOperation::WriteClient)) return FALSE;
  if (bytes == nullptr || reserved != 0 || (buffer == nullptr && *bytes != 0)) return FALSE;
  return Guarded([&] {
    server.written_.append(static_cast<const char*>(buffer), *bytes);
    return TRUE;
  });
}

VOID* SERVER_CALL MemoryServer::AllocMemOp(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD reserved) {
  if (pfc == nullptr) return nullptr;
  MemoryServer& server = Of(pfc);
  if (!server.Enter(ServerOperation::AllocMem)) return nullptr;
  if (reserved != 0) return nullptr;
  // Even a block of 0 bytes gets an address of its own.
  std::unique_ptr<unsigned char[]> block;
  if (server.recycleBlocks_ && !pooledBlocks.empty()) {
    // A block of another size is freed rather than left to stop the pool at its end.
    if (pooledBlocks.back().second == size) block = std::move(pooledBlocks.back().first);
    pooledBlocks.pop_back();
  }
  if (!block) {
    block.reset(new (std::nothrow) unsigned char[size]);
    if (!block) return nullptr;
  }
  if (server.fillFreshBlocks_) std::memset(block.get(), kFreshBlockFill, size);
  try {
    server.blocks_.push_back(Block{std::move(block), size});
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return server.blocks_.back().bytes.get();
}

BOOL SERVER_CALL MemoryServer::ServerSupportFunctionOp(HTTP_FILTER_CONTEXT* pfc,
                                                       enum SF_REQ_TYPE request, PVOID data,
                                                       ULONG_PTR ul1, ULONG_PTR /*ul2*/) {
  if (pfc == nullptr) return FALSE;
  MemoryServer& server = Of(pfc);
  switch (request) {
    case SF_REQ_GET_PROPERTY:
      if (!server.Enter(ServerOperation::GetProperty)) return FALSE;
      if (ul1 != static_cast<ULONG_PTR>(SF_PROPERTY_INSTANCE_NUM_ID) || data == nullptr)
        return FALSE;
      *static_cast<DWORD*>(data) = server.request_.siteId;
      return TRUE;

    case SF_REQ_DISABLE_NOTIFICATIONS:
      if (!server.Enter(ServerOperation::DisableNotifications)) return FALSE;
      if ((ul1 & static_cast<ULONG_PTR>(SF_NOTIFY_LOG)) != 0) server.logDisabled_ = true;
      return TRUE;

    case SF_REQ_NORMALIZE_URL: {
      if (!server.Enter(ServerOperation::NormalizeUrl)) return FALSE;
      if (data == nullptr) return FALSE;
      return Guarded([&] {
        char* text = static_cast<char*>(data);
        const size_t length = std::strlen(text);
        std::string url(text, length);
        if (!NormalizeUrlPath(url) || url.size() > length) return FALSE;
        std::memcpy(text, url.c_str(), url.size() + 1);
        return TRUE;
      });
    }

    default:
      return FALSE;
  }
}

BOOL SERVER_CALL MemoryServer::GetHeaderOp(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                           LPDWORD size) {
  if (pfc == nullptr) return FALSE;
  MemoryServer& server = Of(pfc);
  if (!server.Enter(ServerOperation::GetHeader)) return FALSE;
  if (name == nullptr || size == nullptr) return FALSE;
  return Guarded([&] { return CopyOut(server.ItemOrHeader(name), buffer, size); });
}

BOOL SERVER_CALL MemoryServer::SetHeaderOp(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  if (pfc == nullptr) return FALSE;
  MemoryServer& server = Of(pfc);
  if (!server.Enter(ServerOperation::SetHeader)) return FALSE;
  if (name == nullptr || value == nullptr) return FALSE;
  return Guarded([&] { return server.SetItemOrHeader(name, value); });
}

BOOL MemoryServer::SetItemOrHeader(std::string_view item, const char* value) {
  MemoryRequest& request = request_;
  if (IsUrlItem(item)) {
    request.url = value;
  } else if (item == "METHOD") {
    request.method = value;
  } else if (item == "VERSION") {
    request.version = value;
  } else if (const auto header = HeaderNameOf(item)) {
    const auto found = FindHeader(request.headers, *header);
    if (found != request.headers.end()) {
      found->second = value;
    } else {
      request.headers.emplace_back(std::string(*header), value);
    }
  } else {
    return FALSE;
  }
  return TRUE;
}

BOOL SERVER_CALL MemoryServer::AddHeaderOp(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  if (pfc == nullptr) return FALSE;
  MemoryServer& server = Of(pfc);
  if (!server.Enter(ServerOperation::AddHeader)) return FALSE;
  if (name == nullptr || value == nullptr) return FALSE;
  const auto header = HeaderNameOf(name);
  if (!header) return FALSE;
  return Guarded([&] {
    server.request_.headers.emplace_back(std::string(*header), value);
    return TRUE;
  });
}

}  // namespace vortane
