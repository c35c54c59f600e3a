// Applying one rule to one request.
//
// EvaluateRule reads the values the rule's conditions name (server variables or request
// items and headers) and the rule's target from the server, each condition's value followed
// by LF, the target's last, into one subject; matches the rule's combined pattern against
// the whole subject within MatchTimeLimit; and on a match either reports a refusal (F) or
// expands the substitution and writes it back over the target with SetHeader.
//
//   - A value that is absent, or whose normalisation (O) the server refuses, is read as
//     empty. Every other value is read whole, up to kValueLimit bytes; a longer one makes
//     the evaluation end with Unreadable, without matching: the caller must not let the
//     request go on as if the rule had not matched.
//   - A rule sees what earlier rules wrote back: a value is read afresh on every call, or
//     taken from the pass's values (rules/pass_values.h), which a write keeps current.
//   - A matching timeout (or Boost's own complexity error) disables the rule for as long
//     as its configuration stays loaded and yields Timeout; nothing is written back then.
//   - A subject the pattern's prefilter (regex/prefilter.h) refuses yields NoMatch without
//     running the matcher, so a rule never times out on a subject it cannot match. Where
//     the prefilter proves from the values read so far that the rule cannot match, the
//     rest are not read: the target's value may be read (and refused) before any
//     condition's, and a condition's value is read only while the rule can still match.
//     A value never read cannot make the evaluation Unreadable.
//   - A new value with a control byte (below 0x20, or DEL) is never written raw: for the
//     URL each such byte is percent-encoded ("%0D"); any other target is not written, as
//     if the server had refused it.
//   - The substitution "-" writes nothing: the rule matched, its result is as usual, and its
//     target keeps its value. With nothing written, U marks nothing either.
//   - A rule with U and without R whose new value the server accepted adds LogMark to its
//     result; the request handling keeps it for the log. Evaluation writes nothing but the
//     request items and headers it rewrites.
//   - A condition on %REQUEST_FILENAME reads no server variable: its value is the path the
//     URL, as the rules have left it, names in the request's site folders
//     (rules/request_filename.h); empty when it names none.
//   - File tests (-f, -d, !-f, !-d on %REQUEST_FILENAME) are not part of the subject: they
//     hold no groups and number none. They are asked in file order only once the pattern
//     has matched, all of a rule's tests with one file-system query, and the first that
//     fails makes the result NoMatch, with nothing written.
#pragma once

#include <cstdint>

#include "platform/isapi.h"
#include "regex/timed_match.h"
#include "rules/rule.h"
#include "rules/server_values.h"

namespace vortane {

struct RuleEvaluation;

// The buffers of one evaluation. A rule pass keeps one for all its evaluations, so that
// they reuse the memory instead of allocating it once per rule. Belongs to one thread; its
// contents mean nothing between calls.
class EvaluationScratch {
 public:
  // The subject: values are read straight into it, so their bytes are copied once.
  ValueBuffer subject;
  // The target's value when it is read before the conditions' and the pass does not keep it
  // (copied into the subject only if the rule can still match).
  ValueBuffer target;
  MatchResults groups;
};

class PassValues;
class RequestFiles;

// Returns exactly one of InvalidPattern, NoMatch, Timeout, Unreadable, or Matched with
// Restart (N), Redirect (R) and its RedirectStatus bits, Forbidden (F), Stop (any of L, R, F)
// and LogMark (U without R, the new value written).
//
// `rule` is shared with other request threads and only read, apart from its Disabled bit.
// The server records belong to the calling thread's request; `scratch` holds the buffers,
// which outlive the call. Costs at most one server read per condition and one for the
// target (two for a value of 4096 bytes or more; none for a value the pass's values hold), the
// prefilter's checks, at most one time-limited match, and on a match one expansion and one
// SetHeader. Exceptions other than bad_expression (memory exhaustion) leave the function; the rule
// stays enabled then.
//
// When `record` is not null it is filled with what the evaluation read, matched and wrote
// (rules/trace.h); the evaluation itself is the same. Without a record the only extra cost
// is the test for one.
//
// `files` gives the request's site folders for REQUEST_FILENAME; without it (null) the URL
// names no file and no folder. A rule without file tests nor conditions on the variable
// never touches it. REQUEST_FILENAME costs one more read of the URL and, when a file test
// is asked, one file-system query for all of the rule's tests.
uint32_t EvaluateRule(const Rule& rule, HTTP_FILTER_CONTEXT* filterContext,
                      HTTP_FILTER_PREPROC_HEADERS* preprocHeaders, EvaluationScratch& scratch,
                      RuleEvaluation* record = nullptr, RequestFiles* files = nullptr);

// The same, reading the request's values through `values` (rules/pass_values.h), which the
// rules of one pass share: a value the pass already read is not read again, and the rule's
// write drops what it may change. The server is the one `values` reads.
uint32_t EvaluateRule(const Rule& rule, PassValues& values, EvaluationScratch& scratch,
                      RuleEvaluation* record = nullptr, RequestFiles* files = nullptr);

}  // namespace vortane
