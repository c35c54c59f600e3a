// Cheap facts about every subject a compiled expression can match as a whole.
//
// Most rules fail to match most requests, and a failed match still costs the matcher's
// set-up and run. A Prefilter, derived once from the compiled expression, states what every
// subject the expression matches whole must satisfy: a shortest length, ASCII bytes it must
// start and end with, and literal strings it must contain somewhere. A subject that breaks
// one of them cannot match, so the match need not run; one that satisfies them all may or
// may not match.
//
// Derivation reads the pattern's syntax tree (regex/pattern_tree.h), as the matcher runs the
// Boost pattern written from it, and derives a fact only where the pattern certainly
// implies it:
//   - the shortest length counts the bytes every way through the pattern consumes:
//     one per literal byte, escape and set, none for anchors and look-arounds, the least
//     of the alternatives of a group, times the least count of a repeat;
//   - the prefix (suffix) is the run of printable ASCII literal bytes, none of them
//     repeated, at the start (end) of a pattern without "|" outside groups, looking
//     through "^" and "\A" (through "$" and "\z") and into groups that hold no "|" and
//     are not repeated;
//   - the next byte is the set of bytes that begin the alternatives of the group right
//     after the prefix (or of the whole pattern), when each of them begins with a literal
//     byte and the group is not repeated;
//   - the maximum length, likewise, where no repeat is unbounded ("^$" matches only "");
//   - the needles: runs of printable literal bytes that every match consumes, away from
//     the prefix and suffix ("sqlmap" in ".*sqlmap.*"), in which an item that consumes
//     exactly one byte ("\s", "[a-z]", "\.") stands as kAnyByte ("Windows\sPhone"), or the
//     literals of a group's alternatives, one of which every match consumes ("wp-admin" or
//     "xmlrpc" in ".*(?:wp-admin|xmlrpc).*"); the strongest few such facts are kept, and a
//     subject must satisfy each of them;
//   - any construct the derivation does not know ("\Q", "\x{...}", "\0", collating
//     elements, an escape in a set that it cannot give a byte for, a repeat of nothing or
//     of a comment) makes it derive nothing at all.
// Under case-insensitive matching an ASCII letter of these facts admits both its cases,
// and any subject byte of 0x80 or above admits every pattern byte: a locale may fold such a
// byte onto an ASCII one, and this never rejects what the matcher would accept. (No locale
// folds any byte onto LF or LF onto another byte; the parts below rely on it.)
//
// Parts. A rule's combined pattern joins its conditions' patterns and its own with LF, and
// its subject joins the values the same way (rules/rule.h). Where the pattern is one
// sequence whose LF bytes are neither repeated nor inside an alternative, each piece
// between them is a part with facts of its own, and a part also records whether it could
// consume an LF (a negated set such as "[^/]", "\s", or a range that spans LF such as
// "[\t-~]" may; "." may not). A set is read member by member as Boost reads it: an escape at a
// range's end ("\t", "\a", "\x0b",
// "\011", "\cI"...) stands for its byte, and a class it cannot place ("[:unicode:]")
// may hold LF, so that neither the set nor its negation is said to leave LF out. When the first k
// parts cannot consume an LF and the first k values hold none, every match pairs those parts with
// those values, so each value can be checked against its part as soon as it is read; the same holds
// for the last part and the last value. See Prefilter::parts.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "regex/expression.h"
#include "regex/pattern_tree.h"

namespace vortane {

// A set of ASCII bytes.
using ByteSet = std::bitset<128>;

// What every whole-subject match of one expression (or of one part of it) satisfies. A
// default PartFacts admits every subject. A value type; safe to share read-only between
// threads.
struct PartFacts {
  // In a needle: any one byte.
  static constexpr char kAnyByte = '\x01';
  static constexpr size_t kNoLimit = static_cast<size_t>(-1);

  size_t minLength = 0;         // no matching subject is shorter
  size_t maxLength = kNoLimit;  // no matching subject is longer
  std::string prefix;           // every matching subject starts with it (ASCII, 0x20..0x7E)
  std::string suffix;           // every matching subject ends with it (ASCII, 0x20..0x7E)
  ByteSet next;                 // if any: the byte after the prefix is one of these (ASCII)
  // Every matching subject contains, between its prefix and its suffix, one needle of each
  // set: printable ASCII bytes, and kAnyByte for any byte (never at a needle's ends).
  std::vector<std::vector<std::string>> needles;
  bool ignoreCase = false;         // compare letters in either case
  bool mayConsumeLineFeed = true;  // whether a match of it may consume an LF byte

  // False when no subject [first, first + length) can be matched whole by the expression
  // (or part) this was derived from. A few comparisons (at most prefix.size() +
  // suffix.size() bytes) and, with needles, one scan of the subject per set, comparing the
  // needles only where a byte may start one: at most length × the set's needle bytes
  // comparisons, far fewer in practice. No allocation.
  bool Admits(const char* first, size_t length) const {
    if (length < minLength || length > maxLength) return false;
    if (next.any() && !NextAdmits(first, length)) return false;
    if (!Starts(first, prefix) || !Starts(first + length - suffix.size(), suffix)) return false;
    return needles.empty() || HasNeedles(first, length);
  }

 private:
  // Whether the subject at `at` starts with `literal` (of which it has room for). Inline for
  // the usual case, a first byte that already differs.
  bool Starts(const char* at, const std::string& literal) const {
    if (literal.empty()) return true;
    if (ignoreCase) return StartsFolded(at, literal);
    return at[0] == literal[0] && std::memcmp(at, literal.data(), literal.size()) == 0;
  }
  bool StartsFolded(const char* at, const std::string& literal) const;
  bool NextAdmits(const char* first, size_t length) const;
  bool HasNeedles(const char* first, size_t length) const;
};

// The facts of a whole expression, and of each of its parts where it has them.
struct Prefilter : PartFacts {
  // One per part, in order, when the pattern has at least one LF that separates parts (see
  // the file comment); empty otherwise. Part i's facts apply to the i-th LF-separated piece
  // of a subject only under the conditions stated there: a caller must check them (no part
  // that could consume an LF before it, no LF in the values it pairs).
  std::vector<PartFacts> parts;
};

// The facts a parsed pattern implies, matched case-insensitively when `ignoreCase` (a
// Prefilter that admits everything for a pattern that holds a construct the derivation
// does not know). Linear in the number of nodes, bar nesting; allocates. Thread-safe.
Prefilter DerivePrefilter(const PatternTree& tree, bool ignoreCase);
// The same for a dialect pattern; admits everything when the pattern does not parse.
Prefilter DerivePrefilter(std::string_view pattern, bool ignoreCase);

// A compiled expression held together with the Prefilter derived from the same pattern's
// tree, so that the facts always belong to the expression they are checked for: both are set
// only together (CompilePrefiltered, and copying a whole PrefilteredExpression), never one
// without the other. A value type; copies share the compiled expression, which never changes.
class PrefilteredExpression {
 public:
  // An expression in the empty-expression error state, with facts that admit everything.
  PrefilteredExpression() = default;

  // What to match with (regex/timed_match.h).
  const Expression& expression() const { return expression_; }
  const Prefilter& prefilter() const { return prefilter_; }
  bool IsValid() const { return vortane::IsValid(expression_); }
  bool IgnoresCase() const { return (expression_.flags() & boost::regex::icase) != 0; }

  // Leaves a prefilter that admits every subject. For tests that compare evaluation with
  // and without the prefilter.
  void DropPrefilterForTesting() { prefilter_ = Prefilter(); }

 private:
  friend PrefilteredExpression CompilePrefiltered(std::string_view pattern, bool ignoreCase);
  PrefilteredExpression(Expression expression, Prefilter prefilter)
      : expression_(std::move(expression)), prefilter_(std::move(prefilter)) {}

  Expression expression_;
  Prefilter prefilter_;
};

// Parses a dialect pattern once, compiles it and derives its facts. Throws bad_expression as
// CompilePattern does.
PrefilteredExpression CompilePrefiltered(std::string_view pattern, bool ignoreCase);

}  // namespace vortane
