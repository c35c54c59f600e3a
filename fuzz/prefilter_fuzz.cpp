// Fuzzes the rules' prefilters, the rule index and the values a pass keeps against the matcher
// reading every value afresh: a small rule set built from the input (common shapes, legacy
// redirects among them, and arbitrary pattern bytes, with conditions on headers and server
// variables, flags, targets spelled in either case, values too long to read) runs over a
// request built from the input three times: with each rule's prefilter and the pass keeping
// the values it read, with every prefilter dropped and every value read afresh, and with the
// prefilters, the kept values and the index of the rules by their URL prefix; and once more
// without prefilters but keeping the values. The passes must agree on the result, the request
// they leave behind, the log mark and which rules were disabled, unless the pass without
// prefilters timed out (a rule that cannot match a subject never times out on it) or, for the
// passes with prefilters, met a value too long to read (they may leave it unread).
//
// Then each rule with conditions is evaluated on its own over one joined subject cut into
// values at every choice of its line feeds (up to a bound): the values differ, the subject
// the matcher sees does not, so with and without its prefilter the rule must give the same
// answer for every cut. A fact that pairs a value with its part of the pattern when the
// part could take a line feed fails there.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "rules/evaluation.h"
#include "rules/pass_values.h"
#include "rules/rule_index.h"
#include "rules/rule_pass.h"
#include "tests/support/rule_builder.h"

namespace {

constexpr const char* kShapes[] = {
    "^/old/(.*)$",
    "^/a",
    ".*\\.php$",
    "^/a\\.b\\?c=(\\d+)$",
    "^[a-z]+/x",
    "^/(?:en|de)/(.*)$",
    "(x+x+)+y",
    "^/x|^/y",
    "^(/p/.*)$",
    "^/Ab",
    "^GET$",
    "^.*$",
    "^/\\w+\\b$",
    "^/a{2,3}b",
    "^www\\.ex\\.com$",
    "\\/\\-\\?\\{",
    "^/\\x41b$",
    "(?=/)/q",
    "^/e\xC9",
    "^(a)\\1$",
    "^$",
    "^/feeds?/x$",
    "^/a(?:bc)?d",
    "^/a*b",
    "^/(a|bc)d$",
    "^/a{0,2}x$",
    "^/(?:ab)+$",
    "x$\n^/",
    "^/a\\B",
    "^(?!/a)/",
    "/a\\Z",
    "\\A/a.?",
    "^(?:PUT|GET)$",
    "(?:ab|c)+d",
    "^/(?:x|(?:y|z)w)",
    "^/(?:a|(?=b)b|^c)?d",
    "^/old/page\\.html$",
    "^/blog/2019/(.*)$",
    "^/Old/(.*)$",
    "^/blog/",
    "^/new/(.*)$",
    "^/old/page",
    // Needles, and parts that may or may not take an LF.
    ".*sqlmap.*",
    "^.*(?:wp-admin|xmlrpc).*$",
    ".*\\.(?:exe|dll)(?:\\?.*)?$",
    "^/(.*)/index\\.html?$",
    ".*(?:ab)+.*",
    "[^z]*b",
    "a\\s*b",
    "(?:a\nb)*",
    "\\n",
    "^x\\x0a?",
    "[a\\n]+",
    "^(\\w*)\\1$",
    "[[:space:]]b",
    "[\\t-~]*bot",  // a range from an escape holds LF
    "^/k[\\t-\\r]?.*$",
    ".*(?:Ab|c).*",
    ".*(?:a|b|c|d|e|f|g|h|i|jj).*",
    // The load benchmark's shapes: bytes that may be any inside needles, several needle
    // facts, maximum lengths.
    "^.*(?:sqlmap|nikto|masscan).*$",
    ".*(?:iPhone|Android.*Mobile|Windows\\sPhone).*",
    "^[^?]*\\.(?:jpe?g|png|gif|webp)(?:\\?.*)?$",
    "^https?://(?!(?:www\\.)?ex\\.com/).+$",
    "^(?:old|legacy)\\.ex\\.(?:com|net)(?::\\d+)?$",
    "^([a-z]{2})-[A-Za-z]{2}(?:[,;].*)?$",
    "^_legacy=[^;]*;\\s*(.+)$",
    "^(?:.*;\\s*)?beta=1(?:;.*)?$",
    "^/blog/(\\d{4})/(\\d{2})/([\\w-]+)/?(\\?.*)?$",
    "^/~([a-z][\\w-]*)(/[^?]*)?(\\?.*)?$",
    "^/(?!m/)([^?]*)(\\?.*)?$",
    "^[^?]*\\?.*(?:union(?:\\+|%20)+select|<script|\\.\\./).*$",
    "^de(?:[-,;].*)?$",
    "^(?:203\\.0\\.113|198\\.51\\.100)\\.\\d{1,3}$",
    "^8443$",
    "a.b.*c\\sd.*e[x-z]f",
    "^/(.*)/in\\wex\\.html?$",
};
// Beginnings of URLs and header values that the shapes match, or nearly match.
constexpr const char* kStems[] = {
    "",
    "/old/",
    "/a",
    "/A",
    "/feed/x",
    "/feeds/x",
    "/ad",
    "/abcd",
    "/aab",
    "/x.php",
    "/p/",
    "/Ab",
    "/ab",
    "GET",
    "www.ex.com",
    "/aaa",
    "/x",
    "/e\xC9",
    "/e\xE9",
    "/a.b?c=1",
    "/d",
    "/bd",
    "/cd",
    "/yw",
    "PUT",
    "d",
    "abcd",
    "cd",
    "/x?sqlmap",
    "/wp-admin/",
    "/xmlrpc",
    "/a.EXE",
    "/d/index.htm",
    "/abab",
    "a\nb",
    "b\nb",
    "x\n",
    "\nb",
    "aa",
    "c\nab",
    "en-US,en;q=0.9",
    "Windows Phone",
    "(Windows NT",
    "/a.png",
    "/a.PNG?x",
    "https://ex.com/",
    "_legacy=1; a",
    "x; beta=1",
    "/blog/2019/01/a-b",
    "/~ab/c",
    "203.0.113.7",
    "de-DE",
    "axb c\td e yf",
    "/index.html",
    "/a/index.htm",
    "8443",
    "Mozilla",
    "/bot\n/private/x",
};
// URLs of legacy redirects, for the index.
constexpr const char* kLegacyStems[] = {"/old/page.html", "/OLD/Page.html", "/blog/2019/x",
                                        "/Blog/2019/",    "/new/x",         "/old/pa\xC9"};
constexpr const char* kConditionNames[] = {"Host:", "X-Data:", "URL", "METHOD", "x-long:"};
// Server variables the in-memory server derives from the request's items and headers.
constexpr const char* kVariableNames[] = {"HTTP_HOST",    "HTTP_X_DATA",    "URL",
                                          "QUERY_STRING", "REQUEST_METHOD", "HTTP_X_LONG"};
constexpr const char* kTargets[] = {"URL", "X-Data:", "METHOD", "Host:", "url", "host:"};
constexpr const char* kFormats[] = {
    "$0", "/new/$1", "$1x", "/p/$0", "/old/page.html", "/blog/2019/$1", "/Old/$1"};

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// Members of a bracket set, and the ends of its ranges: escapes for bytes below, at and
// above LF, classes that hold it or not, and plain bytes.
constexpr const char* kSetEnds[] = {
    "\\t", "\\a",  "\\e",  "\\r", "\\n", "\\v", "\\b", "\\f", "\\x0a", "\\x09", "\\x{b}", "\\011",
    "\\0", "\\cJ", "\\cI", "\\-", "\\]", " ",   "~",   "z",   "/",     "\x7f",  "\xC9"};
constexpr const char* kSetClasses[] = {"\\s",       "\\S",       "\\d",       "\\D",
                                       "\\w",       "\\W",       "[:space:]", "[:cntrl:]",
                                       "[:print:]", "[:blank:]", "[:alpha:]"};
constexpr const char* kSetRepeats[] = {"", "*", "+", "?", "{2}"};

// A bracket set of a few members, ranges among them, maybe negated and repeated.
std::string BracketSet(FuzzedDataProvider& input) {
  std::string set = input.ConsumeBool() ? "[^" : "[";
  const int members = input.ConsumeIntegralInRange(1, 3);
  for (int m = 0; m < members; ++m) {
    if (input.ConsumeIntegralInRange(0, 3) == 0) {
      set += input.PickValueInArray(kSetClasses);
      continue;
    }
    set += input.PickValueInArray(kSetEnds);
    if (input.ConsumeBool()) set += std::string("-") + input.PickValueInArray(kSetEnds);
  }
  return set + "]" + input.PickValueInArray(kSetRepeats);
}

// A shape, arbitrary bytes, a shape with arbitrary bytes after it, or a bracket set between
// shapes or arbitrary bytes.
std::string Pattern(FuzzedDataProvider& input) {
  const std::string shape = input.PickValueInArray(kShapes);
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return shape;
    case 1:
      return input.ConsumeRandomLengthString(12);
    case 2:
      return shape + input.ConsumeRandomLengthString(6);
    default:
      return input.ConsumeRandomLengthString(4) + BracketSet(input) +
             (input.ConsumeBool() ? shape : input.ConsumeRandomLengthString(6));
  }
}

std::vector<vortane::Rule> RulesFrom(FuzzedDataProvider& input) {
  std::vector<vortane::Rule> rules;
  const int count = input.ConsumeIntegralInRange(1, 8);
  for (int r = 0; r < count; ++r) {
    std::vector<std::string> patterns;
    vortane::RuleParts parts;
    const int conditions = input.ConsumeIntegralInRange(0, 2);
    for (int c = 0; c < conditions; ++c) {
      vortane::ConditionParts condition;
      condition.isServerVariable = input.ConsumeBool();
      condition.name = condition.isServerVariable ? input.PickValueInArray(kVariableNames)
                                                  : input.PickValueInArray(kConditionNames);
      condition.flags = input.ConsumeBool() ? "O" : "";
      parts.conditions.push_back(condition);
      patterns.push_back(Pattern(input));
    }
    for (size_t c = 0; c < patterns.size(); ++c) parts.conditions[c].pattern = patterns[c];
    const std::string own = Pattern(input);
    parts.pattern = own;
    // Any of the flag letters, each at most once.
    std::string flags;
    const auto letterBits = input.ConsumeIntegral<uint8_t>();
    for (size_t i = 0; i < std::size(vortane::kFlags); ++i) {
      if (((letterBits >> i) & 1) == 0) continue;
      if (!flags.empty()) flags += ',';
      flags += vortane::kFlags[i].letter;
    }
    parts.flags = flags;
    parts.format = input.PickValueInArray(kFormats);
    parts.target = input.PickValueInArray(kTargets);
    vortane::BuiltRule built = vortane::BuildRule(parts);
    if (built.error != vortane::RuleError::None) continue;  // the parser drops such a rule
    rules.push_back(built.rule);
  }
  return rules;
}

struct Outcome {
  uint32_t result;
  vortane::MemoryRequest request;
  std::vector<bool> disabled;
};

// A pass over `rules`, through `index` when there is one.
Outcome Run(const std::vector<vortane::Rule>& rules, const vortane::MemoryRequest& request,
            const vortane::RuleIndex* index = nullptr) {
  static const std::atomic<int32_t> repeatLimit{3};
  vortane::MemoryServer server(request);
  Outcome outcome;
  outcome.result =
      index != nullptr
          ? vortane::RunRulePass(rules, *index, repeatLimit, server.Context(),
                                 server.PreprocHeaders())
          : vortane::RunRulePass(rules, repeatLimit, server.Context(), server.PreprocHeaders());
  outcome.request = server.Request();
  for (const vortane::Rule& rule : rules) outcome.disabled.push_back(rule.IsDisabled());
  return outcome;
}

void CheckSame(const Outcome& a, const Outcome& b) {
  Check(a.result == b.result);
  Check(a.request.url == b.request.url);
  Check(a.request.method == b.request.method);
  Check(a.request.version == b.request.version);
  Check(a.request.headers == b.request.headers);
  Check(a.disabled == b.disabled);
}

// The result and the target's value after `rule` is evaluated over `values` (one per
// condition, then the target), each read from a header of its own.
struct Evaluated {
  uint32_t result;
  std::string target;
};
Evaluated EvaluateOver(const vortane::Rule& rule, const std::vector<std::string>& values) {
  vortane::MemoryRequest request;
  for (size_t i = 0; i < values.size(); ++i) {
    request.headers.push_back({"X-V" + std::to_string(i), values[i]});
  }
  vortane::MemoryServer server(request);
  Evaluated evaluated;
  vortane::EvaluationScratch scratch;
  evaluated.result =
      vortane::EvaluateRule(rule, server.Context(), server.PreprocHeaders(), scratch);
  for (const auto& [name, value] : server.Request().headers) {
    if (name == "X-V" + std::to_string(values.size() - 1)) evaluated.target = value;
  }
  return evaluated;
}

// Cuts `joined` into `count` values at each choice of count - 1 of its line feeds, up to
// kMaxCuts choices, and hands each cut to `check`.
constexpr size_t kMaxCuts = 16;
template <typename Check>
void ForEachCut(const std::string& joined, size_t count, Check&& check) {
  std::vector<size_t> feeds;
  for (size_t i = 0; i < joined.size(); ++i) {
    if (joined[i] == '\n') feeds.push_back(i);
  }
  if (feeds.size() + 1 < count) return;
  std::vector<size_t> chosen(count - 1);  // indexes into feeds, rising
  for (size_t i = 0; i < chosen.size(); ++i) chosen[i] = i;
  for (size_t cuts = 0; cuts < kMaxCuts; ++cuts) {
    std::vector<std::string> values;
    size_t from = 0;
    for (size_t index : chosen) {
      values.push_back(joined.substr(from, feeds[index] - from));
      from = feeds[index] + 1;
    }
    values.push_back(joined.substr(from));
    check(values);
    // The next choice in lexicographic order.
    size_t k = chosen.size();
    while (k > 0 && chosen[k - 1] == feeds.size() - chosen.size() + k - 1) --k;
    if (k == 0) return;
    ++chosen[k - 1];
    for (size_t j = k; j < chosen.size(); ++j) chosen[j] = chosen[j - 1] + 1;
  }
}

// `rule` read from headers X-V0.. (its conditions) and X-Vn (its target), without
// normalisation, so that the values are the subject's pieces exactly.
vortane::Rule OverHeaders(const vortane::Rule& rule) {
  vortane::Rule copy = rule;
  for (size_t i = 0; i < copy.conditions.size(); ++i) {
    copy.conditions[i].name = "X-V" + std::to_string(i) + ":";
    copy.conditions[i].isServerVariable = false;
    copy.conditions[i].flags &= ~vortane::ConditionFlag::Normalize;
    copy.conditions[i].slot = vortane::kNoSlot;  // each value its own, read afresh
  }
  copy.target = "X-V" + std::to_string(copy.conditions.size()) + ":";
  copy.targetSlot = vortane::kNoSlot;
  copy.SetFlags(copy.Flags() & ~vortane::RuleFlag::Normalize);
  return copy;
}

void CheckCuts(const vortane::Rule& rule, std::string joined) {
  if (rule.conditions.empty() || rule.IsDisabled()) return;
  // A header value ends at a NUL byte, which would make the cuts differ in more than where.
  for (char& c : joined) {
    if (c == '\0') c = '\x01';
  }
  const vortane::Rule filtered = OverHeaders(rule);
  vortane::Rule unfiltered = filtered;
  unfiltered.joinedPattern.DropPrefilterForTesting();
  ForEachCut(joined, rule.conditions.size() + 1, [&](const std::vector<std::string>& values) {
    const Evaluated without = EvaluateOver(unfiltered, values);
    if ((without.result & vortane::RuleResult::Timeout) != 0) return;
    const Evaluated with = EvaluateOver(filtered, values);
    Check(with.result == without.result);
    Check(with.target == without.target);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<vortane::Rule> unfiltered = RulesFrom(input);
  const std::vector<vortane::Rule> filtered = vortane::NumberValues(unfiltered);
  for (vortane::Rule& rule : unfiltered) rule.joinedPattern.DropPrefilterForTesting();
  const std::vector<vortane::Rule> indexed = filtered;
  const vortane::RuleIndex index(indexed);

  vortane::MemoryRequest request;
  request.method = input.ConsumeBool() ? "GET" : input.ConsumeRandomLengthString(6);
  request.url =
      input.ConsumeBool() ? input.PickValueInArray(kStems) : input.PickValueInArray(kLegacyStems);
  if (input.ConsumeBool()) request.url += input.ConsumeRandomLengthString(40);
  request.headers = {{"Host", input.PickValueInArray(kStems) + input.ConsumeRandomLengthString(16)},
                     {"X-Data", ""}};
  // Sometimes a value too long to read: a rule that reads it ends the pass as Unreadable.
  if (input.ConsumeIntegralInRange(0, 7) == 0) {
    request.headers.emplace_back("X-Long", std::string(vortane::kValueLimit + 1, 'a'));
  }
  request.headers[1].second = input.ConsumeRemainingBytesAsString();

  // Reading every value afresh and keeping what the pass read must agree exactly, values too
  // long to read included.
  const Outcome without = Run(unfiltered, request);
  if ((without.result & vortane::RuleResult::Timeout) != 0) return 0;
  const Outcome kept = Run(vortane::NumberValues(unfiltered), request);
  CheckSame(kept, without);
  // The prefilters may leave a value too long to read unread, where reading it ends the pass.
  const Outcome with = Run(filtered, request);
  if ((without.result & vortane::RuleResult::Unreadable) == 0) CheckSame(with, without);
  CheckSame(Run(indexed, request, &index), with);

  // One subject of the request's values, and the last header's value alone (every byte of it
  // the input's), cut anew for each rule.
  const std::string joined =
      request.headers[1].second + "\n" + request.headers[0].second + "\n" + request.url;
  for (const vortane::Rule& rule : filtered) {
    CheckCuts(rule, joined);
    CheckCuts(rule, request.headers[1].second);
  }
  return 0;
}
