#include "tools/check/warnings.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text.h"
#include "config/parser.h"
#include "regex/pattern_tree.h"
#include "regex/substitution.h"
#include "rules/rule.h"
#include "tools/check/pasted.h"
#include "tools/check/pattern_shape.h"
#include "tools/check/per_directory.h"

namespace vortane::tools::check {
namespace {

// Repeat limits above this one, with a rule that restarts the sweep, are worth a warning.
constexpr uint32_t kHighRepeatLimit = 1000;

// What the flag list word of an accepted line sets; nothing when it has none.
FlagList FlagsOf(const std::vector<Word>& words, size_t arguments) {
  if (words.size() <= arguments + 1) return {};
  const std::string_view list = words[arguments + 1].text;
  return ReadFlagList(list.substr(1, list.size() - 2));
}

// One walk over the body: each accepted line's warnings, and those that need the lines
// around it (the group of conditions a rule ends, the rules above it).
class WarningPass {
 public:
  WarningPass(const std::vector<LineFacts>& facts, DiagnosticList& out)
      : facts_(facts), out_(out) {}

  void Run() {
    size_t header = 0;
    while (header < facts_.size() && !IsSectionHeader(facts_[header].text)) ++header;
    for (size_t i = header + 1; i < facts_.size(); ++i) {
      const LineFacts& facts = facts_[i];
      const auto number = static_cast<uint32_t>(i + 1);
      if (facts.unrecognized) {
        if (!conditions_.empty() && passedOver_ == 0) passedOver_ = number;
        continue;
      }
      if (facts.words.empty() || facts.words[0].text[0] == '#') continue;
      const std::string_view keyword = facts.words[0].text;
      if (keyword == "RepeatLimit") {
        repeatLines_.push_back(number);
      } else if (keyword == "RewriteCond") {
        conditions_.push_back(number);
        ConditionWarnings(facts, number);
      } else if (keyword == "RewriteRule" || keyword == "RewriteHeader") {
        RuleLine(facts, number);
      }
    }
    if (restarts_) RepeatLimitWarnings();
  }

 private:
  void Add(uint32_t line, uint32_t column, std::string code, std::string message, std::string hint,
           const Edit& edit = {}) {
    out_.Add(Severity::Warning, line, column, std::move(code), std::move(message), std::move(hint),
             edit);
  }

  // A rule line ends the pending group of conditions.
  void RuleLine(const LineFacts& facts, uint32_t number) {
    if (facts.dropped) {  // its conditions went with it; its errors say so
      conditions_.clear();
      passedOver_ = 0;
      return;
    }
    const bool header = facts.words[0].text == "RewriteHeader";
    const FlagList flags = FlagsOf(facts.words, header ? 3 : 2);
    if ((flags.ruleBits & RuleFlag::Restart) != 0) restarts_ = true;
    if (passedOver_ != 0) {
      Add(number, 1, "conditions-moved",
          "the conditions from line " + std::to_string(conditions_.front()) + " pass over line " +
              std::to_string(passedOver_) + ", which the filter skips, and guard this rule instead",
          "fix line " + std::to_string(passedOver_) + ", or end the conditions before it");
    }
    if (stopper_ != 0 && !warnedUnreachable_) {
      warnedUnreachable_ = true;
      Add(conditions_.empty() ? number : conditions_.front(), 1, "unreachable-rule",
          "no request reaches this rule: the rule on line " + std::to_string(stopper_) +
              " matches every URL and ends the pass",
          "move it above line " + std::to_string(stopper_));
    }
    RuleWarnings(facts, number, flags, !conditions_.empty(), header);
    constexpr uint32_t kEndsPass = RuleFlag::Last | RuleFlag::Redirect | RuleFlag::Forbidden;
    if (conditions_.empty() && !header && MatchesEverything(facts.words[1].text) &&
        (flags.ruleBits & kEndsPass) != 0 && stopper_ == 0) {
      stopper_ = number;
    }
    conditions_.clear();
    passedOver_ = 0;
  }

  // High repeat limits matter only in a file with a rule that restarts the sweep.
  void RepeatLimitWarnings() {
    for (uint32_t line : repeatLines_) {
      const uint32_t value = static_cast<uint32_t>(
          ParseDecimal(facts_[line - 1].words[1].text, UINT32_MAX).value_or(0));
      if (value > kHighRepeatLimit) {
        Add(line, facts_[line - 1].words[1].column, "high-repeat-limit",
            "a repeat limit of " + std::to_string(value) +
                " lets the rules with N sweep this file that often for one request",
            "keep it low (the default is 32): each sweep matches every rule again");
      }
    }
  }

  // Warnings about one pattern, whatever line kind holds it.
  void PatternWarnings(const Word& pattern, uint32_t number, bool ignoreCase, bool grouped) {
    const auto shape = AnalysePattern(pattern.text);
    if (pattern.text[0] == '!') {
      const std::string negation = NegationOf(pattern.text.substr(1));
      Add(number, pattern.column, "negated-pattern", "'!' is a literal byte here, not a negation",
          "write " + negation +
              " (true where the pattern after '!' matches nowhere in the value, as in Apache)",
          Edit::ReplaceWord(pattern, negation));
    }
    if (grouped && shape.topLevelBar != std::string_view::npos) {
      Add(number, pattern.column + static_cast<uint32_t>(shape.topLevelBar),
          "top-level-alternation",
          "'|' outside a group splits the rule's whole expression (its conditions and its "
          "pattern are one expression)",
          "put the alternatives in a group: (?:A|B)");
    }
    if (shape.nestedRepeat != std::string_view::npos) {
      Add(number, pattern.column + static_cast<uint32_t>(shape.nestedRepeat), "nested-repeat",
          "a repeated group holds an unbounded repeat: some values take exponential time",
          "make the inner and outer repeats unable to match the same text, or drop one");
    }
    if (ignoreCase && shape.caseClass != std::string_view::npos) {
      Add(number, pattern.column + static_cast<uint32_t>(shape.caseClass), "case-class-under-i",
          "under I a lower- or upper-case class matches both cases",
          "drop I, or write the class as [[:alpha:]] to say so");
    }
  }

  void ConditionWarnings(const LineFacts& facts, uint32_t number) {
    const Word& subject = facts.words[1];
    const Word& pattern = facts.words[2];
    if (subject.text[0] == '%') {
      std::optional<Problem> unknown = ExplainUnknownVariable(subject);
      if (unknown) AddContextFix(facts_, number - 1, *unknown);
      Report(number, unknown);
    }
    if (IsApacheTest(pattern.text)) {
      Report(number, ExplainApacheTest(subject, pattern));
      return;
    }
    if (Report(number, ExplainQuotes(pattern, true))) return;
    if (subject.text == "URL" && pattern.text[0] != '!' &&
        Report(number, ExplainNeverMatches(pattern, false))) {
      return;
    }
    // The letter I of the rule is not known yet; case classes are checked at the rule.
    PatternWarnings(pattern, number, false, true);
    PartialMatch(subject.text, pattern, number);
  }

  // Adds the problem, if there is one, as a warning; says whether there was.
  bool Report(uint32_t number, const std::optional<Problem>& problem) {
    if (problem) {
      Add(number, problem->column, problem->code, problem->message, problem->hint, problem->edit);
    }
    return problem.has_value();
  }

  // A rule written for Apache's per-directory matching, written here in full: one warning in
  // place of those about its pattern and substitution. False when it is none, or cannot be
  // written exactly.
  bool PerDirectoryWarning(const Word& pattern, uint32_t number, const FlagList& flags) {
    const std::optional<std::string> rule = PerDirectoryRule(facts_, number - 1);
    if (!rule) return false;
    const std::string_view p = Unquoted(pattern.text);
    const std::string written(Trimmed(*rule));
    const std::string_view format = Unquoted(facts_[number - 1].words[2].text);
    const char* code = NeverMatchesUrl(p, flags.ignoreCase) ? "never-matches"
                       : p.size() != pattern.text.size()    ? "quoted-pattern"
                       : IsRelativeSubstitution(format)     ? "relative-substitution"
                                                            : "whole-url-match";
    Add(number, pattern.column, code,
        "Apache's per-directory rule: it finds the pattern anywhere in the decoded path without "
        "its '/' and keeps the query; here a pattern matches the whole URL, query included",
        "write " + written, Edit::ReplaceLines(number, number, *rule + "\n"));
    return true;
  }

  // What a rule's pattern on the URL means where it was written for Apache; true when the
  // rule is written in full by a per-directory warning, which says everything about it.
  bool UrlPatternWarnings(const Word& pattern, uint32_t number, const FlagList& flags,
                          bool perDirectory) {
    const std::string_view p = pattern.text;
    if ((flags.ruleBits & RuleFlag::Forbidden) != 0 && !flags.ignoreCase) {
      Report(number, ExplainCaseSensitiveRefusal(pattern));
    }
    if (perDirectory && PerDirectoryWarning(pattern, number, flags)) return true;
    if (p[0] == '!' || Report(number, ExplainQuotes(pattern, true))) return false;
    // A per-directory rule that cannot be written in full (yet: its conditions' [OR] first)
    // gets advice only: the pattern from the '/' alone would lose Apache's query and groups.
    std::optional<Problem> never = ExplainNeverMatches(pattern, flags.ignoreCase);
    if (never && perDirectory) never->edit = {};
    if (Report(number, never)) return false;
    if (IsPartialPattern(p)) {
      Add(number, pattern.column, "whole-url-match",
          "the pattern must match the whole URL, from its '/': Apache finds it anywhere in the "
          "path",
          "put .* before and after the part to find, or write the URL from its '/'");
    }
    return false;
  }

  // A substitution written for Apache's per-directory rules: a path without its slash.
  void RelativeSubstitution(const Word& format, uint32_t number, bool perDirectory) {
    const std::string_view f = format.text;
    if (std::isalnum(static_cast<unsigned char>(f[0])) == 0) return;
    if (f.find("://") != std::string_view::npos) return;
    Add(number, format.column, "relative-substitution",
        "the substitution is the whole new URL: without its leading '/' the server cannot "
        "serve it",
        "write /" + std::string(f),
        perDirectory ? Edit{} : Edit::ReplaceWord(format, "/" + std::string(f)));
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
    Add(number, pattern.column, "whole-value-match",
        "the pattern must match the whole value, not a part of it",
        "write .*" + std::string(p) + ".* to find it inside the value, or ^" + std::string(p) +
            "$ to say the whole value is meant");
  }

  void RuleWarnings(const LineFacts& facts, uint32_t number, const FlagList& flags, bool grouped,
                    bool header) {
    const Word& pattern = facts.words[header ? 2 : 1];
    const Word& format = facts.words[header ? 3 : 2];
    const bool ignoreCase = flags.ignoreCase;
    PatternWarnings(pattern, number, ignoreCase, grouped);
    const bool perDirectory = !header && IsPerDirectoryRule(facts_, number - 1);
    if (!header && UrlPatternWarnings(pattern, number, flags, perDirectory)) {
      return;  // written in full
    }
    if (ignoreCase && grouped) CaseClassesAbove(number);
    if (header) PartialMatch(facts.words[1].text, pattern, number);
    if (KeepsValue(format.text)) {
      KeptValue(format, number, flags.ruleBits);
    } else if (!Report(number, ExplainQuotes(format, false))) {
      SubstitutionWarnings(format, number, flags.ruleBits);
      if (!header && (flags.ruleBits & RuleFlag::Forbidden) == 0) {
        RelativeSubstitution(format, number, perDirectory);
      }
    }
    if (!header && (flags.ruleBits & RuleFlag::Forbidden) != 0 &&
        (flags.ruleBits & RuleFlag::Normalize) == 0) {
      EncodedLiteral(pattern, number);
    }
  }

  // The case classes of the conditions of the rule on line `number`, which sets I: the
  // letter applies to the group's whole expression.
  void CaseClassesAbove(uint32_t number) {
    for (size_t i = number - 1; i-- > 0;) {
      const LineFacts& before = facts_[i];
      if (before.unrecognized || before.words.empty()) continue;
      if (before.words[0].text == "RewriteRule" || before.words[0].text == "RewriteHeader") {
        break;
      }
      if (before.words[0].text != "RewriteCond") continue;
      const size_t at = AnalysePattern(before.words[2].text).caseClass;
      if (at != std::string_view::npos) {
        Add(static_cast<uint32_t>(i + 1), before.words[2].column + static_cast<uint32_t>(at),
            "case-class-under-i", "under I a lower- or upper-case class matches both cases",
            "drop I, or write the class as [[:alpha:]] to say so");
      }
    }
  }

  // A refusal matched on the raw URL: a literal in it can be written with an escape.
  void EncodedLiteral(const Word& pattern, uint32_t number) {
    const vortane::PatternWarnings shape = AnalysePattern(pattern.text);
    if (shape.literalLength < 2) return;
    const auto first = static_cast<unsigned char>(pattern.text[shape.literal]);
    Add(number, pattern.column + static_cast<uint32_t>(shape.literal), "encoded-literal",
        "a refusal on the URL as the client sent it: a client that writes '" +
            std::string(1, static_cast<char>(first)) + "' as '%" + kHexDigits[first >> 4] +
            kHexDigits[first & 0xF] + "' gets past it",
        "add O to the flags: the URL is then decoded and normalised before it is matched",
        Edit::AddFlag('O'));
  }

  // A rule whose substitution is "-": it writes nothing, so only its flags act.
  void KeptValue(const Word& format, uint32_t number, uint32_t flags) {
    const auto has = [flags](uint32_t bit) { return (flags & bit) != 0; };
    if (has(RuleFlag::Forbidden)) return;
    if (has(RuleFlag::Redirect)) {
      Add(number, format.column, "redirect-to-same-url",
          "'-' with R redirects to the URL as the rules have left it: unless an earlier rule "
          "changed it, the client is sent back to the URL it asked for, and loops",
          "write the new location as the substitution (http://example.com$1)");
    } else if (has(RuleFlag::LogRequestedUrl)) {
      Add(number, format.column, "kept-value-log",
          "U does nothing with '-': the log is marked only by a rule that writes its value",
          "leave U out, or write the new value as the substitution");
    }
    if (!has(RuleFlag::Last) && !has(RuleFlag::Restart) && !has(RuleFlag::Redirect)) {
      Add(number, format.column, "kept-value-no-effect",
          "'-' without L, N, F or R: the rule matches and changes nothing",
          "add L to end the pass here, or write a substitution");
    }
  }

  void SubstitutionWarnings(const Word& format, uint32_t number, uint32_t flags) {
    const std::string_view f = format.text;
    bool question = false, percent = false;  // each said once per line
    for (size_t i = 0; i < f.size(); ++i) {
      if (f[i] == '\\') {
        ++i;
      } else if (f[i] == '?' && !question && (flags & RuleFlag::Forbidden) == 0 &&
                 (i + 1 >= f.size() || !std::isdigit(static_cast<unsigned char>(f[i + 1])))) {
        Add(number, format.column + static_cast<uint32_t>(i), "unescaped-question",
            "'?' in a substitution starts a conditional: the rest of the substitution is "
            "not written as it stands",
            "write \\? for a literal question mark");
        question = true;
      } else if (f[i] == '%' && !percent && i + 1 < f.size() &&
                 (std::isdigit(static_cast<unsigned char>(f[i + 1])) || f[i + 1] == '{')) {
        Add(number, format.column + static_cast<uint32_t>(i), "percent-reference",
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
          Add(number, format.column + static_cast<uint32_t>(open), "flags-in-substitution",
              "'" + std::string(list) + "' is part of the substitution, not a flag list",
              "put a blank before the flag list");
        }
      }
    }
  }

  const std::vector<LineFacts>& facts_;
  DiagnosticList& out_;
  std::vector<uint32_t> conditions_;  // lines of the pending group
  uint32_t passedOver_ = 0;           // an unrecognised line inside the pending group
  uint32_t stopper_ = 0;              // a rule that ends every request's pass
  bool warnedUnreachable_ = false;
  bool restarts_ = false;
  std::vector<uint32_t> repeatLines_;
};

}  // namespace

void AddWarnings(const std::vector<LineFacts>& facts, DiagnosticList& out) {
  WarningPass(facts, out).Run();
}

}  // namespace vortane::tools::check
