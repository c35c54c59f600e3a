#include "tools/check/pasted.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "base/text.h"
#include "regex/expression.h"
#include "regex/pattern_tree.h"
#include "regex/prefilter.h"
#include "rules/rule.h"
#include "tools/check/pattern_shape.h"
#include "tools/check/per_directory.h"

namespace vortane::tools::check {
namespace {

// The web server's own variables, besides HTTP_<header> and HEADER_<header>; and
// REQUEST_FILENAME, which the filter computes itself (the site's root and the URL's path).
constexpr std::string_view kServerVariables[] = {
    "ALL_HTTP",
    "ALL_RAW",
    "APPL_MD_PATH",
    "APPL_PHYSICAL_PATH",
    "AUTH_PASSWORD",
    "AUTH_TYPE",
    "AUTH_USER",
    "CACHE_URL",
    "CERT_COOKIE",
    "CERT_FLAGS",
    "CERT_ISSUER",
    "CERT_KEYSIZE",
    "CERT_SECRETKEYSIZE",
    "CERT_SERIALNUMBER",
    "CERT_SERVER_ISSUER",
    "CERT_SERVER_SUBJECT",
    "CERT_SUBJECT",
    "CONTENT_LENGTH",
    "CONTENT_TYPE",
    "GATEWAY_INTERFACE",
    "HTTPS",
    "HTTPS_KEYSIZE",
    "HTTPS_SECRETKEYSIZE",
    "HTTPS_SERVER_ISSUER",
    "HTTPS_SERVER_SUBJECT",
    "INSTANCE_ID",
    "INSTANCE_META_PATH",
    "LOCAL_ADDR",
    "LOGON_USER",
    "PATH_INFO",
    "PATH_TRANSLATED",
    "QUERY_STRING",
    "REMOTE_ADDR",
    "REMOTE_HOST",
    "REMOTE_PORT",
    "REMOTE_USER",
    "REQUEST_FILENAME",
    "REQUEST_METHOD",
    "SCRIPT_NAME",
    "SCRIPT_TRANSLATED",
    "SERVER_NAME",
    "SERVER_PORT",
    "SERVER_PORT_SECURE",
    "SERVER_PROTOCOL",
    "SERVER_SOFTWARE",
    "UNMAPPED_REMOTE_USER",
    "URL",
};

// Apache's variables that the web server names otherwise, or that have no equivalent here
// (an empty replacement), with what to write instead.
struct ForeignVariable {
  std::string_view name;
  std::string_view replacement;  // the subject to write; empty: none
  std::string_view note;         // what differs, or why there is none
};
constexpr ForeignVariable kForeignVariables[] = {
    {"REQUEST_URI", "URL",
     "the URL holds the query as well: where a pattern ends with $, end it with (?:\\?.*)?$"},
    {"SCRIPT_FILENAME", "%REQUEST_FILENAME",
     "the path the filter makes of the site's root and the URL"},
    {"SERVER_ADDR", "%LOCAL_ADDR", "the address the request came in on"},
    {"DOCUMENT_ROOT", "%APPL_PHYSICAL_PATH", "the folder of the application"},
    {"THE_REQUEST", "", "the request line's parts are the subjects METHOD, URL and VERSION"},
    {"REQUEST_SCHEME", "", "test %HTTPS (on or off) instead"},
    {"IS_SUBREQ", "", "the filter sees no subrequests"},
};

const ForeignVariable* LookUpForeign(std::string_view name) {
  for (const ForeignVariable& v : kForeignVariables) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

// Whether the last byte of `text` is a "$" that no backslash escapes.
bool EndsWithAnchor(std::string_view text) {
  if (text.empty() || text.back() != '$') return false;
  size_t backslashes = 0;
  for (size_t i = text.size() - 1; i-- > 0 && text[i] == '\\';) ++backslashes;
  return backslashes % 2 == 0;
}

bool HasItem(const std::vector<std::string>& items, std::string_view item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// A condition line without the item OR in its flag list (and without the list when nothing is
// left in it), ended by "\n".
std::string WithoutOr(const LineFacts& line) {
  const std::vector<Word>& words = line.words;
  std::string kept;
  for (const std::string& item : FlagItems(words)) {
    if (item != "OR") kept += (kept.empty() ? "" : ",") + item;
  }
  const size_t listAt = words.back().column - 1;
  std::string text(line.text.substr(0, listAt));
  if (kept.empty()) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  } else {
    text += "[" + kept + "]";
  }
  return text + "\n";
}

// The group of conditions holding facts[index], joined by [OR], as one rule for each choice:
// Apache tries the joined conditions in turn, so with a rule that ends the pass the copies
// answer alike. Nothing for a rule that does not end the pass, or too many copies.
std::optional<Edit> SplitAtOr(const std::vector<LineFacts>& facts, size_t index) {
  size_t rule = index;
  while (rule < facts.size() && (facts[rule].words.empty() || facts[rule].words[0].text[0] == '#' ||
                                 facts[rule].words[0].text == "RewriteCond")) {
    ++rule;
  }
  if (rule == facts.size() || facts[rule].words.empty() ||
      facts[rule].words[0].text != "RewriteRule") {
    return std::nullopt;
  }
  const std::vector<std::string> ruleFlags = FlagItems(facts[rule].words);
  const bool endsPass = std::any_of(ruleFlags.begin(), ruleFlags.end(), [](const std::string& f) {
    return f == "L" || f == "END" || f == "F" || f == "R" || f.rfind("R=", 0) == 0;
  });
  if (!endsPass) return std::nullopt;
  // Runs of conditions joined by OR; each copy takes one condition of each run.
  std::vector<std::vector<std::string>> runs;
  bool joined = false;
  const size_t first = FirstConditionOf(facts, rule);
  for (size_t i = first; i < rule; ++i) {
    const LineFacts& line = facts[i];
    if (line.words.empty() || line.words[0].text[0] == '#') continue;
    if (!joined) runs.emplace_back();
    runs.back().push_back(WithoutOr(line));
    joined = HasItem(FlagItems(line.words), "OR");
  }
  constexpr size_t kMaxCopies = 16;
  std::vector<std::string> copies = {""};
  for (const auto& run : runs) {
    std::vector<std::string> longer;
    for (const std::string& copy : copies) {
      for (const std::string& condition : run) longer.push_back(copy + condition);
    }
    if (longer.size() > kMaxCopies) return std::nullopt;
    copies = std::move(longer);
  }
  std::string text;
  for (const std::string& copy : copies) text += copy + std::string(facts[rule].text) + "\n";
  return Edit::ReplaceLines(static_cast<uint32_t>(first + 1), static_cast<uint32_t>(rule + 1),
                            text);
}

// Whether the rule only sets environment variables: "-" with E=... flags only.
bool OnlySetsEnvironment(const std::vector<Word>& words) {
  if (words.size() != 4 || Unquoted(words[2].text) != "-") return false;
  const std::vector<std::string> items = FlagItems(words);
  return !items.empty() && std::all_of(items.begin(), items.end(), [](const std::string& item) {
    return item.rfind("E=", 0) == 0 || item.rfind("ENV=", 0) == 0;
  });
}

}  // namespace

void AddContextFix(const std::vector<LineFacts>& facts, size_t index, Problem& problem) {
  const std::vector<Word>& words = facts[index].words;
  if (words.empty()) return;
  const auto number = static_cast<uint32_t>(index + 1);
  const std::string_view keyword = words[0].text;
  if (keyword == "RewriteRule" && OnlySetsEnvironment(words)) {
    const size_t first = FirstConditionOf(facts, index);
    problem.hint = std::string("remove the rule") + (first < index ? " and its conditions" : "") +
                   ": it only sets environment variables, which do not exist here (a request "
                   "header it copies reaches the application as it is)";
    problem.edit = Edit::ReplaceLines(static_cast<uint32_t>(first + 1), number, "");
  } else if (keyword == "RewriteRule" && IsPerDirectoryRule(facts, index)) {
    if (const auto rule = PerDirectoryRule(facts, index)) {
      problem.hint = "write " + std::string(Trimmed(*rule));
      problem.edit = Edit::ReplaceLines(number, number, *rule + "\n");
    }
  } else if (keyword == "RewriteCond" && words.size() > 2 &&
             (words[1].text == "%{REQUEST_URI}" || words[1].text == "%REQUEST_URI")) {
    if (const auto condition = RequestUriCondition(facts[index])) {
      problem.hint = "write " + std::string(Trimmed(*condition)) +
                     " (Apache's REQUEST_URI is the decoded path: the URL with O, its query "
                     "left out of the test)";
      problem.edit = Edit::ReplaceLines(number, number, *condition + "\n");
    }
  } else if (keyword == "RewriteCond" && HasItem(FlagItems(words), "OR")) {
    if (const auto split = SplitAtOr(facts, index)) problem.edit = *split;
  } else if (Lower(keyword) == "rewritebase") {
    for (size_t i = index + 1; i < facts.size(); ++i) {
      const std::vector<Word>& below = facts[i].words;
      if (below.size() >= 3 && below[0].text == "RewriteRule" &&
          IsRelativeSubstitution(Unquoted(below[2].text))) {
        return;
      }
    }
    problem.edit = Edit::RemoveLine();
  }
}

bool IsServerVariable(std::string_view name) {
  if ((StartsWith(name, "HTTP_") && name.size() > 5) ||
      (StartsWith(name, "HEADER_") && name.size() > 7)) {
    return true;
  }
  return std::find(std::begin(kServerVariables), std::end(kServerVariables), name) !=
         std::end(kServerVariables);
}

std::string_view NearestServerVariable(std::string_view name) {
  std::string_view nearest;
  size_t best = 3;
  const std::string upper = Upper(name);
  for (std::string_view known : kServerVariables) {
    const size_t distance = EditDistance(upper, known);
    if (distance < best) {
      best = distance;
      nearest = known;
    }
  }
  return nearest;
}

Problem ExplainBracedVariable(const Word& word) {
  const std::string_view text = word.text;
  const size_t close = text.find('}');
  const std::string name(text.substr(2, close == std::string_view::npos ? close : close - 2));
  if (StartsWith(name, "HTTP:") && name.size() > 5) {
    return {word.column, "Apache's %{HTTP:NAME} is the header NAME: here",
            "write " + name.substr(5) + ":", "braced-variable",
            Edit::ReplaceWord(word, name.substr(5) + ":")};
  }
  if (const ForeignVariable* foreign = LookUpForeign(name)) {
    if (foreign->replacement.empty()) {
      return {word.column, "Apache's %{" + name + "} has no equivalent here",
              std::string(foreign->note), "braced-variable"};
    }
    return {word.column,
            "Apache's %{" + name + "} is " + std::string(foreign->replacement) + " here",
            "write " + std::string(foreign->replacement) + " (" + std::string(foreign->note) + ")",
            "braced-variable", Edit::ReplaceWord(word, std::string(foreign->replacement))};
  }
  if (!IsServerVariable(name)) {
    const std::string_view nearest = NearestServerVariable(name);
    return {word.column,
            "server variables are written %NAME, without braces, and the web server has no " + name,
            nearest.empty() ? "the names are the web server's: HTTP_NAME for a request header"
                            : "did you mean %" + std::string(nearest) + "?",
            "braced-variable",
            nearest.empty() ? Edit{} : Edit::ReplaceWord(word, "%" + std::string(nearest))};
  }
  return {word.column, "server variables are written %NAME, without braces", "write %" + name,
          "braced-variable", Edit::ReplaceWord(word, "%" + name)};
}

std::optional<Problem> ExplainUnknownVariable(const Word& subject) {
  const std::string_view name = subject.text.substr(1);
  if (IsServerVariable(name)) return std::nullopt;
  if (const ForeignVariable* foreign = LookUpForeign(name)) {
    if (!foreign->replacement.empty()) {
      return Problem{
          subject.column,
          "the web server has no variable " + std::string(name) + ": the value is always empty",
          "write " + std::string(foreign->replacement) + " (" + std::string(foreign->note) + ")",
          "unknown-variable", Edit::ReplaceWord(subject, std::string(foreign->replacement))};
    }
  }
  const std::string_view nearest = NearestServerVariable(name);
  return Problem{
      subject.column,
      "the web server has no variable " + std::string(name) + ": the value is always empty",
      nearest.empty() ? "the names are the web server's: HTTP_NAME for a request header"
                      : "did you mean %" + std::string(nearest) + "?",
      "unknown-variable",
      nearest.empty() ? Edit{} : Edit::ReplaceWord(subject, "%" + std::string(nearest))};
}

std::string NegationOf(std::string_view negated) {
  // "^X" without a "|" outside groups is found only at the start: the look-ahead need not
  // try every position. Anything else may be found anywhere in the value.
  if (!negated.empty() && negated[0] == '^' &&
      AnalysePattern(negated).topLevelBar == std::string_view::npos) {
    return "^(?!" + std::string(negated.substr(1)) + ").*$";
  }
  return "^(?!.*(?:" + std::string(negated) + ")).*$";
}

bool IsApacheTest(std::string_view pattern) {
  if (!pattern.empty() && pattern[0] == '!') pattern.remove_prefix(1);
  static constexpr std::string_view kTests[] = {"-d",  "-f",  "-F",  "-h", "-H",  "-l",
                                                "-L",  "-s",  "-U",  "-x", "-eq", "-ge",
                                                "-gt", "-le", "-lt", "-ne"};
  if (std::find(std::begin(kTests), std::end(kTests), pattern) != std::end(kTests)) return true;
  return !pattern.empty() && (pattern[0] == '=' || pattern[0] == '<' || pattern[0] == '>');
}

std::optional<Problem> ExplainApacheTest(const Word& subject, const Word& pattern) {
  const std::string_view name = std::string_view(subject.text).substr(1);
  if (subject.text[0] == '%' && LookUpFileTest(true, name, pattern.text) != nullptr) {
    return std::nullopt;  // a file test the filter runs
  }
  std::string_view test = pattern.text;
  if (test[0] == '!') test.remove_prefix(1);
  if (test == "-f" || test == "-d") {
    return Problem{subject.column,
                   "a file test reads %REQUEST_FILENAME, the path the filter makes of the "
                   "site's root and the URL, and nothing else",
                   "write %REQUEST_FILENAME", "file-test",
                   Edit::ReplaceWord(subject, "%REQUEST_FILENAME")};
  }
  return Problem{pattern.column,
                 "Apache's test '" + std::string(test) +
                     "' has no equivalent here: the pattern is matched as a regular expression",
                 "the filter tests only whether %REQUEST_FILENAME is a file (-f) or a folder "
                 "(-d); rewrite the condition, or leave it out",
                 "no-equivalent"};
}

std::optional<Problem> ExplainQuotes(const Word& word, bool pattern) {
  const std::string_view text = word.text;
  if (text.size() < 3 || text.front() != '"' || text.back() != '"') return std::nullopt;
  return Problem{word.column,
                 pattern ? "Apache's quotes are literal bytes here: the pattern matches only "
                           "values that hold them"
                         : "Apache's quotes are literal bytes here: they are written as they stand",
                 "write " + std::string(text.substr(1, text.size() - 2)),
                 pattern ? "quoted-pattern" : "quoted-substitution",
                 Edit::ReplaceWord(word, std::string(text.substr(1, text.size() - 2)))};
}

bool NeverMatchesUrl(std::string_view pattern, bool ignoreCase) {
  Prefilter facts;
  try {
    facts = CompilePrefiltered(pattern, ignoreCase).prefilter();
  } catch (const bad_expression&) {
    return false;  // the parser's report says why
  }
  return facts.maxLength == 0 || (!facts.prefix.empty() && facts.prefix[0] != '/') ||
         (facts.prefix.empty() && facts.next.any() && !facts.next['/']);
}

std::optional<Problem> ExplainNeverMatches(const Word& pattern, bool ignoreCase) {
  if (!NeverMatchesUrl(pattern.text, ignoreCase)) return std::nullopt;
  const std::string_view text = pattern.text;
  std::string hint =
      "every URL starts with '/': write the pattern for the whole URL, from its slash";
  Edit edit;
  // Apache's per-directory form "^name": the same path from its slash, with or without the
  // query that the URL here holds.
  if (text.size() >= 1 && text[0] == '^' && (text.size() == 1 || text[1] != '/') &&
      AnalysePattern(text).topLevelBar == std::string_view::npos) {
    const std::string_view rest = text.substr(1);
    const std::string written =
        EndsWithAnchor(rest) ? "^/" + std::string(rest.substr(0, rest.size() - 1)) + "(?:\\?.*)?$"
                             : "^/" + std::string(rest) + ".*";
    hint = "write " + written;
    edit = Edit::ReplaceWord(pattern, written);
  }
  return Problem{pattern.column,
                 "no URL matches this pattern: every URL starts with '/' (Apache's "
                 "per-directory rules see the path without it)",
                 hint, "never-matches", edit};
}

std::optional<Problem> ExplainCaseSensitiveRefusal(const Word& pattern) {
  const PatternWarnings shape = AnalysePattern(pattern.text);
  if (shape.literalLength < 2) return std::nullopt;
  const std::string_view literal = pattern.text.substr(shape.literal, shape.literalLength);
  const auto letter = std::find_if(literal.begin(), literal.end(), [](char c) {
    return std::isalpha(static_cast<unsigned char>(c));
  });
  if (letter == literal.end()) return std::nullopt;
  const std::string upper = Upper(literal);
  return Problem{pattern.column + static_cast<uint32_t>(shape.literal),
                 "a refusal with case: the file system of the web server ignores case, so '" +
                     upper + "' reaches the same file and gets past it",
                 "add I to the flags", "case-sensitive-refusal", Edit::AddFlag('I')};
}

}  // namespace vortane::tools::check
