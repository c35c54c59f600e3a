#include "tools/runner/in_process.h"
#include "base/file_names.h"
#include "base/text.h"

#include <cstdio>
#include <system_error>
#include <tuple>

#include "config/site_config.h"
#include "platform/files.h"
#include "platform/site_roots.h"
#include "platform/site_table.h"
#include "regex/substitution.h"
#include "store/store.h"

namespace fs = std::filesystem;

namespace vortane::tools {

namespace {

std::string_view TextOf(const char* text) {
  return text != nullptr ? std::string_view(text) : std::string_view();
}

// "value" as one printable line in quotes.
std::string Shown(std::string_view bytes) {
  return "\"" + Escaped(bytes) + "\"";
}

RuleRef RefOf(const SiteConfig& config, const Rule& rule) {
  return RuleRef{fs::path(config.path).u8string(), rule.line};
}

// Follows a request's passes for its outcome: which rules matched, which configurations
// ran; and hands every step on to a trace printer when one is asked for.
class OutcomeRecorder : public RequestTracer {
 public:
  OutcomeRecorder(RequestOutcome& outcome, std::map<uint32_t, std::vector<RuleRef>>& loaded,
                  std::map<uint32_t, platform::PathString>& files, TracePrinter* printer)
      : outcome_(outcome), loaded_(loaded), files_(files), printer_(printer) {}

  void PassStarted(const SiteConfig& config) override {
    config_ = &config;
    if (!config.path.empty() && config.fileTime != FileTime()) {
      files_[config.siteId] = config.path;
    } else {
      files_.erase(config.siteId);
    }
    std::vector<RuleRef>& rules = loaded_[config.siteId];
    rules.clear();
    for (const Rule& rule : config.rules) rules.push_back(RefOf(config, rule));
    if (printer_ != nullptr) printer_->PassStarted(config);
  }
  void SweepStarted(int32_t sweep) override {
    if (printer_ != nullptr) printer_->SweepStarted(sweep);
  }
  void RuleSkipped(const Rule& rule) override {
    if (printer_ != nullptr) printer_->RuleSkipped(rule);
  }
  void RuleLeftOut(const Rule& rule, uint32_t passResult) override {
    if (printer_ != nullptr) printer_->RuleLeftOut(rule, passResult);
  }
  void RuleEvaluated(const RuleEvaluation& evaluation, uint32_t passResult) override {
    if (evaluation.groups != nullptr && config_ != nullptr) {
      outcome_.matched.push_back(RefOf(*config_, *evaluation.rule));
      outcome_.decidedBy = outcome_.matched.back();
    }
    if (printer_ != nullptr) printer_->RuleEvaluated(evaluation, passResult);
  }
  void RepeatLimitReached(int32_t sweeps) override {
    if (printer_ != nullptr) printer_->RepeatLimitReached(sweeps);
  }
  void PassEnded(PassEnd end, uint32_t result) override {
    if (printer_ != nullptr) printer_->PassEnded(end, result);
  }

 private:
  RequestOutcome& outcome_;
  std::map<uint32_t, std::vector<RuleRef>>& loaded_;
  std::map<uint32_t, platform::PathString>& files_;
  TracePrinter* printer_;
  const SiteConfig* config_ = nullptr;
};

// The value of the response's Location header, if it has one.
std::string LocationOf(std::string_view response) {
  constexpr std::string_view kName = "\r\nLocation: ";
  const size_t start = response.find(kName);
  if (start == std::string_view::npos) return {};
  const size_t from = start + kName.size();
  const size_t end = response.find("\r\n", from);
  return std::string(response.substr(from, end == std::string_view::npos ? end : end - from));
}

}  // namespace

std::string ShownPath(const fs::path& path) {
  std::error_code error;
  const fs::path current = fs::current_path(error);
  const fs::path relative = fs::path(path).lexically_proximate(current);
  const bool below =
      !error && !relative.empty() && relative.is_relative() && *relative.begin() != fs::path("..");
  return Escaped((below ? relative : fs::path(path)).u8string());
}

bool RuleRef::operator<(const RuleRef& other) const {
  return std::tie(file, line) < std::tie(other.file, other.line);
}

bool RuleRef::operator==(const RuleRef& other) const {
  return line == other.line && file == other.file;
}

InProcessFilter::InProcessFilter(const fs::path& directory, SiteRoots siteRoots)
    : directory_(fs::absolute(directory).lexically_normal()),
      store_(std::make_unique<ConfigStore>((directory_ / kConfigFileName).native())) {
  store_->SetSiteRootSource(
      [this, siteRoots](uint32_t siteId) -> std::optional<platform::PathString> {
        if (const auto given = givenRoots_.find(siteId); given != givenRoots_.end()) {
          return given->second;
        }
        if (siteRoots == SiteRoots::Server) {
          return platform::ReadSiteRootPath(siteId, directory_.native());
        }
        const platform::FileView view((directory_ / kSiteTableFileName).native(),
                                      platform::kMaxSiteTableBytes);
        const std::map<uint32_t, std::string> sites = platform::ParseSiteTable(view.Bytes());
        const auto found = sites.find(siteId);
        if (found == sites.end()) return std::nullopt;
        return fs::u8path(found->second).native();
      });
  // A root given on the command line has no virtual folders; one from a table has the
  // table's (or, with the server's roots, the server's own).
  store_->SetVirtualFolderSource(
      [this, siteRoots](uint32_t siteId) -> std::vector<platform::VirtualFolder> {
        std::vector<platform::VirtualFolder> folders;
        if (givenRoots_.count(siteId) != 0) return folders;
        if (siteRoots == SiteRoots::Server) {
          return platform::ReadVirtualFolders(siteId, directory_.native());
        }
        const platform::FileView view((directory_ / kSiteTableFileName).native(),
                                      platform::kMaxSiteTableBytes);
        for (const auto& [prefix, folder] : platform::ParseVirtualFolders(view.Bytes(), siteId)) {
          folders.push_back({prefix, fs::u8path(folder).native()});
        }
        return folders;
      });
}

void InProcessFilter::SetSiteRoot(uint32_t siteId, const fs::path& root) {
  fs::path path = fs::absolute(root).lexically_normal();
  if (!path.has_filename()) path = path.parent_path();  // "shop/": no empty last part
  givenRoots_[siteId] = path.native();
}

InProcessFilter::~InProcessFilter() = default;

RequestOutcome InProcessFilter::Run(const MemoryRequest& request, bool trace) {
  RequestOutcome outcome;
  MemoryServer server(request);
  std::optional<TracePrinter> printer;
  if (trace) printer.emplace();
  OutcomeRecorder recorder(outcome, loadedRules_, loadedFiles_, printer ? &*printer : nullptr);
  outcome.filterStatus =
      OnPreprocHeaders(*store_, server.Context(), server.PreprocHeaders(), &recorder);
  if (printer) {
    outcome.trace = "trace:\n" + printer->Text();
    if (printer->Passes() == 1) {
      outcome.trace += "  no site pass: the global result answered or stopped the request\n";
    }
  }
  const DWORD status = outcome.filterStatus;
  if (status == SF_STATUS_REQ_FINISHED || status == SF_STATUS_REQ_FINISHED_KEEP_CONN) {
    outcome.kind = RequestOutcome::Kind::Answered;
    outcome.response = server.Written();
    outcome.status = static_cast<int>(StatusOf(outcome.response));
    outcome.location = LocationOf(outcome.response);
  } else if (status == SF_STATUS_REQ_NEXT_NOTIFICATION ||
             status == SF_STATUS_REQ_HANDLED_NOTIFICATION) {
    outcome.kind = RequestOutcome::Kind::PassedOn;
    outcome.passedOn = server.Request();
  } else {
    outcome.kind = RequestOutcome::Kind::Failed;
  }
  outcome.logDisabled = server.LogNotificationDisabled();
  if (!outcome.logDisabled) {
    // The server logs a request the filter answered too.
    HTTP_FILTER_LOG* record = server.PrepareLogRecord();
    OnLog(server.Context(), record);
    outcome.logTarget = std::string(TextOf(record->pszTarget));
    outcome.logParameters = std::string(TextOf(record->pszParameters));
  }
  return outcome;
}

std::vector<RuleRef> InProcessFilter::LoadedRules() const {
  std::vector<RuleRef> rules;
  for (const auto& [siteId, siteRules] : loadedRules_) {
    rules.insert(rules.end(), siteRules.begin(), siteRules.end());
  }
  return rules;
}

std::vector<fs::path> InProcessFilter::LoadedFiles() const {
  std::vector<fs::path> files;
  for (const auto& [siteId, path] : loadedFiles_) files.emplace_back(path);
  return files;
}

void TracePrinter::PassStarted(const SiteConfig& config) {
  ++passes_;
  repeatLimit_ = config.RepeatLimit();
  const std::string who =
      config.siteId == 0 ? "global rules" : "site " + std::to_string(config.siteId) + " rules";
  if (config.path.empty()) {
    text_ += "  " + who + ": no configuration file (the site has no root)\n";
  } else if (config.fileTime == FileTime()) {
    text_ += "  " + who + ": " + ShownPath(config.path) + " not found: no rules\n";
  } else if (config.unreadable) {
    text_ += "  " + who + ": " + ShownPath(config.path) + " cannot be read: answered with 500\n";
  } else {
    text_ += "  " + who + ": " + ShownPath(config.path) + " (" +
             std::to_string(config.rules.size()) + " rule" + (config.rules.size() == 1 ? "" : "s") +
             ", repeat limit " + std::to_string(repeatLimit_) + ")\n";
  }
}

void TracePrinter::SweepStarted(int32_t sweep) {
  if (sweep == 1) {
    text_ += "  sweep 1\n";
  } else {
    text_ += "  restart: sweep " + std::to_string(sweep) + " of at most " +
             std::to_string(repeatLimit_) + "\n";
  }
}

void TracePrinter::RuleSkipped(const Rule& rule) {
  RuleLine(rule);
  text_ += "      disabled after a timeout: skipped\n";
}

void TracePrinter::RuleLeftOut(const Rule& rule, uint32_t passResult) {
  RuleLine(rule);
  text_ += "      skipped by the index, the URL does not start with " +
           Shown(rule.joinedPattern.prefilter().prefix) + ": result NoMatch; pass " +
           ResultNames(passResult) + "\n";
}

void TracePrinter::RuleEvaluated(const RuleEvaluation& evaluation, uint32_t passResult) {
  const Rule& rule = *evaluation.rule;
  RuleLine(rule);
  // The values: one per condition, then the target's; those the evaluation did not read
  // (the rule could no longer match, or an earlier value was too long) are marked so.
  for (size_t i = 0; i < evaluation.values.size(); ++i) {
    const std::string shown = evaluation.read[i] ? Shown(evaluation.values[i]) : "(not read)";
    if (i < rule.conditions.size()) {
      const Condition& condition = rule.conditions[i];
      text_ += "      condition (line " + std::to_string(condition.line) + ") " +
               (condition.isServerVariable ? "%" : "") + Escaped(condition.name) + " " + shown +
               "\n";
    } else {
      text_ += "      target " + Escaped(rule.target) + " " + shown + "\n";
    }
  }
  // The file tests asked once the pattern matched, each with the path it looked at.
  for (const RuleEvaluation::FileTestRecord& test : evaluation.fileTests) {
    text_ +=
        "      file test (line " + std::to_string(test.condition->line) + ") " +
        std::string(FileTestText(test.condition->fileTest)) + " " +
        (test.refusal.empty() ? Shown(test.path) : "(no path: " + std::string(test.refusal) + ")") +
        ": " + (test.held ? "holds" : "fails") + "\n";
  }
  const uint32_t result = evaluation.result;
  const std::string results = "result " + ResultNames(result) + "; pass " + ResultNames(passResult);
  if ((result & RuleResult::InvalidPattern) != 0) {
    text_ += "      invalid pattern: " + results + "\n";
  } else if ((result & RuleResult::Timeout) != 0) {
    text_ += "      the match timed out, the rule is disabled: " + results + "\n";
  } else if (evaluation.groups == nullptr) {
    text_ += "      no match: " + results + "\n";
  } else {
    std::string groups;
    for (size_t i = 0; i < evaluation.groups->size(); ++i) {
      const auto& group = (*evaluation.groups)[i];
      groups += (i == 0 ? " $" : ", $") + std::to_string(i) + " ";
      groups += group.matched ? Shown(std::string_view(
                                    group.first.base(),
                                    static_cast<size_t>(group.second.base() - group.first.base())))
                              : "(unmatched)";
    }
    text_ += "      matched:" + groups + "\n";
    if (evaluation.wrote) {
      text_ += "      wrote " + Escaped(rule.target) + " " + Shown(evaluation.newValue) + " (" +
               (evaluation.accepted ? "accepted" : "refused by the server") + ")\n";
    } else if (KeepsValue(rule.format) && (evaluation.result & RuleResult::Forbidden) == 0) {
      text_ += "      nothing written (substitution '-': " + Escaped(rule.target) + " kept)\n";
    } else {
      text_ += "      nothing written (refusal)\n";
    }
    text_ += "      " + results + "\n";
  }
}

void TracePrinter::RepeatLimitReached(int32_t sweeps) {
  text_ += "  no restart: " + std::to_string(sweeps) + " sweeps, the repeat limit, have run\n";
}

void TracePrinter::PassEnded(PassEnd end, uint32_t result) {
  const char* how = end == PassEnd::Completed  ? "after the last rule"
                    : end == PassEnd::Stopped  ? "stopped"
                    : end == PassEnd::TimedOut ? "timed out"
                                               : "a value too long to read";
  text_ += std::string("  end (") + how + "): " + ResultNames(result) + "\n";
}

void TracePrinter::RuleLine(const Rule& rule) {
  const std::string letters = FlagListText(rule);
  text_ += "    line " + std::to_string(rule.line) + ": " + Escaped(rule.target) +
           (letters.empty() ? "" : " [" + letters + "]") + "\n";
}

}  // namespace vortane::tools
