#include "regex/prefilter.h"

#include "base/text.h"

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

// A recursive-descent reading of Boost's Perl syntax, limited to what TranslatePattern
// writes. Every reader returns false for anything it does not fully know, and the
// derivation then gives up.
class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  // The whole text.
  bool Whole(Alternatives& whole) { return Alternation(0, whole) && i_ == s_.size(); }

 private:
  bool At(char c) const { return i_ < s_.size() && s_[i_] == c; }

  // Alternatives up to the end or an unmatched ")", which is left unread.
  bool Alternation(int depth, Alternatives& out) {
    if (depth > kMaxDepth) return false;
    out = Alternatives();
    out.minLength = std::numeric_limits<size_t>::max();
    out.maxLength = 0;
    bool firstKnown = true;
    bool needlesKnown = true;
    for (;;) {
      std::vector<Item> sequence;
      if (!Sequence(depth, sequence)) return false;
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
      if (!At('|')) {
        if (out.single) out.items = std::move(sequence);
        return true;
      }
      out.single = false;
      out.items.clear();
      ++i_;
    }
  }

  bool Sequence(int depth, std::vector<Item>& items) {
    while (i_ < s_.size() && s_[i_] != '|' && s_[i_] != ')') {
      Item item;
      std::vector<Item> inner;
      bool inlineable = false;
      if (!Atom(depth, item, inner, inlineable)) return false;
      size_t least = 1;
      size_t most = 1;
      bool repeated = false;
      if (!Repeat(least, most, repeated)) return false;
      if (repeated) {
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

  // "*", "+", "?" or "{n}", "{n,}", "{n,m}", with an optional "?" or "+" after it. `most`
  // is kLengthCap for no bound.
  bool Repeat(size_t& least, size_t& most, bool& repeated) {
    if (i_ >= s_.size()) return true;
    const char c = s_[i_];
    if (c == '*' || c == '?') {
      least = 0;
      most = c == '?' ? 1 : kLengthCap;
    } else if (c == '+') {
      least = 1;
      most = kLengthCap;
    } else if (c == '{') {
      size_t j = i_ + 1;
      const auto number = [&](size_t& n) {
        const size_t digits = j;
        n = 0;
        while (j < s_.size() && IsDigit(s_[j]))
          n = Saturated(SaturatedProduct(n, 10) + static_cast<size_t>(s_[j++] - '0'));
        return j > digits;
      };
      if (!number(least)) return false;
      most = least;
      if (j < s_.size() && s_[j] == ',') {
        ++j;
        if (!number(most)) most = kLengthCap;
      }
      if (j >= s_.size() || s_[j] != '}') return false;
      i_ = j;
    } else {
      return true;
    }
    ++i_;
    repeated = true;
    if (At('?') || At('+')) ++i_;
    return true;
  }

  // One atom. A group that holds a single alternative gives its items in `inner` and sets
  // `inlineable`, so that an unrepeated one reads as if its contents stood in its place.
  bool Atom(int depth, Item& item, std::vector<Item>& inner, bool& inlineable) {
    const auto c = static_cast<unsigned char>(s_[i_]);
    switch (c) {
      case '\\':
        return Escape(item);
      case '[':
        item.minLength = item.maxLength = 1;
        return Set(item.mayConsumeLineFeed);
      case '(':
        return Group(depth, item, inner, inlineable);
      case '^':
      case '$':
        item.zeroWidth = true;
        ++i_;
        return true;
      case '.':
        // TranslatePattern writes no bare "."; whatever flags it would match under, it may
        // match an LF for all this knows.
        item.minLength = item.maxLength = 1;
        item.mayConsumeLineFeed = true;
        ++i_;
        return true;
      case '*':
      case '+':
      case '?':
      case '{':
      case '}':
      case ']':
        return false;
      default:
        item.minLength = item.maxLength = 1;
        if (c >= 0x20 && c <= 0x7E) item.literal = c;
        item.lineFeed = item.mayConsumeLineFeed = c == '\n';
        ++i_;
        return true;
    }
  }

  bool Escape(Item& item) {
    if (i_ + 1 >= s_.size()) return false;
    const auto e = static_cast<unsigned char>(s_[i_ + 1]);
    i_ += 2;
    // Punctuation stands for itself, but for Boost's word and buffer anchors.
    if (e == '<' || e == '>' || e == '\'' || e == '`') return false;
    if ((e >= 0x20 && e <= 0x2F) || (e >= 0x3A && e <= 0x40) || (e >= 0x5B && e <= 0x60) ||
        (e >= 0x7B && e <= 0x7E)) {
      item.minLength = item.maxLength = 1;
      item.literal = e;
      return true;
    }
    switch (e) {
      case 'a':
      case 'd':
      case 'e':
      case 'f':
      case 'l':
      case 'r':
      case 'S':
      case 't':
      case 'u':
      case 'w':
        item.minLength = item.maxLength = 1;  // one byte of a class without LF, or a control byte
        return true;
      case 'D':
      case 'L':
      case 'n':
      case 's':
      case 'U':
      case 'W':
        item.minLength = item.maxLength = 1;  // one byte of a class that holds LF (or may), or LF
        item.mayConsumeLineFeed = true;
        return true;
      case 'b':
      case 'B':
      case 'A':
      case 'z':
      case 'Z':
      case 'G':
        item.zeroWidth = true;
        return true;
      case 'x': {
        const size_t start = i_;
        while (i_ < s_.size() && i_ < start + 2 && IsHexDigit(s_[i_])) ++i_;
        item.minLength = item.maxLength = 1;
        const std::string digits(s_.substr(start, i_ - start));
        item.mayConsumeLineFeed = !digits.empty() && std::stoul(digits, nullptr, 16) == '\n';
        return i_ > start;
      }
      case 'g': {
        // A back-reference "\g{N}" may match nothing, or what its group took, LF and all.
        if (!At('{')) return false;
        const size_t close = s_.find('}', i_);
        if (close == std::string_view::npos) return false;
        i_ = close + 1;
        item.maxLength = kLengthCap;
        item.mayConsumeLineFeed = true;
        return true;
      }
      default:
        return false;
    }
  }

  // Whether a member of a set, or a whole set, holds LF.
  enum class Holds { kNo, kYes, kMaybe };

  // "[...]": one byte, unless it names a collating element, which may be longer. Reads the
  // members as Boost does (a single byte, a range between two of them, a class) and sets
  // `mayConsumeLineFeed` unless the set certainly leaves LF out: a negated set that
  // certainly holds it, or a plain one every member of which certainly leaves it out.
  // Returns false for what it does not fully know (a collating element, an equivalence
  // class, an escape whose byte it cannot tell standing at a range's end).
  bool Set(bool& mayConsumeLineFeed) {
    size_t j = i_ + 1;
    const bool negated = j < s_.size() && s_[j] == '^';
    if (negated) ++j;
    const size_t membersStart = j;  // a "]" here is a member, not the end
    Holds holds = Holds::kNo;
    const auto add = [&holds](Holds member) {
      if (member == Holds::kYes || holds == Holds::kYes) {
        holds = Holds::kYes;
      } else if (member == Holds::kMaybe) {
        holds = Holds::kMaybe;
      }
    };
    for (;;) {
      if (j >= s_.size()) return false;
      const char c = s_[j];
      if (c == ']' && j != membersStart) break;
      if (c == '[' && j + 1 < s_.size() && (s_[j + 1] == '.' || s_[j + 1] == '=')) return false;
      if (c == '[' && j + 1 < s_.size() && s_[j + 1] == ':') {
        const size_t close = s_.find(":]", j + 2);
        if (close == std::string_view::npos) return false;
        Holds member;
        if (!ClassHolds(s_.substr(j + 2, close - j - 2), member)) return false;
        add(member);
        j = close + 2;
        continue;
      }
      if (c == '\\' && j + 1 < s_.size()) {
        // A class escape ("\d", "\S"...) is a member of its own, never a range's end.
        const Holds member = ClassEscapeHolds(s_[j + 1]);
        if (member != Holds::kMaybe) {
          add(member);
          j += 2;
          continue;
        }
      }
      int low = -1;
      if (!SetByte(j, low)) return false;
      int high = low;
      if (j + 1 < s_.size() && s_[j] == '-' && s_[j + 1] != ']') {
        ++j;
        if (s_[j] == '[' || !SetByte(j, high)) return false;
        if (low < 0 || high < 0) return false;  // a range between bytes it cannot tell
      }
      add(low < 0 ? Holds::kMaybe : low <= '\n' && '\n' <= high ? Holds::kYes : Holds::kNo);
    }
    i_ = j + 1;
    mayConsumeLineFeed = negated ? holds != Holds::kYes : holds != Holds::kNo;
    return true;
  }

  // Reads one byte of a set at `j` (a raw byte, or an escape that stands for one) and moves
  // `j` past it. `value` is the byte as Boost compares it in ranges (0..255), or -1 for an
  // escape whose byte it cannot tell. False for an escape Boost would refuse.
  bool SetByte(size_t& j, int& value) const {
    const auto c = static_cast<unsigned char>(s_[j]);
    if (c != '\\') {
      value = c;
      ++j;
      return true;
    }
    if (j + 1 >= s_.size()) return false;
    const auto e = static_cast<unsigned char>(s_[j + 1]);
    j += 2;
    value = -1;
    switch (e) {
      case 'a':
        value = 0x07;
        return true;
      case 'b':
        value = 0x08;
        return true;  // backspace inside a set
      case 'e':
        value = 0x1B;
        return true;
      case 'f':
        value = 0x0C;
        return true;
      case 'n':
        value = 0x0A;
        return true;
      case 'r':
        value = 0x0D;
        return true;
      case 't':
        value = 0x09;
        return true;
      case 'v':
        value = 0x0B;
        return true;
      case 'c':
        // "\cX": X modulo 32.
        if (j >= s_.size()) return false;
        value = static_cast<unsigned char>(s_[j++]) % 32;
        return true;
      case 'x': {
        // "\x{H...}" or "\xH", "\xHH".
        const bool braced = j < s_.size() && s_[j] == '{';
        if (braced) ++j;
        const size_t digits = j;
        unsigned long n = 0;
        while (j < s_.size() && HexDigitValue(s_[j]) >= 0 && (braced || j < digits + 2) &&
               n <= 0xFF) {
          n = n * 16 + static_cast<unsigned long>(HexDigitValue(s_[j++]));
        }
        if (j == digits || n > 0xFF) return false;
        if (braced) {
          if (j >= s_.size() || s_[j] != '}') return false;
          ++j;
        }
        value = static_cast<int>(n);
        return true;
      }
      case '0': {
        // "\0" and up to three octal digits.
        const size_t digits = j - 1;
        unsigned n = 0;
        while (j < s_.size() && j < digits + 4 && s_[j] >= '0' && s_[j] <= '7') {
          n = n * 8 + static_cast<unsigned>(s_[j] - '0');
          ++j;
        }
        if (n > 0xFF) return false;
        value = static_cast<int>(n);
        return true;
      }
      default:
        // Punctuation stands for itself; any other letter or digit may mean more than it
        // says (and may read more bytes after it), so nothing is derived.
        if ((e >= 0x20 && e <= 0x2F) || (e >= 0x3A && e <= 0x40) || (e >= 0x5B && e <= 0x60) ||
            (e >= 0x7B && e <= 0x7E)) {
          value = e;
          return true;
        }
        return false;
    }
  }

  // Whether the class escape "\e" in a set holds LF; kMaybe when "\e" is no class escape.
  static Holds ClassEscapeHolds(char e) {
    switch (e) {
      case 'd':
      case 'l':
      case 'S':
      case 'u':
      case 'w':
        return Holds::kNo;
      case 'D':
      case 'L':
      case 's':
      case 'U':
      case 'W':
        return Holds::kYes;
      default:
        return Holds::kMaybe;
    }
  }

  // Whether the class "[:name:]" (or "[:^name:]") holds LF; false for a name it does not
  // know.
  static bool ClassHolds(std::string_view name, Holds& holds) {
    const bool negated = !name.empty() && name[0] == '^';
    if (negated) name.remove_prefix(1);
    if (name == "space" || name == "cntrl") {
      holds = Holds::kYes;
    } else if (name == "unicode") {
      holds = Holds::kMaybe;
    } else {
      bool known = false;
      for (std::string_view without : {"alnum", "alpha", "blank", "digit", "graph", "lower",
                                       "print", "punct", "upper", "word", "xdigit"}) {
        known = known || name == without;
      }
      if (!known) return false;
      holds = Holds::kNo;
    }
    if (negated && holds != Holds::kMaybe) holds = holds == Holds::kYes ? Holds::kNo : Holds::kYes;
    return true;
  }

  bool Group(int depth, Item& item, std::vector<Item>& inner, bool& inlineable) {
    bool lookAround = false;
    if (s_.compare(i_, 3, "(?:") == 0) {
      i_ += 3;
    } else if (s_.compare(i_, 3, "(?=") == 0 || s_.compare(i_, 3, "(?!") == 0) {
      i_ += 3;
      lookAround = true;
    } else if (s_.compare(i_, 4, "(?<=") == 0 || s_.compare(i_, 4, "(?<!") == 0) {
      i_ += 4;
      lookAround = true;
    } else if (At('(') && s_.compare(i_, 2, "(?") != 0) {
      i_ += 1;
    } else {
      return false;
    }
    Alternatives group;
    if (!Alternation(depth + 1, group)) return false;
    if (!At(')')) return false;
    ++i_;
    if (lookAround) {
      item.zeroWidth = true;  // consumes nothing: none of its facts hold for the subject
      return true;
    }
    item.minLength = group.minLength;
    item.maxLength = group.maxLength;
    item.first = group.first;
    item.needles = std::move(group.needles);
    item.mayConsumeLineFeed = group.mayConsumeLineFeed;
    inlineable = group.single;
    inner = std::move(group.items);
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
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

Prefilter DerivePrefilter(const Expression& expression) {
  Prefilter facts;
  if (!IsValid(expression)) return facts;
  const std::string text = expression.str();
  Alternatives whole;
  if (!Reader(text).Whole(whole)) return facts;
  const bool ignoreCase = (expression.flags() & boost::regex::icase) != 0;
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

}  // namespace vortane
