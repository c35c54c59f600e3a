// Expands arbitrary bytes as a substitution format over one fixed match.
//
// The match has a condition segment and a URL segment, groups that took part with text,
// one that took part with empty text and one that did not, so group references,
// conditionals on both outcomes and the whole-match reference all have something to
// read. Besides memory errors and deep-nesting crashes, the target checks that the output
// stays within what the format can produce: every format byte yields at most one byte,
// except a group reference, which yields at most the whole subject.
//
// It also checks the write-back of decoded text: the same format is expanded over a
// subject whose decoded part holds only bytes that must be encoded (with that part given
// as encoded) and over one whose decoded part holds plain letters. Every byte a group takes
// from the decoded part must come out as an escape, so both outputs hold the same number
// of raw "?", "#", space, control and high bytes, and of "%" not starting an escape: those
// all come from the format's literal text or from the raw query.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Groups: 1 the first byte, 2 the rest of the decoded part, 3 "/q", 4 the raw query.
struct DecodedMatch {
  explicit DecodedMatch(std::string decodedPart) : subject(std::move(decodedPart) + "/q?x #%") {
    const vortane::Expression expression = vortane::CompilePattern("(.)(.*)(/q)(\\?.*)", false);
    if (!vortane::TimedMatch(subject.data(), subject.data() + subject.size(), results, expression,
                             vortane::NoTimeLimit, boost::match_not_dot_newline)) {
      std::abort();
    }
  }
  const std::string subject;
  vortane::MatchResults results;
};

bool IsUpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// The bytes of `text` that would change a URL's meaning raw.
size_t UnsafeBytes(std::string_view text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '%') {
      if (i + 2 >= text.size() || !IsUpperHex(text[i + 1]) || !IsUpperHex(text[i + 2])) ++count;
    } else if (byte == '?' || byte == '#' || byte <= 0x20 || byte >= 0x7F) {
      ++count;
    }
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const FixedMatch match;
  const std::string_view format(reinterpret_cast<const char*>(data), size);
  const std::string output = vortane::FormatSubstitution(format, match.results);
  if (output.size() > size * match.subject.size()) std::abort();

  static const DecodedMatch unsafe("?# %\x01\x7F\xFF");
  static const DecodedMatch plain("ghijklm");
  const std::vector<vortane::SubjectRange> decoded = {{0, 7}};
  const std::string encoded =
      vortane::FormatSubstitution(format, unsafe.results, unsafe.subject.data(), decoded);
  const std::string reference =
      vortane::FormatSubstitution(format, plain.results, plain.subject.data(), decoded);
  if (UnsafeBytes(encoded) != UnsafeBytes(reference)) std::abort();
  return 0;
}
