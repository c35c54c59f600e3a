// One request through a pass over 50 realistic rules, through the in-memory server, against
// the sum of plain Boost matches of the same 50 patterns on the same subjects, and (when
// built with PCRE2) the sum of PCRE2 matches of the same patterns, without and with its JIT.
//
// Most rules do not match, as in real configurations: conditions on headers and server
// variables, refusals of probes, a few rewrites. The rewrites that match write back the
// value they read, so every iteration sees the same request.
//
// LoadRulesPass is the pass the load benchmark (bench/throughput.sh) pays per request: the
// 50 rules of bench/load/rules/vortane-50.ini, loaded from the file by the real parser, for
// its request (GET /index.html with a desktop browser's headers). One of them rewrites
// Accept-Language; the loop puts the header back after each pass, and that SetHeader is part
// of the time. Where the CPU's counters can be read (perf_event_open), it also reports the
// instructions per pass; elsewhere (most virtual machines) count them with callgrind:
//   valgrind --tool=callgrind --toggle-collect='*LoadPassOnce*'
//            build/bench/vortane_pass_bench --benchmark_filter=LoadRulesPass
// and divide the inclusive Ir of LoadPassOnce by its calls.
#include <benchmark/benchmark.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef VORTANE_BENCH_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

#include "base/file_names.h"
#include "bench/ratio_reporter.h"
#include "config/site_config.h"
#include "memory_server/memory_server.h"
#include "rules/rule_pass.h"
#include "tests/support/rule_builder.h"

namespace {

using vortane::testing::ConditionLine;
using vortane::testing::MakeRule;

struct RuleLine {
  std::vector<ConditionLine> conditions;
  const char* pattern;
  const char* format;
  const char* letters;
  const char* target;
};

const std::vector<RuleLine>& Rules() {
  static const std::vector<RuleLine> rules = {
      // Moved sections and legacy URLs (no conditions, no match).
      {{}, "^/blog/(\\d{4})/(\\d{2})/(.*)$", "/posts/$1-$2-$3", "L", "URL"},
      {{}, "^/old-section/(.*)$", "/section/$1", "R", "URL"},
      {{}, "^/index\\.php\\?page=(\\w+)$", "/$1", "L", "URL"},
      {{}, "^/catalog/item\\.asp\\?id=(\\d+)$", "/products/$1", "R", "URL"},
      {{}, "^/news/(\\d+)\\.html$", "/articles/$1", "L", "URL"},
      {{}, "^/forum/viewtopic\\.php\\?t=(\\d+)$", "/community/topic/$1", "R", "URL"},
      {{}, "^/~(\\w+)(/.*)?$", "/users/$1$2", "L", "URL"},
      {{}, "^/download/(.*)\\.(?:zip|tar\\.gz)$", "/files/$1", "L", "URL"},
      {{}, "^/wiki/(.+)$", "/docs/$1", "R", "URL"},
      {{}, "^/(?:en|de|fr)/(.*)$", "/$1", "L", "URL"},
      {{}, "^/cgi-bin/(.*)\\.(?:pl|cgi)$", "/scripts/$1", "L", "URL"},
      {{}, "^/shop/cart\\.aspx(?:\\?.*)?$", "/cart", "R", "URL"},
      {{}, "^/images/(.*)\\.(?:bmp|tiff)$", "/img/$1.png", "L", "URL"},
      {{}, "^/search\\?q=([^&]*)$", "/find\\?q=$1", "L", "URL"},
      {{}, "^/api/v1/(.*)$", "/api/v2/$1", "L", "URL"},
      {{}, "^/account/login\\.jsp$", "/login", "R", "URL"},
      {{}, "^/(.*)/index\\.html?$", "/$1/", "R", "URL"},
      {{}, "^/feeds?/(rss|atom)\\.xml$", "/feed.$1", "L", "URL"},
      {{}, "^/static/v\\d+/(.*)$", "/static/$1", "L", "URL"},
      {{}, "^/print/(.*)$", "/$1\\?print=1", "L", "URL"},
      // Conditions on request headers (no match).
      {{{"Host:", "^example\\.com$"}}, "^/(.*)$", "http://www.example.com/$1", "R", "URL"},
      {{{"Host:", "^(?:old|legacy)\\.example\\.com$"}}, "^/(.*)$", "/legacy/$1", "L", "URL"},
      {{{"User-Agent:", ".*(?:Googlebot|bingbot|Slurp).*"}}, "^/private/.*", "/", "F", "URL"},
      {{{"User-Agent:", ".*(?:MSIE [5-8]\\.).*"}}, "^/(.*)$", "/old-browser/$1", "L", "URL"},
      {{{"Referer:", "^https?://(?:www\\.)?badsite\\.(?:com|net)/.*"}},
       ".*\\.(?:jpg|png|gif)$",
       "/hotlink.png",
       "L",
       "URL"},
      {{{"Accept-Language:", "^de.*"}}, "^/$", "/de/", "R", "URL"},
      {{{"Accept-Language:", "^fr.*"}}, "^/$", "/fr/", "R", "URL"},
      {{{"Cookie:", ".*admin=1.*"}}, "^/admin/(.*)$", "/secure/$1", "L", "URL"},
      {{{"Host:", "^shop\\..*"}, {"User-Agent:", ".*Mobile.*"}}, "^/(.*)$", "/m/$1", "L", "URL"},
      {{{"X-Forwarded-For:", "^10\\..*"}}, "^/internal/.*", "/", "F", "URL"},
      // Conditions on server variables (no match).
      {{{"HTTPS", "^on$", true}}, "^/checkout/(.*)$", "/secure-checkout/$1", "L", "URL"},
      {{{"SERVER_PORT", "^8080$", true}}, "^/(.*)$", "/dev/$1", "L", "URL"},
      {{{"REMOTE_ADDR", "^203\\.0\\.113\\.\\d+$", true}}, ".*", "/blocked", "F", "URL"},
      {{{"HTTPS", "^off$", true}, {"Host:", "^secure\\..*"}},
       "^/(.*)$",
       "https://secure/$1",
       "R",
       "URL"},
      {{{"REQUEST_METHOD", "^(?:PUT|DELETE)$", true}}, "^/static/.*", "/", "F", "URL"},
      // Refusals of probes (no match).
      {{}, "^/(?:wp-admin|wp-login\\.php|xmlrpc\\.php).*$", "/", "F", "URL"},
      {{}, ".*\\.(?:exe|dll|bat|cmd)(?:\\?.*)?$", "/", "F", "URL"},
      {{}, ".*(?:\\.\\./|%2e%2e).*", "/", "F", "URL"},
      {{}, "^/(?:\\.git|\\.svn|\\.env).*", "/", "F", "URL"},
      {{}, ".*(?:<script|%3Cscript).*", "/", "F,I", "URL"},
      // Header rewrites (no match).
      {{}, "^(.*)Trident(.*)$", "$1Edge$2", "", "User-Agent:"},
      {{}, "^gzip$", "identity", "", "Accept-Encoding:"},
      {{}, "^https?://spam\\..*$", "", "", "Referer:"},
      {{}, "^HTTP/1\\.0$", "HTTP/1.1", "", "VERSION"},
      {{}, "^TRACE$", "GET", "", "METHOD"},
      // Rewrites that match and write back the same value.
      {{}, "^/products/(\\d+)(\\?.*)?$", "/products/$1$2", "", "URL"},
      {{{"Host:", "^www\\.example\\.com$"}}, "^(/products/.*)$", "$1", "", "URL"},
      {{}, "^(www\\.example\\.com)$", "$1", "", "Host:"},
      {{}, "^(GET)$", "$1", "", "METHOD"},
      {{{"HTTPS", "^off$", true}}, "^(/.*)$", "$1", "", "URL"},
  };
  return rules;
}

vortane::MemoryRequest Request() {
  vortane::MemoryRequest request;
  request.method = "GET";
  request.url = "/products/42?color=red";
  request.headers = {
      {"Host", "www.example.com"},
      {"User-Agent",
       "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
       "Chrome/120.0 Safari/537.36"},
      {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
      {"Accept-Language", "en-US,en;q=0.9"},
      {"Accept-Encoding", "gzip, deflate, br"},
      {"Referer", "https://www.example.com/"},
      {"Cookie", "session=abc123; theme=dark"},
      {"Connection", "keep-alive"},
  };
  request.serverVariables = {{"SERVER_PORT", "80"}, {"REMOTE_ADDR", "192.0.2.10"}};
  return request;
}

vortane::SiteConfig& Config() {
  static vortane::SiteConfig* config = [] {
    vortane::ParsedConfig parsed;
    for (const RuleLine& r : Rules()) {
      parsed.rules.push_back(MakeRule(r.conditions, r.pattern, r.format, r.letters, r.target));
    }
    return new vortane::SiteConfig(0, {}, std::move(parsed));
  }();
  return *config;
}

// Reads one value as evaluation does; empty when absent.
std::string Read(vortane::MemoryServer& server, const std::string& name, bool serverVariable) {
  char buffer[4096];
  DWORD size = sizeof buffer;
  HTTP_FILTER_CONTEXT* fc = server.Context();
  const BOOL ok =
      serverVariable
          ? fc->GetServerVariable(fc, const_cast<LPSTR>(name.c_str()), buffer, &size)
          : server.PreprocHeaders()->GetHeader(fc, const_cast<LPSTR>(name.c_str()), buffer, &size);
  return ok && size > 0 ? std::string(buffer, size - 1) : std::string();
}

// Each rule's subject as evaluation joins it: each condition's value and LF, then the
// target's value.
const std::vector<std::string>& Subjects() {
  static const std::vector<std::string> subjects = [] {
    vortane::MemoryServer server(Request());
    std::vector<std::string> joined;
    for (const vortane::Rule& rule : Config().rules) {
      std::string subject;
      for (const vortane::Condition& c : rule.conditions) {
        subject += Read(server, c.name, c.isServerVariable) + "\n";
      }
      subject += Read(server, rule.target, false);
      joined.push_back(subject);
    }
    return joined;
  }();
  return subjects;
}

bool BoostMatches(size_t rule, boost::cmatch& groups) {
  const std::string& subject = Subjects()[rule];
  return boost::regex_match(subject.data(), subject.data() + subject.size(), groups,
                            Config().rules[rule].joinedPattern.expression(),
                            boost::match_not_dot_newline);
}

void PlainMatches(benchmark::State& state) {
  const size_t count = Config().rules.size();
  boost::cmatch groups;
  for (auto _ : state) {
    for (size_t i = 0; i < count; ++i) benchmark::DoNotOptimize(BoostMatches(i, groups));
  }
}
BENCHMARK(PlainMatches);

#ifdef VORTANE_BENCH_PCRE2
// One rule's pattern compiled by PCRE2 as a peer would take the same text: the patterns as
// written, joined by LF like the filter joins them, matched whole (anchored at both ends),
// "^" and "$" at line breaks as in the filter's dialect, caseless for I.
struct PcrePattern {
  size_t rule = 0;
  pcre2_code* code = nullptr;
  pcre2_match_data* data = nullptr;
};

std::vector<PcrePattern> CompilePcre(bool jit) {
  std::vector<PcrePattern> patterns;
  for (size_t i = 0; i < Rules().size(); ++i) {
    const RuleLine& rule = Rules()[i];
    std::string text;
    for (const ConditionLine& c : rule.conditions) text += c.pattern + "\n";
    text += rule.pattern;
    uint32_t options = PCRE2_ANCHORED | PCRE2_ENDANCHORED | PCRE2_MULTILINE;
    if (std::string(rule.letters).find('I') != std::string::npos) options |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                                     options, &error, &offset, nullptr);
    if (code == nullptr) {
      std::fprintf(stderr, "PCRE2 cannot compile rule %zu (%s): left out of its sums\n", i,
                   rule.pattern);
      continue;
    }
    if (jit && pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) != 0) {
      std::fprintf(stderr, "PCRE2 JIT cannot compile rule %zu\n", i);
      std::abort();
    }
    patterns.push_back({i, code, pcre2_match_data_create_from_pattern(code, nullptr)});
  }
  // Each must answer every subject as Boost does, or the sums compare different work.
  boost::cmatch groups;
  for (const PcrePattern& p : patterns) {
    const std::string& subject = Subjects()[p.rule];
    const int found = pcre2_match(p.code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                                  subject.size(), 0, 0, p.data, nullptr);
    if ((found > 0) != BoostMatches(p.rule, groups)) {
      std::fprintf(stderr, "PCRE2 and Boost disagree on rule %zu\n", p.rule);
      std::abort();
    }
  }
  return patterns;
}

void PcreMatches(benchmark::State& state) {
  const std::vector<PcrePattern> patterns = CompilePcre(false);
  for (auto _ : state) {
    for (const PcrePattern& p : patterns) {
      const std::string& subject = Subjects()[p.rule];
      benchmark::DoNotOptimize(pcre2_match(p.code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                                           subject.size(), 0, PCRE2_NO_JIT, p.data, nullptr));
    }
  }
  for (const PcrePattern& p : patterns) {
    pcre2_match_data_free(p.data);
    pcre2_code_free(p.code);
  }
}
BENCHMARK(PcreMatches);

void PcreJitMatches(benchmark::State& state) {
  const std::vector<PcrePattern> patterns = CompilePcre(true);
  for (auto _ : state) {
    for (const PcrePattern& p : patterns) {
      const std::string& subject = Subjects()[p.rule];
      benchmark::DoNotOptimize(pcre2_jit_match(p.code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                                               subject.size(), 0, 0, p.data, nullptr));
    }
  }
  for (const PcrePattern& p : patterns) {
    pcre2_match_data_free(p.data);
    pcre2_code_free(p.code);
  }
}
BENCHMARK(PcreJitMatches);
#endif

// Every call the filter made into `server` since it was made, per iteration of `state`: reads,
// writes and normalisations alike. Inside the web server each is a call into its request
// object, so the count is a cost of its own beside the time. `own` calls per iteration are
// the benchmark's, not the filter's.
benchmark::Counter ServerCalls(const vortane::MemoryServer& server, const benchmark::State& state,
                               unsigned own = 0) {
  unsigned calls = 0;
  for (int i = 0; i < vortane::kServerOperationCount; ++i) {
    calls += server.Calls(static_cast<vortane::ServerOperation>(i));
  }
  const double iterations = static_cast<double>(state.iterations());
  return benchmark::Counter(iterations > 0 ? calls / iterations - own : 0);
}

// The pass as the filter runs it, through the configuration's index when `indexed`. Not
// inlined, so that callgrind can count it alone (see LoadRulesPass).
[[gnu::noinline]] uint32_t PassOnce(const vortane::SiteConfig& config,
                                    vortane::MemoryServer& server, bool indexed) {
  return indexed ? vortane::RunRulePass(config.rules, config.ruleIndex, config.repeatLimit,
                                        server.Context(), server.PreprocHeaders())
                 : vortane::RunRulePass(config.rules, config.repeatLimit, server.Context(),
                                        server.PreprocHeaders());
}

void Pass(benchmark::State& state, bool indexed) {
  vortane::MemoryServer server(Request());
  const vortane::SiteConfig& config = Config();
  uint32_t result = 0;
  for (auto _ : state) {
    result = PassOnce(config, server, indexed);
    benchmark::DoNotOptimize(result);
  }
  state.counters["server_calls"] = ServerCalls(server, state);
  // Five rules match, nothing stops the pass, and the request stays as it was.
  if (result != vortane::RuleResult::Matched + vortane::RuleResult::NoMatch ||
      server.Request().url != Request().url) {
    state.SkipWithError("the pass did not behave as the benchmark expects");
  }
}

void RulePass(benchmark::State& state) {
  Pass(state, true);
}
BENCHMARK(RulePass);

void RulePassWithoutIndex(benchmark::State& state) {
  Pass(state, false);
}
BENCHMARK(RulePassWithoutIndex);

// The load benchmark's request, as vortane-serve hands it to the filter.
vortane::MemoryRequest LoadRequest() {
  vortane::MemoryRequest request;
  request.url = "/index.html";
  request.headers = {
      {"Host", "example.com"},
      {"User-Agent",
       "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
       "Chrome/120.0 Safari/537.36"},
      {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
      {"Accept-Language", "en-US,en;q=0.9"},
      {"Accept-Encoding", "gzip, deflate, br"},
      {"Referer", "https://example.com/"},
      {"Cookie", "session=abc123; theme=dark"},
  };
  request.serverVariables = {{"SERVER_PORT", "8080"}, {"REMOTE_ADDR", "127.0.0.1"}};
  return request;
}

// The load benchmark's rules, loaded from a copy of the file (the parser writes its report
// beside the file it reads, which must not be the source tree).
const vortane::SiteConfig& LoadConfig() {
  static const vortane::SiteConfig* config = [] {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("vortane-pass-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::filesystem::path file = directory / vortane::kConfigFileName;
    std::filesystem::copy_file(VORTANE_LOAD_RULES, file,
                               std::filesystem::copy_options::overwrite_existing);
    return new vortane::SiteConfig(0, file.string());
  }();
  return *config;
}

// Instructions retired by this thread in user space, when the CPU's counters can be read.
class InstructionCounter {
 public:
  InstructionCounter() {
    perf_event_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_HARDWARE;
    attr.config = PERF_COUNT_HW_INSTRUCTIONS;
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    fd_ = static_cast<int>(::syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
  }
  ~InstructionCounter() {
    if (fd_ >= 0) ::close(fd_);
  }
  InstructionCounter(const InstructionCounter&) = delete;
  InstructionCounter& operator=(const InstructionCounter&) = delete;

  bool Available() const { return fd_ >= 0; }
  // The count so far; 0 when unavailable.
  uint64_t Read() const {
    uint64_t count = 0;
    if (fd_ < 0 || ::read(fd_, &count, sizeof count) != static_cast<ssize_t>(sizeof count))
      return 0;
    return count;
  }

 private:
  int fd_ = -1;
};

// One pass and the restoring of the header it rewrites; not inlined, so that callgrind can
// count it alone.
[[gnu::noinline]] uint32_t LoadPassOnce(const vortane::SiteConfig& config,
                                        vortane::MemoryServer& server) {
  const uint32_t result = vortane::RunRulePass(config.rules, config.ruleIndex, config.repeatLimit,
                                               server.Context(), server.PreprocHeaders());
  server.PreprocHeaders()->SetHeader(server.Context(), const_cast<LPSTR>("Accept-Language:"),
                                     const_cast<LPSTR>("en-US,en;q=0.9"));
  return result;
}

void LoadRulesPass(benchmark::State& state) {
  const vortane::SiteConfig& config = LoadConfig();
  if (config.rules.size() != 50) {
    state.SkipWithError("the load benchmark's rules did not load whole");
    return;
  }
  vortane::MemoryServer server(LoadRequest());
  const InstructionCounter counter;
  const uint64_t before = counter.Read();
  uint32_t result = 0;
  for (auto _ : state) {
    result = LoadPassOnce(config, server);
    benchmark::DoNotOptimize(result);
  }
  // The SetHeader that puts Accept-Language back is the benchmark's.
  state.counters["server_calls"] = ServerCalls(server, state, 1);
  if (counter.Available()) {
    state.counters["instructions"] = benchmark::Counter(
        static_cast<double>(counter.Read() - before), benchmark::Counter::kAvgIterations);
  }
  // Only the Accept-Language rule matches; the request is neither answered nor rewritten.
  if (result != vortane::RuleResult::Matched + vortane::RuleResult::NoMatch ||
      server.Request().url != "/index.html") {
    state.SkipWithError("the load pass did not behave as the benchmark expects");
  }
}
BENCHMARK(LoadRulesPass);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  vortane::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto pass = reporter.Time("RulePass");
  for (const auto& [name, label] :
       {std::pair{"PlainMatches", "Boost"}, std::pair{"PcreMatches", "PCRE2"},
        std::pair{"PcreJitMatches", "PCRE2-JIT"}}) {
    const auto sum = reporter.Time(name);
    if (sum && pass) std::printf("ratio pass/%s: %.3f\n", label, *pass / *sum);
  }
  const auto unindexed = reporter.Time("RulePassWithoutIndex");
  if (pass && unindexed)
    std::printf("ratio pass/pass without the index: %.3f\n", *pass / *unindexed);
  benchmark::Shutdown();
  return 0;
}
