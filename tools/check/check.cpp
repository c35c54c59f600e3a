#include "tools/check/check.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "base/file_names.h"
#include "base/text.h"
#include "platform/files.h"
#include "platform/site_table.h"
#include "tools/check/explain.h"
#include "tools/check/lines.h"
#include "tools/check/pasted.h"
#include "tools/check/warnings.h"

namespace vortane::tools {
namespace {

using check::DiagnosticList;
using check::LineFacts;

// Parses a file and explains each event of the parse as it comes, then warns about what the
// parse accepted.
class Checker final : public ParseSink {
 public:
  Checker(std::string_view text, const std::string& file, const ParseContext& context,
          bool cutAtLimit)
      : out_(file, facts_) {
    for (std::string_view line : check::Lines(text)) {
      facts_.push_back({line, check::Words(line), false});
    }
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
    if (sectionFound_) check::AddWarnings(facts_, out_);
    return std::move(out_).Sorted();
  }

 private:
  void Add(Severity severity, uint32_t line, uint32_t column, std::string code, std::string message,
           std::string hint, const check::Edit& edit = {}) {
    out_.Add(severity, line, column, std::move(code), std::move(message), std::move(hint), edit);
  }

  void Event(const ParseEvent& event) override {
    const uint32_t first = event.firstLine, last = event.lastLine;
    switch (event.kind) {
      case ParseEventKind::SectionNotFound: {
        sectionFound_ = false;
        std::vector<std::string_view> lines;
        for (const LineFacts& facts : facts_) lines.push_back(facts.text);
        Diagnostic d = check::ExplainMissingSection(lines);
        // Lines pasted without the header (no line is nearly one): the header goes first.
        check::Edit edit;
        if (d.line == 0 && !facts_.empty()) {
          edit =
              check::Edit::ReplaceLines(1, 1, "[Vortane]\n" + std::string(facts_[0].text) + "\n");
        }
        return Add(Severity::Error, d.line, d.column, d.code, d.message, d.hint, edit);
      }
      case ParseEventKind::UnrecognizedLine: {
        LineFacts& facts = facts_[first - 1];
        facts.unrecognized = true;
        check::Problem problem = check::ExplainLine(facts);
        check::AddContextFix(facts_, first - 1, problem);
        return Add(Severity::Error, first, problem.column, problem.code, problem.message,
                   problem.hint, problem.edit);
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
          "'" + item + "' is no redirect status" + dropped, check::kRedirectStatusHint);
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

  std::vector<LineFacts> facts_;
  DiagnosticList out_;
  ParsedConfig parsed_;
  bool sectionFound_ = true;
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

}  // namespace

std::vector<Diagnostic> CheckConfigText(std::string_view text, const std::string& file,
                                        const ParseContext& context, bool cutAtLimit,
                                        int32_t* repeatLimitAfter) {
  return Checker(text, file, context, cutAtLimit).Run(repeatLimitAfter, context);
}

std::string ApplyFixes(std::string_view text, const std::vector<Diagnostic>& diagnostics) {
  std::vector<std::string_view> lines;  // each with its "\n", when it has one
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  std::vector<const Diagnostic*> fixAt(lines.size() + 1, nullptr);
  std::vector<bool> taken(lines.size() + 1, false);
  for (const Diagnostic& d : diagnostics) {
    if (d.fixFirstLine == 0 || d.fixLastLine < d.fixFirstLine || d.fixLastLine > lines.size()) {
      continue;
    }
    const auto first = taken.begin() + d.fixFirstLine, last = taken.begin() + d.fixLastLine + 1;
    if (std::find(first, last, true) != last) continue;
    std::fill(first, last, true);
    fixAt[d.fixFirstLine] = &d;
  }
  std::string out;
  for (size_t line = 1; line <= lines.size();) {
    if (const Diagnostic* d = fixAt[line]) {
      out += d->fixText;
      line = d->fixLastLine + 1;
    } else {
      out += lines[line - 1];
      ++line;
    }
  }
  return out;
}

std::string ApplyHints(std::string_view text, const ParseContext& context, int rounds) {
  std::string current(text);
  for (int round = 0; round < rounds; ++round) {
    std::string next = ApplyFixes(current, CheckConfigText(current, "", context));
    if (next == current) break;
    current = std::move(next);
  }
  return current;
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

}  // namespace vortane::tools
