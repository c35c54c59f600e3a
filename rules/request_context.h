// The per-request block the filter takes from the server's allocator (AllocMem) and keeps in
// the request's pFilterContext. The server owns it and frees it with the connection.
#pragma once

#include <cstddef>

#include "rules/server_values.h"

namespace vortane {

struct RequestContext {
  // The "url" item as the client sent it, NUL-terminated, copied before any rule ran; when
  // it is too long for this field, its first 4095 bytes, and the whole of it in wholeUrl.
  char requestedUrl[kFirstReadSize];
  // 0 when taken; set to 1 by the request handling once a rule pass reports LogMark (a rule
  // with U and without R has written its new value), so that the log shows the URL the
  // client requested. Never reset.
  unsigned char logMark;
  // A URL of 4096 bytes or more as the client sent it, NUL-terminated, in a second block
  // from the server's allocator; null for every shorter URL (or when that block could not
  // be had).
  char* wholeUrl;

  // The URL as the client sent it, for the log: wholeUrl when there is one.
  char* RequestedUrl() { return wholeUrl != nullptr ? wholeUrl : requestedUrl; }
};

// requestedUrl and logMark keep the offsets they always had; wholeUrl follows them.
static_assert(offsetof(RequestContext, logMark) == 4096, "logMark follows requestedUrl");

}  // namespace vortane
