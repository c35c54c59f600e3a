#include "filter/request.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "rules/request_context.h"
#include "rules/request_filename.h"
#include "rules/rule.h"
#include "rules/rule_pass.h"
#include "rules/server_values.h"
#include "store/store.h"

namespace vortane {
namespace {

char kUrlItem[] = "url";
char kRewriteUrlHeader[] = "X-Rewrite-URL:";

DWORD Write(HTTP_FILTER_CONTEXT* filterContext, std::string_view bytes) {
  DWORD count = static_cast<DWORD>(bytes.size());
  filterContext->WriteClient(filterContext, const_cast<char*>(bytes.data()), &count, 0);
  return SF_STATUS_REQ_FINISHED;
}

// Reads the "url" item whole into `buffer`; its length (up to a NUL inside it, should the
// server hand one over) in `length`.
ValueRead ReadUrl(HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_PREPROC_HEADERS* preprocHeaders,
                  ValueBuffer& buffer, size_t& length) {
  const ValueRead read =
      ReadValue(preprocHeaders->GetHeader, filterContext, kUrlItem, buffer, 0, 0, length);
  if (read == ValueRead::Read) length = strnlen(buffer.Data(), length);
  return read;
}

// Answers with a redirect, with the status that `result` holds, to the URL as the rules left
// it, whole, with any control byte percent-encoded. A URL that cannot be read again is
// answered with the 500 response: the request must not go on as if no rule had asked for the
// redirect.
DWORD Redirect(uint32_t result, HTTP_FILTER_CONTEXT* filterContext,
               HTTP_FILTER_PREPROC_HEADERS* preprocHeaders) {
  ValueBuffer buffer;
  size_t length = 0;
  if (ReadUrl(filterContext, preprocHeaders, buffer, length) != ValueRead::Read) {
    return Write(filterContext, kUnreadableResponse);
  }
  std::string response = RedirectResponseStart(RedirectStatusOf(result));
  response += EscapeControlBytes(std::string_view(buffer.Data(), length));
  response += "\r\n\r\n";
  return Write(filterContext, response);
}

enum class Outcome { Continue, Answered, Stopped };

// The responses of one pass: the global one's or the site's.
struct PassResponses {
  std::string_view timeout;
  std::string_view configUnreadable;
};
constexpr PassResponses kGlobalResponses = {kGlobalTimeoutResponse,
                                            kGlobalConfigUnreadableResponse};
constexpr PassResponses kSiteResponses = {kSiteTimeoutResponse, kSiteConfigUnreadableResponse};

// The response, if any, that a pass result asks for: a configuration that could not be read,
// timeout, a value too long to read, refusal, redirect, in that order; Stop only ends the
// rule passes.
Outcome Answer(uint32_t result, const PassResponses& responses, HTTP_FILTER_CONTEXT* filterContext,
               HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, DWORD& status) {
  if ((result & RuleResult::ConfigUnreadable) != 0) {
    status = Write(filterContext, responses.configUnreadable);
  } else if ((result & RuleResult::Timeout) != 0) {
    status = Write(filterContext, responses.timeout);
  } else if ((result & RuleResult::Unreadable) != 0) {
    status = Write(filterContext, kUnreadableResponse);
  } else if ((result & RuleResult::Forbidden) != 0) {
    status = Write(filterContext, kForbiddenResponse);
  } else if ((result & RuleResult::Redirect) != 0) {
    status = Redirect(result, filterContext, preprocHeaders);
  } else {
    return (result & RuleResult::Stop) != 0 ? Outcome::Stopped : Outcome::Continue;
  }
  return Outcome::Answered;
}

// Keeps the URL as the client sent it in the request's block, for the log: in the block
// itself when it fits, else whole in a block of its own (its first bytes in the block all
// the same, should that one not be had).
void KeepRequestedUrl(HTTP_FILTER_CONTEXT* filterContext, RequestContext* block,
                      std::string_view url) {
  if (block == nullptr) return;
  const size_t kept = std::min(url.size(), sizeof block->requestedUrl - 1);
  std::memcpy(block->requestedUrl, url.data(), kept);
  block->requestedUrl[kept] = '\0';
  if (kept == url.size()) return;
  auto* whole = static_cast<char*>(
      filterContext->AllocMem(filterContext, static_cast<DWORD>(url.size() + 1), 0));
  if (whole == nullptr) return;
  std::memcpy(whole, url.data(), url.size());
  whole[url.size()] = '\0';
  block->wholeUrl = whole;
}

// Marks the request for the log when a pass's result holds LogMark: its log notification is
// then kept, and shows the URL as the client sent it. Never cleared.
void KeepLogMark(RequestContext* block, uint32_t result) {
  if (block != nullptr && (result & RuleResult::LogMark) != 0) block->logMark = 1;
}

// The rules could not all run (an exception left them): answer rather than let the request
// past them. The request ends even should the server fail to send the answer.
DWORD AnswerFailure(HTTP_FILTER_CONTEXT* filterContext) noexcept {
  try {
    Write(filterContext, kUnreadableResponse);
  } catch (...) {
  }
  return SF_STATUS_REQ_FINISHED;
}

// The request's site: its configuration, acquired once on first use (by the site pass, or
// earlier by a global rule's file test, which needs the folders it holds) and held to the
// end of the request, so both passes see the same version and pay one freshness check.
struct SiteOfRequest {
  ConfigStore& store;
  uint32_t siteId;
  SiteConfigRef config;
  bool acquired = false;

  const SiteConfigRef& Config() {
    if (!acquired) {
      config = store.Acquire(siteId);
      acquired = true;
    }
    return config;
  }

  static const SiteFolders* Folders(void* context) {
    auto& site = *static_cast<SiteOfRequest*>(context);
    if (site.siteId == 0) return nullptr;
    const SiteConfigRef& config = site.Config();
    return config ? &config->folders : nullptr;
  }
};

// Steps between reading the URL and setting X-Rewrite-URL; may throw.
DWORD HandleRequest(ConfigStore& store, HTTP_FILTER_CONTEXT* filterContext,
                    HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RequestContext* block,
                    RequestTracer* tracer) {
  // Every failure to read what the rules need answers the request: none may skip them.
  ValueBuffer urlBuffer;
  size_t length = 0;
  switch (ReadUrl(filterContext, preprocHeaders, urlBuffer, length)) {
    case ValueRead::TooLong:
      return Write(filterContext, kUrlTooLongResponse);
    case ValueRead::Absent:
      return Write(filterContext, kUnreadableResponse);
    case ValueRead::Read:
      break;
  }
  const std::string_view url(urlBuffer.Data(), length);  // NUL-terminated in the buffer
  KeepRequestedUrl(filterContext, block, url);

  DWORD siteId = 0;
  if (!filterContext->ServerSupportFunction(filterContext, SF_REQ_GET_PROPERTY, &siteId,
                                            SF_PROPERTY_INSTANCE_NUM_ID, 0)) {
    return Write(filterContext, kUnreadableResponse);
  }

  // The site's folders, for REQUEST_FILENAME in either pass: taken from its configuration
  // the first time a rule asks, and held for the rest of the request.
  SiteOfRequest site{store, siteId, {}};
  RequestFiles files(&SiteOfRequest::Folders, &site);

  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  const uint32_t global =
      RunSitePass(store.Acquire(0), filterContext, preprocHeaders, tracer, &files);
  KeepLogMark(block, global);
  Outcome outcome = Answer(global, kGlobalResponses, filterContext, preprocHeaders, status);
  if (outcome == Outcome::Continue) {
    const uint32_t sitePass =
        RunSitePass(site.Config(), filterContext, preprocHeaders, tracer, &files);
    KeepLogMark(block, sitePass);
    const uint32_t combined = global | sitePass;
    outcome = Answer(combined, kSiteResponses, filterContext, preprocHeaders, status);
  }
  if (outcome == Outcome::Answered) return status;

  // The URL as the client sent it; a control byte in it never reaches the header raw.
  if (HasControlByte(url)) {
    std::string escaped = EscapeControlBytes(url);
    preprocHeaders->SetHeader(filterContext, kRewriteUrlHeader, escaped.data());
  } else {
    preprocHeaders->SetHeader(filterContext, kRewriteUrlHeader, urlBuffer.Area(0, length + 1));
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace

std::string RedirectResponseStart(const RedirectStatus& status) {
  std::string start = "HTTP/1.1 " + std::to_string(status.code) + " ";
  start.append(status.reason);
  start += "\r\nLocation: ";
  return start;
}

uint32_t RunSitePass(const SiteConfigRef& config, HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RequestTracer* tracer,
                     RequestFiles* files) {
  if (!config) return 0;
  if (tracer != nullptr) tracer->PassStarted(*config.get());
  if (config->unreadable) return RuleResult::ConfigUnreadable;
  return RunRulePass(config->rules, config->ruleIndex, config->repeatLimit, filterContext,
                     preprocHeaders, tracer, files);
}

DWORD OnPreprocHeaders(ConfigStore& store, HTTP_FILTER_CONTEXT* filterContext,
                       HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RequestTracer* tracer) {
  // Without a block from the server the request is still handled; nothing is kept for the
  // log then, and no rule can mark it.
  auto* block = static_cast<RequestContext*>(
      filterContext->AllocMem(filterContext, sizeof(RequestContext), 0));
  filterContext->pFilterContext = block;
  if (block != nullptr) {
    block->requestedUrl[0] = '\0';
    block->logMark = 0;
    block->wholeUrl = nullptr;
  }

  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  try {
    status = HandleRequest(store, filterContext, preprocHeaders, block, tracer);
  } catch (...) {
    status = AnswerFailure(filterContext);
  }
  if (block == nullptr || block->logMark == 0) {
    filterContext->ServerSupportFunction(filterContext, SF_REQ_DISABLE_NOTIFICATIONS, nullptr,
                                         SF_NOTIFY_LOG, 0);
  }
  return status;
}

DWORD OnLog(HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_LOG* logRecord) {
  auto* block = static_cast<RequestContext*>(filterContext->pFilterContext);
  if (block == nullptr || logRecord == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  block->requestedUrl[sizeof block->requestedUrl - 1] = '\0';  // stay inside the block
  char* url = block->RequestedUrl();
  char* question = std::strchr(url, '?');
  logRecord->pszTarget = url;
  if (question != nullptr) {
    *question = '\0';
    logRecord->pszParameters = question + 1;
  } else {
    logRecord->pszParameters = url + std::strlen(url);
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace vortane
