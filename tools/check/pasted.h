// What administrators paste from Apache's rule files, read for what it means here: Apache's
// server variables, file tests and comparisons in conditions, quotes, negated patterns, and
// per-directory patterns written without the URL's leading slash. Each function returns the
// diagnostic for one word, or nothing when the word means here what it meant there.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/check/explain.h"
#include "tools/check/lines.h"

namespace vortane::tools::check {

// Whether the web server (or the filter, for REQUEST_FILENAME) has a variable `name`:
// one of its fixed names, or HTTP_<header> or HEADER_<header>.
bool IsServerVariable(std::string_view name);

// The known fixed variable name nearest to `name`, within two edits; empty when none is.
std::string_view NearestServerVariable(std::string_view name);

// A condition's subject written %{NAME}, as Apache does: what to write instead. Apache's
// %{REQUEST_URI} is the URL here, %{HTTP:X} the header X:, a known NAME is %NAME.
Problem ExplainBracedVariable(const Word& word);

// A condition's subject %NAME that the web server does not have (the value is then always
// empty); nothing for a known name.
std::optional<Problem> ExplainUnknownVariable(const Word& subject);

// The pattern that matches a whole value exactly where `negated` (Apache's "!PATTERN"
// without its "!") matches nowhere in it: Apache's pattern matches any part of the value.
std::string NegationOf(std::string_view negated);

// Whether a condition's pattern is one of Apache's tests of a file or comparisons ("-f",
// "!-d", "-s", "=text", "<text", "-eq"...) rather than a regular expression.
bool IsApacheTest(std::string_view pattern);

// An Apache test in a condition: nothing for the tests the filter has ("-f", "-d" and their
// negations on %REQUEST_FILENAME), what to write for a file test on another subject, and
// "no equivalent" for the others.
std::optional<Problem> ExplainApacheTest(const Word& subject, const Word& pattern);

// Whether no URL matches `pattern` (every URL starts with "/"), by the prefilter's facts.
bool NeverMatchesUrl(std::string_view pattern, bool ignoreCase);

// A pattern or substitution in Apache's double quotes, which are literal bytes here.
std::optional<Problem> ExplainQuotes(const Word& word, bool pattern);

// A rule's pattern that cannot match any URL (every URL starts with "/"), by the facts the
// prefilter derives from it; with a replacement for Apache's per-directory "^name" form.
std::optional<Problem> ExplainNeverMatches(const Word& pattern, bool ignoreCase);

// A refusal of a literal path with letters, matched with case: the web server's file system
// ignores case, so another spelling of the same file gets past it.
std::optional<Problem> ExplainCaseSensitiveRefusal(const Word& pattern);

// What to write for the problem of the line facts[index] when it takes the lines around it:
// a rule that only sets environment variables goes with its conditions; a group with [OR]
// becomes one rule for each choice of the joined conditions; a condition on Apache's
// REQUEST_URI becomes one on URL with O; a per-directory rule is written in full; RewriteBase
// goes once no rule below it needs it. Sets the problem's edit and hint; leaves the problem as
// it is when none of these applies or the lines cannot be written exactly.
void AddContextFix(const std::vector<LineFacts>& facts, size_t index, Problem& problem);

}  // namespace vortane::tools::check
