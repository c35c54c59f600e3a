#include "rules/evaluation.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "regex/substitution.h"
#include "regex/timed_match.h"
#include "rules/request_context.h"
#include "rules/server_values.h"
#include "rules/trace.h"

namespace vortane {
namespace {

// The server's operations take names as non-const strings; they never write to them.
LPSTR ServerName(const std::string& name) {
  return const_cast<LPSTR>(name.c_str());
}

// Reads one value into the subject at `at`, with room for `spare` bytes after it, and sets
// `length`. An absent value, or one whose normalisation (O) the server refuses, reads as
// empty. False when the value is too long to read.
bool ReadValueInto(ServerRead read, const std::string& name, bool normalize,
                   HTTP_FILTER_CONTEXT* filterContext, EvaluationScratch& scratch, size_t at,
                   size_t spare, size_t& length) {
  switch (ReadValue(read, filterContext, ServerName(name), scratch.subject, at, spare, length)) {
    case ValueRead::TooLong:
      return false;
    case ValueRead::Absent:
      return true;
    case ValueRead::Read:
      break;
  }
  if (normalize) {
    char* area = scratch.subject.Area(at, length + 1);
    if (!filterContext->ServerSupportFunction(filterContext, SF_REQ_NORMALIZE_URL, area, 0, 0)) {
      length = 0;
    } else {
      // Normalising never lengthens a value; stay inside it if a server says otherwise.
      const void* end = std::memchr(area, '\0', length + 1);
      if (end != nullptr) length = static_cast<size_t>(static_cast<const char*>(end) - area);
    }
  }
  return true;
}

// Reads the subject into the scratch: each condition's value and LF, then the target's
// value. Sets its length; false when a value was too long to read. Tells `onValue` where
// each value lies (offset and length) once it is read; the untraced evaluation passes a
// callable that does nothing.
template <class OnValue>
bool ReadSubject(const Rule& rule, uint32_t flags, HTTP_FILTER_CONTEXT* filterContext,
                 HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch,
                 size_t& length, OnValue&& onValue) {
  length = 0;
  size_t valueLength = 0;
  for (const Condition& condition : rule.conditions) {
    const ServerRead read =
        condition.isServerVariable ? filterContext->GetServerVariable : preprocHeaders->GetHeader;
    if (!ReadValueInto(read, condition.name, (condition.flags & ConditionFlag::Normalize) != 0,
                       filterContext, scratch, length, 1, valueLength)) {
      return false;
    }
    scratch.subject.Area(length, valueLength + 1)[valueLength] = '\n';
    onValue(length, valueLength);
    length += valueLength + 1;
  }
  if (!ReadValueInto(preprocHeaders->GetHeader, rule.target, (flags & RuleFlag::Normalize) != 0,
                     filterContext, scratch, length, 0, valueLength)) {
    return false;
  }
  onValue(length, valueLength);
  length += valueLength;
  return true;
}

// The result bits of a match: Matched, plus N, R and F copied across, plus Stop for L, R, F.
uint32_t MatchResult(uint32_t flags) {
  constexpr uint32_t kStopping = RuleFlag::Last | RuleFlag::Redirect | RuleFlag::Forbidden;
  uint32_t result = RuleResult::Matched | (flags & RuleFlag::Restart) | (flags & kStopping);
  if ((flags & kStopping) != 0) result |= RuleResult::Stop;
  return result;
}

}  // namespace

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

  size_t length = 0;
  bool complete;
  if constexpr (kRecorded) {
    // Offsets first: the subject may move while later values are read.
    std::vector<std::pair<size_t, size_t>> spans;
    complete = ReadSubject(rule, flags, filterContext, preprocHeaders, scratch, length,
                           [&spans](size_t at, size_t size) { spans.emplace_back(at, size); });
    for (const auto& [at, size] : spans) {
      record->values.emplace_back(scratch.subject.Data() + at, size);
    }
  } else {
    complete = ReadSubject(rule, flags, filterContext, preprocHeaders, scratch, length,
                           [](size_t, size_t) {});
  }
  if (!complete) return RuleResult::Unreadable;
  const char* subject = scratch.subject.Data();
  // A subject the pattern cannot match is refused before the matcher is set up, with the
  // result the matcher would have given.
  if (!rule.pattern.prefilter().Admits(subject, length)) return RuleResult::NoMatch;

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

  // No control byte reaches the server raw: a URL gets them percent-encoded, any other
  // item or header is not written at all (CR LF would start a header of the client's).
  // A NUL ends the URL, as it always has (the server reads the value up to it).
  bool safe = true;
  if (HasControlByte(newValue)) {
    if (IsUrlItem(rule.target)) {
      newValue = EscapeControlBytes(newValue.c_str());
    } else {
      safe = false;
    }
  }
  const BOOL written =
      safe && preprocHeaders->SetHeader(filterContext, ServerName(rule.target), newValue.data());
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
