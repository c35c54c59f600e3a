// The web server's filter records (HTTP_FILTER_CONTEXT, HTTP_FILTER_PREPROC_HEADERS,
// HTTP_FILTER_LOG, HTTP_FILTER_VERSION) and SF_* constants: the Windows SDK's own header on
// Windows, a header of the same layout elsewhere.
#pragma once

#ifdef _WIN32
// The SDK header needs the types of windows.h first.
// clang-format off
#include <windows.h>
#include <httpfilt.h>
// clang-format on
#else
#include "platform/posix/httpfilt.h"
#endif

// The calling convention of the server's operations, for functions that implement them.
#ifdef _WIN32
#define SERVER_CALL WINAPI
#else
#define SERVER_CALL
#endif

#include <string_view>

namespace vortane {

// Whether `name` is the server's name for the request URL item ("url" or "URL"), which
// GetHeader and SetHeader treat apart from the headers.
inline bool IsUrlItem(std::string_view name) {
  return name == "url" || name == "URL";
}

}  // namespace vortane
