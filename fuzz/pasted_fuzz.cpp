// Fuzzes what vortane-check writes for pasted Apache rules. The first byte chooses case
// folding; the rest is a pattern, a NUL, a path and, after another NUL, a query.
//
// Where the checker writes Apache's pattern as one on the whole URL (PathPattern), the two
// must agree: Apache's finds the pattern anywhere in the path, the translation matches the
// URL "/" + path (+ "?" + query) whole. The same for the pattern from the path's '/' and its
// negation. The input is also checked as a whole file: the hints applied to it must leave a
// file with no fix left to apply unchanged.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "regex/expression.h"
#include "regex/timed_match.h"
#include "tools/check/check.h"
#include "tools/check/per_directory.h"

namespace {

constexpr uint32_t kFuzzTimeLimit = 20;

// Whether `pattern` matches `subject` whole; nothing when it runs out of time (or, unless
// `mustCompile`, does not compile).
std::optional<bool> Matches(const std::string& pattern, const std::string& subject, bool ignoreCase,
                            bool mustCompile) {
  vortane::Expression expression;
  try {
    expression = vortane::CompilePattern(pattern, ignoreCase);
  } catch (const vortane::bad_expression&) {
    if (mustCompile) __builtin_trap();  // a translation of a pattern that compiles must compile
    return std::nullopt;
  }
  try {
    vortane::MatchResults results;
    return vortane::TimedMatch(subject.data(), subject.data() + subject.size(), results, expression,
                               kFuzzTimeLimit, boost::match_not_dot_newline);
  } catch (const vortane::bad_expression&) {
    return std::nullopt;
  }
}

// Compares the translation `written` on `url` with Apache's finding `pattern` in `path`.
void Compare(std::string_view pattern, const std::optional<std::string>& written,
             const std::string& path, const std::string& url, bool ignoreCase, bool negated) {
  if (!written) return;
  try {
    vortane::CompilePattern(pattern, ignoreCase);
  } catch (const vortane::bad_expression&) {
    return;  // what the dialect refuses is refused here too
  }
  const auto apache = Matches(".*?(?:" + std::string(pattern) + ").*", path, ignoreCase, false);
  const auto here = Matches(*written, url, ignoreCase, true);
  if (apache && here && *here != (*apache != negated)) __builtin_trap();
}

// The bytes of `text` that a path or query can hold here: no "?" in a path, no line breaks.
std::string Kept(std::string_view text, bool path) {
  std::string kept;
  for (char c : text) {
    if (c != '\n' && c != '\r' && c != '\0' && (!path || c != '?')) kept += c;
  }
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  const bool ignoreCase = (data[0] & 1) != 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t first = input.find('\0');
  const std::string_view pattern = input.substr(0, first);
  std::string_view rest = first == std::string_view::npos ? "" : input.substr(first + 1);
  const size_t second = rest.find('\0');
  const std::string path = Kept(rest.substr(0, second), true);
  const std::string query =
      second == std::string_view::npos ? "" : Kept(rest.substr(second + 1), false);
  const std::string url = "/" + path + (query.empty() ? "" : "?" + query);

  using vortane::tools::check::QueryTail;
  Compare(pattern, vortane::tools::check::PathPattern(pattern, false, QueryTail::kSkip), path, url,
          ignoreCase, false);
  Compare(pattern, vortane::tools::check::PathPattern(pattern, true, QueryTail::kCapture),
          "/" + path, url, ignoreCase, false);
  Compare(pattern, vortane::tools::check::NegatedPathPattern(pattern), "/" + path, url, ignoreCase,
          true);

  // The input as a file: hints that write nothing leave it as it is.
  const auto found = vortane::tools::CheckConfigText(input, "f.ini", {});
  bool fixable = false;
  for (const auto& d : found) fixable = fixable || d.fixFirstLine != 0;
  const std::string applied = vortane::tools::ApplyHints(input, {}, 4);
  if (!fixable && applied != input) __builtin_trap();
  return 0;
}
