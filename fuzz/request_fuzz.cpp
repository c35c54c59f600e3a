// Fuzzes the request handling with hostile requests: the URL (any bytes, up to the first
// NUL) and the value of one header (the rest) go through rules that decode escapes into the
// URL, redirect with it, copy a header into another and write line breaks of their own.
// Whatever the request holds, nothing the filter writes may carry a control byte raw: not
// the response (beyond its own line ends), not a URL, method or version, not a header.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/parser.h"
#include "filter/request.h"
#include "memory_server/memory_server.h"
#include "rules/server_values.h"
#include "store/store.h"

namespace {

constexpr char kRules[] =
    "[Vortane]\n"
    "RewriteRule ^/go/([^?]*)$ http://example.com/$1 [O,R]\n"
    "RewriteCond X-Data: ([^\\n]*)\n"
    "RewriteHeader X-Copy: .* $1\n"
    "RewriteHeader X-Split: .* a\\r\\nX-Injected: 1\n"
    "RewriteRule ^/nl/(.*)$ /$1\\r\\n [U]\n"
    "RewriteRule ^/m/(.*)$ $1 [O]\n"
    "RewriteHeader METHOD .* $0\\n\n";

vortane::SiteConfig* Load(uint32_t siteId) {
  vortane::ParsedConfig parsed;
  if (siteId == 0) {
    vortane::ParseReport report([](std::string_view) {});
    parsed.rules = vortane::ParseConfigText(kRules, {siteId}, report).rules;
  }
  return new vortane::SiteConfig(siteId, vortane::platform::PathString(), std::move(parsed));
}

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// The response is one of the filter's own, or a redirect whose Location is clean.
void CheckResponse(const std::string& written) {
  const std::string_view start = vortane::kRedirectResponseStart;
  if (written.compare(0, start.size(), start) == 0) {
    Check(written.size() >= start.size() + 4 &&
          written.compare(written.size() - 4, 4, "\r\n\r\n") == 0);
    Check(!vortane::HasControlByte(
        std::string_view(written).substr(start.size(), written.size() - start.size() - 4)));
    return;
  }
  Check(written.empty() || written == vortane::kForbiddenResponse ||
        written == vortane::kUnreadableResponse || written == vortane::kUrlTooLongResponse ||
        written == vortane::kGlobalTimeoutResponse || written == vortane::kSiteTimeoutResponse);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One store for the whole run, as the library has: the rules are parsed once.
  static vortane::ConfigStore& store = *[] {
    auto* made = new vortane::ConfigStore(vortane::platform::PathString());
    made->Cache().SetLoaderForTesting(&Load);
    return made;
  }();

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = std::min(input.find('\0'), input.size());
  vortane::MemoryRequest request;
  request.url = std::string(input.substr(0, split));
  const std::string header(input.substr(std::min(split + 1, input.size())));
  request.headers = {{"Host", "example.com"}, {"X-Data", header}};
  const vortane::MemoryRequest sent = request;

  vortane::MemoryServer server(request);
  vortane::OnPreprocHeaders(store, server.Context(), server.PreprocHeaders());
  CheckResponse(server.Written());

  const vortane::MemoryRequest& after = server.Request();
  Check(after.url == sent.url || !vortane::HasControlByte(after.url));
  Check(after.method == sent.method || !vortane::HasControlByte(after.method));
  for (const auto& [name, value] : after.headers) {
    const bool unchanged = name == "X-Data" && value == header;
    Check(unchanged || !vortane::HasControlByte(value));
  }
  return 0;
}
