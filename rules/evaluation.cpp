#include "rules/evaluation.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "regex/substitution.h"
#include "regex/timed_match.h"
#include "rules/request_filename.h"
#include "rules/server_values.h"
#include "rules/trace.h"

namespace vortane {
namespace {

// The server's operations take names as non-const strings; they never write to them.
LPSTR ServerName(const std::string& name) {
  return const_cast<LPSTR>(name.c_str());
}

// Reads one value into `buffer` at `at`, with room for `spare` bytes after it, and sets
// `length`. An absent value, or one whose normalisation (O) the server refuses, reads as
// empty. False when the value is too long to read.
//
// `decoded` is set to the length of the value's decoded part: for a normalised value, the
// bytes before its query (the server decodes the part before the first raw "?" and keeps
// the rest as it is); 0 for any other value. When the normalised value does not end with
// the query as it was read, the whole value counts as decoded.
bool ReadValueInto(ServerRead read, const std::string& name, bool normalize,
                   HTTP_FILTER_CONTEXT* filterContext, ValueBuffer& buffer, size_t at, size_t spare,
                   size_t& length, size_t& decoded) {
  decoded = 0;
  switch (ReadValue(read, filterContext, ServerName(name), buffer, at, spare, length)) {
    case ValueRead::TooLong:
      return false;
    case ValueRead::Absent:
      return true;
    case ValueRead::Read:
      break;
  }
  if (normalize) {
    char* area = buffer.Area(at, length + 1);
    const void* mark = std::memchr(area, '?', length);
    const char* queryStart = mark == nullptr ? area + length : static_cast<const char*>(mark);
    const std::string query(queryStart, static_cast<size_t>(area + length - queryStart));
    if (!filterContext->ServerSupportFunction(filterContext, SF_REQ_NORMALIZE_URL, area, 0, 0)) {
      length = 0;
    } else {
      // Normalising never lengthens a value; stay inside it if a server says otherwise.
      const void* end = std::memchr(area, '\0', length + 1);
      if (end != nullptr) length = static_cast<size_t>(static_cast<const char*>(end) - area);
      const bool queryKept = query.size() <= length && std::memcmp(area + length - query.size(),
                                                                   query.data(), query.size()) == 0;
      decoded = queryKept ? length - query.size() : length;
    }
  }
  return true;
}

bool HasLineFeed(const char* value, size_t length) {
  return length > 0 && std::memchr(value, '\n', length) != nullptr;
}

// Where a value the evaluation read lies, for the record: in the subject, or in the buffer
// the target is read into first.
struct ValueSpan {
  bool read = false;
  bool inTarget = false;
  size_t at = 0;
  size_t size = 0;
};

// REQUEST_FILENAME for one evaluation: computed from the URL the first time a condition or a
// file test needs it, then kept.
class FilenameOfRule {
 public:
  FilenameOfRule(HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_PREPROC_HEADERS* preprocHeaders,
                 EvaluationScratch& scratch, RequestFiles* files)
      : filterContext_(filterContext),
        preprocHeaders_(preprocHeaders),
        scratch_(scratch),
        files_(files) {}

  // The path, or nothing when the URL is too long to read.
  const RequestFilename* Get() {
    if (name_) return &*name_;
    // The server's operations take names as non-const strings; they never write to them.
    const LPSTR urlItem = const_cast<LPSTR>("URL");
    size_t length = 0;
    const ValueRead read =
        ReadValue(preprocHeaders_->GetHeader, filterContext_, urlItem, scratch_.url, 0, 0, length);
    if (read == ValueRead::TooLong) return nullptr;
    static const SiteFolders kNone;
    const SiteFolders* folders = files_ != nullptr ? files_->Folders() : nullptr;
    name_ = ComputeRequestFilename(folders != nullptr ? *folders : kNone,
                                   std::string_view(scratch_.url.Data(), length));
    return &*name_;
  }

  // What is at the path Get() returned: one file-system query for all of the rule's tests.
  const FileTestAnswer& Answer() {
    if (!answer_) answer_ = LookAtRequestFilename(*name_);
    return *answer_;
  }

 private:
  HTTP_FILTER_CONTEXT* filterContext_;
  HTTP_FILTER_PREPROC_HEADERS* preprocHeaders_;
  EvaluationScratch& scratch_;
  RequestFiles* files_;
  std::optional<RequestFilename> name_;
  std::optional<FileTestAnswer> answer_;
};

// Whether the file test `test` holds for `answer`.
bool Holds(FileTest test, const FileTestAnswer& answer) {
  switch (test) {
    case FileTest::File:
      return answer.file;
    case FileTest::Folder:
      return answer.folder;
    case FileTest::NotFile:
      return !answer.file;
    case FileTest::NotFolder:
      return !answer.folder;
    case FileTest::None:
      break;
  }
  return true;
}

// The result bits of a match: Matched, plus N, R and F copied across, plus Stop for L, R, F.
// With R, the redirect status is copied across too.
uint32_t MatchResult(uint32_t flags) {
  constexpr uint32_t kStopping = RuleFlag::Last | RuleFlag::Redirect | RuleFlag::Forbidden;
  uint32_t result = RuleResult::Matched | (flags & RuleFlag::Restart) | (flags & kStopping);
  if ((flags & kStopping) != 0) result |= RuleResult::Stop;
  if ((flags & RuleFlag::Redirect) != 0) result |= flags & RuleFlag::RedirectStatus;
  return result;
}

// The evaluation, compiled twice: kRecorded also notes in `spans` (one per condition, then
// the target) where each value it read lies, which the other ignores.
//
// Values are read, and checked against the prefilter, in the order that lets a rule that
// cannot match stop soonest: where the pattern has parts (regex/prefilter.h) and its own
// part cannot consume an LF, the target first, then the conditions in order, each checked
// against its part as soon as it is read while every part and value before it is free of
// LF. A rule refused that way reads nothing more.
template <bool kRecorded>
uint32_t Evaluate(const Rule& rule, HTTP_FILTER_CONTEXT* filterContext,
                  HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch,
                  RuleEvaluation* record, std::vector<ValueSpan>& spans, RequestFiles* files) {
  FilenameOfRule filename(filterContext, preprocHeaders, scratch, files);
  if (!rule.HasValidPattern()) return RuleResult::InvalidPattern;
  const uint32_t flags = rule.Flags();
  const Prefilter& facts = rule.joinedPattern.prefilter();
  const size_t conditions = rule.conditions.size();
  if constexpr (kRecorded) spans.assign(conditions + 1, ValueSpan());

  const bool byPart = conditions > 0 && facts.parts.size() == conditions + 1;
  const bool targetFirst = byPart && !facts.parts.back().mayConsumeLineFeed;
  const bool normalizeTarget = (flags & RuleFlag::Normalize) != 0;
  // The decoded parts of normalised values in the subject: a URL written from them gets
  // their bytes encoded again (FormatSubstitution).
  std::vector<SubjectRange> decodedParts;
  size_t targetDecoded = 0;
  size_t targetLength = 0;
  bool targetChecked = false;
  if (targetFirst) {
    if (!ReadValueInto(preprocHeaders->GetHeader, rule.target, normalizeTarget, filterContext,
                       scratch.target, 0, 0, targetLength, targetDecoded)) {
      return RuleResult::Unreadable;
    }
    if constexpr (kRecorded) spans[conditions] = {true, true, 0, targetLength};
    const char* target = scratch.target.Data();
    if (!HasLineFeed(target, targetLength)) {
      if (!facts.parts.back().Admits(target, targetLength)) return RuleResult::NoMatch;
      targetChecked = true;
    }
  }

  // Each condition's value and LF, then the target's value. `paired`: no part before the
  // next one can consume an LF and no value read so far holds one, so the next value is
  // what the next part must match.
  size_t length = 0;
  bool paired = byPart;
  for (size_t i = 0; i < conditions; ++i) {
    const Condition& condition = rule.conditions[i];
    const ServerRead read =
        condition.isServerVariable ? filterContext->GetServerVariable : preprocHeaders->GetHeader;
    size_t valueLength = 0;
    size_t valueDecoded = 0;
    if (condition.computed) {
      const RequestFilename* name = filename.Get();
      if (name == nullptr) return RuleResult::Unreadable;
      valueLength = name->text.size();
      if (valueLength > 0) {
        std::memcpy(scratch.subject.Area(length, valueLength + 1), name->text.data(), valueLength);
      }
    } else if (!ReadValueInto(read, condition.name,
                              (condition.flags & ConditionFlag::Normalize) != 0, filterContext,
                              scratch.subject, length, 1, valueLength, valueDecoded)) {
      return RuleResult::Unreadable;
    }
    if (valueDecoded > 0) decodedParts.push_back({length, length + valueDecoded});
    if constexpr (kRecorded) spans[i] = {true, false, length, valueLength};
    char* value = scratch.subject.Area(length, valueLength + 1);
    paired = paired && !facts.parts[i].mayConsumeLineFeed && !HasLineFeed(value, valueLength);
    if (paired && !facts.parts[i].Admits(value, valueLength)) return RuleResult::NoMatch;
    value[valueLength] = '\n';
    length += valueLength + 1;
  }
  if (targetFirst) {
    if (targetLength > 0) {
      std::memcpy(scratch.subject.Area(length, targetLength), scratch.target.Data(), targetLength);
    }
  } else if (!ReadValueInto(preprocHeaders->GetHeader, rule.target, normalizeTarget, filterContext,
                            scratch.subject, length, 0, targetLength, targetDecoded)) {
    return RuleResult::Unreadable;
  }
  if constexpr (kRecorded) spans[conditions] = {true, false, length, targetLength};
  if (targetDecoded > 0) decodedParts.push_back({length, length + targetDecoded});
  length += targetLength;
  const char* subject = scratch.subject.Data();
  // A subject the pattern cannot match is refused before the matcher is set up, with the
  // result the matcher would have given. When every part was checked above, so was this.
  if (!(paired && targetChecked) && !facts.Admits(subject, length)) return RuleResult::NoMatch;

  std::string newValue;
  uint32_t result;
  try {
    if (!TimedMatch(subject, subject + length, scratch.groups, rule.joinedPattern.expression(),
                    MatchTimeLimit, boost::match_not_dot_newline)) {
      return RuleResult::NoMatch;
    }
    // The file tests, once everything else matched: a rule pays its queries only when it
    // would otherwise apply.
    for (const Condition& test : rule.fileTests) {
      const RequestFilename* name = filename.Get();
      if (name == nullptr) return RuleResult::Unreadable;
      const bool holds = Holds(test.fileTest, filename.Answer());
      if constexpr (kRecorded) {
        record->fileTests.push_back(
            {&test, name->Names() ? name->text : std::string(), name->refusal, holds});
      }
      if (!holds) return RuleResult::NoMatch;
    }
    if constexpr (kRecorded) record->groups = &scratch.groups;
    result = MatchResult(flags);
    // A refusal writes nothing, nor does "-": the target keeps its value.
    if ((flags & RuleFlag::Forbidden) != 0 || KeepsValue(rule.format)) return result;
    newValue = IsUrlItem(rule.target) && !decodedParts.empty()
                   ? FormatSubstitution(rule.format, scratch.groups, subject, decodedParts)
                   : FormatSubstitution(rule.format, scratch.groups);
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
  if (written && (flags & RuleFlag::Redirect) == 0 && (flags & RuleFlag::LogRequestedUrl) != 0) {
    result |= RuleResult::LogMark;
  }
  return result;
}

}  // namespace

uint32_t EvaluateRule(const Rule& rule, HTTP_FILTER_CONTEXT* filterContext,
                      HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch,
                      RuleEvaluation* record, RequestFiles* files) {
  std::vector<ValueSpan> spans;
  if (record == nullptr) {
    return Evaluate<false>(rule, filterContext, preprocHeaders, scratch, nullptr, spans, files);
  }
  record->fileTests.clear();
  record->rule = &rule;
  record->values.clear();
  record->read.clear();
  record->groups = nullptr;
  record->wrote = false;
  record->newValue.clear();
  record->accepted = false;
  record->result = 0;
  record->result =
      Evaluate<true>(rule, filterContext, preprocHeaders, scratch, record, spans, files);
  // The buffers no longer move: the views stay valid until the next evaluation.
  for (const ValueSpan& span : spans) {
    const ValueBuffer& buffer = span.inTarget ? scratch.target : scratch.subject;
    record->values.emplace_back(span.read ? buffer.Data() + span.at : "", span.size);
    record->read.push_back(span.read);
  }
  return record->result;
}

}  // namespace vortane
