// Compiled regular expressions in the pattern dialect of configuration files.
//
// Every expression the filter uses, the fixed grammar of the configuration language and
// each rule's combined pattern alike, is compiled here. The dialect is Boost.Regex's Perl
// syntax with a few differences that keep configuration files meaning what they always
// meant; TranslatePattern reads a dialect pattern into its syntax tree
// (regex/pattern_tree.h) and writes the Boost pattern that has exactly that meaning, and
// rejects what the dialect rejects but Boost would accept:
//
//   - an empty alternative: "|" at the start or end of the pattern or of a group, or
//     two in a row, also with only a comment or an empty "\Q\E" between them;
//   - a "}" that closes no interval, and a "{" that opens no valid interval;
//   - "\Q" without a following "\E", and a "(?#" comment without its ")";
//   - any "(?" group other than "(?:", "(?=", "(?!" and "(?#" (inline modifiers,
//     look-behind, named groups, atomic groups...), and "(*" verbs;
//   - possessive repeats ("a*+", "a{2}+");
//   - back-references to a group that is not closed before them;
//   - "\cX" with X outside 0x40..0x7F (in a set too), a range from or to "[:blank:]",
//     groups nested 400 deep or deeper, and class names outside the documented list.
//
// and maps constructs whose Boost meaning differs:
//   - "." and "\C" match any byte but LF and CR (Boost also refuses FF);
//   - "^", "$" and "\Z" treat only LF and CR as line breaks (Boost also FF);
//   - "\B" needs word bytes on both sides (Boost also matches between non-word bytes);
//   - "\1".."\9" take one digit ("\10" is group 1 then "0");
//   - "[:blank:]" is space and tab (Boost adds VT);
//   - "\cX" in a set is X - 0x40 (Boost takes X mod 32);
//   - "\v" is the byte 0x0B, "\X" any byte, and a backslash before a letter that has no
//     meaning in the dialect ("\h", "\K", "\R", ...) stands for the letter itself.
//
// Capture groups are never added or removed, so group numbers are those of the text as
// written.
#pragma once

#include <boost/regex.hpp>

#include <string>
#include <string_view>

namespace vortane {

// A compiled expression over bytes. Immutable after compilation and safe to share
// between threads without a lock. A default-constructed Expression is in the
// empty-expression error state (IsValid returns false).
using Expression = boost::regex;

// The error type of the regular-expression layer: compile errors and matching timeouts.
using bad_expression = boost::regex_error;

// Boost's Perl syntax (0x4107 in the library's numbering) with empty alternatives refused.
inline constexpr boost::regex::flag_type kCompileOptions =
    boost::regex::perl | boost::regex::no_empty_expressions;

// Rewrites a dialect pattern into the equivalent Boost pattern, or throws bad_expression
// for a pattern the dialect rejects. Linear in the pattern's length.
std::string TranslatePattern(std::string_view pattern);

struct PatternTree;

// Compiles a parsed pattern, case-insensitively when `ignoreCase`. Throws bad_expression for
// what Boost refuses.
Expression CompileTree(const PatternTree& tree, bool ignoreCase);

// Compiles a dialect pattern, case-insensitively when `ignoreCase`. Throws bad_expression
// on any error; nothing partial is returned. Called only while configurations load.
Expression CompilePattern(std::string_view pattern, bool ignoreCase);

// True when `expression` compiled successfully.
inline bool IsValid(const Expression& expression) {
  return expression.status() == 0;
}

}  // namespace vortane
