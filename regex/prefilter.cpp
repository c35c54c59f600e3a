#include "regex/prefilter.h"

#include "base/text.h"
#include "regex/pattern_tree.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace vortane {
namespace {

// Deeper nesting than this derives nothing rather than recursing further.
constexpr int kMaxDepth = 64;
// Lengths saturate here, far above any subject evaluation reads.
constexpr size_t kLengthCap = size_t{1} << 30;
// A choice of more literals than this is no needle worth searching for.
constexpr size_t kMaxNeedles = 8;
// More needle facts than this about one subject cost more searching than they save.
constexpr size_t kMaxNeedleSets = 4;

size_t Saturated(size_t n) {
  return std::min(n, kLengthCap);
}

// a × b, both at most kLengthCap, without overflow on any width of size_t.
size_t SaturatedProduct(size_t a, size_t b) {
  return b != 0 && a > kLengthCap / b ? kLengthCap : a * b;
}

// One step of a sequence, as far as the facts are concerned.
struct Item {
  size_t minLength = 0;             // least bytes it consumes
  size_t maxLength = 0;             // most bytes it consumes; kLengthCap: no bound
  int literal = -1;                 // the byte, when it is one printable ASCII byte, not repeated
  bool zeroWidth = false;           // consumes nothing, ever (anchors, look-arounds)
  bool lineFeed = false;            // a raw LF byte, not repeated: it separates parts
  bool mayConsumeLineFeed = false;  // whether what it consumes may hold an LF
  ByteSet first;  // if any: the bytes its first byte may be (a group's alternatives)
  std::vector<std::string> needles;  // if any: what it consumes contains one of them
};

// What a run of alternatives implies, as a group or as the whole pattern.
struct Alternatives {
  size_t minLength = 0;
  size_t maxLength = 0;
  std::vector<Item> items;  // the items of its only alternative, when `single`
  bool single = true;
  ByteSet first;                     // if any: the bytes every alternative may begin with
  std::vector<std::string> needles;  // if any: every alternative consumes one of them
  bool mayConsumeLineFeed = false;
};

// The literal bytes of a needle: what a search can tell apart.
size_t Weight(const std::string& needle) {
  return needle.size() -
         static_cast<size_t>(std::count(needle.begin(), needle.end(), PartFacts::kAnyByte));
}

// The least weight of the weakest needle; 0 for none.
size_t Shortest(const std::vector<std::string>& needles) {
  size_t shortest = needles.empty() ? 0 : kLengthCap;
  for (const std::string& n : needles) shortest = std::min(shortest, Weight(n));
  return shortest;
}

// Whether an item consumes exactly one byte, whichever: it may stand in a needle as
// kAnyByte. A raw LF is left out: it separates parts.
bool AnyOneByte(const Item& item) {
  return item.literal < 0 && !item.zeroWidth && !item.lineFeed && item.minLength == 1 &&
         item.maxLength == 1;
}

// `run` without the kAnyByte bytes at its ends.
std::string Trimmed(const std::string& run) {
  const size_t first = run.find_first_not_of(PartFacts::kAnyByte);
  if (first == std::string::npos) return std::string();
  return run.substr(first, run.find_last_not_of(PartFacts::kAnyByte) - first + 1);
}

// The needle facts of items [begin, end), strongest first, at most kMaxNeedleSets: each run
// of literal bytes (with kAnyByte for an item that consumes exactly one byte, and zero-width
// items between them not breaking a run), and the needles of each item that has them. Every
// match consumes one needle of each set, and the sets' items are consumed one after another,
// so a subject must hold one of each. With `awayFromEdges`, the literal bytes at the start
// or the end are left out: the prefix and suffix check them already, and what is left lies
// between them.
std::vector<std::vector<std::string>> NeedleSets(std::vector<Item>::const_iterator begin,
                                                 std::vector<Item>::const_iterator end,
                                                 bool awayFromEdges) {
  std::vector<std::vector<std::string>> sets;
  std::string run;
  bool runAtStart = true;
  const auto consider = [&](std::vector<std::string> candidate) {
    if (Shortest(candidate) > 0) sets.push_back(std::move(candidate));
  };
  const auto endRun = [&] {
    const std::string needle = Trimmed(run);
    if (!needle.empty()) consider({needle});
    run.clear();
  };
  for (auto it = begin; it != end; ++it) {
    if (it->zeroWidth) continue;
    if (it->literal >= 0) {
      run += static_cast<char>(it->literal);
      continue;
    }
    if (AnyOneByte(*it)) {
      // The literal run before the first such item is the prefix.
      if (awayFromEdges && runAtStart) run.clear();
      runAtStart = false;
      run += PartFacts::kAnyByte;
      continue;
    }
    if (awayFromEdges && runAtStart) run.clear();
    endRun();
    runAtStart = false;
    if (!it->needles.empty()) consider(it->needles);
  }
  if (awayFromEdges) {
    // The literal bytes after the last item that is not one are the suffix.
    if (runAtStart) run.clear();
    const size_t lastAny = run.rfind(PartFacts::kAnyByte);
    run.resize(lastAny == std::string::npos ? 0 : lastAny);
  }
  endRun();
  std::stable_sort(sets.begin(), sets.end(),
                   [](const auto& a, const auto& b) { return Shortest(a) > Shortest(b); });
  // Past the strongest, a set of single bytes costs a scan for little.
  size_t kept = std::min(sets.size(), kMaxNeedleSets);
  while (kept > 1 && Shortest(sets[kept - 1]) < 2) --kept;
  sets.resize(kept);
  return sets;
}

// The set of bytes the first byte a sequence consumes may be, when every way through it
// starts with a literal byte; empty otherwise.
ByteSet FirstBytes(const std::vector<Item>& sequence) {
  for (const Item& item : sequence) {
    if (item.zeroWidth) continue;
    if (item.literal >= 0) return ByteSet().set(static_cast<size_t>(item.literal));
    return item.first;
  }
  return ByteSet();
}

// Reads the facts of a parsed pattern, node by node, as the matcher runs the Boost pattern
// EmitBoostPattern writes for it. Every reader returns false for anything it does not fully
// know, and the derivation then gives up.
class Reader {
 public:
  explicit Reader(const PatternTree& tree) : t_(tree) {}

  bool Whole(Alternatives& whole) { return Alternation(t_.root, 0, whole); }

 private:
  using Kind = PatternNode::Kind;

  // The alternatives of a kAlternation node, or the one of a kConcatenation.
  bool Alternation(size_t index, int depth, Alternatives& out) {
    if (depth > kMaxDepth) return false;
    out = Alternatives();
    out.minLength = std::numeric_limits<size_t>::max();
    out.maxLength = 0;
    bool firstKnown = true;
    bool needlesKnown = true;
    const PatternNode& node = t_[index];
    const std::vector<size_t> one{index};
    const std::vector<size_t>& alternatives = node.kind == Kind::kAlternation ? node.children : one;
    out.single = alternatives.size() == 1;
    for (const size_t alternative : alternatives) {
      std::vector<Item> sequence;
      if (!Sequence(alternative, depth, sequence)) return false;
      size_t length = 0;
      size_t longest = 0;
      for (const Item& item : sequence) {
        length = Saturated(length + item.minLength);
        longest = Saturated(longest + item.maxLength);
        out.mayConsumeLineFeed = out.mayConsumeLineFeed || item.mayConsumeLineFeed;
      }
      out.minLength = std::min(out.minLength, length);
      out.maxLength = std::max(out.maxLength, longest);
      const ByteSet firstOfSequence = FirstBytes(sequence);
      firstKnown = firstKnown && firstOfSequence.any();
      out.first = firstKnown ? out.first | firstOfSequence : ByteSet();
      const std::vector<std::vector<std::string>> sets =
          NeedleSets(sequence.begin(), sequence.end(), false);
      std::vector<std::string> needles = sets.empty() ? std::vector<std::string>() : sets.front();
      // Once one alternative has no needle, or there are too many, none is kept: a later
      // alternative's needles alone would not cover the earlier ones.
      needlesKnown =
          needlesKnown && !needles.empty() && out.needles.size() + needles.size() <= kMaxNeedles;
      if (needlesKnown) {
        out.needles.insert(out.needles.end(), needles.begin(), needles.end());
      } else {
        out.needles.clear();
      }
      if (out.single) out.items = std::move(sequence);
    }
    return true;
  }

  bool Sequence(size_t index, int depth, std::vector<Item>& items) {
    for (const size_t child : t_[index].children) {
      const PatternNode& node = t_[child];
      if (node.kind == Kind::kNothing) continue;
      const bool repeated = node.kind == Kind::kRepeat;
      if (repeated) {
        // A repeat of nothing, or of a comment: what Boost repeats is not this node.
        if (node.children.empty() || t_[node.children.front()].kind == Kind::kNothing) {
          return false;
        }
      }
      Item item;
      std::vector<Item> inner;
      bool inlineable = false;
      if (!Atom(repeated ? node.children.front() : child, depth, item, inner, inlineable)) {
        return false;
      }
      if (repeated) {
        const size_t least = Saturated(node.least);
        const size_t most =
            node.most == PatternNode::kUnbounded ? kLengthCap : Saturated(node.most);
        item.minLength = SaturatedProduct(item.minLength, least);
        item.maxLength = SaturatedProduct(item.maxLength, most);
        item.literal = -1;
        item.lineFeed = false;
        item.first.reset();                    // it may be repeated no times
        if (least == 0) item.needles.clear();  // nor need it occur at all
        items.push_back(item);
      } else if (inlineable) {
        items.insert(items.end(), inner.begin(), inner.end());
      } else {
        items.push_back(item);
      }
    }
    return true;
  }

  // One atom. A group that holds a single alternative gives its items in `inner` and sets
  // `inlineable`, so that an unrepeated one reads as if its contents stood in its place.
  bool Atom(size_t index, int depth, Item& item, std::vector<Item>& inner, bool& inlineable) {
    const PatternNode& node = t_[index];
    switch (node.kind) {
      case Kind::kLiteral: {
        const int c = node.byte;
        item.minLength = item.maxLength = 1;
        if (c >= 0x20 && c <= 0x7E) item.literal = c;
        item.lineFeed = item.mayConsumeLineFeed = c == '\n';
        return true;
      }
      case Kind::kEscape:
        return Escape(node, item);
      case Kind::kControl:
      case Kind::kHex:
        // Written as "\xHH": one byte, known unless written in braces.
        if (node.byte < 0) return false;
        item.minLength = item.maxLength = 1;
        item.mayConsumeLineFeed = node.byte == '\n';
        return true;
      case Kind::kClassEscape:
        // One byte of a class; "\D", "\L", "\s", "\U" and "\W" hold LF (or may).
        item.minLength = item.maxLength = 1;
        item.mayConsumeLineFeed = ClassEscapeHolds(node.letter) == Holds::kYes;
        return true;
      case Kind::kAnyButLineBreak:
        item.minLength = item.maxLength = 1;
        return true;
      case Kind::kAnyByte:
        item.minLength = item.maxLength = 1;
        item.mayConsumeLineFeed = true;
        return true;
      case Kind::kAssertion:
        // Consumes nothing. Boost's word and buffer anchors written with punctuation are
        // not read here.
        if (node.letter == '<' || node.letter == '>' || node.letter == '`' || node.letter == '\'') {
          return false;
        }
        item.zeroWidth = true;
        return true;
      case Kind::kBackReference:
        // It may match nothing, or what its group took, LF and all.
        item.maxLength = kLengthCap;
        item.mayConsumeLineFeed = true;
        return true;
      case Kind::kSet:
        item.minLength = item.maxLength = 1;
        return Set(node, item.mayConsumeLineFeed);
      case Kind::kGroup:
        return Group(node, depth, item, inner, inlineable);
      case Kind::kNothing:
      case Kind::kQuote:
      case Kind::kAlternation:
      case Kind::kConcatenation:
      case Kind::kRepeat:
        return false;
    }
    return false;
  }

  static bool Escape(const PatternNode& node, Item& item) {
    // "\0" (octal) and a "\E" without "\Q" are not read here.
    if (node.byte < 0) return false;
    item.minLength = item.maxLength = 1;
    if (node.byte >= 0x20 && node.byte <= 0x7E) {
      item.literal = node.byte;  // punctuation, or a letter that stands for itself
    } else {
      item.mayConsumeLineFeed = node.byte == '\n';  // a control byte: "\n" is LF
    }
    return true;
  }

  // Whether a member of a set, or a whole set, holds LF.
  enum class Holds { kNo, kYes, kMaybe };

  // A set consumes one byte. Sets `mayConsumeLineFeed` unless the set certainly leaves LF
  // out: a negated set that certainly holds it, or a plain one every member of which
  // certainly leaves it out. Returns false for what it does not fully know (a collating
  // element, an equivalence class, an escape of unknown byte at a range's end).
  bool Set(const PatternNode& node, bool& mayConsumeLineFeed) const {
    Holds holds = Holds::kNo;
    for (const SetMember& m : node.members) {
      Holds member = Holds::kNo;
      switch (m.kind) {
        case SetMember::Kind::kBytes:
          member = m.low <= '\n' && '\n' <= m.high ? Holds::kYes : Holds::kNo;
          break;
        case SetMember::Kind::kClass:
          member = ClassHolds(m.name);
          break;
        case SetMember::Kind::kClassEscape:
          member = ClassEscapeHolds(m.name[0]);
          break;
        case SetMember::Kind::kUnknown:
          return false;
      }
      if (member == Holds::kYes || holds == Holds::kYes) {
        holds = Holds::kYes;
      } else if (member == Holds::kMaybe) {
        holds = Holds::kMaybe;
      }
    }
    mayConsumeLineFeed = node.negated ? holds != Holds::kYes : holds != Holds::kNo;
    return true;
  }

  // Whether the class escape "\e" holds LF.
  static Holds ClassEscapeHolds(char e) {
    switch (e) {
      case 'd':
      case 'l':
      case 'S':
      case 'u':
      case 'w':
        return Holds::kNo;
      default:  // "\D", "\L", "\s", "\U", "\W"
        return Holds::kYes;
    }
  }

  // Whether the class "[:name:]" holds LF ("blank" is written out as space and tab).
  static Holds ClassHolds(std::string_view name) {
    if (name == "space" || name == "cntrl") return Holds::kYes;
    if (name == "unicode") return Holds::kMaybe;
    return Holds::kNo;
  }

  bool Group(const PatternNode& node, int depth, Item& item, std::vector<Item>& inner,
             bool& inlineable) {
    if (node.group == PatternNode::Group::kLookAhead ||
        node.group == PatternNode::Group::kNegativeLookAhead) {
      item.zeroWidth = true;  // consumes nothing: none of its facts hold for the subject
      return true;
    }
    Alternatives group;
    if (!Alternation(node.children.front(), depth + 1, group)) return false;
    item.minLength = group.minLength;
    item.maxLength = group.maxLength;
    item.first = group.first;
    item.needles = std::move(group.needles);
    item.mayConsumeLineFeed = group.mayConsumeLineFeed;
    inlineable = group.single;
    inner = std::move(group.items);
    return true;
  }

  const PatternTree& t_;
};

// Compares one pattern byte with one subject byte as the matcher's case folding might.
bool MayEqual(char pattern, char subject, bool ignoreCase) {
  if (pattern == subject || pattern == PartFacts::kAnyByte) return true;
  if (!ignoreCase) return false;
  const auto s = static_cast<unsigned char>(subject);
  if (s >= 0x80) return true;  // a locale may fold it onto any ASCII byte
  return IsAsciiLetter(static_cast<unsigned char>(pattern)) && (pattern | 0x20) == (subject | 0x20);
}

// `bytes` with both cases of each letter in it when `ignoreCase`.
ByteSet FoldedIfIgnoringCase(ByteSet bytes, bool ignoreCase) {
  if (!ignoreCase) return bytes;
  for (size_t c = 'A'; c <= 'Z'; ++c) {
    if (bytes.test(c) || bytes.test(c | 0x20)) bytes.set(c).set(c | 0x20);
  }
  return bytes;
}

}  // namespace

bool PartFacts::StartsFolded(const char* at, const std::string& literal) const {
  for (size_t k = 0; k < literal.size(); ++k) {
    if (!MayEqual(literal[k], at[k], true)) return false;
  }
  return true;
}

bool PartFacts::NextAdmits(const char* first, size_t length) const {
  if (length <= prefix.size()) return false;
  const auto byte = static_cast<unsigned char>(first[prefix.size()]);
  if (byte >= 0x80) return ignoreCase;  // a locale may fold it onto an ASCII byte
  return next.test(byte);
}

namespace {

// A byte with the 0x20 bit set: both cases of a letter give the same key (so do a few other
// pairs of bytes, which only makes the filter below admit more).
unsigned Key(char c) {
  return static_cast<unsigned char>(c) | 0x20u;
}

// The bit of the 64-bit filter for two bytes that follow each other.
uint64_t PairBit(unsigned first, unsigned second) {
  return uint64_t{1} << ((first * 7 + second) & 63);
}

// Whether [first, first + length) holds one of `needles` (none empty, none starting with
// kAnyByte). One scan through a table of the bytes that may start a needle; where one does,
// a 64-bit filter of the keys of the needles' first two bytes is asked before the needles
// are compared (unless a needle is one byte long or its second byte is kAnyByte).
bool HoldsOne(const char* first, size_t length, const std::vector<std::string>& needles,
              bool ignoreCase) {
  size_t shortest = kLengthCap;
  uint64_t pairs = 0;
  bool byPairs = true;
  bool starts[256];
  // Under I a byte of 0x80 or above may fold onto any ASCII byte.
  std::memset(starts, 0, 128);
  std::memset(starts + 128, ignoreCase ? 1 : 0, 128);
  for (const std::string& needle : needles) {
    shortest = std::min(shortest, needle.size());
    const auto c = static_cast<unsigned char>(needle[0]);
    starts[c] = true;
    if (ignoreCase && IsAsciiLetter(c)) starts[c ^ 0x20] = true;
    if (needle.size() < 2 || needle[1] == PartFacts::kAnyByte) {
      byPairs = false;
    } else {
      pairs |= PairBit(Key(needle[0]), Key(needle[1]));
    }
  }
  if (length < shortest) return false;
  const size_t last = length - shortest;
  for (size_t at = 0; at <= last; ++at) {
    const auto c = static_cast<unsigned char>(first[at]);
    if (!starts[c]) continue;
    if (byPairs && (pairs & PairBit(Key(first[at]), Key(first[at + 1]))) == 0 &&
        !(ignoreCase && (c >= 0x80 || static_cast<unsigned char>(first[at + 1]) >= 0x80))) {
      continue;
    }
    for (const std::string& needle : needles) {
      if (needle.size() > length - at) continue;
      size_t k = 0;
      while (k < needle.size() && MayEqual(needle[k], first[at + k], ignoreCase)) ++k;
      if (k == needle.size()) return true;
    }
  }
  return false;
}

}  // namespace

bool PartFacts::HasNeedles(const char* first, size_t length) const {
  // The needles lie between the prefix and the suffix (when they do not overlap).
  size_t begin = prefix.size();
  size_t end = length - suffix.size();
  if (end < begin) {
    begin = 0;
    end = length;
  }
  for (const std::vector<std::string>& set : needles) {
    if (!HoldsOne(first + begin, end - begin, set, ignoreCase)) return false;
  }
  return true;
}

namespace {

// The facts of items [begin, end), a part or the whole single-alternative pattern.
PartFacts FactsOf(std::vector<Item>::const_iterator begin, std::vector<Item>::const_iterator end,
                  bool ignoreCase) {
  PartFacts facts;
  facts.ignoreCase = ignoreCase;
  facts.mayConsumeLineFeed = false;
  for (auto it = begin; it != end; ++it) {
    facts.minLength = Saturated(facts.minLength + it->minLength);
    facts.mayConsumeLineFeed = facts.mayConsumeLineFeed || it->mayConsumeLineFeed;
  }
  // Zero-width items consume nothing, so the literals around them are consumed back to back.
  for (auto it = begin; it != end; ++it) {
    if (it->zeroWidth) continue;
    if (it->literal < 0) {
      facts.next = FoldedIfIgnoringCase(it->first, ignoreCase);
      break;
    }
    facts.prefix += static_cast<char>(it->literal);
  }
  for (auto it = end; it != begin;) {
    --it;
    if (it->zeroWidth) continue;
    if (it->literal < 0) break;
    facts.suffix += static_cast<char>(it->literal);
  }
  std::reverse(facts.suffix.begin(), facts.suffix.end());
  facts.maxLength = 0;
  for (auto it = begin; it != end; ++it) {
    facts.maxLength = Saturated(facts.maxLength + it->maxLength);
  }
  if (facts.maxLength == kLengthCap) facts.maxLength = PartFacts::kNoLimit;
  facts.needles = NeedleSets(begin, end, true);
  return facts;
}

}  // namespace

Prefilter DerivePrefilter(const PatternTree& tree, bool ignoreCase) {
  Prefilter facts;
  Alternatives whole;
  if (!Reader(tree).Whole(whole)) return facts;
  if (!whole.single) {
    facts.minLength = whole.minLength;
    facts.ignoreCase = ignoreCase;
    facts.next = FoldedIfIgnoringCase(whole.first, ignoreCase);
    facts.maxLength = whole.maxLength == kLengthCap ? PartFacts::kNoLimit : whole.maxLength;
    if (!whole.needles.empty()) facts.needles.push_back(std::move(whole.needles));
    return facts;
  }
  const std::vector<Item>& items = whole.items;
  static_cast<PartFacts&>(facts) = FactsOf(items.begin(), items.end(), ignoreCase);
  auto partBegin = items.begin();
  for (auto it = items.begin(); it != items.end(); ++it) {
    if (!it->lineFeed) continue;
    facts.parts.push_back(FactsOf(partBegin, it, ignoreCase));
    partBegin = it + 1;
  }
  if (!facts.parts.empty()) facts.parts.push_back(FactsOf(partBegin, items.end(), ignoreCase));
  return facts;
}

Prefilter DerivePrefilter(std::string_view pattern, bool ignoreCase) {
  try {
    return DerivePrefilter(ParsePattern(pattern), ignoreCase);
  } catch (const bad_expression&) {
    return Prefilter();
  }
}

PrefilteredExpression CompilePrefiltered(std::string_view pattern, bool ignoreCase) {
  const PatternTree tree = ParsePattern(pattern);
  return PrefilteredExpression(CompileTree(tree, ignoreCase), DerivePrefilter(tree, ignoreCase));
}

}  // namespace vortane
