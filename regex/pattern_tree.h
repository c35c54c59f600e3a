// The pattern dialect read once, into a syntax tree.
//
// ParsePattern reads a dialect pattern (the syntax described in regex/expression.h) into a
// small tree of what it says: literal bytes, escapes, sets, anchors, groups, alternations,
// concatenations and repeats, each with where it stands in the text. Everything that reads
// a pattern works on this tree: EmitBoostPattern writes the Boost pattern that has the
// dialect's meaning, the prefilter derives its facts from it (regex/prefilter.h), and the
// checker's pattern warnings read it (AnalysePattern below). The parser refuses what the
// dialect refuses, with the same bad_expression (message and position) wherever the fault
// is found; what only Boost refuses (a repeat with nothing before it, a range out of order,
// ...) is kept in the tree as written and refused when the emitted text is compiled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vortane {

// One member of a bracket set, as the matcher reads the set.
struct SetMember {
  enum class Kind : uint8_t {
    kBytes,        // one byte, or the range low..high of bytes
    kClass,        // "[:name:]": `name`
    kClassEscape,  // "\d", "\W", ...: the letter in `name`
    kUnknown,      // bytes not known here: a collating element, an equivalence class, an
                   // escape of no known value, a "[" that may open one of them
  };
  Kind kind = Kind::kBytes;
  int low = -1;       // kBytes: the bytes, 0..255
  int high = -1;      //
  size_t offset = 0;  // where it starts in the pattern
  std::string name;
  std::string text;  // what the Boost pattern says for it
};

struct PatternNode {
  enum class Kind : uint8_t {
    kNothing,          // a comment or an empty "\Q\E": means nothing
    kLiteral,          // a byte as written: `byte`
    kEscape,           // "\" + `letter` for one byte: `byte`, or -1 when not known here
    kControl,          // "\cX": `byte`
    kHex,              // "\xH", "\xHH" (`byte`) or "\x{...}" (`byte` -1); `text` as written
    kClassEscape,      // "\d", "\W", ...: `letter`
    kAnyButLineBreak,  // "." or "\C" (`letter` '.' or 'C'): any byte but LF and CR
    kAnyByte,          // "\X"
    kAssertion,        // "^", "$" or "\" + one of AzZGbB<>`': `letter`
    kQuote,            // "\Q...\E" with something between: `text` as written
    kBackReference,    // "\1".."\9": `number`
    kSet,              // "[...]": `negated`, `members`
    kGroup,            // "(...)": `group`, `number` (capture groups), one child
    kAlternation,      // two or more concatenations, between "|"
    kConcatenation,    // its children one after another
    kRepeat,           // `least`..`most` of its child (none: a repeat with nothing before it)
  };
  enum class Group : uint8_t { kCapture, kNonCapture, kLookAhead, kNegativeLookAhead };
  static constexpr size_t kUnbounded = static_cast<size_t>(-1);
  static constexpr size_t kNone = static_cast<size_t>(-1);

  Kind kind = Kind::kNothing;
  size_t offset = 0;  // [offset, end) of the pattern text: for a repeat, its operator; for an
  size_t end = 0;     // alternative, up to the "|" or ")" after it
  char letter = 0;
  int byte = -1;
  Group group = Group::kCapture;
  unsigned number = 0;
  size_t least = 0;  // kRepeat; `most` is kUnbounded for no upper bound
  size_t most = 0;
  std::string text;  // kHex, kQuote; kRepeat: the operator as written ("*?", "{2,}")
  bool negated = false;
  std::vector<SetMember> members;
  std::vector<size_t> children;  // indices into PatternTree::nodes
};

// A parsed pattern. Nodes refer to their children by index; nodes[root] is the whole
// pattern (a kConcatenation or kAlternation).
struct PatternTree {
  std::vector<PatternNode> nodes;
  size_t root = 0;
  size_t size = 0;  // the length of the pattern text
  unsigned groupCount = 0;

  const PatternNode& operator[](size_t i) const { return nodes[i]; }
  const PatternNode& Root() const { return nodes[root]; }
};

// Reads a dialect pattern, or throws bad_expression for what the dialect refuses. Linear in
// the pattern's length; groups nest at most 400 deep (the compiler's own bound).
PatternTree ParsePattern(std::string_view pattern);

// The Boost pattern with the dialect's meaning (see regex/expression.h). Capture groups are
// kept as they are, so group numbers are those of the text as written.
std::string EmitBoostPattern(const PatternTree& tree);

// What the checker warns about in one pattern; offsets in the pattern, kNone for nothing.
struct PatternWarnings {
  static constexpr size_t kNone = static_cast<size_t>(-1);
  size_t topLevelBar = kNone;   // the first "|" outside every group
  size_t nestedRepeat = kNone;  // the first group repeated without bound that holds such a repeat
  size_t caseClass = kNone;     // the first "\l", "\u", "\L", "\U", "[:lower:]" or "[:upper:]"
  // The longest run of letters and digits written as plain bytes one after another, the
  // first of the longest: text a matching subject holds. None inside a negative look-ahead,
  // whose text a match lacks. kNone and 0 when there is none.
  size_t literal = kNone;
  size_t literalLength = 0;
};

// The warnings of a pattern; none for a pattern that does not parse on its own.
PatternWarnings AnalysePattern(std::string_view pattern);

}  // namespace vortane
