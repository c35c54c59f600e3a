#include "config/parser.h"

#include <optional>
#include <string>
#include <utility>

#include "base/text.h"
#include "platform/files.h"
#include "regex/timed_match.h"

namespace vortane {
namespace {

// The token characters of HTTP/1.1 header names and server variable names.
#define VORTANE_TOKEN R"([!#-'\*\+\-\.0-9A-Z\^-z\|~])"
// One flag item of a rule's flag list: a letter of kFlags, and R=DIGITS where the letter takes
// a redirect status. The parser checks the status; any digits get this far, so that a wrong
// status is reported as one.
std::string FlagItem() {
  std::string item = "(?:";
  for (const FlagMeaning& flag : kFlags) {
    if (item.size() > 3) item += '|';
    item += flag.letter;  // an upper-case letter: literal in a pattern
    if (flag.takesStatus) item += "(?:=[[:digit:]]+)?";
  }
  return item + ")";
}

// A rule's flag list: 1 to kMaxFlagItems items separated by single commas, captured whole.
std::string RuleFlags() {
  return "(" + FlagItem() + "(?:," + FlagItem() + "){0," + std::to_string(kMaxFlagItems - 1) + "})";
}

// A condition's flag list: one of the letters a condition takes, captured.
std::string ConditionFlags() {
  std::string letters;
  for (const FlagMeaning& flag : kFlags) {
    if (flag.conditionBits != 0) letters += flag.letter;
  }
  return "([" + letters + "])";
}

// The grammar of the configuration language, compiled once when the library is loaded.
struct Grammar {
  Expression header = Compile(R"([[:blank:]]*\[Vortane(?:1\.0)?\][[:blank:]]*)");
  Expression blankOrComment = Compile(R"([[:blank:]]*(?:#.*)?)");
  Expression rewriteRule =
      Compile(R"([[:blank:]]*RewriteRule[[:blank:]]+([^[:blank:]]+)[[:blank:]]+([^[:space:]]+))"
              R"((?:[[:blank:]]+\[)" +
              RuleFlags() + R"(\])?[[:blank:]]*)");
  Expression rewriteCond = Compile(R"([[:blank:]]*RewriteCond[[:blank:]]+(?:%()" VORTANE_TOKEN
                                   R"(+)|(URL|METHOD|VERSION|)" VORTANE_TOKEN
                                   R"(+:))[[:blank:]]+([^[:blank:]]+)(?:[[:blank:]]+\[)" +
                                   ConditionFlags() + R"(\])?[[:blank:]]*)");
  Expression rewriteHeader =
      Compile(R"([[:blank:]]*RewriteHeader[[:blank:]]+(URL|METHOD|VERSION|)" VORTANE_TOKEN
              R"(+:)[[:blank:]]+([^[:blank:]]+)[[:blank:]]+([^[:space:]]+))"
              R"((?:[[:blank:]]+\[)" +
              RuleFlags() + R"(\])?[[:blank:]]*)");
  Expression cacheClockRate =
      Compile(R"([[:blank:]]*CacheClockRate[[:blank:]]+([[:digit:]]{1,7})[[:blank:]]*)");
  Expression repeatLimit =
      Compile(R"([[:blank:]]*RepeatLimit[[:blank:]]+([[:digit:]]{1,9})[[:blank:]]*)");

  static Expression Compile(std::string_view pattern) { return CompilePattern(pattern, false); }
};

#undef VORTANE_TOKEN

const Grammar grammar;

// Matches a whole line against a grammar pattern. The limit never expires; a line so
// pathological that Boost's own complexity or memory bounds stop the match is a line the
// grammar does not recognise.
bool MatchLine(std::string_view line, const Expression& pattern, MatchResults& groups) {
  try {
    return TimedMatch(line.data(), line.data() + line.size(), groups, pattern, NoTimeLimit,
                      boost::match_not_dot_newline);
  } catch (const bad_expression&) {
    return false;
  }
}

std::string_view Group(const MatchResults& groups, size_t n) {
  if (!groups[n].matched) return {};
  return std::string_view(groups[n].first.base(),
                          static_cast<size_t>(groups[n].second.base() - groups[n].first.base()));
}

// A number of at most nine digits, as the grammar guarantees.
uint32_t Decimal(std::string_view digits) {
  return static_cast<uint32_t>(ParseDecimal(digits, UINT32_MAX).value_or(0));
}

// Splits the view into lines: each ends at LF (or the end of the view), without the CRs at
// its end. No empty line follows a final LF.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  bool Next(std::string_view& line) {
    if (rest_.empty()) return false;
    const size_t lineFeed = rest_.find('\n');
    line = rest_.substr(0, lineFeed);
    rest_ = lineFeed == std::string_view::npos ? std::string_view() : rest_.substr(lineFeed + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }

 private:
  std::string_view rest_;
};

// The body of one parse: what is pending between lines.
class BodyParser {
 public:
  BodyParser(const ParseContext& context, ParsedConfig& parsed, ParseReport& report)
      : context_(context), parsed_(parsed), report_(report) {}

  void Line(uint32_t number, std::string_view line) {
    number_ = number;
    if (MatchLine(line, grammar.blankOrComment, groups_)) return;
    if (MatchLine(line, grammar.rewriteRule, groups_)) {
      return RuleLine(Group(groups_, 1), Group(groups_, 2), Group(groups_, 3), "URL");
    }
    if (MatchLine(line, grammar.rewriteCond, groups_)) return ConditionLine();
    if (MatchLine(line, grammar.rewriteHeader, groups_)) {
      return RuleLine(Group(groups_, 2), Group(groups_, 3), Group(groups_, 4), Group(groups_, 1));
    }
    if (MatchLine(line, grammar.cacheClockRate, groups_)) return CacheClockRateLine();
    if (MatchLine(line, grammar.repeatLimit, groups_)) return RepeatLimitLine();
    report_.UnrecognizedLine(number, line);
  }

  // The line `number`, cut by the read limit, is the last one: it is reported, not used.
  void CutLine(uint32_t number) {
    number_ = number;
    report_.LineCutAtLimit(number);
  }

  void End() {
    if (pending_) report_.ConditionsWithoutRule(groupFirstLine_, number_);
    DropPending();
  }

 private:
  // Starts the pending group at the current line when none is pending.
  void StartGroup() {
    if (!pending_) groupFirstLine_ = number_;
    pending_ = true;
  }

  void ConditionLine() {
    StartGroup();
    ConditionParts condition;
    condition.isServerVariable = groups_[1].matched;
    condition.name = Group(groups_, condition.isServerVariable ? 1 : 2);
    condition.pattern = Group(groups_, 3);
    condition.flags = Group(groups_, 4);
    condition.line = number_;
    conditions_.push_back(condition);
  }

  void RuleLine(std::string_view pattern, std::string_view format, std::string_view flags,
                std::string_view target) {
    StartGroup();
    RuleParts parts;
    parts.conditions = std::move(conditions_);
    parts.pattern = pattern;
    parts.format = format;
    parts.flags = flags;
    parts.target = target;
    parts.line = number_;
    BuiltRule built = BuildRule(parts);
    switch (built.error) {
      case RuleError::None:
        parsed_.rules.push_back(std::move(built.rule));
        break;
      case RuleError::InvalidRedirectStatus:
        report_.InvalidRedirectStatus(groupFirstLine_, number_, built.invalidStatus);
        break;
      case RuleError::RepeatedRedirect:
        report_.RepeatedRedirect(groupFirstLine_, number_);
        break;
      case RuleError::BadPattern:
        report_.BadRegularExpression(groupFirstLine_, number_);
        break;
    }
    DropPending();
  }

  // Ends the pending group: its rule and conditions are used or dropped.
  void DropPending() {
    pending_ = false;
    conditions_.clear();
  }

  void CacheClockRateLine() {
    if (context_.siteId != 0) return report_.CacheClockRateInSiteFile(number_);
    uint32_t seconds = Decimal(Group(groups_, 1));
    if (seconds == 0) {
      report_.InvalidCacheClockRate(number_);
      seconds = kDefaultCacheClockRateMs / 1000;
    }
    const uint32_t ms = std::min(seconds, kMaxCacheClockRateSeconds) * 1000u;
    parsed_.settings.push_back({SettingDirective::Kind::CacheClockRate, number_, ms});
  }

  void RepeatLimitLine() {
    auto limit = static_cast<int32_t>(Decimal(Group(groups_, 1)));
    if (context_.siteId != 0 && limit > context_.globalRepeatLimit) {
      report_.RepeatLimitAboveGlobal(number_);
      limit = context_.globalRepeatLimit;
    }
    parsed_.settings.push_back(
        {SettingDirective::Kind::RepeatLimit, number_, static_cast<uint32_t>(limit)});
  }

  const ParseContext& context_;
  ParsedConfig& parsed_;
  ParseReport& report_;
  MatchResults groups_;
  bool pending_ = false;                    // a group of conditions awaits its rule
  std::vector<ConditionParts> conditions_;  // views into the text being parsed
  uint32_t groupFirstLine_ = 0;
  uint32_t number_ = 0;
};

}  // namespace

ParsedConfig ParseConfigText(std::string_view text, const ParseContext& context,
                             ParseReport& report, bool cutAtLimit) {
  ParsedConfig parsed;
  // A line the limit cuts could read as another directive (a rule without its flags), so
  // it is left out; a limit right after a line feed cuts no line.
  const bool lineCut = cutAtLimit && !text.empty() && text.back() != '\n';
  if (lineCut) {
    const size_t lastLineFeed = text.rfind('\n');
    text = text.substr(0, lastLineFeed == std::string_view::npos ? 0 : lastLineFeed + 1);
  }
  LineReader lines(text);
  std::string_view line;
  uint32_t number = 1;
  MatchResults groups;
  for (;;) {
    if (!lines.Next(line)) {
      report.SectionNotFound();
      return parsed;
    }
    if (MatchLine(line, grammar.header, groups)) break;
    ++number;
  }
  BodyParser body(context, parsed, report);
  while (lines.Next(line)) body.Line(++number, line);
  if (lineCut) body.CutLine(++number);
  body.End();
  return parsed;
}

bool ParseConfigFile(const platform::PathString& path, const ParseContext& context,
                     ParsedConfig& parsed) {
  const platform::FileView view(path, kMaxConfigBytes);
  if (!view.HasBytes()) return !view.Failed();
  // The report is never opened over the configuration itself: the same path, or (checked
  // by ReportFile) the same file under another name.
  const platform::PathString reportPath = PathBeside(path, "httpd.parse.errors");
  std::optional<platform::ReportFile> file;
  if (reportPath != path) file.emplace(reportPath, &view);
  ParseReport report([&file](std::string_view bytes) {
    if (file) file->Write(bytes);
  });
  parsed = ParseConfigText(view.Bytes(), context, report, view.IsCut());
  return true;
}

}  // namespace vortane
