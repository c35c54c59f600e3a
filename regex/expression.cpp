#include "regex/expression.h"

#include "base/text.h"

#include <algorithm>
#include <vector>

namespace vortane {
namespace {

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

bool IsRepeat(char c) {
  return c == '*' || c == '+' || c == '?' || c == '{';
}

void AppendHexByte(std::string& out, unsigned byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[(byte >> 4) & 0xF];
  out += kHex[byte & 0xF];
}

// One left-to-right pass over the pattern. Each token is copied, rewritten or rejected.
class Translator {
 public:
  explicit Translator(std::string_view pattern) : p_(pattern) { out_.reserve(pattern.size() + 16); }

  std::string Run() {
    if (p_.empty()) Reject("empty pattern");
    while (i_ < p_.size()) {
      const char c = p_[i_];
      // Every alternative must hold something. Boost refuses some empty ones on its own
      // but accepts others ("a||b", "(?!|a)"), so all of them are refused here.
      if ((c == '|' && edge_ != Edge::kContent) || (c == ')' && edge_ == Edge::kBar)) {
        Reject("empty alternative");
      }
      const size_t written = out_.size();
      token_ = i_;
      Token();
      afterRawLineFeed_ = c == '\n';
      // A token that writes nothing (a comment, an empty quote) leaves the edge as it was.
      if (out_.size() != written) {
        edge_ = c == '|' ? Edge::kBar : c == '(' ? Edge::kGroupStart : Edge::kContent;
      }
    }
    token_ = p_.size();
    if (edge_ == Edge::kBar) Reject("empty alternative");
    if (!openGroups_.empty()) {
      token_ = openAt_.back();  // the innermost group left open
      Reject("unmatched (");
    }
    return std::move(out_);
  }

 private:
  // Refuses the pattern; the error's position() is where the token being read starts (the
  // pattern's end for what only its end reveals).
  [[noreturn]] void Reject(const char* why) const {
    throw bad_expression(why, boost::regex_constants::error_unknown,
                         static_cast<std::ptrdiff_t>(token_));
  }

  bool At(size_t j, char c) const { return j < p_.size() && p_[j] == c; }
  bool RepeatAt(size_t j) const { return j < p_.size() && IsRepeat(p_[j]); }

  void Token() {
    const char c = p_[i_];
    switch (c) {
      case '\\':
        return Escape();
      case '[':
        return Set();
      case '(':
        return OpenGroup();
      case ')':
        return CloseGroup();
      case '{':
        return Interval();
      case '}':
        Reject("} closes no interval");
      case '*':
      case '+':
      case '?':
        out_ += c;
        ++i_;
        return AfterRepeat();
      case '.':
        out_ += kAnyButLineBreak;
        ++i_;
        return;
      case '^': {
        // At the start of the pattern, or right after a literal LF, "^" can only be tried
        // where no FF precedes, so Boost's own "^" means the same there.
        const bool plain = i_ == 0 || afterRawLineFeed_ || RepeatAt(i_ + 1);
        out_ += plain ? std::string_view("^") : kStartOfLine;
        ++i_;
        return;
      }
      case '$': {
        // At the end of a whole-subject match, or before a literal LF, no FF can follow.
        const size_t next = i_ + 1;
        const bool plain =
            next == p_.size() || RepeatAt(next) || (At(next, '\n') && !RepeatAt(next + 1));
        out_ += plain ? std::string_view("$") : kEndOfLine;
        ++i_;
        return;
      }
      default:
        out_ += c;
        ++i_;
        return;
    }
  }

  // After a repeat and its optional non-greedy "?": nothing may repeat it again.
  void AfterRepeat() {
    if (At(i_, '?')) {
      out_ += '?';
      ++i_;
    }
    if (RepeatAt(i_)) {
      token_ = i_;  // the second repeat is the mistake
      Reject(p_[i_] == '+' ? "possessive repeat" : "repeat of a repeat");
    }
  }

  void Interval() {
    size_t j = i_ + 1;
    const size_t digitsStart = j;
    while (j < p_.size() && IsDigit(p_[j])) ++j;
    if (j == digitsStart) Reject("malformed interval");
    if (At(j, ',')) {
      ++j;
      while (j < p_.size() && IsDigit(p_[j])) ++j;
    }
    if (!At(j, '}')) Reject("malformed interval");
    out_.append(p_.substr(i_, j + 1 - i_));
    i_ = j + 1;
    AfterRepeat();
  }

  void OpenGroup() {
    if (At(i_ + 1, '*')) Reject("nothing to repeat");
    if (!At(i_ + 1, '?')) {
      out_ += '(';
      ++i_;
      openGroups_.push_back(++groupCount_);
      openAt_.push_back(token_);
      closed_.resize(groupCount_ + 1, false);
      return;
    }
    const char kind = i_ + 2 < p_.size() ? p_[i_ + 2] : '\0';
    if (kind == '#') {
      const size_t close = p_.find(')', i_ + 3);
      if (close == std::string_view::npos) Reject("unclosed comment");
      i_ = close + 1;  // a comment means nothing: leave it out
      return;
    }
    if (kind != ':' && kind != '=' && kind != '!') Reject("unsupported group form");
    out_.append(p_.substr(i_, 3));
    i_ += 3;
    openGroups_.push_back(0);
    openAt_.push_back(token_);
  }

  void CloseGroup() {
    if (openGroups_.empty()) Reject("unmatched )");
    if (openGroups_.back() != 0) closed_[openGroups_.back()] = true;
    openGroups_.pop_back();
    openAt_.pop_back();
    out_ += ')';
    ++i_;
  }

  void Set() {
    out_ += '[';
    size_t j = i_ + 1;
    if (At(j, '^')) out_ += p_[j++];
    if (At(j, ']')) out_ += p_[j++];
    for (;;) {
      if (j >= p_.size()) Reject("unmatched [");
      const char c = p_[j];
      if (c == ']') break;
      if (c == '\\' && j + 1 < p_.size()) {
        AppendEscapedLetterOrByte(p_[j + 1]);
        j += 2;
        continue;
      }
      if (c == '[' && j + 1 < p_.size() &&
          (p_[j + 1] == ':' || p_[j + 1] == '.' || p_[j + 1] == '=')) {
        const char kind = p_[j + 1];
        const char closing[] = {kind, ']'};
        const size_t close = p_.find(std::string_view(closing, 2), j + 2);
        if (close != std::string_view::npos) {
          const std::string_view name = p_.substr(j + 2, close - j - 2);
          if (kind == ':') CheckClassName(name);
          if (kind == ':' && name == "blank") {
            out_ += kBlankBytes;  // Boost's class also holds VT
          } else {
            out_.append(p_.substr(j, close + 2 - j));
          }
          j = close + 2;
          continue;
        }
      }
      out_ += c;
      ++j;
    }
    out_ += ']';
    i_ = j + 1;
  }

  void CheckClassName(std::string_view name) const {
    if (std::find(std::begin(kClassNames), std::end(kClassNames), name) == std::end(kClassNames)) {
      Reject("unknown class name");
    }
  }

  // "\" + `e` where the dialect and Boost agree, except for letters: "\v" is VT, and a
  // letter without a meaning stands for itself.
  void AppendEscapedLetterOrByte(char e) {
    if (e == 'v') {
      AppendHexByte(out_, 0x0B);
    } else if (IsAsciiLetter(e) && kMeaningfulLetters.find(e) == std::string_view::npos) {
      out_ += e;
    } else {
      out_ += '\\';
      out_ += e;
    }
  }

  void Escape() {
    if (i_ + 1 == p_.size()) Reject("trailing backslash");
    const char e = p_[i_ + 1];
    if (e >= '1' && e <= '9') return BackReference(static_cast<unsigned>(e - '0'));
    switch (e) {
      case 'Q': {
        const size_t end = p_.find("\\E", i_ + 2);
        if (end == std::string_view::npos) Reject("\\Q without \\E");
        if (end > i_ + 2) out_.append(p_.substr(i_, end + 2 - i_));  // "\Q\E" means nothing
        i_ = end + 2;
        return;
      }
      case 'c': {
        if (i_ + 2 >= p_.size()) Reject("\\c at the end");
        const auto x = static_cast<unsigned char>(p_[i_ + 2]);
        if (x < 0x40 || x > 0x7F) Reject("bad \\c escape");
        AppendHexByte(out_, x - 0x40u);
        i_ += 3;
        return;
      }
      case 'x':
        return HexEscape();
      case 'Z':
        out_ += RepeatAt(i_ + 2) ? std::string_view("\\Z") : kSoftEnd;
        break;
      case 'B':
        out_ += RepeatAt(i_ + 2) ? std::string_view("\\B") : kInsideWord;
        break;
      case 'C':
        out_ += kAnyButLineBreak;
        break;
      case 'X':
        out_ += kAnyByte;
        break;
      default:
        AppendEscapedLetterOrByte(e);
        break;
    }
    i_ += 2;
  }

  // "\1".."\9": one digit, to a group that is already closed.
  void BackReference(unsigned group) {
    if (group > groupCount_ || !closed_[group]) Reject("back-reference to an open group");
    out_ += "\\g{";
    out_ += static_cast<char>('0' + group);
    out_ += '}';
    i_ += 2;
  }

  // "\xHH" (one or two digits) or "\x{...}"; Boost judges the digits inside braces.
  void HexEscape() {
    size_t j = i_ + 2;
    if (At(j, '{')) {
      const size_t close = p_.find('}', j);
      if (close == std::string_view::npos) Reject("\\x{ without }");
      j = close + 1;
    } else {
      while (j < p_.size() && j < i_ + 4 && IsHexDigit(p_[j])) ++j;
      if (j == i_ + 2) Reject("\\x without digits");
    }
    out_.append(p_.substr(i_, j - i_));
    i_ = j;
  }

  // What the pattern read so far ends with, as far as alternatives are concerned.
  enum class Edge {
    kGroupStart,  // the start of the pattern or of a group: no alternative begun yet
    kBar,         // a "|": the alternative after it is still empty
    kContent,     // something that matches or asserts
  };

  std::string_view p_;
  size_t i_ = 0;
  size_t token_ = 0;  // where the token being read starts
  Edge edge_ = Edge::kGroupStart;
  std::string out_;
  std::vector<unsigned> openGroups_;  // capture number of each open group, 0 if none
  std::vector<size_t> openAt_;        // where each open group starts
  std::vector<bool> closed_;          // by capture number
  unsigned groupCount_ = 0;
  bool afterRawLineFeed_ = false;
};

}  // namespace

std::string TranslatePattern(std::string_view pattern) {
  return Translator(pattern).Run();
}

Expression CompilePattern(std::string_view pattern, bool ignoreCase) {
  const std::string translated = TranslatePattern(pattern);
  boost::regex::flag_type options = kCompileOptions;
  if (ignoreCase) options |= boost::regex::icase;
  return Expression(translated.data(), translated.data() + translated.size(), options);
}

}  // namespace vortane
