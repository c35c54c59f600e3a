// TimedMatch against Boost's plain regex_match over the same compiled expressions, on
// realistic rewrite patterns (conditions joined by LF among them), matching and not.
//
// Besides Google Benchmark's table, prints each case's ratio timed/plain and their median:
// the cost of checking the clock inside the matcher.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "regex/expression.h"
#include "regex/timed_match.h"

namespace {

struct Case {
  const char* name;
  const char* pattern;
  const char* subject;
  bool ignoreCase;
};

const Case kCorpus[] = {
    {"old_prefix", "^/old/(.*)$", "/old/products/item42.html", false},
    {"blog_date", "^/blog/(\\d{4})/(\\d{2})/([\\w-]+)/?$", "/blog/2024/05/hello-world/", false},
    {"blog_date_miss", "^/blog/(\\d{4})/(\\d{2})/([\\w-]+)/?$", "/blog/latest", false},
    {"php_query", "^/index\\.php\\?id=(\\d+)$", "/index.php?id=5", false},
    {"image_ext", "^/images/(.*)\\.(jpg|png|gif)$", "/images/banner.png", false},
    {"asp_any", ".*\\.(?:asp|aspx)(?:\\?.*)?", "/shop/cart.aspx?step=2", false},
    {"host_canonical_miss", "^www\\.example\\.com$\n^/(.*)$", "example.com\n/path/to/page", false},
    {"bot_private_miss", ".*(?:Googlebot|bingbot|Slurp).*\n^/private/.*",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36\n/private/data", false},
    {"api_version", "^/api/v(\\d+)/(users|orders)/(\\d+)$", "/api/v2/orders/1234", false},
    {"language_miss", "^/(?:en|de|fr)/(.*)$", "/es/page", false},
    {"static", "^/static/.*$", "/static/css/site.css", false},
    {"two_segments", "^/([^/]+)/([^/]+)/?$", "/products/shoes", false},
    {"download_icase", "^/download/(.*)$", "/Download/File.ZIP", true},
    {"search_query", "^/search\\?q=([^&]*)(?:&page=(\\d+))?$", "/search?q=rewrite&page=2", false},
    {"https_off", "^off$\n^/(secure|account)/(.*)$", "off\n/account/settings", false},
    {"forbid_exe_miss", "^.*\\.(?:exe|dll|bat)$", "/index.html", false},
    {"hotlink_miss", "^https?://(?:www\\.)?badsite\\.(?:com|net)/.*\n.*\\.(?:jpg|png)$",
     "https://www.example.org/page\n/img/a.jpg", false},
    {"wiki", "^/wiki/(.+)$", "/wiki/Main_Page", false},
    {"html_root_miss", "^/(\\w+)\\.html$", "/dir/page.html", false},
    {"forum_topic", "^/forum/viewtopic\\.php\\?t=(\\d+)(?:&start=(\\d+))?$",
     "/forum/viewtopic.php?t=981&start=20", false},
    {"method_miss", "^(?:GET|HEAD)$\n^/upload/.*$", "POST\n/upload/file", false},
    {"index_html", "^/(.*)/index\\.html?$", "/docs/guide/index.html", false},
    {"user_dir", "^/~(\\w+)(/.*)?$", "/~alice/public/notes.txt", false},
    {"accept_language_miss", "^de.*\n^/$", "en-US,en;q=0.9\n/", false},
    {"cgi_miss", "^/cgi-bin/(.*)\\.(?:pl|cgi)$", "/cgi-bin/", false},
    {"product_asp", "^/product\\.asp\\?id=(\\d+)&cat=(\\w+)$", "/product.asp?id=77&cat=shoes",
     false},
    {"admin_probe_miss", "^/(?:wp-admin|wp-login\\.php|xmlrpc\\.php).*$", "/about/team", false},
    {"mobile_shop", "^(?:www\\.)?shop\\.example\\.com$\n.*Mobile.*\n^/(.*)$",
     "shop.example.com\nMozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X) "
     "Mobile/15E148\n/cart",
     true},
    {"news_miss", "^/news/(\\d+)-(.*)\\.html$", "/news/archive/2020", false},
    {"host_and_path", "^(?:www\\.)?example\\.(?:com|net)$\n^/shop/(\\w+)/(\\d+)\\.html$",
     "www.example.com\n/shop/shoes/42.html", false},
};

void Plain(benchmark::State& state, const Case& c) {
  const vortane::Expression e = vortane::CompilePattern(c.pattern, c.ignoreCase);
  const std::string subject = c.subject;
  boost::cmatch results;
  for (auto _ : state) {
    benchmark::DoNotOptimize(boost::regex_match(subject.data(), subject.data() + subject.size(),
                                                results, e, boost::match_not_dot_newline));
  }
}

void Timed(benchmark::State& state, const Case& c) {
  const vortane::Expression e = vortane::CompilePattern(c.pattern, c.ignoreCase);
  const std::string subject = c.subject;
  vortane::MatchResults results;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vortane::TimedMatch(subject.data(), subject.data() + subject.size(),
                                                 results, e, vortane::MatchTimeLimit,
                                                 boost::match_not_dot_newline));
  }
}

void PrintRatios(const vortane::bench::RatioReporter& reporter) {
  std::vector<double> ratios;
  std::printf("\n%-24s %10s %10s %7s\n", "case", "plain ns", "timed ns", "ratio");
  for (const Case& c : kCorpus) {
    const auto plain = reporter.Time(std::string("plain/") + c.name);
    const auto timed = reporter.Time(std::string("timed/") + c.name);
    if (!plain || !timed) continue;
    const double ratio = *timed / *plain;
    ratios.push_back(ratio);
    std::printf("%-24s %10.1f %10.1f %7.3f\n", c.name, *plain, *timed, ratio);
  }
  if (ratios.empty()) return;
  std::sort(ratios.begin(), ratios.end());
  const size_t n = ratios.size();
  const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  std::printf("median ratio timed/plain over %zu cases: %.3f\n", n, median);
}

}  // namespace

int main(int argc, char** argv) {
  for (const Case& c : kCorpus) {
    benchmark::RegisterBenchmark((std::string("plain/") + c.name).c_str(), Plain, c);
    benchmark::RegisterBenchmark((std::string("timed/") + c.name).c_str(), Timed, c);
  }
  benchmark::Initialize(&argc, argv);
  vortane::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter);
  benchmark::Shutdown();
  return 0;
}
