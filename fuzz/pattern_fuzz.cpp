// Fuzzes pattern compilation and matching: the input is a pattern, a NUL byte, and a
// subject. The first byte chooses case folding. Every pattern either compiles or raises
// bad_expression; every match answers or raises bad_expression; nothing else may happen.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "regex/expression.h"
#include "regex/timed_match.h"

namespace {
// Short enough to keep the fuzzer fast on catastrophic patterns, long enough to reach
// Boost's own complexity bound on many of them.
constexpr uint32_t kFuzzTimeLimit = 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool ignoreCase = (data[0] & 1) != 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = input.find('\0');
  const std::string_view pattern = input.substr(0, split);
  const std::string_view subject =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  vortane::Expression expression;
  try {
    expression = vortane::CompilePattern(pattern, ignoreCase);
  } catch (const vortane::bad_expression&) {
    return 0;
  }
  vortane::MatchResults results;
  try {
    if (vortane::TimedMatch(subject.data(), subject.data() + subject.size(), results, expression,
                            kFuzzTimeLimit, boost::match_not_dot_newline)) {
      // Every group lies inside the subject.
      for (size_t i = 0; i < results.size(); ++i) {
        if (!results[i].matched) continue;
        if (results[i].first.base() < subject.data() ||
            results[i].second.base() > subject.data() + subject.size() ||
            results[i].first.base() > results[i].second.base()) {
          __builtin_trap();
        }
      }
    }
  } catch (const vortane::bad_expression&) {
  }
  return 0;
}
