#include "tools/check/explain.h"

#include <cctype>
#include <map>
#include <utility>

#include "base/text.h"
#include "rules/rule.h"
#include "tools/check/pasted.h"

namespace vortane::tools::check {
namespace {

// How to write Apache's [OR] here.
constexpr char kSplitForOr[] =
    "conditions are always all required: split the rule into one copy for each condition "
    "joined by OR, each copy with that condition and the rule's other conditions; where they "
    "test one value, join the patterns in one condition: (?:A|B)";

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
                     std::string("write ") + written, "unrecognized-line",
                     Edit::ReplaceSpan(column, item.size(), written)};
    }
  }
  const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
  if (std::islower(static_cast<unsigned char>(item[0])) != 0) {
    const std::string upper = std::string(1, UpperAscii(item[0])) + std::string(item.substr(1));
    return Problem{column, "flag letters are upper case", "write " + upper, "unrecognized-line",
                   Edit::ReplaceSpan(column, item.size(), upper)};
  }
  if (!digits) {
    return Problem{column, "a redirect status is a number", kRedirectStatusHint};
  }
  return std::nullopt;
}

// Other dialects' flags that have no equivalent here, and what to do instead ("" for "leave
// it out"). Those that have one are in kFlags.
const std::map<std::string, std::string>& ForeignOnlyFlags() {
  static const std::map<std::string, std::string> foreign = {
      {"QSA",
       "the query is part of the URL the rule matches: capture it with the pattern and write it "
       "into the substitution"},
      {"OR", kSplitForOr},
      {"E",
       "there are no environment variables: to pass a value on to the application, set a "
       "request header with RewriteHeader"},
      {"T",
       "the server chooses the content type: leave it out, or map the extension in the "
       "server"},
      {"S",
       "rules cannot skip rules: give each rule it skipped the negation of this rule's "
       "pattern as a condition"},
      {"CO", "the filter sets no cookies: leave it out"},
      {"NE", "the substitution is used as written, never escaped"},
      {"PT", ""},
      {"P", ""},
      {"C",
       "rules cannot be chained: give the next rule this rule's pattern as a condition "
       "on URL, or merge the two rules"},
      {"QSD", ""},
      {"NS", ""},
  };
  return foreign;
}

// One item of a condition's flag list, at `column`: why the filter refuses it, if it does.
std::optional<Problem> CheckConditionFlag(std::string_view item, const std::string& upper,
                                          uint32_t column) {
  if (upper == "OR") {
    return Problem{column, "'" + std::string(item) + "' has no equivalent here", kSplitForOr};
  }
  if (upper == "NC" || upper == "NOCASE") {
    return Problem{column, "a condition has no I of its own",
                   "remove it and add I to the rule's flags: I covers the rule's conditions"};
  }
  if (item.size() != 1 || ConditionFlagLetters().find(item[0]) == std::string::npos) {
    return Problem{column, "a condition takes no flag but " + ConditionFlagLetters(),
                   "write [" + ConditionFlagLetters() + "] or nothing"};
  }
  return std::nullopt;
}

// An item NAME=VALUE of a rule's flag list.
std::optional<Problem> CheckFlagWithValue(std::string_view item, const std::string& upper,
                                          uint32_t column) {
  const auto& foreign = ForeignOnlyFlags();
  if (const auto it = foreign.find(upper); it != foreign.end()) {
    return Problem{column, "'" + std::string(item) + "' has no equivalent here", it->second};
  }
  const FlagMeaning* flag = upper.size() == 1 ? LookUpFlag(upper[0]) : nullptr;
  if (flag == nullptr || !flag->takesStatus) {
    std::string withStatus;
    for (const FlagMeaning& f : kFlags) {
      if (f.takesStatus) withStatus += f.letter;
    }
    return Problem{column, "flags take no value but " + withStatus + "'s status",
                   "flag letters are " + FlagLetterList() + ", one character each"};
  }
  return CheckRedirectStatus(item, column);
}

// An item of a rule's flag list without a value.
std::optional<Problem> CheckFlagLetter(std::string_view item, const std::string& upper,
                                       uint32_t column) {
  if (item.size() == 1 && LookUpFlag(item[0]) != nullptr) return std::nullopt;
  if (item.size() == 1 && upper.size() == 1 && LookUpFlag(upper[0]) != nullptr) {
    return Problem{column, "flag letters are upper case", "write " + upper, "unrecognized-line",
                   Edit::ReplaceSpan(column, item.size(), upper)};
  }
  if (const FlagMeaning* flag = ForeignFlag(upper)) {
    return Problem{column, "'" + std::string(item) + "' is no flag here",
                   "write " + std::string(1, flag->letter), "unrecognized-line",
                   Edit::ReplaceSpan(column, item.size(), std::string(1, flag->letter))};
  }
  const auto& foreign = ForeignOnlyFlags();
  if (const auto it = foreign.find(upper); it != foreign.end()) {
    return Problem{column, "'" + std::string(item) + "' has no equivalent here",
                   it->second.empty() ? "leave it out" : it->second};
  }
  return Problem{column, "unknown flag '" + std::string(item) + "'",
                 "flag letters are " + FlagLetterList() + ", separated by commas"};
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
  size_t letters = 0;
  uint32_t column = word.column + 1;
  for (size_t start = 0;;) {
    const size_t comma = inner.find(',', start);
    const std::string_view item = inner.substr(start, comma - start);
    const std::string upper = Upper(item.substr(0, item.find('=')));
    ++letters;
    if (item.empty()) return Problem{column, "empty item in the flag list", ""};
    const bool valued = item.find('=') != std::string_view::npos;
    auto problem = condition ? CheckConditionFlag(item, upper, column)
                   : valued  ? CheckFlagWithValue(item, upper, column)
                             : CheckFlagLetter(item, upper, column);
    if (problem) return problem;
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
    return ExplainBracedVariable(word);
  }
  if (text[0] == '%') {
    if (!allowVariable) {
      return Problem{word.column, "a rule's target cannot be a server variable",
                     "write a header name with its colon, or URL, METHOD or VERSION"};
    }
    if (text.substr(0, 6) == "%HTTP:" && text.size() > 6) {
      const std::string header = std::string(text.substr(6)) + ":";
      return Problem{word.column, "Apache's %{HTTP:NAME} is the header NAME: here",
                     "write " + header, "unrecognized-line", Edit::ReplaceWord(word, header)};
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
    const std::string upper = Upper(text);
    return Problem{word.column, "'" + std::string(text) + "' must be written in upper case",
                   "write " + upper, "unrecognized-line", Edit::ReplaceWord(word, upper)};
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

// A NUL or a CR inside the line: the bytes of another encoding, or of a damaged file.
std::optional<Problem> ExplainBadBytes(std::string_view line) {
  if (const size_t nul = line.find('\0'); nul != std::string_view::npos) {
    return Problem{static_cast<uint32_t>(nul + 1), "NUL byte in the line",
                   "save the file as 8-bit text (ASCII or UTF-8), not UTF-16", "nul-byte"};
  }
  if (const size_t cr = line.find('\r'); cr != std::string_view::npos) {
    return Problem{static_cast<uint32_t>(cr + 1), "carriage return inside the line",
                   "a carriage return is allowed only at the end of a line", "carriage-return"};
  }
  return std::nullopt;
}

// A line in brackets after the section header.
Problem ExplainBracketLine(std::string_view line, const Word& first) {
  if (IsSectionHeader(line)) {
    return {first.column, "second section header: a file has one section",
            "remove it; the body runs to the end of the file", "misplaced-section"};
  }
  return {first.column, "bracketed line in the body: a file has one section, [Vortane]", "",
          "misplaced-section"};
}

// A first word that is no directive: another dialect's directive, or a misspelt one.
Problem ExplainUnknownDirective(const std::vector<Word>& words) {
  const Word& first = words[0];
  static const std::map<std::string, std::string> foreign = {
      {"rewriteengine", "rules apply as soon as the file holds them: remove the line"},
      {"rewritebase",
       "substitutions are written from the URL's '/': the hints of the rules below write this "
       "base into theirs; then remove the line"},
      {"rewritemap", "there are no maps"},
      {"rewriteoptions", "there are no options"},
      {"rewritelog", "the only log is the report httpd.parse.errors"},
      {"rewriteloglevel", "the only log is the report httpd.parse.errors"},
      {"<ifmodule", "the rules need no test for a module: remove the line and its </IfModule>"},
      {"</ifmodule>", "remove it, with its <IfModule> line"},
      {"options", "the server's options are set in the server: remove the line"},
  };
  if (const auto it = foreign.find(Lower(first.text)); it != foreign.end()) {
    // Lines that only make Apache run the rules go; "RewriteEngine Off" stops Apache's rules,
    // so removing it would start them here, and RewriteBase goes once the rules below it are
    // written in full (the checker decides, seeing them).
    const std::string name = Lower(first.text);
    const bool removable =
        name == "<ifmodule" || name == "</ifmodule>" || name == "options" ||
        (name == "rewriteengine" && words.size() == 2 && Lower(words[1].text) == "on");
    return {first.column, "there is no directive " + std::string(first.text), it->second,
            "unknown-directive", removable ? Edit::RemoveLine() : Edit{}};
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
            "unknown-directive", Edit::ReplaceWord(first, nearest)};
  }
  return {first.column, "unknown directive '" + std::string(first.text) + "'",
          "directives are RewriteRule, RewriteCond, RewriteHeader, CacheClockRate and "
          "RepeatLimit",
          "unknown-directive"};
}

// A comment after the directive. Only the first word that starts one is tried: each try
// parses the line again.
std::optional<Problem> ExplainTrailingComment(std::string_view line,
                                              const std::vector<Word>& words) {
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i].text[0] != '#') continue;
    if (IsBodyLine(line.substr(0, words[i].column - 1))) {
      return Problem{words[i].column, "comment after a directive",
                     "comments stand on lines of their own: move it to the line above",
                     "trailing-comment"};
    }
    break;
  }
  return std::nullopt;
}

// RewriteRule, RewriteCond or RewriteHeader: the subject, the count of the arguments, the
// flag list.
std::optional<Problem> ExplainRuleArguments(const std::vector<Word>& words) {
  const std::string_view keyword = words[0].text;
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
  if ((condition || header) && words.size() > 1) {
    if (auto problem = CheckSubject(words[1], condition)) {
      if (problem->code == "unrecognized-line") problem->code = "bad-subject";
      return problem;
    }
  }
  const size_t given = std::min(flagsAt, words.size()) - 1;
  if (given < arguments) {
    const char* form = condition ? "RewriteCond SUBJECT PATTERN [O]"
                       : header  ? "RewriteHeader TARGET PATTERN SUBSTITUTION [FLAGS]"
                                 : "RewriteRule PATTERN SUBSTITUTION [FLAGS]";
    return Problem{words.back().column, "missing argument", std::string("the form is ") + form,
                   "bad-arguments"};
  }
  if (given > arguments) {
    const Word& extra = words[arguments + 1];
    return Problem{extra.column, "unexpected text '" + std::string(extra.text) + "'",
                   extra.text[0] == '['
                       ? "a flag list stands last, after one or more blanks"
                       : "patterns and substitutions cannot hold blanks: write \\s or \\x20 in "
                         "a pattern",
                   "bad-arguments"};
  }
  if (flagsAt < words.size()) {
    const std::vector<Word> list(words.begin() + static_cast<long>(flagsAt), words.end());
    if (auto problem = CheckFlags(list, condition)) {
      problem->code = "bad-flags";
      return problem;
    }
  }
  return std::nullopt;
}

}  // namespace

Problem ExplainLine(const LineFacts& facts) {
  const std::string_view line = facts.text;
  const std::vector<Word>& words = facts.words;
  if (auto problem = ExplainBadBytes(line)) return *problem;
  const Word& first = words[0];
  if (first.text[0] == '[') return ExplainBracketLine(line, first);
  if (!IsDirective(first.text)) return ExplainUnknownDirective(words);
  if (auto problem = ExplainTrailingComment(line, words)) return *problem;
  const std::string_view keyword = first.text;
  if (keyword == "CacheClockRate" || keyword == "RepeatLimit") {
    if (auto problem = CheckNumber(words, keyword == "RepeatLimit" ? 9 : 7)) {
      problem->code = "bad-value";
      return *problem;
    }
  } else if (auto problem = ExplainRuleArguments(words)) {
    return *problem;
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

}  // namespace vortane::tools::check
