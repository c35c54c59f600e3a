// The checker's view of a file's lines: each line's bytes, its blank-separated words and what
// the parse made of it; and the list the diagnostics of one file are collected in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/check/check.h"

namespace vortane::tools::check {

// The directives the filter knows, as they must be written.
inline const char* const kDirectives[] = {"RewriteRule", "RewriteCond", "RewriteHeader",
                                          "CacheClockRate", "RepeatLimit"};

struct Word {
  std::string_view text;
  uint32_t column;  // from 1
};

// The blank-separated words of a line. The grammar separates every argument by blanks and
// none may hold one, so on a line the filter accepts the words are exactly its arguments.
std::vector<Word> Words(std::string_view line);

// The lines of the text as the parser splits them: at LF, without the CRs at their end.
std::vector<std::string_view> Lines(std::string_view text);

// `text` with its ASCII letters in lower (upper) case (LowerAscii, UpperAscii of base/text.h).
std::string Lower(std::string_view text);
std::string Upper(std::string_view text);

// Levenshtein distance; quadratic, for short words only.
size_t EditDistance(std::string_view a, std::string_view b);

bool IsDirective(std::string_view word);

// A byte of an HTTP token (a header or variable name).
bool IsTokenByte(char c);

// URL, METHOD or VERSION: the subjects written as words.
bool IsWordSubject(std::string_view subject);

// What applying a hint writes, when the hint says exactly what to write.
struct Edit {
  enum class Kind : uint8_t {
    kNone,     // the hint is advice
    kSpan,     // the bytes [column, column + length) of the line become `text`
    kAddFlag,  // the letter `text` joins the line's flag list (or one is added)
    kLines,    // lines [firstLine, lastLine] (from 1; 0: the diagnostic's line) become
               // `text`: whole lines, each ended by "\n"; empty to remove them
  };
  Kind kind = Kind::kNone;
  uint32_t column = 0;
  size_t length = 0;
  uint32_t firstLine = 0;
  uint32_t lastLine = 0;
  std::string text;

  static Edit ReplaceWord(const Word& word, std::string text) {
    return {Kind::kSpan, word.column, word.text.size(), 0, 0, std::move(text)};
  }
  static Edit ReplaceSpan(uint32_t column, size_t length, std::string text) {
    return {Kind::kSpan, column, length, 0, 0, std::move(text)};
  }
  // Removes the diagnostic's own line.
  static Edit RemoveLine() { return {Kind::kLines, 0, 0, 0, 0, ""}; }
  static Edit AddFlag(char letter) { return {Kind::kAddFlag, 0, 0, 0, 0, std::string(1, letter)}; }
  static Edit ReplaceLines(uint32_t first, uint32_t last, std::string text) {
    return {Kind::kLines, 0, 0, first, last, std::move(text)};
  }
};

// What the checker knows of one line once the parse is done.
struct LineFacts {
  std::string_view text;
  std::vector<Word> words;
  bool unrecognized = false;
  bool dropped = false;  // a rule line the parser dropped with its conditions
};

// Collects the diagnostics of one file, each with the bytes of the line it names.
class DiagnosticList {
 public:
  DiagnosticList(const std::string& file, const std::vector<LineFacts>& facts)
      : file_(file), facts_(facts) {}

  void Add(Severity severity, uint32_t line, uint32_t column, std::string code, std::string message,
           std::string hint, const Edit& edit = {});

  // The diagnostics in line order (those of one line in the order added).
  std::vector<Diagnostic> Sorted() &&;

 private:
  const std::string& file_;
  const std::vector<LineFacts>& facts_;
  std::vector<Diagnostic> out_;
};

}  // namespace vortane::tools::check
