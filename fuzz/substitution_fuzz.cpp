// Expands arbitrary bytes as a substitution format over one fixed match.
//
// The match has a condition segment and a URL segment, groups that took part with text,
// one that took part with empty text and one that did not, so group references,
// conditionals on both outcomes and the whole-match reference all have something to
// read. Besides memory errors and deep-nesting crashes, the target checks that the output
// stays within what the format can produce: every format byte yields at most one byte,
// except a group reference, which yields at most the whole subject.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "regex/expression.h"
#include "regex/substitution.h"
#include "regex/timed_match.h"

namespace {

struct FixedMatch {
  FixedMatch() {
    const vortane::Expression expression =
        vortane::CompilePattern("([a-z.]+)\n/(\\w+)(/(\\d+))?(-x)?(y*)(.*)", false);
    if (!vortane::TimedMatch(subject.data(), subject.data() + subject.size(), results, expression,
                             vortane::NoTimeLimit, boost::match_not_dot_newline)) {
      std::abort();  // the fixed pattern must match the fixed subject
    }
  }
  // Groups: 1 "example.com", 2 "shop", 3 "/17", 4 "17", 5 unmatched, 6 "", 7 ".html".
  const std::string subject = "example.com\n/shop/17.html";
  vortane::MatchResults results;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const FixedMatch match;
  const std::string_view format(reinterpret_cast<const char*>(data), size);
  const std::string output = vortane::FormatSubstitution(format, match.results);
  if (output.size() > size * match.subject.size()) std::abort();
  return 0;
}
