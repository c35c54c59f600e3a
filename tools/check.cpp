#include "tools/check.h"
#include "base/file_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>

#include "base/text.h"
#include "platform/files.h"
#include "platform/site_table.h"
#include "regex/expression.h"
#include "regex/pattern_tree.h"
#include "regex/substitution.h"
#include "rules/rule.h"

namespace vortane::tools {
namespace {

// Repeat limits above this one, with a rule that restarts the sweep, are worth a warning.
constexpr uint32_t kHighRepeatLimit = 1000;

const char* const kDirectives[] = {"RewriteRule", "RewriteCond", "RewriteHeader", "CacheClockRate",
                                   "RepeatLimit"};

struct Word {
  std::string_view text;
  uint32_t column;  // from 1
};

// The blank-separated words of a line. The grammar separates every argument by blanks and
// none may hold one, so on a line the filter accepts the words are exactly its arguments.
std::vector<Word> Words(std::string_view line) {
  std::vector<Word> words;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    words.push_back({line.substr(start, i - start), static_cast<uint32_t>(start + 1)});
  }
  return words;
}

// The lines of the text as the parser splits them: at LF, without the CRs at their end.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t lineFeed = text.find('\n');
    std::string_view line = text.substr(0, lineFeed);
    text = lineFeed == std::string_view::npos ? std::string_view() : text.substr(lineFeed + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool IsDirective(std::string_view word) {
  return std::find(std::begin(kDirectives), std::end(kDirectives), word) != std::end(kDirectives);
}

bool IsTokenByte(char c) {
  static const std::string_view extra = "!#$%&'*+-.^_`|~";
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || extra.find(c) != std::string::npos;
}

bool IsWordSubject(std::string_view subject) {
  return subject == "URL" || subject == "METHOD" || subject == "VERSION";
}

// What the checker knows of one line once the parse is done.
struct LineFacts {
  std::string_view text;
  std::vector<Word> words;
  bool unrecognized = false;
  bool dropped = false;  // a rule line the parser dropped with its conditions
};

// The redirect statuses R=NNN can give, for hints.
constexpr char kRedirectStatusHint[] =
    "write R=301 (moved permanently), R=302 (the same as R), R=303 (see other), R=307 or "
    "R=308 (temporary and permanent, the method kept)";

struct Problem {
  uint32_t column;
  std::string message;
  std::string hint;
  std::string code = "unrecognized-line";
};

// The flag letters for a hint: "L, R, U, I, N, F and O".
std::string FlagLetterList() {
  std::string list;
  for (size_t i = 0; i < std::size(kFlags); ++i) {
    if (i > 0) list += i + 1 == std::size(kFlags) ? " and " : ", ";
    list += kFlags[i].letter;
  }
  return list;
}

// The letters a condition's flag list may hold: "O".
std::string ConditionFlagLetters() {
  std::string letters;
  for (const FlagMeaning& flag : kFlags) {
    if (flag.conditionBits != 0) letters += flag.letter;
  }
  return letters;
}

// The flag another dialect writes as `upper` ("NC"), if there is one here.
const FlagMeaning* ForeignFlag(std::string_view upper) {
  for (const FlagMeaning& flag : kFlags) {
    std::string_view names = flag.foreignNames;
    while (!names.empty()) {
      const size_t blank = names.find(' ');
      if (names.substr(0, blank) == upper) return &flag;
      names = blank == std::string_view::npos ? std::string_view() : names.substr(blank + 1);
    }
  }
  return nullptr;
}

// An item R=... of a rule's flag list at `column`: why the grammar refuses it, if it does. Any
// digits pass here; the parser's report says which are no redirect status.
std::optional<Problem> CheckRedirectStatus(std::string_view item, uint32_t column) {
  const std::string_view value = item.substr(2);
  static const std::pair<const char*, const char*> kWords[] = {
      {"permanent", "R=301"}, {"temp", "R=302"}, {"seeother", "R=303"}};
  for (const auto& [word, written] : kWords) {
    if (Lower(value) == word) {
      return Problem{column, "'" + std::string(item) + "' is no flag here",
                     std::string("write ") + written};
    }
  }
  const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
  if (std::islower(static_cast<unsigned char>(item[0])) != 0) {
    return Problem{column, "flag letters are upper case",
                   "write " + std::string(1, static_cast<char>(std::toupper(item[0]))) +
                       std::string(item.substr(1))};
  }
  if (!digits) {
    return Problem{column, "a redirect status is a number", kRedirectStatusHint};
  }
  return std::nullopt;
}

// The flag list `list` (the words from the first "[" to the end of the line) of a rule, or of
// a condition when `condition`: the first reason the filter refuses it, if any.
std::optional<Problem> CheckFlags(const std::vector<Word>& list, bool condition) {
  if (list.size() > 1) {
    return Problem{list[1].column, "blank inside the flag list",
                   "write the letters separated by commas only, as in [L,R]"};
  }
  const Word& word = list[0];
  if (word.text.size() < 2 || word.text.back() != ']') {
    return Problem{word.column, "the flag list has no closing ']'", ""};
  }
  const std::string_view inner = word.text.substr(1, word.text.size() - 2);
  if (inner.empty()) {
    return Problem{word.column, "empty flag list", "leave the brackets out when no flag is set"};
  }
  // Other dialects' flags that have no equivalent here, and what to do instead ("" for
  // "leave it out"). Those that have one are in kFlags.
  static const std::map<std::string, std::string> foreign = {
      {"QSA",
       "the query is part of the URL the rule matches: capture it with the pattern and write it "
       "into the substitution"},
      {"OR",
       "conditions are always all required: write the alternatives into one condition's "
       "pattern, in a group: (?:A|B)"},
      {"NE", "the substitution is used as written, never escaped"},
      {"PT", ""},
      {"P", ""},
      {"C", ""},
      {"QSD", ""},
      {"NS", ""},
  };
  size_t letters = 0;
  uint32_t column = word.column + 1;
  size_t start = 0;
  for (;;) {
    const size_t comma = inner.find(',', start);
    const std::string_view item = inner.substr(start, comma - start);
    const std::string upper = [&] {
      std::string u(item.substr(0, item.find('=')));
      for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return u;
    }();
    ++letters;
    if (item.empty()) return Problem{column, "empty item in the flag list", ""};
    if (condition &&
        (item.size() != 1 || ConditionFlagLetters().find(item[0]) == std::string::npos)) {
      return Problem{column, "a condition takes no flag but " + ConditionFlagLetters(),
                     "write [" + ConditionFlagLetters() + "] or nothing"};
    }
    if (item.find('=') != std::string_view::npos) {
      const FlagMeaning* flag = upper.size() == 1 ? LookUpFlag(upper[0]) : nullptr;
      if (flag == nullptr || !flag->takesStatus) {
        std::string withStatus;
        for (const FlagMeaning& f : kFlags) {
          if (f.takesStatus) withStatus += f.letter;
        }
        return Problem{column, "flags take no value but " + withStatus + "'s status",
                       "flag letters are " + FlagLetterList() + ", one character each"};
      }
      if (auto problem = CheckRedirectStatus(item, column)) return problem;
      if (comma == std::string_view::npos) break;
      column += static_cast<uint32_t>(item.size() + 1);
      start = comma + 1;
      continue;
    }
    if (item.size() == 1 && LookUpFlag(item[0]) != nullptr) {
      // a valid letter
    } else if (item.size() == 1 && upper.size() == 1 && LookUpFlag(upper[0]) != nullptr) {
      return Problem{column, "flag letters are upper case", "write " + upper};
    } else if (const FlagMeaning* flag = ForeignFlag(upper)) {
      return Problem{column, "'" + std::string(item) + "' is no flag here",
                     "write " + std::string(1, flag->letter)};
    } else if (const auto it = foreign.find(upper); it != foreign.end()) {
      return Problem{column, "'" + std::string(item) + "' has no equivalent here",
                     it->second.empty() ? "leave it out" : it->second};
    } else {
      return Problem{column, "unknown flag '" + std::string(item) + "'",
                     "flag letters are " + FlagLetterList() + ", separated by commas"};
    }
    if (comma == std::string_view::npos) break;
    column += static_cast<uint32_t>(item.size() + 1);
    start = comma + 1;
  }
  static_assert(kMaxFlagItems == 5, "the message below says five");
  if (letters > kMaxFlagItems) {
    return Problem{word.column, "more than five letters in the flag list",
                   "a repeated letter adds nothing: write each once"};
  }
  return std::nullopt;
}

// The subject of a condition or the target of RewriteHeader: why the filter refuses it.
std::optional<Problem> CheckSubject(const Word& word, bool allowVariable) {
  const std::string_view text = word.text;
  if (text.size() > 2 && text[0] == '%' && text[1] == '{') {
    const size_t close = text.find('}');
    const std::string name(text.substr(2, close == std::string_view::npos ? close : close - 2));
    if (!allowVariable) {
      return Problem{word.column, "a rule's target cannot be a server variable",
                     "write a header name with its colon, or URL, METHOD or VERSION"};
    }
    return Problem{word.column, "server variables are written %NAME, without braces",
                   "write %" + name, "braced-variable"};
  }
  if (text[0] == '%') {
    if (!allowVariable) {
      return Problem{word.column, "a rule's target cannot be a server variable",
                     "write a header name with its colon, or URL, METHOD or VERSION"};
    }
    for (size_t i = 1; i < text.size(); ++i) {
      if (!IsTokenByte(text[i])) {
        return Problem{word.column + static_cast<uint32_t>(i),
                       "a server variable's name holds only token characters", ""};
      }
    }
    return std::nullopt;
  }
  if (IsWordSubject(text)) return std::nullopt;
  const std::string lower = Lower(text);
  if (lower == "url" || lower == "method" || lower == "version") {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return Problem{word.column, "'" + std::string(text) + "' must be written in upper case",
                   "write " + upper};
  }
  const bool colon = text.back() == ':';
  const std::string_view name = colon ? text.substr(0, text.size() - 1) : text;
  for (size_t i = 0; i < name.size(); ++i) {
    if (!IsTokenByte(name[i]) || name[i] == '%') {
      return Problem{word.column + static_cast<uint32_t>(i),
                     "a header name holds only token characters", ""};
    }
  }
  if (!colon) {
    return Problem{
        word.column + static_cast<uint32_t>(text.size()), "header name without its colon",
        "write " + std::string(text) + ":" +
            (allowVariable ? " (or %" + std::string(text) + " for a server variable)" : ""),
        "missing-colon"};
  }
  return std::nullopt;
}

std::optional<Problem> CheckNumber(const std::vector<Word>& words, size_t maxDigits) {
  if (words.size() < 2) return Problem{words[0].column, "the value is missing", ""};
  const Word& value = words[1];
  for (size_t i = 0; i < value.text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(value.text[i]))) {
      return Problem{value.column + static_cast<uint32_t>(i), "the value is not a number",
                     "write decimal digits only"};
    }
  }
  if (value.text.size() > maxDigits) {
    return Problem{value.column, "more than " + std::to_string(maxDigits) + " digits", ""};
  }
  if (words.size() > 2) return Problem{words[2].column, "unexpected text after the value", ""};
  return std::nullopt;
}

// Why the filter does not recognise a body line.
Problem ExplainLine(const LineFacts& facts) {
  const std::string_view line = facts.text;
  const std::vector<Word>& words = facts.words;
  if (const size_t nul = line.find('\0'); nul != std::string_view::npos) {
    return {static_cast<uint32_t>(nul + 1), "NUL byte in the line",
            "save the file as 8-bit text (ASCII or UTF-8), not UTF-16", "nul-byte"};
  }
  if (const size_t cr = line.find('\r'); cr != std::string_view::npos) {
    return {static_cast<uint32_t>(cr + 1), "carriage return inside the line",
            "a carriage return is allowed only at the end of a line", "carriage-return"};
  }
  const Word& first = words[0];
  if (first.text[0] == '[') {
    if (IsSectionHeader(line)) {
      return {first.column, "second section header: a file has one section",
              "remove it; the body runs to the end of the file", "misplaced-section"};
    }
    return {first.column, "bracketed line in the body: a file has one section, [Vortane]", "",
            "misplaced-section"};
  }
  if (!IsDirective(first.text)) {
    static const std::map<std::string, std::string> foreign = {
        {"rewriteengine", "rules apply as soon as the file holds them: remove the line"},
        {"rewritebase", "patterns match the whole URL path: write it in full"},
        {"rewritemap", "there are no maps"},
        {"rewriteoptions", "there are no options"},
        {"rewritelog", "the only log is the report httpd.parse.errors"},
        {"rewriteloglevel", "the only log is the report httpd.parse.errors"},
    };
    if (const auto it = foreign.find(Lower(first.text)); it != foreign.end()) {
      return {first.column, "there is no directive " + std::string(first.text), it->second,
              "unknown-directive"};
    }
    const char* nearest = nullptr;
    size_t best = 4;
    for (const char* name : kDirectives) {
      const size_t distance = EditDistance(Lower(first.text), Lower(name));
      if (distance < best) {
        best = distance;
        nearest = name;
      }
    }
    if (nearest) {
      return {first.column, "unknown directive '" + std::string(first.text) + "'",
              std::string("did you mean ") + nearest + "? (directives are case-sensitive)",
              "unknown-directive"};
    }
    return {first.column, "unknown directive '" + std::string(first.text) + "'",
            "directives are RewriteRule, RewriteCond, RewriteHeader, CacheClockRate and "
            "RepeatLimit",
            "unknown-directive"};
  }
  // A comment after the directive.
  // (Only the first word that starts one: each try parses the line again.)
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i].text[0] != '#') continue;
    if (IsBodyLine(line.substr(0, words[i].column - 1))) {
      return {words[i].column, "comment after a directive",
              "comments stand on lines of their own: move it to the line above",
              "trailing-comment"};
    }
    break;
  }
  const std::string_view keyword = first.text;
  if (keyword == "CacheClockRate" || keyword == "RepeatLimit") {
    if (auto problem = CheckNumber(words, keyword == "RepeatLimit" ? 9 : 7)) {
      problem->code = "bad-value";
      return *problem;
    }
  } else {
    const bool condition = keyword == "RewriteCond";
    const bool header = keyword == "RewriteHeader";
    const size_t arguments = header ? 3 : 2;
    size_t flagsAt = words.size();
    for (size_t i = arguments + 1; i < words.size(); ++i) {
      if (words[i].text[0] == '[') {
        flagsAt = i;
        break;
      }
    }
    if (condition || header) {
      if (words.size() > 1) {
        if (auto problem = CheckSubject(words[1], condition)) {
          if (problem->code == "unrecognized-line") problem->code = "bad-subject";
          return *problem;
        }
      }
    }
    const size_t given = std::min(flagsAt, words.size()) - 1;
    if (given < arguments) {
      const char* form = condition ? "RewriteCond SUBJECT PATTERN [O]"
                         : header  ? "RewriteHeader TARGET PATTERN SUBSTITUTION [FLAGS]"
                                   : "RewriteRule PATTERN SUBSTITUTION [FLAGS]";
      return {words.back().column, "missing argument", std::string("the form is ") + form,
              "bad-arguments"};
    }
    if (given > arguments) {
      const Word& extra = words[arguments + 1];
      return {extra.column, "unexpected text '" + std::string(extra.text) + "'",
              extra.text[0] == '['
                  ? "a flag list stands last, after one or more blanks"
                  : "patterns and substitutions cannot hold blanks: write \\s or \\x20 in a "
                    "pattern",
              "bad-arguments"};
    }
    if (flagsAt < words.size()) {
      const std::vector<Word> list(words.begin() + static_cast<long>(flagsAt), words.end());
      if (auto problem = CheckFlags(list, condition)) {
        problem->code = "bad-flags";
        return *problem;
      }
    }
  }
  return {first.column, "the filter does not recognise this line", ""};
}

// Why no line of the file is the section header.
Diagnostic ExplainMissingSection(const std::vector<std::string_view>& lines) {
  Diagnostic d;
  d.code = "no-section";
  d.message = "no section header: the filter uses no line of this file";
  d.hint = "put the line [Vortane] above the directives";
  if (!lines.empty() && lines[0].substr(0, 2) == "\xFF\xFE") {
    d.line = 1;
    d.column = 1;
    d.message = "the file is UTF-16 text: the filter reads 8-bit text only";
    d.hint = "save the file as ASCII or UTF-8 without a byte-order mark";
    return d;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    const auto number = static_cast<uint32_t>(i + 1);
    std::string compact;
    for (char c : line) {
      if (c != '\0') compact += c;
    }
    // The CRs the NUL bytes hid at the line's end go, as the parser's reader drops them.
    while (!compact.empty() && compact.back() == '\r') compact.pop_back();
    if (line.find('\0') != std::string_view::npos && IsSectionHeader(compact)) {
      d.line = number;
      d.column = 1;
      d.message = "the section header is written with NUL bytes (UTF-16 text?)";
      d.hint = "save the file as ASCII or UTF-8 without a byte-order mark";
      return d;
    }
    if (i == 0 && line.substr(0, 3) == "\xEF\xBB\xBF" && IsSectionHeader(line.substr(3))) {
      d.line = 1;
      d.column = 1;
      d.message = "a byte-order mark stands before the section header";
      d.hint = "save the file as UTF-8 without a byte-order mark (BOM)";
      return d;
    }
    const std::vector<Word> words = Words(line);
    if (words.empty() || words[0].text[0] != '[') continue;
    if (words.size() > 1 && IsSectionHeader(line.substr(0, words[1].column - 1))) {
      d.line = number;
      d.column = words[1].column;
      d.message = "text after the section header";
      d.hint = "the header stands alone on its line: move the comment to a line of its own";
      return d;
    }
    const std::string_view name = words[0].text.substr(1, words[0].text.find(']') - 1);
    const std::string lower = Lower(name);
    if (EditDistance(lower, "vortane") <= 2 || EditDistance(lower, "vortane1.0") <= 2) {
      d.line = number;
      d.column = words[0].column;
      d.message = "'" + std::string(words[0].text) + "' is not the section header";
      d.hint = "write [Vortane] exactly, in this case";
      return d;
    }
  }
  return d;
}

// A pattern that matches every URL: ".*" or "(.*)", with or without anchors.
bool MatchesEverything(std::string_view pattern) {
  if (!pattern.empty() && pattern.front() == '^') pattern.remove_prefix(1);
  if (!pattern.empty() && pattern.back() == '$') pattern.remove_suffix(1);
  return pattern == ".*" || pattern == "(.*)" || pattern == "(?:.*)";
}

// What the flag list word of an accepted line sets; nothing when it has none.
FlagList FlagsOf(const std::vector<Word>& words, size_t arguments) {
  if (words.size() <= arguments + 1) return {};
  const std::string_view list = words[arguments + 1].text;
  return ReadFlagList(list.substr(1, list.size() - 2));
}

// The longest run of letters and digits the pattern holds as literal text, outside classes
// and escapes, and where it starts.
std::pair<size_t, size_t> LongestLiteral(std::string_view pattern) {
  size_t bestLength = 0, bestStart = 0, run = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      ++run;
      if (run > bestLength) {
        bestLength = run;
        bestStart = i + 1 - run;
      }
      continue;
    }
    run = 0;
    if (c == '\\') {
      ++i;
    } else if (c == '[') {
      const size_t close = pattern.find(']', i + 2);
      if (close == std::string_view::npos) break;
      i = close;
    } else if (c == '{' || (c == '(' && i + 1 < pattern.size() && pattern[i + 1] == '?')) {
      const size_t close = pattern.find(c == '{' ? '}' : ':', i);
      if (close != std::string_view::npos && c == '{') i = close;
    }
  }
  return {bestStart, bestLength};
}

// Parses a file and explains each event of the parse as it comes, then warns about what the
// parse accepted.
class Checker final : public ParseSink {
 public:
  Checker(std::string_view text, const std::string& file, const ParseContext& context,
          bool cutAtLimit)
      : file_(file) {
    for (std::string_view line : Lines(text)) facts_.push_back({line, Words(line), false});
    parsed_ = ParseConfigText(text, context, *this, cutAtLimit);
  }

  std::vector<Diagnostic> Run(int32_t* repeatLimitAfter, const ParseContext& context) {
    if (repeatLimitAfter) {
      *repeatLimitAfter = context.globalRepeatLimit;
      for (const SettingDirective& setting : parsed_.settings) {
        if (setting.kind == SettingDirective::Kind::RepeatLimit) {
          *repeatLimitAfter = static_cast<int32_t>(setting.value);
        }
      }
    }
    if (sectionFound_) Warnings();
    std::stable_sort(out_.begin(), out_.end(),
                     [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
    return std::move(out_);
  }

 private:
  void Add(Severity severity, uint32_t line, uint32_t column, std::string code, std::string message,
           std::string hint) {
    Diagnostic d;
    d.file = file_;
    d.line = line;
    d.column = column;
    d.severity = severity;
    d.code = std::move(code);
    d.message = std::move(message);
    d.hint = std::move(hint);
    if (line >= 1 && line <= facts_.size()) d.source = std::string(facts_[line - 1].text);
    out_.push_back(std::move(d));
  }

  void Event(const ParseEvent& event) override {
    const uint32_t first = event.firstLine, last = event.lastLine;
    switch (event.kind) {
      case ParseEventKind::SectionNotFound: {
        sectionFound_ = false;
        std::vector<std::string_view> lines;
        for (const LineFacts& facts : facts_) lines.push_back(facts.text);
        Diagnostic d = ExplainMissingSection(lines);
        return Add(Severity::Error, d.line, d.column, d.code, d.message, d.hint);
      }
      case ParseEventKind::UnrecognizedLine: {
        LineFacts& facts = facts_[first - 1];
        facts.unrecognized = true;
        const Problem problem = ExplainLine(facts);
        return Add(Severity::Error, first, problem.column, problem.code, problem.message,
                   problem.hint);
      }
      case ParseEventKind::BadRegularExpression:
        return BadExpression(event);
      case ParseEventKind::ConditionsWithoutRule:
        return Add(Severity::Error, first, 1, "conditions-without-rule",
                   "conditions on lines " + std::to_string(first) + " - " + std::to_string(last) +
                       " have no rule after them: the filter drops them",
                   "conditions belong to the next RewriteRule or RewriteHeader line");
      case ParseEventKind::RepeatLimitAboveGlobal:
        return Add(Severity::Error, first, 1, "repeat-limit-above-global",
                   "a site's RepeatLimit above the global repeat limit: the global limit is used",
                   "lower it, or raise RepeatLimit in the global httpd.ini");
      case ParseEventKind::CacheClockRateInSiteFile:
        return Add(Severity::Error, first, 1, "clock-rate-in-site",
                   "CacheClockRate in a site's file: the filter ignores it",
                   "set it in the global httpd.ini, beside the filter library");
      case ParseEventKind::InvalidCacheClockRate:
        return Add(Severity::Error, first, 1, "clock-rate-zero",
                   "CacheClockRate 0: the default of 3600 seconds is used instead",
                   "write 1 or more");
      case ParseEventKind::InvalidRedirectStatus:
      case ParseEventKind::RepeatedRedirect:
        return DroppedRedirect(event);
      case ParseEventKind::LineCutAtLimit:
        return Add(Severity::Error, first, 1, "line-cut",
                   "the filter reads the first 2 MiB of a file: this line is cut there and ignored",
                   "everything after it is ignored too; make the file smaller");
    }
  }

  // A rule the parser dropped, with its conditions, for its redirect status: the message, at
  // the R item of its flag list.
  void DroppedRedirect(const ParseEvent& event) {
    const uint32_t ruleLine = event.lastLine;
    facts_[ruleLine - 1].dropped = true;
    const std::string dropped = std::string(": the rule") +
                                (event.firstLine < ruleLine ? " and its conditions are" : " is") +
                                " dropped";
    if (event.kind == ParseEventKind::InvalidRedirectStatus) {
      const std::string item = "R=" + std::string(event.text);
      Add(Severity::Error, ruleLine, event.column, "bad-redirect-status",
          "'" + item + "' is no redirect status" + dropped, kRedirectStatusHint);
    } else {
      Add(Severity::Error, ruleLine, event.column, "bad-redirect-status",
          "R is given more than once, with a status" + dropped,
          "write R once, with the status meant: R=301");
    }
  }

  // A group the parser dropped because its combined pattern does not compile: at the byte the
  // compiler stopped at, when it said.
  void BadExpression(const ParseEvent& event) {
    const uint32_t first = event.firstLine, ruleLine = event.lastLine;
    if (event.line == 0) {
      return Add(Severity::Error, ruleLine, 1, "bad-pattern",
                 "the filter could not compile or store this rule", "");
    }
    Add(Severity::Error, event.line, event.column, "bad-pattern",
        "bad regular expression: " + std::string(event.text),
        first < ruleLine
            ? "the rule on line " + std::to_string(ruleLine) + " and its conditions from line " +
                  std::to_string(first) + " are dropped together"
            : "the rule is dropped");
  }

  void Warnings() {
    size_t header = 0;
    while (header < facts_.size() && !IsSectionHeader(facts_[header].text)) ++header;
    std::vector<uint32_t> conditions;  // lines of the pending group
    uint32_t passedOver = 0;           // an unrecognised line inside the pending group
    uint32_t stopper = 0;              // a rule that ends every request's pass
    bool warnedUnreachable = false;
    bool restarts = false;
    std::vector<uint32_t> repeatLines;
    for (size_t i = header + 1; i < facts_.size(); ++i) {
      const LineFacts& facts = facts_[i];
      const auto number = static_cast<uint32_t>(i + 1);
      if (facts.unrecognized) {
        if (!conditions.empty() && passedOver == 0) passedOver = number;
        continue;
      }
      if (facts.words.empty() || facts.words[0].text[0] == '#') continue;
      const std::string_view keyword = facts.words[0].text;
      if (keyword == "RepeatLimit") {
        repeatLines.push_back(number);
        continue;
      }
      if (keyword == "RewriteCond") {
        conditions.push_back(number);
        Condition(facts, number);
        continue;
      }
      if (keyword != "RewriteRule" && keyword != "RewriteHeader") continue;
      if (facts.dropped) {  // its conditions went with it; its errors say so
        conditions.clear();
        passedOver = 0;
        continue;
      }
      const bool header2 = keyword == "RewriteHeader";
      const FlagList flags = FlagsOf(facts.words, header2 ? 3 : 2);
      if ((flags.ruleBits & RuleFlag::Restart) != 0) restarts = true;
      if (passedOver != 0) {
        Add(Severity::Warning, number, 1, "conditions-moved",
            "the conditions from line " + std::to_string(conditions.front()) + " pass over line " +
                std::to_string(passedOver) +
                ", which the filter skips, and guard this rule instead",
            "fix line " + std::to_string(passedOver) + ", or end the conditions before it");
      }
      if (stopper != 0 && !warnedUnreachable) {
        warnedUnreachable = true;
        Add(Severity::Warning, conditions.empty() ? number : conditions.front(), 1,
            "unreachable-rule",
            "no request reaches this rule: the rule on line " + std::to_string(stopper) +
                " matches every URL and ends the pass",
            "move it above line " + std::to_string(stopper));
      }
      Rule(facts, number, flags, !conditions.empty(), header2);
      constexpr uint32_t kEndsPass = RuleFlag::Last | RuleFlag::Redirect | RuleFlag::Forbidden;
      if (conditions.empty() && !header2 && MatchesEverything(facts.words[1].text) &&
          (flags.ruleBits & kEndsPass) != 0 && stopper == 0) {
        stopper = number;
      }
      conditions.clear();
      passedOver = 0;
    }
    if (restarts) {
      for (uint32_t line : repeatLines) {
        const uint32_t value = static_cast<uint32_t>(
            ParseDecimal(facts_[line - 1].words[1].text, UINT32_MAX).value_or(0));
        if (value > kHighRepeatLimit) {
          Add(Severity::Warning, line, facts_[line - 1].words[1].column, "high-repeat-limit",
              "a repeat limit of " + std::to_string(value) +
                  " lets the rules with N sweep this file that often for one request",
              "keep it low (the default is 32): each sweep matches every rule again");
        }
      }
    }
  }

  // Warnings about one pattern, whatever line kind holds it.
  void Pattern(const Word& pattern, uint32_t number, bool ignoreCase, bool grouped) {
    const PatternWarnings shape = AnalysePattern(pattern.text);
    if (pattern.text[0] == '!') {
      Add(Severity::Warning, number, pattern.column, "negated-pattern",
          "'!' is a literal byte here, not a negation",
          "to match what does not fit P write ^(?!P$).*");
    }
    if (grouped && shape.topLevelBar != std::string_view::npos) {
      Add(Severity::Warning, number, pattern.column + static_cast<uint32_t>(shape.topLevelBar),
          "top-level-alternation",
          "'|' outside a group splits the rule's whole expression (its conditions and its "
          "pattern are one expression)",
          "put the alternatives in a group: (?:A|B)");
    }
    if (shape.nestedRepeat != std::string_view::npos) {
      Add(Severity::Warning, number, pattern.column + static_cast<uint32_t>(shape.nestedRepeat),
          "nested-repeat",
          "a repeated group holds an unbounded repeat: some values take exponential time",
          "make the inner and outer repeats unable to match the same text, or drop one");
    }
    if (ignoreCase && shape.caseClass != std::string_view::npos) {
      Add(Severity::Warning, number, pattern.column + static_cast<uint32_t>(shape.caseClass),
          "case-class-under-i", "under I a lower- or upper-case class matches both cases",
          "drop I, or write the class as [[:alpha:]] to say so");
    }
  }

  void Condition(const LineFacts& facts, uint32_t number) {
    // The letter I of the rule is not known yet; case classes are checked at the rule.
    Pattern(facts.words[2], number, false, true);
    PartialMatch(facts.words[1].text, facts.words[2], number);
  }

  void PartialMatch(std::string_view subject, const Word& pattern, uint32_t number) {
    const bool header = subject.back() == ':' && !IsWordSubject(subject);
    const bool variable =
        subject[0] == '%' && (subject.rfind("%HTTP_", 0) == 0 || subject == "%QUERY_STRING");
    if (!header && !variable) return;
    const std::string_view p = pattern.text;
    const bool anchored = p.front() == '!' || p.front() == '^' || p.back() == '$' ||
                          p.rfind(".*", 0) == 0 ||
                          (p.size() >= 2 && p.compare(p.size() - 2, 2, ".*") == 0);
    if (anchored) return;
    Add(Severity::Warning, number, pattern.column, "whole-value-match",
        "the pattern must match the whole value, not a part of it",
        "write .*" + std::string(p) + ".* to find it inside the value, or ^" + std::string(p) +
            "$ to say the whole value is meant");
  }

  void Rule(const LineFacts& facts, uint32_t number, const FlagList& flags, bool grouped,
            bool header) {
    const Word& pattern = facts.words[header ? 2 : 1];
    const Word& format = facts.words[header ? 3 : 2];
    const bool ignoreCase = flags.ignoreCase;
    Pattern(pattern, number, ignoreCase, grouped);
    if (ignoreCase) {
      for (size_t i = number - 1; i-- > 0 && grouped;) {
        const LineFacts& before = facts_[i];
        if (before.unrecognized || before.words.empty()) continue;
        if (before.words[0].text == "RewriteRule" || before.words[0].text == "RewriteHeader") {
          break;
        }
        if (before.words[0].text != "RewriteCond") continue;
        const size_t at = AnalysePattern(before.words[2].text).caseClass;
        if (at != std::string_view::npos) {
          Add(Severity::Warning, static_cast<uint32_t>(i + 1),
              before.words[2].column + static_cast<uint32_t>(at), "case-class-under-i",
              "under I a lower- or upper-case class matches both cases",
              "drop I, or write the class as [[:alpha:]] to say so");
        }
      }
    }
    if (header) PartialMatch(facts.words[1].text, pattern, number);
    if (KeepsValue(format.text)) {
      KeptValue(format, number, flags.ruleBits);
    } else {
      Format(format, number, flags.ruleBits);
    }
    if (!header && (flags.ruleBits & RuleFlag::Forbidden) != 0 &&
        (flags.ruleBits & RuleFlag::Normalize) == 0) {
      const auto [start, length] = LongestLiteral(pattern.text);
      if (length >= 2) {
        Add(Severity::Warning, number, pattern.column + static_cast<uint32_t>(start),
            "encoded-literal",
            "a refusal on the URL as the client sent it: a client that writes '" +
                std::string(1, pattern.text[start]) + "' as '%" +
                std::string(
                    1, "0123456789ABCDEF"[static_cast<unsigned char>(pattern.text[start]) >> 4]) +
                std::string(1, "0123456789ABCDEF"[pattern.text[start] & 0xF]) + "' gets past it",
            "add O to the flags: the URL is then decoded and normalised before it is matched");
      }
    }
  }

  // A rule whose substitution is "-": it writes nothing, so only its flags act.
  void KeptValue(const Word& format, uint32_t number, uint32_t flags) {
    const auto has = [flags](uint32_t bit) { return (flags & bit) != 0; };
    if (has(RuleFlag::Forbidden)) return;
    if (has(RuleFlag::Redirect)) {
      Add(Severity::Warning, number, format.column, "redirect-to-same-url",
          "'-' with R redirects to the URL as the rules have left it: unless an earlier rule "
          "changed it, the client is sent back to the URL it asked for, and loops",
          "write the new location as the substitution (http://example.com$1)");
    } else if (has(RuleFlag::LogRequestedUrl)) {
      Add(Severity::Warning, number, format.column, "kept-value-log",
          "U does nothing with '-': the log is marked only by a rule that writes its value",
          "leave U out, or write the new value as the substitution");
    }
    if (!has(RuleFlag::Last) && !has(RuleFlag::Restart) && !has(RuleFlag::Redirect)) {
      Add(Severity::Warning, number, format.column, "kept-value-no-effect",
          "'-' without L, N, F or R: the rule matches and changes nothing",
          "add L to end the pass here, or write a substitution");
    }
  }

  void Format(const Word& format, uint32_t number, uint32_t flags) {
    const std::string_view f = format.text;
    bool question = false, percent = false;  // each said once per line
    for (size_t i = 0; i < f.size(); ++i) {
      if (f[i] == '\\') {
        ++i;
      } else if (f[i] == '?' && !question && (flags & RuleFlag::Forbidden) == 0 &&
                 (i + 1 >= f.size() || !std::isdigit(static_cast<unsigned char>(f[i + 1])))) {
        Add(Severity::Warning, number, format.column + static_cast<uint32_t>(i),
            "unescaped-question",
            "'?' in a substitution starts a conditional: the rest of the substitution is "
            "not written as it stands",
            "write \\? for a literal question mark");
        question = true;
      } else if (f[i] == '%' && !percent && i + 1 < f.size() &&
                 (std::isdigit(static_cast<unsigned char>(f[i + 1])) || f[i + 1] == '{')) {
        Add(Severity::Warning, number, format.column + static_cast<uint32_t>(i),
            "percent-reference",
            "'%' is a literal byte in a substitution: groups are written $N, numbered through "
            "the conditions and then the rule's pattern",
            "write $N");
        percent = true;
      }
    }
    if (f.size() > 2 && f.back() == ']') {
      const size_t open = f.rfind('[');
      if (open != std::string_view::npos && open > 0) {
        const std::string_view list = f.substr(open, f.size() - open);
        bool flagLike = true;
        for (char c : list.substr(1, list.size() - 2)) {
          if (!std::isalpha(static_cast<unsigned char>(c)) && c != ',' && c != '=')
            flagLike = false;
        }
        if (flagLike) {
          Add(Severity::Warning, number, format.column + static_cast<uint32_t>(open),
              "flags-in-substitution",
              "'" + std::string(list) + "' is part of the substitution, not a flag list",
              "put a blank before the flag list");
        }
      }
    }
  }

  std::string file_;
  std::vector<LineFacts> facts_;
  ParsedConfig parsed_;
  bool sectionFound_ = true;
  std::vector<Diagnostic> out_;
};

// Checks the configuration file at `path` as the filter reads it. A file that is missing or
// is no regular file gives no diagnostic (the filter runs no rules from it); when `notes` is
// given, a note says so. A file that exists and cannot be read is an error: the filter cannot
// run its rules either.
std::vector<Diagnostic> CheckFile(const std::filesystem::path& path, const ParseContext& context,
                                  int32_t* repeatLimitAfter, std::vector<std::string>* notes) {
  const platform::FileView view(platform::PathString(path.native()), kMaxConfigBytes);
  if (!view.HasBytes()) {
    if (repeatLimitAfter) *repeatLimitAfter = context.globalRepeatLimit;
    if (!view.Failed()) {
      const platform::PathKind kind = platform::LookAtPath(path.native(), true).kind;
      if (notes != nullptr && kind != platform::PathKind::Regular) {
        const std::string whose = context.siteId == 0 ? "no global rules"
                                                      : "site " + std::to_string(context.siteId) +
                                                            " runs without its rules";
        notes->push_back(Escaped(path.string()) + ": " + platform::PathKindText(kind) + ": " +
                         whose);
      }
      return {};
    }
    Diagnostic d;
    d.file = path.string();
    d.code = "unreadable";
    d.message =
        "the file exists but cannot be read (access denied, or no memory or descriptors left)";
    d.hint = "let the web server's account read it";
    return {d};
  }
  return CheckConfigText(view.Bytes(), path.string(), context, view.IsCut(), repeatLimitAfter);
}

void Escape(std::string& out, std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      out += buffer;
    } else {
      out += c;
    }
  }
}

}  // namespace

std::vector<Diagnostic> CheckConfigText(std::string_view text, const std::string& file,
                                        const ParseContext& context, bool cutAtLimit,
                                        int32_t* repeatLimitAfter) {
  return Checker(text, file, context, cutAtLimit).Run(repeatLimitAfter, context);
}

std::vector<Diagnostic> CheckPath(const std::filesystem::path& path,
                                  std::vector<std::string>* notes) {
  const platform::PathKind kind = platform::LookAtPath(path.native(), true).kind;
  if (kind == platform::PathKind::Regular) return CheckFile(path, {}, nullptr, nullptr);
  if (kind != platform::PathKind::Directory) {
    throw std::runtime_error(Escaped(path.string()) + ": " + platform::PathKindText(kind));
  }
  int32_t globalLimit = kInitialGlobalRepeatLimit;
  std::vector<Diagnostic> all = CheckFile(path / kConfigFileName, {}, &globalLimit, notes);
  const std::filesystem::path table = path / kSiteTableFileName;
  const platform::FileView view(platform::PathString(table.native()), 1 << 20);
  if (!view.HasBytes()) return all;
  for (const auto& [site, root] : platform::ParseSiteTable(view.Bytes())) {
    if (site == 0) continue;
    ParseContext context;
    context.siteId = site;
    context.globalRepeatLimit = globalLimit;
    std::vector<Diagnostic> more =
        CheckFile(std::filesystem::path(root) / kConfigFileName, context, nullptr, notes);
    all.insert(all.end(), more.begin(), more.end());
  }
  return all;
}

std::string FormatText(const Diagnostic& d) {
  // Every text from a file (its name, the words quoted in a message) is escaped: a control
  // byte never reaches the terminal.
  std::string out = Escaped(d.file);
  if (d.line != 0) out += ":" + std::to_string(d.line);
  if (d.column != 0) out += ":" + std::to_string(d.column);
  out += d.severity == Severity::Error ? ": error: " : ": warning: ";
  out += Escaped(d.message) + " [" + Escaped(d.code) + "]\n";
  if (d.line != 0 && !d.source.empty()) {
    constexpr size_t kShown = 200;
    const std::string_view source = std::string_view(d.source).substr(0, kShown);
    std::string shown = "  ", caret = "  ";
    for (size_t i = 0; i < source.size(); ++i) {
      const auto byte = static_cast<unsigned char>(source[i]);
      const bool tab = byte == '\t';
      shown += tab || (byte >= 0x20 && byte < 0x7F) ? source[i] : '?';
      if (i + 1 < d.column) caret += tab ? '\t' : ' ';
    }
    out += shown + (d.source.size() > kShown ? "...\n" : "\n");
    if (d.column != 0 && d.column <= kShown + 1) out += caret + "^\n";
  }
  if (!d.hint.empty()) out += "  hint: " + Escaped(d.hint) + "\n";
  return out;
}

std::string FormatJson(const std::vector<Diagnostic>& diagnostics) {
  std::string out = "[";
  for (size_t i = 0; i < diagnostics.size(); ++i) {
    const Diagnostic& d = diagnostics[i];
    out += i == 0 ? "\n  {\"file\": \"" : ",\n  {\"file\": \"";
    Escape(out, d.file);
    out += "\", \"line\": " + std::to_string(d.line) + ", \"column\": " + std::to_string(d.column) +
           ", \"severity\": \"" + (d.severity == Severity::Error ? "error" : "warning") +
           "\", \"message\": \"";
    Escape(out, d.message);
    out += "\", \"code\": \"";
    Escape(out, d.code);
    out += "\", \"hint\": \"";
    Escape(out, d.hint);
    out += "\"}";
  }
  out += diagnostics.empty() ? "]\n" : "\n]\n";
  return out;
}

}  // namespace vortane::tools
