// What a file test costs: one front-controller rule (!-f, !-d, then a rewrite) evaluated for a
// request, against the same rule without its file tests, through the in-memory server and a
// real site folder. Three requests: an existing file (the first test fails: one query), a
// missing path (both tests hold: the same one query and the rewrite) and a URL the rule's pattern
// refuses (no query at all: the tests are asked only when the rest matched).
//
// The ratios printed at the end are the ones to read: absolute times vary with the machine
// and the file system's cache.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "memory_server/memory_server.h"
#include "rules/evaluation.h"
#include "rules/request_filename.h"
#include "tests/support/rule_builder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using vortane::testing::MakeRule;

// The site: a root with a few files, made once per process and removed at the end.
struct Site {
  Site() : dir(vortane::testing::ScratchFolder("file-test-bench")) {
    fs::remove_all(dir);
    fs::create_directories(dir / "assets" / "css");
    std::ofstream(dir / "assets" / "css" / "site.css") << "body{}";
    std::ofstream(dir / "index.php") << "<?php";
    folders.root = dir.native();
  }
  ~Site() { fs::remove_all(dir); }
  fs::path dir;
  vortane::SiteFolders folders;
};

Site& TheSite() {
  static Site site;
  return site;
}

const char* const kUrls[] = {"/assets/css/site.css", "/products/42?color=red", "/static.txt"};

// Evaluates the front-controller rule, with (`tests` 1) or without (0) its file tests, for
// the request kUrls[`url`]. A rewrite is put back after each evaluation, so every iteration
// sees the same request.
void FrontController(benchmark::State& state) {
  const bool tests = state.range(0) != 0;
  const std::string url = kUrls[state.range(1)];
  std::vector<vortane::testing::ConditionLine> conditions;
  if (tests) {
    conditions = {{"REQUEST_FILENAME", "!-f", true}, {"REQUEST_FILENAME", "!-d", true}};
  }
  const vortane::Rule rule =
      MakeRule(conditions, "^/(?!static)[^.]*(?:\\.css)?(?:\\?.*)?$", "/index.php", "L");
  vortane::MemoryRequest request;
  request.url = url;
  vortane::MemoryServer server(request);
  vortane::EvaluationScratch scratch;
  vortane::RequestFiles files(TheSite().folders);
  char urlItem[] = "URL";
  for (auto _ : state) {
    const uint32_t result =
        EvaluateRule(rule, server.Context(), server.PreprocHeaders(), scratch, nullptr, &files);
    benchmark::DoNotOptimize(result);
    if ((result & vortane::RuleResult::Matched) != 0) {
      server.PreprocHeaders()->SetHeader(server.Context(), urlItem, const_cast<char*>(url.c_str()));
    }
  }
}

BENCHMARK(FrontController)->ArgsProduct({{1, 0}, {0, 1, 2}});

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  vortane::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const char* const names[] = {"an existing file", "a missing path", "a URL the pattern refuses"};
  for (int url = 0; url < 3; ++url) {
    const std::string suffix = "/" + std::to_string(url);
    const auto with = reporter.Time("FrontController/1" + suffix);
    const auto without = reporter.Time("FrontController/0" + suffix);
    if (with && without) {
      std::printf("%s: with file tests / without: %.2f\n", names[url], *with / *without);
    }
  }
  benchmark::Shutdown();
  return 0;
}
