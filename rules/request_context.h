// The per-request block the filter takes from the server's allocator (AllocMem) and keeps in
// the request's pFilterContext. The server owns it and frees it with the connection.
#pragma once

namespace vortane {

struct RequestContext {
  // The "url" item as the client sent it, NUL-terminated, copied before any rule ran.
  char requestedUrl[4096];
  // 0 when taken; set to 1 once a rule with U and without R has written its new value, so
  // that the log shows the URL the client requested. Never reset.
  unsigned char logMark;
};

static_assert(sizeof(RequestContext) == 4097, "the block the server allocates has 4097 bytes");

}  // namespace vortane
