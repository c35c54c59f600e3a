#include "filter/request.h"

#include <cstring>
#include <string>
#include <string_view>

#include "rules/request_context.h"
#include "rules/rule.h"
#include "rules/rule_pass.h"
#include "store/config_cache.h"

namespace vortane {
namespace {

constexpr DWORD kUrlBufferSize = 4096;

char kUrlItem[] = "url";
char kRewriteUrlHeader[] = "X-Rewrite-URL:";

DWORD Write(HTTP_FILTER_CONTEXT* filterContext, std::string_view bytes) {
  DWORD count = static_cast<DWORD>(bytes.size());
  filterContext->WriteClient(filterContext, const_cast<char*>(bytes.data()), &count, 0);
  return SF_STATUS_REQ_FINISHED;
}

// Answers with a redirect to the URL as the rules left it; passes the request on when that
// URL cannot be read.
DWORD Redirect(HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_PREPROC_HEADERS* preprocHeaders,
               char* url) {
  DWORD size = kUrlBufferSize;
  if (!preprocHeaders->GetHeader(filterContext, kUrlItem, url, &size)) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  std::string response = kRedirectResponseStart;
  response.append(url, strnlen(url, kUrlBufferSize));
  response += "\r\n\r\n";
  return Write(filterContext, response);
}

enum class Outcome { Continue, Answered, Stopped };

// The response, if any, that a pass result asks for: timeout, refusal, redirect, in that
// order; Stop only ends the rule passes.
Outcome Answer(uint32_t result, std::string_view timeoutResponse,
               HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_PREPROC_HEADERS* preprocHeaders,
               char* url, DWORD& status) {
  if ((result & RuleResult::Timeout) != 0) {
    status = Write(filterContext, timeoutResponse);
  } else if ((result & RuleResult::Forbidden) != 0) {
    status = Write(filterContext, kForbiddenResponse);
  } else if ((result & RuleResult::Redirect) != 0) {
    status = Redirect(filterContext, preprocHeaders, url);
  } else {
    return (result & RuleResult::Stop) != 0 ? Outcome::Stopped : Outcome::Continue;
  }
  return Outcome::Answered;
}

// Steps between reading the URL and setting X-Rewrite-URL; may throw.
DWORD HandleRequest(HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_PREPROC_HEADERS* preprocHeaders,
                    RequestContext* block, RuleTracer* tracer) {
  char url[kUrlBufferSize];
  DWORD size = kUrlBufferSize;
  if (!preprocHeaders->GetHeader(filterContext, kUrlItem, url, &size)) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;  // no rule runs
  }
  const size_t length = strnlen(url, kUrlBufferSize - 1);
  url[length] = '\0';
  if (block != nullptr) std::memcpy(block->requestedUrl, url, length + 1);

  DWORD siteId = 0;
  if (!filterContext->ServerSupportFunction(filterContext, SF_REQ_GET_PROPERTY, &siteId,
                                            SF_PROPERTY_INSTANCE_NUM_ID, 0)) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }

  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  const uint32_t global = RunSitePass(0, filterContext, preprocHeaders, tracer);
  Outcome outcome =
      Answer(global, kGlobalTimeoutResponse, filterContext, preprocHeaders, url, status);
  if (outcome == Outcome::Continue) {
    const uint32_t combined = global | RunSitePass(siteId, filterContext, preprocHeaders, tracer);
    outcome = Answer(combined, kSiteTimeoutResponse, filterContext, preprocHeaders, url, status);
  }
  if (outcome == Outcome::Answered) return status;

  // Only a redirect reads the URL again, so `url` still holds it as the client sent it.
  preprocHeaders->SetHeader(filterContext, kRewriteUrlHeader, url);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace

uint32_t RunSitePass(uint32_t siteId, HTTP_FILTER_CONTEXT* filterContext,
                     HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer) {
  const SiteConfigRef config = TheConfigCache().Acquire(siteId);
  if (!config) return 0;
  return RunRulePass(*config.get(), filterContext, preprocHeaders, tracer);
}

DWORD OnPreprocHeaders(HTTP_FILTER_CONTEXT* filterContext,
                       HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, RuleTracer* tracer) {
  // Without a block from the server the request is still handled; nothing is kept for the
  // log then, and no rule can mark it.
  auto* block = static_cast<RequestContext*>(
      filterContext->AllocMem(filterContext, sizeof(RequestContext), 0));
  filterContext->pFilterContext = block;
  if (block != nullptr) {
    block->requestedUrl[0] = '\0';
    block->logMark = 0;
  }

  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  try {
    status = HandleRequest(filterContext, preprocHeaders, block, tracer);
  } catch (...) {
    status = SF_STATUS_REQ_NEXT_NOTIFICATION;
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
  char* url = block->requestedUrl;
  url[sizeof block->requestedUrl - 1] = '\0';  // whatever the block holds, stay inside it
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
