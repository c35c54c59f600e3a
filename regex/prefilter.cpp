#include "regex/prefilter.h"

#include <algorithm>
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

bool IsAsciiLetter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

size_t Saturated(size_t n) {
  return std::min(n, kLengthCap);
}

// a × b, both at most kLengthCap, without overflow on any width of size_t.
size_t SaturatedProduct(size_t a, size_t b) {
  return b != 0 && a > kLengthCap / b ? kLengthCap : a * b;
}

// One step of a sequence, as far as the facts are concerned.
struct Item {
  size_t minLength = 0;    // least bytes it consumes
  int literal = -1;        // the byte, when it is one printable ASCII byte, not repeated
  bool zeroWidth = false;  // consumes nothing, ever (anchors, look-arounds)
  ByteSet first;           // if any: the bytes its first byte may be (a group's alternatives)
};

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

  // The whole text: its least length, the items of its only alternative (`single` false
  // when it has several) and the bytes its first byte may be.
  bool Whole(size_t& minLength, std::vector<Item>& items, bool& single, ByteSet& first) {
    if (!Alternation(0, minLength, items, single, first)) return false;
    return i_ == s_.size();
  }

 private:
  bool At(char c) const { return i_ < s_.size() && s_[i_] == c; }

  // Alternatives up to the end or an unmatched ")", which is left unread.
  bool Alternation(int depth, size_t& minLength, std::vector<Item>& items, bool& single,
                   ByteSet& first) {
    if (depth > kMaxDepth) return false;
    single = true;
    minLength = std::numeric_limits<size_t>::max();
    bool firstKnown = true;
    first.reset();
    for (;;) {
      std::vector<Item> sequence;
      if (!Sequence(depth, sequence)) return false;
      size_t length = 0;
      for (const Item& item : sequence) length = Saturated(length + item.minLength);
      minLength = std::min(minLength, length);
      const ByteSet firstOfSequence = FirstBytes(sequence);
      firstKnown = firstKnown && firstOfSequence.any();
      first = firstKnown ? first | firstOfSequence : ByteSet();
      if (!At('|')) {
        if (single) items = std::move(sequence);
        return true;
      }
      single = false;
      items.clear();
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
      bool repeated = false;
      if (!Repeat(least, repeated)) return false;
      if (repeated) {
        item.minLength = SaturatedProduct(item.minLength, least);
        item.literal = -1;
        item.first.reset();  // it may be repeated no times
        items.push_back(item);
      } else if (inlineable) {
        items.insert(items.end(), inner.begin(), inner.end());
      } else {
        items.push_back(item);
      }
    }
    return true;
  }

  // "*", "+", "?" or "{n}", "{n,}", "{n,m}", with an optional "?" or "+" after it.
  bool Repeat(size_t& least, bool& repeated) {
    if (i_ >= s_.size()) return true;
    const char c = s_[i_];
    if (c == '*' || c == '?') {
      least = 0;
    } else if (c == '+') {
      least = 1;
    } else if (c == '{') {
      size_t j = i_ + 1;
      size_t n = 0;
      const size_t digits = j;
      while (j < s_.size() && IsDigit(s_[j]))
        n = Saturated(SaturatedProduct(n, 10) + static_cast<size_t>(s_[j++] - '0'));
      if (j == digits) return false;
      if (j < s_.size() && s_[j] == ',') {
        ++j;
        while (j < s_.size() && IsDigit(s_[j])) ++j;
      }
      if (j >= s_.size() || s_[j] != '}') return false;
      i_ = j;
      least = n;
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
        item.minLength = 1;
        return Set();
      case '(':
        return Group(depth, item, inner, inlineable);
      case '^':
      case '$':
        item.zeroWidth = true;
        ++i_;
        return true;
      case '.':
        item.minLength = 1;
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
        item.minLength = 1;
        if (c >= 0x20 && c <= 0x7E) item.literal = c;
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
      item.minLength = 1;
      item.literal = e;
      return true;
    }
    switch (e) {
      case 'a':
      case 'd':
      case 'D':
      case 'e':
      case 'f':
      case 'l':
      case 'L':
      case 'n':
      case 'r':
      case 's':
      case 'S':
      case 't':
      case 'u':
      case 'U':
      case 'w':
      case 'W':
        item.minLength = 1;  // one byte of a class, or one control byte
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
        item.minLength = 1;
        return i_ > start;
      }
      case 'g': {
        // A back-reference "\g{N}" may match nothing.
        if (!At('{')) return false;
        const size_t close = s_.find('}', i_);
        if (close == std::string_view::npos) return false;
        i_ = close + 1;
        return true;
      }
      default:
        return false;
    }
  }

  // "[...]": one byte, unless it names a collating element, which may be longer.
  bool Set() {
    size_t j = i_ + 1;
    if (j < s_.size() && s_[j] == '^') ++j;
    if (j < s_.size() && s_[j] == ']') ++j;
    for (;;) {
      if (j >= s_.size()) return false;
      const char c = s_[j];
      if (c == ']') break;
      if (c == '\\') {
        j += 2;
        continue;
      }
      if (c == '[' && j + 1 < s_.size()) {
        const char kind = s_[j + 1];
        if (kind == '.' || kind == '=') return false;
        if (kind == ':') {
          const size_t close = s_.find(":]", j + 2);
          if (close != std::string_view::npos) {
            j = close + 2;
            continue;
          }
        }
      }
      ++j;
    }
    i_ = j + 1;
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
    size_t minLength = 0;
    bool single = false;
    if (!Alternation(depth + 1, minLength, inner, single, item.first)) return false;
    if (!At(')')) return false;
    ++i_;
    if (lookAround) {
      item.zeroWidth = true;
      item.first.reset();
      inner.clear();
      return true;
    }
    item.minLength = minLength;
    inlineable = single;
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

// Compares one pattern byte with one subject byte as the matcher's case folding might.
bool MayEqual(char pattern, char subject, bool ignoreCase) {
  if (pattern == subject) return true;
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

bool Prefilter::Starts(const char* at, const std::string& literal) const {
  if (!ignoreCase) return std::memcmp(at, literal.data(), literal.size()) == 0;
  for (size_t k = 0; k < literal.size(); ++k) {
    if (!MayEqual(literal[k], at[k], true)) return false;
  }
  return true;
}

bool Prefilter::NextAdmits(const char* first, size_t length) const {
  if (length <= prefix.size()) return false;
  const auto byte = static_cast<unsigned char>(first[prefix.size()]);
  if (byte >= 0x80) return ignoreCase;  // a locale may fold it onto an ASCII byte
  return next.test(byte);
}

Prefilter DerivePrefilter(const Expression& expression) {
  Prefilter facts;
  if (!IsValid(expression)) return facts;
  const std::string text = expression.str();
  size_t minLength = 0;
  std::vector<Item> items;
  bool single = false;
  ByteSet first;
  if (!Reader(text).Whole(minLength, items, single, first)) return facts;
  facts.minLength = minLength;
  facts.ignoreCase = (expression.flags() & boost::regex::icase) != 0;
  if (!single) {
    facts.next = FoldedIfIgnoringCase(first, facts.ignoreCase);
    return facts;
  }
  // Zero-width items consume nothing, so the literals around them are consumed back to back.
  for (const Item& item : items) {
    if (item.zeroWidth) continue;
    if (item.literal < 0) {
      facts.next = FoldedIfIgnoringCase(item.first, facts.ignoreCase);
      break;
    }
    facts.prefix += static_cast<char>(item.literal);
  }
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    if (it->zeroWidth) continue;
    if (it->literal < 0) break;
    facts.suffix += static_cast<char>(it->literal);
  }
  std::reverse(facts.suffix.begin(), facts.suffix.end());
  return facts;
}

}  // namespace vortane
