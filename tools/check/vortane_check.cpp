// vortane-check: explains every mistake in httpd.ini files before the filter meets them.
//
//   vortane-check [--strict] [--format=text|json] PATH...
//   vortane-check --apply-hints FILE
//
// PATH is an httpd.ini file, or a directory the filter is loaded from (its httpd.ini and the
// httpd.ini of every site its sites.txt lists). Each problem is printed compiler style. Exit
// status: 0 when nothing is wrong, 1 when a line is not used (or, with --strict, when
// anything is reported), 2 for unusable arguments. Writes nothing beside the checked files.
// --apply-hints prints FILE with every hint that says what to write applied (ApplyHints),
// then checks the result and exits as a check of it would.
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "config/parser.h"
#include "platform/files.h"
#include "tools/check/check.h"
#include "tools/runner/command_line.h"

namespace {

constexpr const char* kUsage =
    "usage: vortane-check [--strict] [--format=text|json] PATH...\n"
    "       vortane-check --apply-hints FILE\n"
    "  PATH      an httpd.ini file, or a directory the filter is loaded from (its httpd.ini\n"
    "            and the httpd.ini of each site in its sites.txt)\n"
    "  --strict  exit with status 1 on warnings too\n"
    "  --format  text (the default): FILE:LINE:COLUMN: error|warning: MESSAGE [CODE];\n"
    "            json: an array of objects\n"
    "  --apply-hints  print FILE with every hint that says what to write applied; what is\n"
    "            left is reported on stderr\n"
    "exit status: 0 clean, 1 errors (or warnings with --strict), 2 unusable arguments\n";

struct Options {
  bool strict = false;
  bool json = false;
  bool applyHints = false;
  std::vector<std::string> paths;
};

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--strict") {
      options.strict = true;
    } else if (arg == "--format=text") {
      options.json = false;
    } else if (arg == "--format=json") {
      options.json = true;
    } else if (arg == "--apply-hints") {
      options.applyHints = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw vortane::tools::UsageError("unknown option " + std::string(arg));
    } else {
      options.paths.emplace_back(arg);
    }
  }
  if (options.paths.empty()) throw vortane::tools::UsageError("no file or directory given");
  if (options.applyHints && (options.paths.size() != 1 || options.json)) {
    throw vortane::tools::UsageError("--apply-hints takes one FILE, as text");
  }
  return options;
}

// Prints the file with the hints applied, and on stderr what is left to do by hand.
int ApplyHints(const Options& options) {
  const std::string& path = options.paths[0];
  const vortane::platform::FileView view(
      vortane::platform::PathString(std::filesystem::path(path).native()),
      vortane::kMaxConfigBytes);
  if (!view.HasBytes() || view.IsCut()) {
    throw vortane::tools::UsageError(vortane::Escaped(path) +
                                     ": not a readable configuration file of at most 2 MiB");
  }
  const std::string applied = vortane::tools::ApplyHints(view.Bytes(), {});
  std::fwrite(applied.data(), 1, applied.size(), stdout);
  const auto left = vortane::tools::CheckConfigText(applied, path, {});
  size_t errors = 0;
  for (const auto& d : left) {
    std::fputs(vortane::tools::FormatText(d).c_str(), stderr);
    errors += d.severity == vortane::tools::Severity::Error ? 1 : 0;
  }
  return errors > 0 || (options.strict && !left.empty()) ? 1 : 0;
}

int Run(const Options& options) {
  if (options.applyHints) return ApplyHints(options);
  std::vector<vortane::tools::Diagnostic> all;
  std::vector<std::string> notes;
  for (const std::string& path : options.paths) {
    std::vector<vortane::tools::Diagnostic> found;
    try {
      found = vortane::tools::CheckPath(path, &notes);
    } catch (const std::runtime_error& error) {
      throw vortane::tools::UsageError(error.what());
    }
    all.insert(all.end(), found.begin(), found.end());
  }
  // Notes go to stderr, so that the JSON on stdout stays one array.
  for (const std::string& note : notes)
    std::fprintf(stderr, "vortane-check: note: %s\n", note.c_str());
  size_t errors = 0, warnings = 0;
  for (const auto& d : all) {
    (d.severity == vortane::tools::Severity::Error ? errors : warnings) += 1;
  }
  if (options.json) {
    std::fputs(vortane::tools::FormatJson(all).c_str(), stdout);
  } else {
    for (const auto& d : all) std::fputs(vortane::tools::FormatText(d).c_str(), stdout);
    if (!all.empty()) std::printf("%zu error(s), %zu warning(s)\n", errors, warnings);
  }
  return errors > 0 || (options.strict && warnings > 0) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  return vortane::tools::RunCommand("vortane-check", kUsage, argc, argv, Parse, Run);
}
