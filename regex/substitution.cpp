#include "regex/substitution.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"

namespace vortane {
namespace {

// Expansion runs in levels: the top level, one per "(" and one per conditional branch
// that is expanded. In a conditional branch ":" ends the level; elsewhere it is a byte.
enum class Mode : uint8_t { kOrdinary, kConditional };

// What the enclosing level does once a nested level has ended.
enum class OnEnd : uint8_t {
  kResume,         // the level came from "(": the enclosing level carries on
  kAfterTrueText,  // skip the false-text if ":" ended the true-text, then the enclosing
                   // level (the one holding the conditional) ends too
  kEndEnclosing,   // the level was a false-text: the enclosing level ends too
};

struct Level {
  Mode mode;
  OnEnd onEnd;
};

// Group numbers above this stop taking digits: one more digit could pass 32 bits.
constexpr uint64_t kGroupNumberCap = 0xFFFFFFFFu / 10;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// "\a", "\f", "\n", "\r", "\t", "\v", "\e": the letter and the byte it stands for.
constexpr std::string_view kNamedEscapeLetters = "afnrtve";
constexpr std::string_view kNamedEscapeBytes = "\x07\x0C\x0A\x0D\x09\x0B\x1B";

bool IsSpecial(char c) {
  return c == '(' || c == ')' || c == ':' || c == '?' || c == '$' || c == '\\';
}

// One expansion. The cursor `p_` is shared by every level; the levels themselves live in
// `levels_` so that deeply nested formats cost heap, not machine stack.
class Expander {
 public:
  Expander(std::string_view format, const MatchResults& match, const char* subject = nullptr,
           const std::vector<SubjectRange>* encoded = nullptr)
      : begin_(format.data()),
        p_(format.data()),
        end_(format.data() + format.size()),
        match_(match),
        subject_(subject),
        encoded_(encoded) {
    if (format.empty()) return;  // data() may then be null, which memchr must not see
    if (const void* nul = std::memchr(begin_, '\0', format.size())) {
      end_ = static_cast<const char*>(nul);
    }
  }

  std::string Run() {
    out_.reserve(static_cast<size_t>(end_ - begin_));
    levels_.push_back({Mode::kOrdinary, OnEnd::kResume});
    // At the end of the format every open level ends, and nothing that runs when a level
    // ends (skipping, expanding a false-text) can append anything there.
    while (!levels_.empty() && p_ != end_) {
      switch (*p_) {
        case '(':
          ++p_;
          levels_.push_back({levels_.back().mode, OnEnd::kResume});
          break;
        case ')':
          ++p_;
          EndLevel();
          break;
        case ':':
          ++p_;
          if (levels_.back().mode == Mode::kConditional) {
            EndLevel();
          } else {
            out_ += ':';
          }
          break;
        case '?':
          Conditional();
          break;
        case '$':
          Dollar();
          break;
        case '\\':
          Escape();
          break;
        default:
          CopyPlainRun();
          break;
      }
    }
    return std::move(out_);
  }

 private:
  // Copies bytes up to the next one with a meaning, in one append.
  void CopyPlainRun() {
    const char* start = p_;
    while (p_ != end_ && !IsSpecial(*p_)) ++p_;
    out_.append(start, static_cast<size_t>(p_ - start));
  }

  // Ends the innermost level and carries out what its ending means for the levels
  // around it, which may end them as well. Every level is popped once, so a chain of
  // endings costs no more than the levels it removes.
  void EndLevel() {
    for (;;) {
      const Level ended = levels_.back();
      levels_.pop_back();
      if (levels_.empty()) return;  // the top level ended: the output is complete
      switch (ended.onEnd) {
        case OnEnd::kResume:
          return;
        case OnEnd::kAfterTrueText:
          if (p_[-1] == ':') Skip();
          break;
        case OnEnd::kEndEnclosing:
          break;
      }
    }
  }

  // "?N": expands one branch in conditional mode and skips the other; the level that
  // holds the conditional ends with it.
  void Conditional() {
    ++p_;
    if (p_ == end_) {
      out_ += '?';
      return;
    }
    const uint64_t group = ReadGroupNumber();
    if (GroupMatched(group)) {
      levels_.push_back({Mode::kConditional, OnEnd::kAfterTrueText});
      return;
    }
    Skip();
    if (p_[-1] == ':') {
      levels_.push_back({Mode::kConditional, OnEnd::kEndEnclosing});
    } else {
      EndLevel();
    }
  }

  void Dollar() {
    ++p_;
    if (p_ == end_) {
      out_ += '$';
      return;
    }
    const char next = *p_;
    if (IsDigit(next)) {
      AppendGroup(ReadGroupNumber());
    } else if (next == '`' || next == 'A' || next == '\'' || next == 'z') {
      ++p_;  // the prefix or the suffix, both empty: the match covers the whole subject
    } else if (next == '&') {
      ++p_;
      AppendGroup(0);
    } else {
      out_ += '$';  // the next byte is read normally
    }
  }

  void Escape() {
    ++p_;
    if (p_ == end_) {
      out_ += '\\';
      return;
    }
    const char next = *p_;
    if (const size_t named = kNamedEscapeLetters.find(next); named != std::string_view::npos) {
      ++p_;
      out_ += kNamedEscapeBytes[named];
    } else if (IsDigit(next)) {
      out_ += static_cast<char>(ReadOctal() & 0xFF);
    } else if (next == 'x') {
      ++p_;
      HexEscape();
    } else if (next == 'c') {
      ++p_;
      ControlEscape();
    } else {
      ++p_;
      out_ += next;
    }
  }

  // After "\x". Anything that is not a complete hexadecimal escape gives "x", and reading
  // resumes right after the "x".
  void HexEscape() {
    if (p_ != end_ && HexDigitValue(*p_) >= 0) {
      out_ += static_cast<char>(ReadHex());
      return;
    }
    if (p_ != end_ && *p_ == '{' && end_ - p_ >= 2 && HexDigitValue(p_[1]) >= 0) {
      const char* afterX = p_;
      ++p_;
      const unsigned value = ReadHex();
      if (p_ != end_ && *p_ == '}') {
        ++p_;
        out_ += static_cast<char>(value);
        return;
      }
      // Only "{" and hexadecimal digits are read again, so the pass stays linear.
      p_ = afterX;
    }
    out_ += 'x';
  }

  // After "\c".
  void ControlEscape() {
    if (p_ == end_) {
      out_ += 'c';
      return;
    }
    const unsigned char x = static_cast<unsigned char>(*p_);
    if (x >= 0x40 && x <= 0x7F) {
      ++p_;
      out_ += static_cast<char>(x - 0x40);
    } else {
      out_ += 'c';  // X is read normally
    }
  }

  // Decimal digits; a value that could no longer grow within 32 bits takes no more.
  uint64_t ReadGroupNumber() {
    uint64_t value = 0;
    while (p_ != end_ && IsDigit(*p_) && value <= kGroupNumberCap) {
      value = value * 10 + static_cast<uint64_t>(*p_ - '0');
      ++p_;
    }
    return value;
  }

  // Digits "0" to "9" (8 and 9 included, with their decimal values) while the value is
  // at most 31; the caller keeps the low eight bits.
  unsigned ReadOctal() {
    unsigned value = 0;
    while (p_ != end_ && IsDigit(*p_) && value <= 31) {
      value = value * 8 + static_cast<unsigned>(*p_ - '0');
      ++p_;
    }
    return value;
  }

  // Hexadecimal digits while the value is at most 15: never more than one byte.
  unsigned ReadHex() {
    unsigned value = 0;
    while (p_ != end_ && value <= 15) {
      const int digit = HexDigitValue(*p_);
      if (digit < 0) break;
      value = value * 16 + static_cast<unsigned>(digit);
      ++p_;
    }
    return value;
  }

  // Passes over the branch of a conditional that is not expanded. Stops after a ")" or
  // ":" outside nested parentheses, or at the end of the format.
  void Skip() {
    size_t depth = 0;
    while (p_ != end_) {
      const char c = *p_++;
      if (c == '(') {
        ++depth;
      } else if (c == ')') {
        if (depth == 0) return;
        --depth;
      } else if (c == ':') {
        if (depth == 0) return;
      } else if (c == '\\') {
        if (p_ == end_) return;
        ++p_;
      }
    }
  }

  // `group` may be far above int range; it is compared with size() before indexing.
  bool GroupMatched(uint64_t group) const {
    return group < match_.size() && match_[static_cast<int>(group)].matched;
  }

  void AppendGroup(uint64_t group) {
    if (!GroupMatched(group)) return;
    const auto& sub = match_[static_cast<int>(group)];
    const char* first = sub.first.base();
    const char* last = sub.second.base();
    if (encoded_ != nullptr) {
      // The group's bytes inside each range encoded, those between ranges as they are.
      for (const SubjectRange& range : *encoded_) {
        const char* from = std::max(first, subject_ + range.begin);
        const char* to = std::min(last, subject_ + range.end);
        if (from >= to) continue;
        out_.append(first, static_cast<size_t>(from - first));
        out_ += PercentEncoded(std::string_view(from, static_cast<size_t>(to - from)),
                               MustEncodeDecodedByte);
        first = to;
      }
    }
    out_.append(first, static_cast<size_t>(last - first));
  }

  const char* const begin_;
  const char* p_;
  const char* end_;
  const MatchResults& match_;
  const char* const subject_;
  const std::vector<SubjectRange>* const encoded_;
  std::string out_;
  std::vector<Level> levels_;
};

}  // namespace

std::string FormatSubstitution(std::string_view format, const MatchResults& match) {
  return Expander(format, match).Run();
}

std::string FormatSubstitution(std::string_view format, const MatchResults& match,
                               const char* subject, const std::vector<SubjectRange>& encoded) {
  return Expander(format, match, subject, &encoded).Run();
}

}  // namespace vortane
