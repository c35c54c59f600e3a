// What the filter does with each request: the request-header notification runs the global
// rules and then the site's, and either passes the request on (with X-Rewrite-URL holding
// the URL as the client sent it) or answers it with a redirect (302, or the status of R=NNN),
// a 403, 414 or 500; the log notification, kept only for requests a rule marked, shows the
// URL as the client sent it.
//
// Fails closed: when anything the rules need cannot be read whole, or the rules cannot all
// run, the filter answers the request itself (kUrlTooLongResponse, kUnreadableResponse, and
// the two responses for a configuration file that cannot be read) instead of passing it on
// with rules skipped. No control byte (below 0x20, or DEL) reaches
// a response or a header the filter writes raw.
//
// Runs on the server's threads, any number at once. No exception ever leaves these
// functions.
#pragma once

#include <cstdint>
#include <string>

#include "platform/isapi.h"
#include "rules/trace.h"
#include "store/config_cache.h"

namespace vortane {

class ConfigStore;
class RequestFiles;
class SiteConfig;

// A tracer of a whole request: it hears each site pass begin, with the configuration it
// runs, and then every step of that pass (rules/trace.h). Called on the request's thread.
class RequestTracer : public RuleTracer {
 public:
  // A pass over `config` begins; its steps follow.
  virtual void PassStarted(const SiteConfig& config) = 0;
};

// The responses the filter writes itself: the whole response, status line and empty line.
inline constexpr char kGlobalTimeoutResponse[] =
    "HTTP/1.1 500 Internal Server Error. Timeout while processing global rule. Please check "
    "your configuration file\r\n\r\n";
inline constexpr char kSiteTimeoutResponse[] =
    "HTTP/1.1 500 Internal Server Error. Timeout while processing per-site rule. Please check "
    "your configuration file\r\n\r\n";
// The global or the site's httpd.ini exists but cannot be read (access denied, descriptors
// exhausted, ...) and no earlier version of it is loaded (RuleResult::ConfigUnreadable): the
// request is not passed on without the file's rules. 80 and 82 bytes.
inline constexpr char kGlobalConfigUnreadableResponse[] =
    "HTTP/1.1 500 Internal Server Error. Unable to read global configuration file\r\n\r\n";
inline constexpr char kSiteConfigUnreadableResponse[] =
    "HTTP/1.1 500 Internal Server Error. Unable to read per-site configuration file\r\n\r\n";
inline constexpr char kForbiddenResponse[] = "HTTP/1.1 403 Forbidden\r\n\r\n";
// The URL as the client sent it is longer than kValueLimit (64 KiB): no rule could see it.
inline constexpr char kUrlTooLongResponse[] = "HTTP/1.1 414 Request-URI Too Long\r\n\r\n";
// Something the rules need could not be read (the URL, the site number, a value longer than
// kValueLimit, the URL again for a redirect), or the rules failed: the filter refuses to let
// the request past rules that did not all run.
inline constexpr char kUnreadableResponse[] = "HTTP/1.1 500 Internal Server Error\r\n\r\n";
// The redirect: this, the URL as the rules left it (control bytes percent-encoded), then an
// empty line. The plain R answers 302; R=301 and the others write their own status line
// (RedirectResponseStart), and nothing else differs.
inline constexpr char kRedirectResponseStart[] = "HTTP/1.1 302 Object moved\r\nLocation: ";

// The start of the redirect with `status` up to the Location's value: "HTTP/1.1 301 Moved
// Permanently\r\nLocation: ". For 302, kRedirectResponseStart.
std::string RedirectResponseStart(const RedirectStatus& status);

// Handles SF_NOTIFY_PREPROC_HEADERS with the configurations of `store`. Returns
// SF_STATUS_REQ_FINISHED when the filter answered the request, SF_STATUS_REQ_NEXT_NOTIFICATION
// when it passes it on. A `tracer` hears both rule passes (rules/trace.h); the library passes
// none.
DWORD OnPreprocHeaders(ConfigStore& store, HTTP_FILTER_CONTEXT* filterContext,
                       HTTP_FILTER_PREPROC_HEADERS* preprocHeaders,
                       RequestTracer* tracer = nullptr);

// Handles SF_NOTIFY_LOG: points the record's target and parameters at the URL as the client
// sent it, split at its first "?". A request without a request block leaves the record as
// it is. Returns SF_STATUS_REQ_NEXT_NOTIFICATION.
DWORD OnLog(HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_LOG* logRecord);

// One rule pass over `config`, a configuration acquired from the store (the caller's
// reference holds it for the pass). 0 when there is none (the tracer then hears nothing);
// RuleResult::ConfigUnreadable, with no rule run, when its file exists but could not be read and no
// earlier version of it is loaded (the tracer hears the pass start).
//
// `files` gives REQUEST_FILENAME the folders of the request's site (which the global pass
// shares); without it no URL names a file or a folder.
uint32_t RunSitePass(const SiteConfigRef& config, HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RequestTracer* tracer = nullptr,
                     RequestFiles* files = nullptr);

}  // namespace vortane
