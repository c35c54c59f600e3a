#include "regex/pattern_tree.h"

#include <algorithm>
#include <iterator>

#include "base/text.h"
#include "regex/expression.h"

namespace vortane {
namespace {

using Kind = PatternNode::Kind;

// Replacements for constructs whose Boost meaning differs from the dialect's.
constexpr std::string_view kAnyButLineBreak = "[^\\n\\r]";
constexpr std::string_view kAnyByte = "[\\s\\S]";
constexpr std::string_view kStartOfLine = "^(?<!\\x0c)";  // Boost's "^" also follows FF
constexpr std::string_view kEndOfLine = "$(?!\\x0c)";     // Boost's "$" also precedes FF
constexpr std::string_view kSoftEnd = "(?=[\\n\\r]*\\z)";
constexpr std::string_view kInsideWord = "(?<=\\w)(?=\\w)";
constexpr std::string_view kBlankBytes = " \\t";  // inside a set: space and tab

constexpr std::string_view kClassNames[] = {"alnum", "alpha",  "blank", "cntrl",  "digit",
                                            "graph", "lower",  "print", "punct",  "space",
                                            "upper", "xdigit", "word",  "unicode"};

// Letters that keep Boost's meaning after a backslash; any other letter stands for itself.
constexpr std::string_view kMeaningfulLetters = "abBcCdDeEfGlLnQrsStuUvwWxXzZA";
// After a backslash: a class of bytes, and an assertion.
constexpr std::string_view kClassLetters = "dDsSwWlLuU";
constexpr std::string_view kAssertionLetters = "bAzG<>`'";

// The compiler refuses groups nested this deep or deeper; refusing them here bounds the
// depth of every walk over the tree.
constexpr size_t kMaxOpenGroups = 400;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsRepeat(char c) {
  return c == '*' || c == '+' || c == '?' || c == '{';
}
bool Has(std::string_view letters, char c) {
  return letters.find(c) != std::string_view::npos;
}
// Printable punctuation and space: after a backslash, the byte itself.
bool IsPunctuation(unsigned char e) {
  return (e >= 0x20 && e <= 0x2F) || (e >= 0x3A && e <= 0x40) || (e >= 0x5B && e <= 0x60) ||
         (e >= 0x7B && e <= 0x7E);
}

void AppendHexByte(std::string& out, unsigned byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[(byte >> 4) & 0xF];
  out += kHex[byte & 0xF];
}

// "\" + `e` where the dialect and Boost agree, except for letters: "\v" is VT, and a letter
// without a meaning stands for itself.
void AppendEscapedLetterOrByte(std::string& out, char e) {
  if (e == 'v') {
    AppendHexByte(out, 0x0B);
  } else if (IsLetter(e) && !Has(kMeaningfulLetters, e)) {
    out += e;
  } else {
    out += '\\';
    out += e;
  }
}

// The byte "\" + `e` stands for, outside a set and inside; -1 when it is none known here.
int EscapedByte(char e) {
  switch (e) {
    case 'a':
      return 0x07;
    case 'e':
      return 0x1B;
    case 'f':
      return 0x0C;
    case 'n':
      return 0x0A;
    case 'r':
      return 0x0D;
    case 't':
      return 0x09;
    case 'v':
      return 0x0B;
    default:
      break;
  }
  const auto u = static_cast<unsigned char>(e);
  if (IsPunctuation(u) || (IsLetter(e) && !Has(kMeaningfulLetters, e))) return u;
  return -1;
}

// One left-to-right pass over the pattern, token by token, building the tree. The checks and
// their order are those that decide which fault a pattern with several is refused for.
class Parser {
 public:
  explicit Parser(std::string_view pattern) : p_(pattern) {
    tree_.size = pattern.size();
    frames_.push_back(Frame{});
  }

  PatternTree Run() {
    if (p_.empty()) Reject("empty pattern");
    while (i_ < p_.size()) {
      const char c = p_[i_];
      // Every alternative must hold something. Boost refuses some empty ones on its own
      // but accepts others ("a||b", "(?!|a)"), so all of them are refused here.
      if ((c == '|' && edge_ != Edge::kContent) || (c == ')' && edge_ == Edge::kBar)) {
        Reject("empty alternative");
      }
      token_ = i_;
      // A token that means nothing (a comment, an empty quote) leaves the edge as it was.
      if (Token()) edge_ = c == '|' ? Edge::kBar : c == '(' ? Edge::kGroupStart : Edge::kContent;
    }
    token_ = p_.size();
    if (edge_ == Edge::kBar) Reject("empty alternative");
    if (frames_.size() > 1) {
      token_ = frames_.back().openAt;  // the innermost group left open
      Reject("unmatched (");
    }
    tree_.root = Body(frames_.back(), 0, p_.size());
    return std::move(tree_);
  }

 private:
  // An open group (or the whole pattern): its alternatives so far.
  struct Frame {
    std::vector<std::vector<size_t>> alternatives{{}};
    std::vector<size_t> bars;  // where each "|" stands
    size_t openAt = 0;
    size_t bodyStart = 0;
    PatternNode::Group group = PatternNode::Group::kCapture;
    unsigned number = 0;
  };

  // What the pattern read so far ends with, as far as alternatives are concerned.
  enum class Edge {
    kGroupStart,  // the start of the pattern or of a group: no alternative begun yet
    kBar,         // a "|": the alternative after it is still empty
    kContent,     // something that matches or asserts
  };

  // Refuses the pattern; the error's position() is where the token being read starts (the
  // pattern's end for what only its end reveals).
  [[noreturn]] void Reject(const char* why) const {
    throw bad_expression(why, boost::regex_constants::error_unknown,
                         static_cast<std::ptrdiff_t>(token_));
  }

  bool At(size_t j, char c) const { return j < p_.size() && p_[j] == c; }
  bool RepeatAt(size_t j) const { return j < p_.size() && IsRepeat(p_[j]); }

  size_t NewNode(Kind kind, size_t offset, size_t end) {
    PatternNode node;
    node.kind = kind;
    node.offset = offset;
    node.end = end;
    tree_.nodes.push_back(std::move(node));
    return tree_.nodes.size() - 1;
  }
  PatternNode& Node(size_t index) { return tree_.nodes[index]; }
  std::vector<size_t>& Current() { return frames_.back().alternatives.back(); }

  // Adds a node for [token_, end) and moves past it.
  PatternNode& Add(Kind kind, size_t end) {
    const size_t index = NewNode(kind, token_, end);
    Current().push_back(index);
    i_ = end;
    return Node(index);
  }

  // The node of a frame's alternatives [start, end): one concatenation, or an alternation.
  size_t Body(Frame& frame, size_t start, size_t end) {
    std::vector<size_t> concatenations;
    for (size_t k = 0; k < frame.alternatives.size(); ++k) {
      const size_t from = k == 0 ? start : frame.bars[k - 1] + 1;
      const size_t to = k < frame.bars.size() ? frame.bars[k] : end;
      const size_t index = NewNode(Kind::kConcatenation, from, to);
      Node(index).children = std::move(frame.alternatives[k]);
      concatenations.push_back(index);
    }
    if (concatenations.size() == 1) return concatenations.front();
    const size_t index = NewNode(Kind::kAlternation, start, end);
    Node(index).children = std::move(concatenations);
    return index;
  }

  // Reads one token; false when it means nothing.
  bool Token() {
    const char c = p_[i_];
    switch (c) {
      case '\\':
        return Escape();
      case '[':
        Set();
        return true;
      case '(':
        return OpenGroup();
      case ')':
        CloseGroup();
        return true;
      case '{':
        Interval();
        return true;
      case '}':
        Reject("} closes no interval");
      case '*':
      case '+':
      case '?':
        AddRepeat(c == '+' ? 1 : 0, c == '?' ? 1 : PatternNode::kUnbounded, i_ + 1);
        return true;
      case '|':
        frames_.back().bars.push_back(i_);
        frames_.back().alternatives.emplace_back();
        ++i_;
        return true;
      case '.':
        Add(Kind::kAnyButLineBreak, i_ + 1).letter = '.';
        return true;
      case '^':
      case '$':
        Add(Kind::kAssertion, i_ + 1).letter = c;
        return true;
      default: {
        PatternNode& node = Add(Kind::kLiteral, i_ + 1);
        node.byte = static_cast<unsigned char>(c);
        return true;
      }
    }
  }

  // A repeat of the node before it (if any) whose operator ends at `end`, with its optional
  // non-greedy "?"; nothing may repeat it again.
  void AddRepeat(size_t least, size_t most, size_t end) {
    std::vector<size_t>& current = Current();
    size_t child = PatternNode::kNone;
    if (!current.empty()) {
      child = current.back();
      current.pop_back();
    }
    if (At(end, '?')) ++end;
    PatternNode& node = Add(Kind::kRepeat, end);
    node.least = least;
    node.most = most;
    node.text = std::string(p_.substr(token_, end - token_));
    if (child != PatternNode::kNone) node.children.push_back(child);
    if (RepeatAt(i_)) {
      token_ = i_;  // the second repeat is the mistake
      Reject(p_[i_] == '+' ? "possessive repeat" : "repeat of a repeat");
    }
  }

  // A decimal count of an interval, saturating far above anything a subject could hold.
  static size_t Count(std::string_view digits) {
    size_t n = 0;
    for (const char d : digits)
      n = std::min<size_t>(n * 10 + static_cast<size_t>(d - '0'), 1u << 30);
    return n;
  }

  void Interval() {
    size_t j = i_ + 1;
    const size_t digitsStart = j;
    while (j < p_.size() && IsDigit(p_[j])) ++j;
    if (j == digitsStart) Reject("malformed interval");
    const size_t least = Count(p_.substr(digitsStart, j - digitsStart));
    size_t most = least;
    if (At(j, ',')) {
      const size_t mostStart = ++j;
      while (j < p_.size() && IsDigit(p_[j])) ++j;
      most = j == mostStart ? PatternNode::kUnbounded : Count(p_.substr(mostStart, j - mostStart));
    }
    if (!At(j, '}')) Reject("malformed interval");
    AddRepeat(least, most, j + 1);
  }

  bool OpenGroup() {
    if (At(i_ + 1, '*')) Reject("nothing to repeat");
    Frame frame;
    frame.openAt = token_;
    if (!At(i_ + 1, '?')) {
      frame.group = PatternNode::Group::kCapture;
      frame.number = ++tree_.groupCount;
      closed_.resize(tree_.groupCount + 1, false);
      i_ += 1;
    } else {
      const char kind = i_ + 2 < p_.size() ? p_[i_ + 2] : '\0';
      if (kind == '#') {
        const size_t close = p_.find(')', i_ + 3);
        if (close == std::string_view::npos) Reject("unclosed comment");
        Add(Kind::kNothing, close + 1);  // a comment means nothing
        return false;
      }
      if (kind != ':' && kind != '=' && kind != '!') Reject("unsupported group form");
      frame.group = kind == ':'   ? PatternNode::Group::kNonCapture
                    : kind == '=' ? PatternNode::Group::kLookAhead
                                  : PatternNode::Group::kNegativeLookAhead;
      i_ += 3;
    }
    if (frames_.size() > kMaxOpenGroups) Reject("Exceeded nested brace limit.");
    frame.bodyStart = i_;
    frames_.push_back(std::move(frame));
    return true;
  }

  void CloseGroup() {
    if (frames_.size() == 1) Reject("unmatched )");
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frame.number != 0) closed_[frame.number] = true;
    const size_t body = Body(frame, frame.bodyStart, i_);
    token_ = frame.openAt;
    PatternNode& node = Add(Kind::kGroup, i_ + 1);
    node.group = frame.group;
    node.number = frame.number;
    node.children.push_back(body);
  }

  void Set() {
    const size_t index = NewNode(Kind::kSet, token_, token_);
    std::vector<SetMember> atoms;
    // Whether each atom is a raw "-", which may join the atoms around it into a range.
    std::vector<bool> dash;
    const auto atom = [&](SetMember::Kind kind, size_t at, std::string text, int byte) {
      SetMember m;
      m.kind = kind;
      m.low = m.high = byte;
      m.offset = at;
      m.text = std::move(text);
      atoms.push_back(std::move(m));
      dash.push_back(false);
    };
    const auto raw = [&](size_t at) {
      atom(SetMember::Kind::kBytes, at, std::string(1, p_[at]), static_cast<unsigned char>(p_[at]));
      dash.back() = p_[at] == '-';
    };
    size_t j = i_ + 1;
    bool negated = false;
    if (At(j, '^')) {
      negated = true;
      ++j;
    }
    if (At(j, ']')) raw(j++);
    for (;;) {
      if (j >= p_.size()) Reject("unmatched [");
      const char c = p_[j];
      if (c == ']') break;
      if (c == '\\' && j + 1 < p_.size()) {
        j = SetEscape(j, atom);
        continue;
      }
      if (c == '[' && j + 1 < p_.size() &&
          (p_[j + 1] == ':' || p_[j + 1] == '.' || p_[j + 1] == '=')) {
        const char kind = p_[j + 1];
        const size_t close = FindClosing(kind, j + 2);
        if (close != std::string_view::npos) {
          const std::string_view name = p_.substr(j + 2, close - j - 2);
          const std::string text(p_.substr(j, close + 2 - j));
          if (kind == ':') {
            CheckClassName(name);
            if (name == "blank") {
              // Written out as its bytes (Boost's class also holds VT), so a range must not
              // touch it: Boost refuses a class at either end of a range.
              token_ = j;
              if (!dash.empty() && dash.back() && atoms.size() > 1) Reject("range to a class");
              if (At(close + 2, '-') && !At(close + 3, ']')) Reject("range from a class");
              token_ = i_;
            }
            atom(SetMember::Kind::kClass, j, name == "blank" ? std::string(kBlankBytes) : text, -1);
            atoms.back().name = std::string(name);
          } else {
            atom(SetMember::Kind::kUnknown, j, text, -1);
          }
          j = close + 2;
          continue;
        }
        // A "[" that Boost may read as the start of a class or element it cannot close.
        atom(SetMember::Kind::kUnknown, j, "[", -1);
        ++j;
        continue;
      }
      raw(j++);
    }
    i_ = j + 1;
    PatternNode& node = Node(index);
    node.negated = negated;
    node.end = i_;
    node.members = Ranges(std::move(atoms), dash);
    Current().push_back(index);
  }

  // Where the "]" after `kind` (":", "." or "=") closes what "[" + `kind` opened at `from`;
  // npos for none. A search that found none is remembered, so that a run of "[:" stays
  // linear.
  size_t FindClosing(char kind, size_t from) {
    size_t& none = unclosedFrom_[kind == ':' ? 0 : kind == '.' ? 1 : 2];
    if (from >= none) return std::string_view::npos;
    const char closing[] = {kind, ']'};
    const size_t close = p_.find(std::string_view(closing, 2), from);
    if (close == std::string_view::npos) none = from;
    return close;
  }

  // Reads "\" + escape at `j` in a set into an atom; returns where the set goes on.
  template <typename Atom>
  size_t SetEscape(size_t j, const Atom& atom) {
    const char e = p_[j + 1];
    std::string text;
    if (Has(kClassLetters, e)) {
      text = {'\\', e};
      atom(SetMember::Kind::kClassEscape, j, text, -1);
      return j + 2;
    }
    if (e == 'c') {
      // "\cX" is the byte X - 0x40 in a set as outside one (Boost alone would take X mod 32).
      token_ = j;
      if (j + 2 >= p_.size()) Reject("\\c at the end");
      const auto x = static_cast<unsigned char>(p_[j + 2]);
      if (x < 0x40 || x > 0x7F) Reject("bad \\c escape");
      token_ = i_;
      AppendHexByte(text, x - 0x40u);
      atom(SetMember::Kind::kBytes, j, text, static_cast<int>(x - 0x40u));
      return j + 3;
    }
    if (e == 'x') {
      // "\xH", "\xHH" or "\x{...}", copied for Boost to judge; the value when it is clear.
      size_t k = j + 2;
      int value = -1;
      const bool braced = At(k, '{');
      if (braced) ++k;
      const size_t digits = k;
      int n = 0;
      while (k < p_.size() && HexDigitValue(p_[k]) >= 0 && (braced || k < digits + 2) &&
             n <= 0xFF) {
        n = n * 16 + HexDigitValue(p_[k++]);
      }
      const bool closed = !braced || At(k, '}');
      if (braced && closed) ++k;
      if (k > digits + (braced ? 1 : 0) && closed && n <= 0xFF) value = n;
      atom(value < 0 ? SetMember::Kind::kUnknown : SetMember::Kind::kBytes, j,
           std::string(p_.substr(j, k - j)), value);
      return k;
    }
    if (e == '0') {
      // "\0" and up to three octal digits.
      size_t k = j + 2;
      int value = 0;
      while (k < p_.size() && k < j + 5 && p_[k] >= '0' && p_[k] <= '7') {
        value = value * 8 + (p_[k++] - '0');
      }
      atom(value > 0xFF ? SetMember::Kind::kUnknown : SetMember::Kind::kBytes, j,
           std::string(p_.substr(j, k - j)), value > 0xFF ? -1 : value);
      return k;
    }
    AppendEscapedLetterOrByte(text, e);
    // "\b" in a set is the backspace byte.
    const int value = e == 'b' ? 0x08 : EscapedByte(e);
    atom(value < 0 ? SetMember::Kind::kUnknown : SetMember::Kind::kBytes, j, text, value);
    return j + 2;
  }
  // Joins byte atoms around a raw "-" into ranges, as Boost reads a set.
  static std::vector<SetMember> Ranges(std::vector<SetMember> atoms,
                                       const std::vector<bool>& dash) {
    std::vector<SetMember> members;
    for (size_t k = 0; k < atoms.size(); ++k) {
      SetMember m = std::move(atoms[k]);
      if (m.kind == SetMember::Kind::kClassEscape) m.name = std::string(1, m.text[1]);
      if (k + 2 < atoms.size() && dash[k + 1] && m.kind != SetMember::Kind::kClass &&
          m.kind != SetMember::Kind::kClassEscape) {
        const SetMember& high = atoms[k + 2];
        const bool known = m.kind == SetMember::Kind::kBytes && m.low >= 0 &&
                           high.kind == SetMember::Kind::kBytes && high.low >= 0 &&
                           high.text != "[";
        m.text += atoms[k + 1].text + high.text;
        if (known) {
          m.high = high.low;
        } else {
          m.kind = SetMember::Kind::kUnknown;
        }
        k += 2;
      }
      members.push_back(std::move(m));
    }
    return members;
  }

  void CheckClassName(std::string_view name) const {
    if (std::find(std::begin(kClassNames), std::end(kClassNames), name) == std::end(kClassNames)) {
      Reject("unknown class name");
    }
  }

  // Returns whether the escape means something (an empty quote does not).
  bool Escape() {
    if (i_ + 1 == p_.size()) Reject("trailing backslash");
    const char e = p_[i_ + 1];
    if (e >= '1' && e <= '9') {
      // One digit, to a group that is already closed.
      const auto group = static_cast<unsigned>(e - '0');
      if (group > tree_.groupCount || !closed_[group]) Reject("back-reference to an open group");
      Add(Kind::kBackReference, i_ + 2).number = group;
      return true;
    }
    switch (e) {
      case 'Q': {
        const size_t end = p_.find("\\E", i_ + 2);
        if (end == std::string_view::npos) Reject("\\Q without \\E");
        if (end == i_ + 2) {
          Add(Kind::kNothing, end + 2);  // "\Q\E" means nothing
          return false;
        }
        Add(Kind::kQuote, end + 2).text = std::string(p_.substr(i_, end + 2 - i_));
        return true;
      }
      case 'c': {
        if (i_ + 2 >= p_.size()) Reject("\\c at the end");
        const auto x = static_cast<unsigned char>(p_[i_ + 2]);
        if (x < 0x40 || x > 0x7F) Reject("bad \\c escape");
        Add(Kind::kControl, i_ + 3).byte = static_cast<int>(x - 0x40u);
        return true;
      }
      case 'x':
        HexEscape();
        return true;
      case 'C':
        Add(Kind::kAnyButLineBreak, i_ + 2).letter = 'C';
        return true;
      case 'X':
        Add(Kind::kAnyByte, i_ + 2).letter = 'X';
        return true;
      default:
        break;
    }
    const Kind kind = Has(kClassLetters, e)                               ? Kind::kClassEscape
                      : Has(kAssertionLetters, e) || e == 'Z' || e == 'B' ? Kind::kAssertion
                                                                          : Kind::kEscape;
    PatternNode& node = Add(kind, i_ + 2);
    node.letter = e;
    if (kind == Kind::kEscape) node.byte = EscapedByte(e);
    return true;
  }

  // "\xHH" (one or two digits) or "\x{...}"; Boost judges the digits inside braces.
  void HexEscape() {
    size_t j = i_ + 2;
    int value = -1;
    if (At(j, '{')) {
      const size_t close = p_.find('}', j);
      if (close == std::string_view::npos) Reject("\\x{ without }");
      j = close + 1;
    } else {
      value = 0;
      while (j < p_.size() && j < i_ + 4 && HexDigitValue(p_[j]) >= 0) {
        value = value * 16 + HexDigitValue(p_[j++]);
      }
      if (j == i_ + 2) Reject("\\x without digits");
    }
    PatternNode& node = Add(Kind::kHex, j);
    node.text = std::string(p_.substr(token_, j - token_));
    node.byte = value;
  }

  std::string_view p_;
  size_t i_ = 0;
  size_t token_ = 0;  // where the token being read starts
  Edge edge_ = Edge::kGroupStart;
  PatternTree tree_;
  std::vector<Frame> frames_;  // the whole pattern, then each open group
  std::vector<bool> closed_;   // by capture number
  size_t unclosedFrom_[3] = {std::string_view::npos, std::string_view::npos,
                             std::string_view::npos};
};

// Writes the Boost pattern for a tree.
class Emitter {
 public:
  explicit Emitter(const PatternTree& tree) : tree_(tree) { out_.reserve(tree.size + 16); }

  std::string Run() {
    Emit(tree_.root, false);
    return std::move(out_);
  }

 private:
  bool IsRawLineFeed(size_t index) const {
    const PatternNode& node = tree_[index];
    return node.kind == Kind::kLiteral && node.byte == '\n';
  }

  // `repeated`: the node is the child of a repeat, where Boost's own anchors are kept (the
  // pattern is refused anyway, or the anchor can only be tried where it means the same).
  // `before`/`after`: the neighbours in its concatenation, kNone at an end.
  void Emit(size_t index, bool repeated, size_t before = PatternNode::kNone,
            size_t after = PatternNode::kNone) {
    const PatternNode& node = tree_[index];
    switch (node.kind) {
      case Kind::kNothing:
        return;
      case Kind::kLiteral:
        out_ += static_cast<char>(node.byte);
        return;
      case Kind::kEscape:
        return AppendEscapedLetterOrByte(out_, node.letter);
      case Kind::kControl:
        return AppendHexByte(out_, static_cast<unsigned>(node.byte));
      case Kind::kHex:
      case Kind::kQuote:
        out_ += node.text;
        return;
      case Kind::kClassEscape:
        out_ += '\\';
        out_ += node.letter;
        return;
      case Kind::kAnyButLineBreak:
        out_ += kAnyButLineBreak;
        return;
      case Kind::kAnyByte:
        out_ += kAnyByte;
        return;
      case Kind::kAssertion:
        return Assertion(node, repeated, before, after);
      case Kind::kBackReference:
        out_ += "\\g{";
        out_ += static_cast<char>('0' + node.number);
        out_ += '}';
        return;
      case Kind::kSet:
        out_ += node.negated ? "[^" : "[";
        for (const SetMember& m : node.members) out_ += m.text;
        out_ += ']';
        return;
      case Kind::kGroup:
        out_ += node.group == PatternNode::Group::kCapture      ? "("
                : node.group == PatternNode::Group::kNonCapture ? "(?:"
                : node.group == PatternNode::Group::kLookAhead  ? "(?="
                                                                : "(?!";
        Emit(node.children.front(), false);
        out_ += ')';
        return;
      case Kind::kAlternation:
        for (size_t k = 0; k < node.children.size(); ++k) {
          if (k > 0) out_ += '|';
          Emit(node.children[k], false);
        }
        return;
      case Kind::kConcatenation:
        for (size_t k = 0; k < node.children.size(); ++k) {
          Emit(node.children[k], false, k == 0 ? PatternNode::kNone : node.children[k - 1],
               k + 1 == node.children.size() ? PatternNode::kNone : node.children[k + 1]);
        }
        return;
      case Kind::kRepeat:
        if (!node.children.empty()) Emit(node.children.front(), true, before, after);
        out_ += node.text;
        return;
    }
  }

  void Assertion(const PatternNode& node, bool repeated, size_t before, size_t after) {
    switch (node.letter) {
      case '^': {
        // At the start of the pattern, or right after a literal LF, "^" can only be tried
        // where no FF precedes, so Boost's own "^" means the same there.
        const bool plain =
            node.offset == 0 || repeated || (before != PatternNode::kNone && IsRawLineFeed(before));
        out_ += plain ? std::string_view("^") : kStartOfLine;
        return;
      }
      case '$': {
        // At the end of a whole-subject match, or before a literal LF, no FF can follow.
        const bool plain = node.end == tree_.size || repeated ||
                           (after != PatternNode::kNone && IsRawLineFeed(after));
        out_ += plain ? std::string_view("$") : kEndOfLine;
        return;
      }
      case 'Z':
        out_ += repeated ? std::string_view("\\Z") : kSoftEnd;
        return;
      case 'B':
        out_ += repeated ? std::string_view("\\B") : kInsideWord;
        return;
      default:
        out_ += '\\';
        out_ += node.letter;
        return;
    }
  }

  const PatternTree& tree_;
  std::string out_;
};

// Whether a repeat goes on without bound.
bool Unbounded(const PatternNode& node) {
  return node.kind == Kind::kRepeat && node.most == PatternNode::kUnbounded;
}

class Analyser {
 public:
  explicit Analyser(const PatternTree& tree) : tree_(tree) {}

  PatternWarnings Run() {
    const PatternNode& root = tree_.Root();
    if (root.kind == Kind::kAlternation) w_.topLevelBar = tree_[root.children.front()].end;
    Visit(tree_.root);
    return w_;
  }

 private:
  // A letter or digit written as itself.
  bool IsWordLiteral(size_t index) const {
    const PatternNode& node = tree_[index];
    return node.kind == Kind::kLiteral && node.byte >= 0 &&
           (IsAsciiLetter(static_cast<unsigned char>(node.byte)) ||
            IsDigit(static_cast<char>(node.byte)));
  }

  // The runs of letters and digits among a concatenation's children.
  void NoteLiterals(const PatternNode& concatenation) {
    const std::vector<size_t>& children = concatenation.children;
    for (size_t i = 0; i < children.size();) {
      size_t run = 0;
      while (i + run < children.size() && IsWordLiteral(children[i + run])) ++run;
      if (run > w_.literalLength ||
          (run == w_.literalLength && run > 0 && tree_[children[i]].offset < w_.literal)) {
        w_.literal = tree_[children[i]].offset;
        w_.literalLength = run;
      }
      i += run > 0 ? run : 1;
    }
  }

  // Returns whether the node holds a repeat without bound.
  bool Visit(size_t index) {
    const PatternNode& node = tree_[index];
    bool unbounded = Unbounded(node) && !node.children.empty();
    if (node.kind == Kind::kConcatenation && negativeDepth_ == 0) NoteLiterals(node);
    const bool negative =
        node.kind == Kind::kGroup && node.group == PatternNode::Group::kNegativeLookAhead;
    negativeDepth_ += negative ? 1 : 0;
    unbounded = VisitChildren(node, unbounded);
    negativeDepth_ -= negative ? 1 : 0;
    return unbounded;
  }

  bool VisitChildren(const PatternNode& node, bool unbounded) {
    switch (node.kind) {
      case Kind::kClassEscape:
        if (node.letter == 'l' || node.letter == 'u' || node.letter == 'L' || node.letter == 'U') {
          Note(w_.caseClass, node.offset);
        }
        break;
      case Kind::kSet:
        for (const SetMember& m : node.members) {
          if (m.kind == SetMember::Kind::kClass && (m.name == "lower" || m.name == "upper")) {
            Note(w_.caseClass, m.offset);
          }
        }
        break;
      case Kind::kRepeat:
        if (!node.children.empty()) {
          const size_t child = node.children.front();
          const bool inner = Visit(child);
          if (unbounded && inner && tree_[child].kind == Kind::kGroup) {
            Note(w_.nestedRepeat, tree_[child].offset);
          }
        }
        break;
      default:
        for (const size_t child : node.children) unbounded = Visit(child) || unbounded;
        break;
    }
    return unbounded;
  }

  static void Note(size_t& at, size_t offset) { at = std::min(at, offset); }

  const PatternTree& tree_;
  PatternWarnings w_;
  int negativeDepth_ = 0;  // how many negative look-aheads enclose the node visited
};

}  // namespace

PatternTree ParsePattern(std::string_view pattern) {
  return Parser(pattern).Run();
}

std::string EmitBoostPattern(const PatternTree& tree) {
  return Emitter(tree).Run();
}

PatternWarnings AnalysePattern(std::string_view pattern) {
  try {
    return Analyser(ParsePattern(pattern)).Run();
  } catch (const bad_expression&) {
    return PatternWarnings();
  }
}

}  // namespace vortane
