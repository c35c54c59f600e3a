// The substitution language of RewriteRule and RewriteHeader lines.
//
// When a rule has matched, its substitution text (the "format") is expanded over the
// capture groups of the match, and the result becomes the new value of the rule's target.
// The language is small and every byte sequence is valid in it:
//
//   Written                      Output
//   $N  (N: decimal digits)      text of group N; all consecutive digits belong to N, so
//                                "$10" is group 10 and group 1 then "0" is "($1)0"
//   $&                           text of group 0, the whole subject
//   $` $A  /  $' $z              the prefix / the suffix: always empty
//   $ before any other byte      "$" itself; that byte is read normally ("$$1" is "$" + $1)
//   \a \f \n \r \t \v \e         0x07 0x0C 0x0A 0x0D 0x09 0x0B 0x1B
//   \ddd                         one byte in octal, NOT a group: "\1" is 0x01, "\101" is "A"
//   \xHH  \x{HH}                 one byte in hexadecimal (at most two significant digits)
//   \cX                          X - 0x40, for X from 0x40 to 0x7F
//   \ before any other byte      that byte: \$ \\ \? \( \) \: \& are the literal characters
//   ( ... )                      grouping; the parentheses produce nothing
//   ) without its (              ends the whole expansion: the rest is ignored
//   ?N true-text : false-text    true-text if group N matched, else false-text; with no
//                                digit after "?", N is 0, which always matched
//   any other byte, ":" outside a conditional, "$" or "\" at the very end: the byte itself
//
// Rules administrators meet in practice:
//   - A conditional runs to the end of the level that holds it: "?1yes:no/tail" has the
//     false-text "no/tail", while "(?1yes:no)/tail" continues with "/tail" after either.
//   - Without ":" there is no false-text: "(?1yes)" gives "yes" or nothing.
//   - An unescaped "?" always starts a conditional, so a query string is written "\?":
//     "/new.asp\?id=$1".
//   - Inside a branch that is not taken, only "(", ")", ":" and "\" count; "$" and "?" do
//     not. A conditional nested in such a branch must be put in parentheses, or its ":"
//     ends the branch early.
//   - Malformed escapes are copied: "\xg" gives "xg", "\x{41z" gives "x{41z", "\x{100}"
//     gives "x{100}", "\c1" gives "c1", "\777" gives 0x3F then "7".
//   - "\0" and "\x00" put a 0x00 byte into the output.
//
// A substitution that is "-" alone is not expanded at all: the rule writes nothing and its
// target keeps its value (KeepsValue). Anywhere else "-" is an ordinary byte.
//
// Groups: group 0 is the whole match, 1..k the capture groups of the pattern. A group that
// did not take part, or whose number is above k however large it is written, has empty
// text, and a conditional on it takes the false branch.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "regex/timed_match.h"

namespace vortane {

// Expands `format` over the groups of `match` and returns the result, possibly empty.
//
// `format` is read up to its end or its first 0x00 byte, whichever comes first. `match`
// should hold a successful match; with empty results every group counts as absent. Never
// fails: every format is valid, and the only exception is std::bad_alloc.
//
// Cost: one pass over the format, appending to one output string; the text of a group is
// copied once per reference. Nesting of parentheses and conditionals is kept on the heap
// (a few bytes per level), never on the machine stack, so any depth is safe.
//
// Thread-safe: `match` is only read, and only through the SubjectIterator::base()
// pointers and the `matched` flags, which never count against a match deadline; results
// made on one thread may be expanded on another while the subject they point into lives.
std::string FormatSubstitution(std::string_view format, const MatchResults& match);

// A range of a subject's bytes, as offsets from its first byte: [begin, end).
struct SubjectRange {
  size_t begin = 0;
  size_t end = 0;
};

// Whether a byte that came from the decoded part of a normalised value must be written as a
// percent escape in a URL: "%", "?", "#", space and the bytes below it, 0x7F, the bytes of
// 0x80 and above, and the other bytes a path may not hold raw (" < > \ ^ ` { | }). Written
// raw, such a byte would end the path, start a query or fragment, or be decoded again.
constexpr bool MustEncodeDecodedByte(unsigned char byte) {
  if (byte <= 0x20 || byte >= 0x7F) return true;
  for (const char c : std::string_view("%?#\"<>\\^`{|}")) {
    if (byte == static_cast<unsigned char>(c)) return true;
  }
  return false;
}

// FormatSubstitution, except that the bytes of a group that lie inside one of `encoded`
// (ranges of the subject that starts at `subject`, sorted, not overlapping) are written as
// percent escapes in upper case where MustEncodeDecodedByte holds. The literal text of
// `format` and group bytes outside the ranges are written as they are. A rule that writes
// a URL from normalised values passes their decoded parts here, so that text the client
// spelled with escapes ("%3F") never comes back as the byte it stood for ("?").
std::string FormatSubstitution(std::string_view format, const MatchResults& match,
                               const char* subject, const std::vector<SubjectRange>& encoded);

// True for the substitution "-": the rule that matched keeps its target's value, and writes
// nothing over it.
inline bool KeepsValue(std::string_view format) {
  return format == "-";
}

}  // namespace vortane
