// Passes over growing sets of legacy redirects (one RewriteRule per moved page, the shape a
// site migration leaves behind), and the time to load the largest set from its file.
//
// Each set is the first N rules of one generated list of realistic paths: most redirect one
// exact page, some a whole section, one in ten ignore case. A request either matches the
// rule in the middle of the set, whose redirect writes back the URL it read so that every
// iteration sees the same request, or matches none. The ratios printed at the end compare
// the 10,000-rule pass with the 10-rule pass of the same run, with and without the index.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "config/site_config.h"
#include "memory_server/memory_server.h"
#include "rules/rule_pass.h"

namespace {

constexpr int kSizes[] = {10, 100, 1000, 10000};
constexpr int kLargest = 10000;

// A small deterministic generator, so every run and every size sees the same rules.
class Words {
 public:
  uint32_t Next(uint32_t bound) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state_ >> 33) % bound;
  }
  const char* Pick(const std::vector<const char*>& list) { return list[Next(list.size())]; }

 private:
  uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// A path of an old site, and whether its rule covers a whole section rather than one page.
struct OldPath {
  std::string path;
  bool section;
};

std::string Slug(Words& words) {
  static const std::vector<const char*> list = {
      "annual",  "report",  "summer", "sale",    "new",     "office",  "opening", "guide",
      "install", "windows", "server", "release", "notes",   "product", "launch",  "team",
      "event",   "review",  "how-to", "update",  "pricing", "support", "contact", "history"};
  std::string slug = words.Pick(list);
  for (uint32_t n = words.Next(3) + 1; n > 0; --n) slug += std::string("-") + words.Pick(list);
  return slug;
}

OldPath MakePath(Words& words, int i) {
  static const std::vector<const char*> categories = {"tools", "garden", "kitchen", "books",
                                                      "toys",  "audio",  "office",  "sports"};
  static const std::vector<const char*> extensions = {".html", ".htm", ".asp", ".php", ".aspx"};
  const std::string id = std::to_string(1000 + i);
  switch (words.Next(10)) {
    case 0:
      return {"/blog/" + std::to_string(2005 + words.Next(15)) + "/" + id + "/", true};
    case 1:
    case 2:
    case 3:
      return {"/blog/" + std::to_string(2005 + words.Next(15)) + "/" +
                  std::to_string(1 + words.Next(12)) + "/" + Slug(words) + "-" + id + ".html",
              false};
    case 4:
    case 5:
      return {std::string("/products/") + words.Pick(categories) + "/item-" + id +
                  words.Pick(extensions),
              false};
    case 6:
      return {"/catalog/item.asp?id=" + id, false};
    case 7:
      return {"/news/" + Slug(words) + "-" + id + ".php", false};
    default:
      return {"/docs/v" + std::to_string(1 + words.Next(4)) + "/" + Slug(words) + "/" + id +
                  words.Pick(extensions),
              false};
  }
}

// The path as a pattern literal, its metacharacters escaped.
std::string Escaped(const std::string& path) {
  std::string escaped;
  for (char c : path) {
    if (std::strchr(".?+*()[]{}^$|\\", c) != nullptr) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

struct Generated {
  std::vector<std::string> lines;  // RewriteRule lines, in file order
  std::vector<std::string> urls;   // a URL each rule matches
};

// The first `count` rules of the list. The middle rule redirects to the URL it matched.
Generated Generate(int count) {
  Words words;
  Generated generated;
  for (int i = 0; i < count; ++i) {
    const OldPath old = MakePath(words, i);
    const bool ignoreCase = words.Next(10) == 0;
    std::string line = "RewriteRule ^" + Escaped(old.path);
    std::string format = "/moved" + old.path;
    if (old.section) {
      line += "(.*)$";
      format += "$1";
    } else {
      line += "$";
    }
    std::string url = old.path + (old.section ? "index.html" : "");
    if (i == count / 2) format = url;
    line += " " + format + (ignoreCase ? " [I,R]" : " [R]");
    generated.lines.push_back(line);
    generated.urls.push_back(url);
  }
  return generated;
}

// A file holding the rules, in a directory of its own that lives as long as the process.
std::string WriteConfig(int count) {
  static const std::filesystem::path directory = [] {
    std::filesystem::path d =
        std::filesystem::temp_directory_path() / ("vortane-scale-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  const std::filesystem::path file = directory / ("httpd-" + std::to_string(count) + ".ini");
  std::ofstream out(file, std::ios::binary);
  out << "[Vortane]\n";
  for (const std::string& line : Generate(count).lines) out << line << '\n';
  return file.string();
}

// The configuration of `count` rules, loaded once from its file.
const vortane::SiteConfig& Config(int count) {
  static std::map<int, std::unique_ptr<vortane::SiteConfig>> configs;
  std::unique_ptr<vortane::SiteConfig>& config = configs[count];
  if (!config) config = std::make_unique<vortane::SiteConfig>(0, WriteConfig(count));
  return *config;
}

void Pass(benchmark::State& state, bool indexed) {
  const int count = static_cast<int>(state.range(0));
  const bool match = state.range(1) != 0;
  const vortane::SiteConfig& config = Config(count);
  if (static_cast<int>(config.rules.size()) != count) {
    state.SkipWithError("the generated file did not load whole");
    return;
  }
  vortane::MemoryRequest request;
  request.method = "GET";
  request.url = match ? Generate(count).urls[count / 2] : "/about/company/history.html";
  request.headers = {{"Host", "www.example.com"}, {"User-Agent", "Mozilla/5.0"}};
  vortane::MemoryServer server(request);
  uint32_t result = 0;
  for (auto _ : state) {
    result = indexed ? vortane::RunRulePass(config.rules, config.ruleIndex, config.repeatLimit,
                                            server.Context(), server.PreprocHeaders())
                     : vortane::RunRulePass(config.rules, config.repeatLimit, server.Context(),
                                            server.PreprocHeaders());
    benchmark::DoNotOptimize(result);
  }
  const uint32_t expected = match ? vortane::RuleResult::Matched | vortane::RuleResult::Redirect |
                                        vortane::RuleResult::Stop | vortane::RuleResult::NoMatch
                                  : vortane::RuleResult::NoMatch;
  if (result != expected || server.Request().url != request.url) {
    state.SkipWithError("the pass did not behave as the benchmark expects");
  }
}

void IndexedPass(benchmark::State& state) {
  Pass(state, true);
}
void UnindexedPass(benchmark::State& state) {
  Pass(state, false);
}

void Load(benchmark::State& state) {
  const std::string path = WriteConfig(kLargest);
  for (auto _ : state) {
    vortane::SiteConfig config(0, path);
    benchmark::DoNotOptimize(config.ruleIndex.RuleCount());
  }
}

void Arguments(benchmark::internal::Benchmark* benchmark) {
  for (int count : kSizes) {
    benchmark->Args({count, 1});
    benchmark->Args({count, 0});
  }
}

BENCHMARK(IndexedPass)->Apply(Arguments);
BENCHMARK(UnindexedPass)->Args({10, 1})->Args({10, 0})->Args({kLargest, 1})->Args({kLargest, 0});
BENCHMARK(Load)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  vortane::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* kind : {"IndexedPass", "UnindexedPass"}) {
    for (int match : {1, 0}) {
      const std::string suffix = "/" + std::to_string(match);
      const auto small = reporter.Time(std::string(kind) + "/10" + suffix);
      const auto large = reporter.Time(std::string(kind) + "/10000" + suffix);
      if (small && large) {
        std::printf("%s %s: 10,000 rules / 10 rules: %.2f\n", kind,
                    match ? "one matching" : "none matching", *large / *small);
      }
    }
  }
  if (const auto load = reporter.Time("Load/iterations:3")) {
    std::printf("load of 10,000 rules: %.1f ms\n", *load);
  }
  benchmark::Shutdown();
  return 0;
}
