#include "rules/evaluation.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "regex/substitution.h"
#include "regex/timed_match.h"
#include "rules/pass_values.h"
#include "rules/request_filename.h"
#include "rules/server_values.h"
#include "rules/trace.h"

namespace vortane {
namespace {

bool HasLineFeed(const char* value, size_t length) {
  return length > 0 && std::memchr(value, '\n', length) != nullptr;
}

// Where a value the evaluation read lies, for the record: in the subject at `at`, or at
// `kept` (a value the pass keeps, or the target's copy) when that is set.
struct ValueSpan {
  bool read = false;
  const char* kept = nullptr;
  size_t at = 0;
  size_t size = 0;
};

// REQUEST_FILENAME for one evaluation: computed from the URL the first time a condition or a
// file test needs it, then kept.
class FilenameOfRule {
 public:
  FilenameOfRule(PassValues& values, RequestFiles* files) : values_(values), files_(files) {}

  // The path, or nothing when the URL is too long to read.
  const RequestFilename* Get() {
    if (name_) return &*name_;
    const PassValue url = values_.Url();
    if (url.read == ValueRead::TooLong) return nullptr;
    static const SiteFolders kNone;
    const SiteFolders* folders = files_ != nullptr ? files_->Folders() : nullptr;
    name_ = ComputeRequestFilename(folders != nullptr ? *folders : kNone, url.View());
    return &*name_;
  }

  // What is at the path Get() returned: one file-system query for all of the rule's tests.
  const FileTestAnswer& Answer() {
    if (!answer_) answer_ = LookAtRequestFilename(*name_);
    return *answer_;
  }

 private:
  PassValues& values_;
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
// LF. A rule refused that way reads nothing more. A rule without conditions matches the
// target's value where the pass keeps it, without copying it.
template <bool kRecorded>
uint32_t Evaluate(const Rule& rule, PassValues& values, EvaluationScratch& scratch,
                  RuleEvaluation* record, std::vector<ValueSpan>& spans, RequestFiles* files) {
  FilenameOfRule filename(values, files);
  if (!rule.HasValidPattern()) return RuleResult::InvalidPattern;
  const uint32_t flags = rule.Flags();
  const Prefilter& facts = rule.joinedPattern.prefilter();
  const size_t conditions = rule.conditions.size();
  if constexpr (kRecorded) spans.assign(conditions + 1, ValueSpan());

  const bool byPart = conditions > 0 && facts.parts.size() == conditions + 1;
  const bool targetFirst = byPart && !facts.parts.back().mayConsumeLineFeed;
  const bool normalizeTarget = (flags & RuleFlag::Normalize) != 0;
  const auto readTarget = [&] {
    return values.Get(rule.targetSlot, false, rule.target, normalizeTarget);
  };
  // The decoded parts of normalised values in the subject: a URL written from them gets
  // their bytes encoded again (FormatSubstitution).
  std::vector<SubjectRange> decodedParts;
  PassValue target;
  bool targetChecked = false;
  if (targetFirst) {
    target = readTarget();
    if (target.read == ValueRead::TooLong) return RuleResult::Unreadable;
    // The conditions' reads reuse the buffer of a value the pass does not keep.
    if (!PassValues::Keeps(rule.targetSlot) && target.length > 0) {
      char* copy = scratch.target.Area(0, target.length + 1);
      std::memcpy(copy, target.data, target.length + 1);
      target.data = copy;
    }
    if constexpr (kRecorded) spans[conditions] = {true, target.data, 0, target.length};
    if (!HasLineFeed(target.data, target.length)) {
      if (!facts.parts.back().Admits(target.data, target.length)) return RuleResult::NoMatch;
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
    PassValue value;
    if (condition.computed) {
      const RequestFilename* name = filename.Get();
      if (name == nullptr) return RuleResult::Unreadable;
      value.data = name->text.c_str();
      value.length = name->text.size();
    } else {
      value = values.Get(condition.slot, condition.isServerVariable, condition.name,
                         (condition.flags & ConditionFlag::Normalize) != 0);
      if (value.read == ValueRead::TooLong) return RuleResult::Unreadable;
    }
    if (value.decoded > 0) decodedParts.push_back({length, length + value.decoded});
    if constexpr (kRecorded) spans[i] = {true, nullptr, length, value.length};
    char* copy = scratch.subject.Area(length, value.length + 1);
    if (value.length > 0) std::memcpy(copy, value.data, value.length);
    paired = paired && !facts.parts[i].mayConsumeLineFeed && !HasLineFeed(copy, value.length);
    if (paired && !facts.parts[i].Admits(copy, value.length)) return RuleResult::NoMatch;
    copy[value.length] = '\n';
    length += value.length + 1;
  }
  if (!targetFirst) {
    target = readTarget();
    if (target.read == ValueRead::TooLong) return RuleResult::Unreadable;
  }
  if (target.decoded > 0) decodedParts.push_back({length, length + target.decoded});
  const char* subject;
  if (conditions == 0 && PassValues::Keeps(rule.targetSlot)) {
    subject = target.data;
    if constexpr (kRecorded) spans[conditions] = {true, target.data, 0, target.length};
  } else {
    if (target.length > 0) {
      std::memcpy(scratch.subject.Area(length, target.length), target.data, target.length);
    }
    if constexpr (kRecorded) spans[conditions] = {true, nullptr, length, target.length};
    subject = scratch.subject.Data();
  }
  length += target.length;
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
  BOOL written = FALSE;
  if (safe) {
    // The values the pass keeps for the target, and those derived from it, are read again.
    values.Wrote(rule.target);
    written =
        values.Headers()->SetHeader(values.Context(), ServerName(rule.target), newValue.data());
  }
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

uint32_t EvaluateRule(const Rule& rule, PassValues& values, EvaluationScratch& scratch,
                      RuleEvaluation* record, RequestFiles* files) {
  std::vector<ValueSpan> spans;
  if (record == nullptr) return Evaluate<false>(rule, values, scratch, nullptr, spans, files);
  record->fileTests.clear();
  record->rule = &rule;
  record->values.clear();
  record->read.clear();
  record->groups = nullptr;
  record->wrote = false;
  record->newValue.clear();
  record->accepted = false;
  record->result = 0;
  record->result = Evaluate<true>(rule, values, scratch, record, spans, files);
  // The buffers no longer move: the views stay valid until the next evaluation.
  for (const ValueSpan& span : spans) {
    const char* data = span.kept != nullptr ? span.kept : scratch.subject.Data() + span.at;
    record->values.emplace_back(span.read ? data : "", span.size);
    record->read.push_back(span.read);
  }
  return record->result;
}

uint32_t EvaluateRule(const Rule& rule, HTTP_FILTER_CONTEXT* filterContext,
                      HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch,
                      RuleEvaluation* record, RequestFiles* files) {
  PassValues values(filterContext, preprocHeaders);
  return EvaluateRule(rule, values, scratch, record, files);
}

}  // namespace vortane
