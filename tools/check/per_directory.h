// Apache's rules as administrators paste them from .htaccess files, written as the filter's.
//
// An Apache per-directory rule finds its pattern anywhere in the decoded path without its
// leading '/', numbers the pattern's groups $1.. and the last matched condition's %1.., and
// keeps the request's query unless its substitution writes one. A rule here matches the
// whole URL, query included, and numbers groups through its conditions and then its pattern.
// The functions below write the one as the other, exactly, or give nothing when they cannot
// (an anchor or an escape whose meaning on a path has no spelling here, a flag with no
// equivalent); the checker then gives advice instead of a replacement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/check/lines.h"

namespace vortane::tools::check {

// What a translated pattern does with the URL's query.
enum class QueryTail : uint8_t {
  kSkip,          // "(?:\?.*)?$": matched, not captured
  kCapture,       // "(\?.*)?$": captured with its "?", to be written back as it is
  kCaptureValue,  // "(?:\?(.*))?$": captured without its "?", to be appended to another query
};

// Apache's `pattern`, found anywhere in a decoded path (the whole path from its '/' when
// `fromSlash`, as %{REQUEST_URI} holds it; else the path after its '/', as a per-directory
// rule sees it), as a pattern on the whole URL here: its matches stay inside the path
// ("." becomes "[^?]", a set that could match "?" cannot), "^" and "$" are the path's ends,
// and the query after the path matches as `tail` says. Its groups keep their numbers.
std::optional<std::string> PathPattern(std::string_view pattern, bool fromSlash, QueryTail tail);

// True where Apache's `pattern` is found nowhere in the path from its '/'.
std::optional<std::string> NegatedPathPattern(std::string_view pattern);

// Apache's comparison "=text" of a whole path from its '/': true where the path is `text`
// (`negated`: where it is not). Nothing for a text with "?", which no path here holds.
std::optional<std::string> EqualPathPattern(std::string_view text, bool negated);

// The number of capture groups of a pattern; nothing when it does not parse.
std::optional<unsigned> GroupCount(std::string_view pattern);

// The rule on facts[rule] (an Apache per-directory rule, with the conditions above it and the
// RewriteBase above them), written as the filter's rule line with O: the decoded path, as
// Apache matches it. Nothing when it cannot be written exactly.
std::optional<std::string> PerDirectoryRule(const std::vector<LineFacts>& facts, size_t rule);

// Whether a rule's pattern has the form of Apache's partial ones, found anywhere in the path:
// it starts with a letter, a digit, an escape or "." ("\\.php$", "."), not with ".*", "^",
// "/", a group or a class, as a pattern written for the whole URL does.
bool IsPartialPattern(std::string_view pattern);

// Whether the rule on facts[rule] was written for Apache's per-directory matching: a pattern
// that is not written from the URL's '/' with a substitution that is not either, or that no
// URL matches, or that Apache finds anywhere in the path.
bool IsPerDirectoryRule(const std::vector<LineFacts>& facts, size_t rule);

// The condition on facts[line] on Apache's %{REQUEST_URI} (or %REQUEST_URI): the same test on
// the decoded path here, a condition on URL with O. Nothing when it cannot be written exactly.
std::optional<std::string> RequestUriCondition(const LineFacts& facts);

// Whether a substitution is a path without its leading '/', written for Apache's
// per-directory rules (not "-", not from a group, not an absolute URL).
bool IsRelativeSubstitution(std::string_view substitution);

// The items of a line's flag list (its last word, in brackets), in upper case; none when the
// line has no list.
std::vector<std::string> FlagItems(const std::vector<Word>& words);

// `line` from its first byte that is no blank.
std::string_view Trimmed(std::string_view line);

// `text` without Apache's quotes around it, when it has them.
std::string_view Unquoted(std::string_view text);

// The index of the first condition line of the rule on facts[rule] (blank lines and comments
// between them allowed); `rule` itself when it has none.
size_t FirstConditionOf(const std::vector<LineFacts>& facts, size_t rule);

}  // namespace vortane::tools::check
