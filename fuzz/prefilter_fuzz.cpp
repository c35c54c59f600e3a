// Fuzzes the rules' prefilters and the rule index against the matcher: a small rule set built
// from the input (common shapes, legacy redirects among them, and arbitrary pattern bytes,
// with conditions, flags and header targets) runs over a request built from the input three
// times: with each rule's prefilter, with every prefilter dropped, and with the prefilters
// and the index of the rules by their URL prefix. The passes must agree on the result, the
// request they leave behind, the log mark and which rules were disabled, unless the pass
// without prefilters timed out (a rule that cannot match a subject never times out on it).
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "rules/request_context.h"
#include "rules/rule_index.h"
#include "rules/rule_pass.h"

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
};
// URLs of legacy redirects, for the index.
constexpr const char* kLegacyStems[] = {"/old/page.html", "/OLD/Page.html", "/blog/2019/x",
                                        "/Blog/2019/",    "/new/x",         "/old/pa\xC9"};
constexpr const char* kConditionNames[] = {"Host:", "X-Data:", "URL", "METHOD"};
constexpr const char* kTargets[] = {"URL", "X-Data:", "METHOD", "Host:"};
constexpr const char* kFormats[] = {
    "$0", "/new/$1", "$1x", "/p/$0", "/old/page.html", "/blog/2019/$1", "/Old/$1"};

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// A shape, arbitrary bytes, or a shape with arbitrary bytes after it.
std::string Pattern(FuzzedDataProvider& input) {
  const std::string shape = input.PickValueInArray(kShapes);
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
      return shape;
    case 1:
      return input.ConsumeRandomLengthString(12);
    default:
      return shape + input.ConsumeRandomLengthString(6);
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
      condition.name = input.PickValueInArray(kConditionNames);
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
  unsigned char logMark;
  std::vector<bool> disabled;
};

// A pass over `rules`, through `index` when there is one.
Outcome Run(const std::vector<vortane::Rule>& rules, const vortane::MemoryRequest& request,
            const vortane::RuleIndex* index = nullptr) {
  static const std::atomic<int32_t> repeatLimit{3};
  vortane::MemoryServer server(request);
  auto* block = static_cast<vortane::RequestContext*>(
      server.Context()->AllocMem(server.Context(), sizeof(vortane::RequestContext), 0));
  std::memset(block, 0, sizeof(vortane::RequestContext));
  server.Context()->pFilterContext = block;
  Outcome outcome;
  outcome.result =
      index != nullptr
          ? vortane::RunRulePass(rules, *index, repeatLimit, server.Context(),
                                 server.PreprocHeaders())
          : vortane::RunRulePass(rules, repeatLimit, server.Context(), server.PreprocHeaders());
  outcome.request = server.Request();
  outcome.logMark = block->logMark;
  for (const vortane::Rule& rule : rules) outcome.disabled.push_back(rule.IsDisabled());
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::vector<vortane::Rule> filtered = RulesFrom(input);
  std::vector<vortane::Rule> unfiltered = filtered;
  for (vortane::Rule& rule : unfiltered) rule.pattern.DropPrefilterForTesting();
  const std::vector<vortane::Rule> indexed = filtered;
  const vortane::RuleIndex index(indexed);

  vortane::MemoryRequest request;
  request.method = input.ConsumeBool() ? "GET" : input.ConsumeRandomLengthString(6);
  request.url =
      input.ConsumeBool() ? input.PickValueInArray(kStems) : input.PickValueInArray(kLegacyStems);
  if (input.ConsumeBool()) request.url += input.ConsumeRandomLengthString(40);
  request.headers = {{"Host", input.PickValueInArray(kStems) + input.ConsumeRandomLengthString(16)},
                     {"X-Data", input.ConsumeRemainingBytesAsString()}};

  const Outcome without = Run(unfiltered, request);
  if ((without.result & vortane::RuleResult::Timeout) != 0) return 0;
  const Outcome with = Run(filtered, request);
  Check(with.result == without.result);
  Check(with.request.url == without.request.url);
  Check(with.request.method == without.request.method);
  Check(with.request.version == without.request.version);
  Check(with.request.headers == without.request.headers);
  Check(with.logMark == without.logMark);
  Check(with.disabled == without.disabled);
  const Outcome through = Run(indexed, request, &index);
  Check(through.result == without.result);
  Check(through.request.url == without.request.url);
  Check(through.request.method == without.request.method);
  Check(through.request.version == without.request.version);
  Check(through.request.headers == without.request.headers);
  Check(through.logMark == without.logMark);
  Check(through.disabled == without.disabled);
  return 0;
}
