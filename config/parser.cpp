#include "config/parser.h"
#include "base/file_names.h"

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

// The patterns of the body lines, in the order a line is tried against them.
const Expression* const kBodyLines[] = {&grammar.blankOrComment, &grammar.rewriteRule,
                                        &grammar.rewriteCond,    &grammar.rewriteHeader,
                                        &grammar.cacheClockRate, &grammar.repeatLimit};

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

ParseEvent MakeEvent(ParseEventKind kind, uint32_t firstLine, uint32_t lastLine) {
  ParseEvent event{};
  event.kind = kind;
  event.firstLine = firstLine;
  event.lastLine = lastLine;
  return event;
}

// The body of one parse: what is pending between lines.
class BodyParser {
 public:
  BodyParser(const ParseContext& context, ParsedConfig& parsed, ParseSink& sink)
      : context_(context), parsed_(parsed), sink_(sink) {}

  void Line(uint32_t number, std::string_view line) {
    number_ = number;
    line_ = line;
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
    ParseEvent event = MakeEvent(ParseEventKind::UnrecognizedLine, number, number);
    event.text = line;
    Report(event);
  }

  // The line `number`, cut by the read limit, is the last one: it is reported, not used.
  void CutLine(uint32_t number) {
    number_ = number;
    Report(MakeEvent(ParseEventKind::LineCutAtLimit, number, number));
  }

  void End() {
    if (pending_)
      Report(MakeEvent(ParseEventKind::ConditionsWithoutRule, groupFirstLine_, number_));
    DropPending();
  }

 private:
  void Report(const ParseEvent& event) { sink_.Event(event); }

  // The column, from 1, of `part` (a view into the current line).
  uint32_t ColumnOf(std::string_view part) const {
    return static_cast<uint32_t>(part.data() - line_.data()) + 1;
  }

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
    patternColumns_.push_back(ColumnOf(condition.pattern));
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
    patternColumns_.push_back(ColumnOf(pattern));
    BuiltRule built = BuildRule(parts);
    ParseEvent event = MakeEvent(ParseEventKind::BadRegularExpression, groupFirstLine_, number_);
    switch (built.error) {
      case RuleError::None:
        parsed_.rules.push_back(std::move(built.rule));
        break;
      case RuleError::InvalidRedirectStatus:
        event.kind = ParseEventKind::InvalidRedirectStatus;
        event.line = number_;
        event.column = ColumnOf(built.flagItem);
        event.text = built.invalidStatus;
        Report(event);
        break;
      case RuleError::RepeatedRedirect:
        event.kind = ParseEventKind::RepeatedRedirect;
        event.line = number_;
        event.column = ColumnOf(built.flagItem);
        Report(event);
        break;
      case RuleError::BadPattern:
        if (built.patternFault) PlaceFault(parts, *built.patternFault, event);
        Report(event);
        break;
    }
    DropPending();
  }

  // Sets the line and column of the byte at `fault.offset` of the group's combined pattern.
  void PlaceFault(const RuleParts& parts, const PatternFault& fault, ParseEvent& event) const {
    size_t start = 0;
    for (size_t i = 0; i <= parts.conditions.size(); ++i) {
      const bool rule = i == parts.conditions.size();
      if (!rule && IsFileTest(parts.conditions[i])) continue;  // not in the combined pattern
      const std::string_view pattern = rule ? parts.pattern : parts.conditions[i].pattern;
      if (start > fault.offset) break;
      event.line = rule ? parts.line : parts.conditions[i].line;
      event.column = patternColumns_[i] + static_cast<uint32_t>(fault.offset - start);
      start += pattern.size() + 1;
    }
    event.text = fault.description;
  }

  // Ends the pending group: its rule and conditions are used or dropped.
  void DropPending() {
    pending_ = false;
    conditions_.clear();
    patternColumns_.clear();
  }

  void CacheClockRateLine() {
    if (context_.siteId != 0)
      return Report(MakeEvent(ParseEventKind::CacheClockRateInSiteFile, number_, number_));
    uint32_t seconds = Decimal(Group(groups_, 1));
    if (seconds == 0) {
      Report(MakeEvent(ParseEventKind::InvalidCacheClockRate, number_, number_));
      seconds = kDefaultCacheClockRateMs / 1000;
    }
    const uint32_t ms = std::min(seconds, kMaxCacheClockRateSeconds) * 1000u;
    parsed_.settings.push_back({SettingDirective::Kind::CacheClockRate, number_, ms});
  }

  void RepeatLimitLine() {
    auto limit = static_cast<int32_t>(Decimal(Group(groups_, 1)));
    if (context_.siteId != 0 && limit > context_.globalRepeatLimit) {
      Report(MakeEvent(ParseEventKind::RepeatLimitAboveGlobal, number_, number_));
      limit = context_.globalRepeatLimit;
    }
    parsed_.settings.push_back(
        {SettingDirective::Kind::RepeatLimit, number_, static_cast<uint32_t>(limit)});
  }

  const ParseContext& context_;
  ParsedConfig& parsed_;
  ParseSink& sink_;
  std::string_view line_;  // the line being parsed
  MatchResults groups_;
  bool pending_ = false;                    // a group of conditions awaits its rule
  std::vector<ConditionParts> conditions_;  // views into the text being parsed
  std::vector<uint32_t> patternColumns_;    // of the group's patterns, the rule's last
  uint32_t groupFirstLine_ = 0;
  uint32_t number_ = 0;
};

}  // namespace

bool IsSectionHeader(std::string_view line) {
  MatchResults groups;
  return MatchLine(line, grammar.header, groups);
}

bool IsBodyLine(std::string_view line) {
  MatchResults groups;
  for (const Expression* pattern : kBodyLines) {
    if (MatchLine(line, *pattern, groups)) return true;
  }
  return false;
}

ParsedConfig ParseConfigText(std::string_view text, const ParseContext& context, ParseSink& sink,
                             bool cutAtLimit) {
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
  for (;;) {
    if (!lines.Next(line)) {
      sink.Event(MakeEvent(ParseEventKind::SectionNotFound, 0, 0));
      return parsed;
    }
    if (IsSectionHeader(line)) break;
    ++number;
  }
  BodyParser body(context, parsed, sink);
  while (lines.Next(line)) body.Line(++number, line);
  if (lineCut) body.CutLine(++number);
  body.End();
  return parsed;
}

bool ParseConfigFile(const platform::PathString& path, const ParseContext& context,
                     ParsedConfig& parsed) {
  const platform::FileView view(path, kMaxConfigBytes);
  if (!view.HasBytes() && !view.Failed()) {
    parsed.stamp = view.Stamp();
    parsed.digest = ConfigDigest({});
    return true;
  }
  // The report is never opened over the configuration itself: the same path, or (checked
  // by ReportFile) the same file under another name.
  const platform::PathString reportPath = PathBeside(path, kReportFileName);
  std::optional<platform::ReportFile> file;
  if (reportPath != path) file.emplace(reportPath, &view);
  ParseReport report([&file](std::string_view bytes) {
    if (file) file->Write(bytes);
  });
  if (view.Failed()) {
    // Said where the administrator looks: requests meanwhile run the file's previous rules,
    // or are answered with a 500 (filter/request.h).
    report.FileUnreadable(view.Failure());
    return false;
  }
  parsed = ParseConfigText(view.Bytes(), context, report, view.IsCut());
  parsed.stamp = view.Stamp();
  parsed.digest = ConfigDigest(view.Bytes());
  return true;
}

uint64_t ConfigDigest(std::string_view bytes) {
  // 64-bit FNV-1a: fixed across builds and processes, unlike std::hash.
  uint64_t digest = 0xcbf29ce484222325u;
  for (const char c : bytes) {
    digest = (digest ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  }
  return digest;
}

std::optional<FileDigest> ReadConfigDigest(const platform::PathString& path) {
  const platform::FileView view(path, kMaxConfigBytes);
  if (view.Failed()) return std::nullopt;
  return FileDigest{ConfigDigest(view.Bytes()), view.Stamp()};
}

}  // namespace vortane
