#include "rules/evaluation.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "regex/substitution.h"
#include "regex/timed_match.h"
#include "rules/request_context.h"
#include "rules/trace.h"

namespace vortane {
namespace {

constexpr DWORD kValueBufferSize = 4096;

// The server's operations take names as non-const strings; they never write to them.
LPSTR ServerName(const std::string& name) {
  return const_cast<LPSTR>(name.c_str());
}

// The length of a value the server returned in `area` (`size` bytes with its NUL), after
// normalising it in place when asked; 0 when it could not be read. Bounded by the area even
// if a server misreports the size or leaves the normalised value unterminated.
size_t ValueLength(BOOL found, char* area, DWORD size, bool normalize,
                   HTTP_FILTER_CONTEXT* filterContext) {
  if (!found) return 0;
  if (normalize) {
    if (!filterContext->ServerSupportFunction(filterContext, SF_REQ_NORMALIZE_URL, area, 0, 0)) {
      return 0;
    }
    const void* end = std::memchr(area, '\0', kValueBufferSize);
    return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - area)
                          : kValueBufferSize;
  }
  return size > 0 ? std::min(size, kValueBufferSize) - 1 : 0;
}

// Reads the subject into the scratch: each condition's value and LF, then the target's
// value. Returns its length. Tells `onValue` where each value lies (offset and length) once
// it is read; the untraced evaluation passes a callable that does nothing.
template <class OnValue>
size_t ReadSubject(const Rule& rule, uint32_t flags, HTTP_FILTER_CONTEXT* filterContext,
                   HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch,
                   OnValue&& onValue) {
  size_t length = 0;
  for (const Condition& condition : rule.conditions) {
    // Room for the largest value and the LF after it.
    char* area = scratch.SubjectArea(length, kValueBufferSize + 1);
    DWORD size = kValueBufferSize;
    const BOOL found =
        condition.isServerVariable
            ? filterContext->GetServerVariable(filterContext, ServerName(condition.name), area,
                                               &size)
            : preprocHeaders->GetHeader(filterContext, ServerName(condition.name), area, &size);
    const size_t valueLength = ValueLength(
        found, area, size, (condition.flags & ConditionFlag::Normalize) != 0, filterContext);
    area[valueLength] = '\n';
    onValue(length, valueLength);
    length += valueLength + 1;
  }
  char* area = scratch.SubjectArea(length, kValueBufferSize);
  DWORD size = kValueBufferSize;
  const BOOL found = preprocHeaders->GetHeader(filterContext, ServerName(rule.target), area, &size);
  const size_t valueLength =
      ValueLength(found, area, size, (flags & RuleFlag::Normalize) != 0, filterContext);
  onValue(length, valueLength);
  return length + valueLength;
}

// The result bits of a match: Matched, plus N, R and F copied across, plus Stop for L, R, F.
uint32_t MatchResult(uint32_t flags) {
  constexpr uint32_t kStopping = RuleFlag::Last | RuleFlag::Redirect | RuleFlag::Forbidden;
  uint32_t result = RuleResult::Matched | (flags & RuleFlag::Restart) | (flags & kStopping);
  if ((flags & kStopping) != 0) result |= RuleResult::Stop;
  return result;
}

}  // namespace

char* EvaluationScratch::SubjectArea(size_t at, size_t size) {
  if (at + size > capacity_) {
    const size_t capacity = std::max(at + size, 2 * capacity_);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (at > 0) std::memcpy(grown.get(), subject_.get(), at);
    subject_ = std::move(grown);
    capacity_ = capacity;
  }
  return subject_.get() + at;
}

uint32_t EvaluateRule(const Rule& rule, HTTP_FILTER_CONTEXT* filterContext,
                      HTTP_FILTER_PREPROC_HEADERS* preprocHeaders) {
  EvaluationScratch scratch;
  return EvaluateRule(rule, filterContext, preprocHeaders, scratch);
}

namespace {

// The evaluation, compiled twice: kRecorded also fills `record`, which the other ignores.
template <bool kRecorded>
uint32_t Evaluate(const Rule& rule, HTTP_FILTER_CONTEXT* filterContext,
                  HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch,
                  RuleEvaluation* record) {
  if (!rule.HasValidPattern()) return RuleResult::InvalidPattern;
  const uint32_t flags = rule.Flags();

  size_t length;
  if constexpr (kRecorded) {
    // Offsets first: the subject may move while later values are read.
    std::vector<std::pair<size_t, size_t>> spans;
    length = ReadSubject(rule, flags, filterContext, preprocHeaders, scratch,
                         [&spans](size_t at, size_t size) { spans.emplace_back(at, size); });
    for (const auto& [at, size] : spans) record->values.emplace_back(scratch.Subject() + at, size);
  } else {
    length =
        ReadSubject(rule, flags, filterContext, preprocHeaders, scratch, [](size_t, size_t) {});
  }
  const char* subject = scratch.Subject();

  std::string newValue;
  uint32_t result;
  try {
    if (!TimedMatch(subject, subject + length, scratch.groups, rule.pattern, MatchTimeLimit,
                    boost::match_not_dot_newline)) {
      return RuleResult::NoMatch;
    }
    if constexpr (kRecorded) record->groups = &scratch.groups;
    result = MatchResult(flags);
    if ((flags & RuleFlag::Forbidden) != 0) return result;
    newValue = FormatSubstitution(rule.format, scratch.groups);
  } catch (const bad_expression&) {
    rule.Disable();
    return RuleResult::Timeout;
  }

  const BOOL written =
      preprocHeaders->SetHeader(filterContext, ServerName(rule.target), newValue.data());
  if constexpr (kRecorded) {
    record->wrote = true;
    record->newValue = newValue;
    record->accepted = written != FALSE;
  }
  if (written && (flags & RuleFlag::Redirect) == 0 && (flags & RuleFlag::LogRequestedUrl) != 0 &&
      filterContext->pFilterContext != nullptr) {
    static_cast<RequestContext*>(filterContext->pFilterContext)->logMark = 1;
  }
  return result;
}

}  // namespace

uint32_t EvaluateRule(const Rule& rule, HTTP_FILTER_CONTEXT* filterContext,
                      HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch,
                      RuleEvaluation* record) {
  if (record == nullptr) {
    return Evaluate<false>(rule, filterContext, preprocHeaders, scratch, nullptr);
  }
  record->rule = &rule;
  record->values.clear();
  record->groups = nullptr;
  record->wrote = false;
  record->newValue.clear();
  record->accepted = false;
  record->result = 0;
  record->result = Evaluate<true>(rule, filterContext, preprocHeaders, scratch, record);
  return record->result;
}

}  // namespace vortane
