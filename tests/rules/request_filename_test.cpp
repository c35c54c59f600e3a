// REQUEST_FILENAME: the path a URL names in a site's folders, and the file tests over it.
#include "rules/request_filename.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "rules/evaluation.h"
#include "rules/trace.h"
#include "tests/support/rule_builder.h"
#include "tests/support/temp_dir.h"

namespace vortane {
namespace {

namespace fs = std::filesystem;
using testing::ConditionLine;
using testing::MakeRule;

// A path written in ASCII, on either system.
platform::PathString P(std::string_view text) {
  return platform::PathFromUtf8(text).value();
}

// A site at "/srv/site" with the virtual folders "/app" and "/app/v2", on the portable text
// form (the tests compare `text`, which uses the style's separator).
SiteFolders PosixSite() {
  SiteFolders folders;
  folders.root = P("/srv/site");
  folders.virtualFolders = {{"/app", P("/opt/app")}, {"/app/v2", P("/opt/v2/")}};
  return folders;
}

TEST(RequestFilename, PathsAndRefusals) {
  struct Case {
    const char* url;
    PathStyle style;
    const char* text;  // empty: refused
    bool folderOnly;
  } cases[] = {
      {"/", PathStyle::Posix, "/srv/site", true},
      {"/index.php", PathStyle::Posix, "/srv/site/index.php", false},
      {"/index.php/extra", PathStyle::Posix, "/srv/site/index.php/extra", false},
      {"/a/b/?x=/../../..", PathStyle::Posix, "/srv/site/a/b/", true},
      {"/a%20b%3Fc", PathStyle::Posix, "/srv/site/a b?c", false},
      {"//a///b", PathStyle::Posix, "/srv/site/a/b", false},
      {"/a/./b/../c", PathStyle::Posix, "/srv/site/a/c", false},
      {"/a/..", PathStyle::Posix, "/srv/site", true},
      {"/a\\b", PathStyle::Posix, "/srv/site/a/b", false},
      {"/app", PathStyle::Posix, "/opt/app", false},
      {"/app/x.css", PathStyle::Posix, "/opt/app/x.css", false},
      {"/apple", PathStyle::Posix, "/srv/site/apple", false},
      {"/APP/x", PathStyle::Posix, "/srv/site/APP/x", false},
      {"/app/v2/y", PathStyle::Posix, "/opt/v2/y", false},
      {"/app/v3/y", PathStyle::Posix, "/opt/app/v3/y", false},
      {"/app/v2/../x", PathStyle::Posix, "/opt/app/x", false},
      {"/..", PathStyle::Posix, "", false},
      {"/a/../../etc/passwd", PathStyle::Posix, "", false},
      {"/%2e%2e/etc/passwd", PathStyle::Posix, "", false},
      {"/a%2f..%2f..%2fetc", PathStyle::Posix, "", false},
      {"/..%5cetc", PathStyle::Posix, "", false},
      {"/a%00b", PathStyle::Posix, "", false},
      {"/a%zz", PathStyle::Posix, "", false},
      {"/a%4", PathStyle::Posix, "", false},
      {"/con.txt", PathStyle::Posix, "/srv/site/con.txt", false},
      {"/a/b", PathStyle::Windows, "/srv/site\\a\\b", false},
      {"/App/V2/y", PathStyle::Windows, "/opt/v2\\y", false},
      {"/con", PathStyle::Windows, "", false},
      {"/x/CON.txt", PathStyle::Windows, "", false},
      {"/nul.tar.gz", PathStyle::Windows, "", false},
      {"/com1", PathStyle::Windows, "", false},
      {"/lpt9.log", PathStyle::Windows, "", false},
      {"/aux%20.x", PathStyle::Windows, "", false},
      {"/com10", PathStyle::Windows, "/srv/site\\com10", false},
      {"/console", PathStyle::Windows, "/srv/site\\console", false},
      {"/file.txt::$DATA", PathStyle::Windows, "", false},
      {"/c:%5cwindows", PathStyle::Windows, "", false},
      {"/a.", PathStyle::Windows, "", false},
      {"/a%20", PathStyle::Windows, "", false},
      {"/a%2e/b", PathStyle::Windows, "", false},
      {"/a*b", PathStyle::Windows, "", false},
      {"/a%01b", PathStyle::Windows, "", false},
  };
  const SiteFolders folders = PosixSite();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const RequestFilename name = ComputeRequestFilename(folders, c.url, c.style);
    EXPECT_EQ(name.text, c.text);
    EXPECT_EQ(name.Names(), c.text[0] != '\0');
    if (name.Names()) {
      EXPECT_EQ(name.folderOnly, c.folderOnly);
    }
  }
}

// A NUL byte as sent (not only one decoded from %00) names nothing: the system would read
// the path only up to it.
TEST(RequestFilename, ANulAsSentNamesNothing) {
  const SiteFolders folders = PosixSite();
  for (const PathStyle style : {PathStyle::Posix, PathStyle::Windows}) {
    EXPECT_FALSE(ComputeRequestFilename(folders, std::string("/a\0/../../x", 11), style).Names());
    EXPECT_FALSE(ComputeRequestFilename(folders, std::string("/page\0.html", 11), style).Names());
  }
}

TEST(RequestFilename, ASiteWithoutARootNamesNothing) {
  SiteFolders folders;
  folders.virtualFolders = {{"/app", P("/opt/app")}};
  EXPECT_EQ(ComputeRequestFilename(folders, "/app/x").refusal, "no root");
  EXPECT_EQ(ComputeRequestFilename(folders, "/").refusal, "no root");
}

// Whatever the URL, a path handed to the file system lies inside the root or a virtual folder:
// it starts with one of them and a separator, and none of its segments is "..", empty or
// holds a NUL. URLs are built from fragments a client would use to climb out.
TEST(RequestFilename, NoUrlLeadsOutsideTheFolders) {
  const char* const fragments[] = {
      "/",    "..", ".",   "%2e", "%2E%2e", "%2f",    "%5c",      "\\",    "a",
      "app",  "v2", "%00", "%",   "%2",     "?",      "#",        "%3f",   "con",
      ".txt", ":",  " ",   "%20", "//",     "%c0%ae", "\xc0\xae", "..%2f", "%252e",
  };
  const SiteFolders folders = PosixSite();
  std::mt19937 random(20);
  for (int round = 0; round < 20000; ++round) {
    std::string url = "/";
    const int pieces = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < pieces; ++i) url += fragments[random() % std::size(fragments)];
    if (round % 500 == 0) url += std::string(5000, 'x');
    for (const PathStyle style : {PathStyle::Posix, PathStyle::Windows}) {
      const RequestFilename name = ComputeRequestFilename(folders, url, style);
      if (!name.Names()) continue;
      SCOPED_TRACE(url);
      const std::string& text = name.text;
      const char separator = style == PathStyle::Windows ? '\\' : '/';
      std::string rest;
      for (const char* base : {"/srv/site", "/opt/app", "/opt/v2"}) {
        if (text.rfind(base, 0) == 0) {
          rest = text.substr(std::strlen(base));
          break;
        }
      }
      ASSERT_FALSE(rest.empty() && text != "/srv/site" && text != "/opt/app" && text != "/opt/v2")
          << "outside every folder";
      ASSERT_EQ(text.find('\0'), std::string::npos);
      if (rest.empty()) continue;
      ASSERT_EQ(rest[0], separator);
      // Segments between separators: never empty (but a trailing one), ".", "..".
      size_t start = 1;
      while (start < rest.size()) {
        const size_t end = std::min(rest.find(separator, start), rest.size());
        const std::string segment = rest.substr(start, end - start);
        ASSERT_FALSE(segment.empty());
        ASSERT_NE(segment, ".");
        ASSERT_NE(segment, "..");
        if (style == PathStyle::Windows) {
          ASSERT_EQ(segment.find(':'), std::string::npos);
          ASSERT_NE(segment.back(), '.');
          ASSERT_NE(segment.back(), ' ');
        }
        start = end + 1;
      }
    }
  }
}

// File tests over a real folder: a site root holding a file, a folder and a virtual folder
// elsewhere.
class FileTestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::ScratchFolder("file-test");
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "root" / "folder");
    fs::create_directories(dir_ / "elsewhere");
    std::ofstream(dir_ / "root" / "page.html") << "x";
    std::ofstream(dir_ / "root" / "folder" / "inner.txt") << "x";
    std::ofstream(dir_ / "elsewhere" / "lib.js") << "x";
    std::ofstream(dir_ / "secret.txt") << "x";  // beside the root, not in it
    folders_.root = (dir_ / "root").native();
    folders_.virtualFolders = {{"/static", (dir_ / "elsewhere").native()}};
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The result of `rule` on a request for `url`, and what the evaluation recorded.
  std::string Run(const Rule& rule, const std::string& url, RuleEvaluation* record = nullptr,
                  bool withFolders = true) {
    MemoryRequest request;
    request.url = url;
    request.serverVariables = {{"REQUEST_FILENAME", "/etc/passwd"}};
    MemoryServer server(request);
    EvaluationScratch scratch;
    RequestFiles files(folders_);
    const uint32_t result = EvaluateRule(rule, server.Context(), server.PreprocHeaders(), scratch,
                                         record, withFolders ? &files : nullptr);
    url_ = server.Request().url;
    return ResultNames(result);
  }

  fs::path dir_;
  SiteFolders folders_;
  std::string url_;  // the URL after the last run
};

TEST_F(FileTestTest, EachTestAsksWhatIsThere) {
  struct Case {
    const char* test;
    const char* url;
    bool holds;
  } cases[] = {
      {"-f", "/page.html", true},
      {"-f", "/folder", false},
      {"-f", "/missing", false},
      {"-f", "/page.html/extra", false},
      {"-f", "/page.html/", false},
      {"-f", "/static/lib.js", true},
      {"-f", "/folder/inner.txt?x", true},
      {"-f", "/fol%64er/inner.txt", true},
      {"-f", "/../secret.txt", false},
      {"-f", "/folder/../../secret.txt", false},
      {"-f", "/%2e%2e/secret.txt", false},
      {"-f", "/static/../page.html", true},
      {"-d", "/folder", true},
      {"-d", "/folder/", true},
      {"-d", "/", true},
      {"-d", "/static", true},
      {"-d", "/page.html", false},
      {"-d", "/..", false},
      {"!-f", "/page.html", false},
      {"!-f", "/missing", true},
      {"!-f", "/folder", true},
      {"!-f", "/..%2fsecret.txt", true},
      {"!-d", "/folder", false},
      {"!-d", "/page.html", true},
      {"!-d", "/missing/", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.test) + " " + c.url);
    const Rule rule = MakeRule({{"REQUEST_FILENAME", c.test, true}}, "^(/.*)$", "/hit");
    EXPECT_EQ(Run(rule, c.url), c.holds ? "Matched" : "NoMatch");
    EXPECT_EQ(url_, c.holds ? "/hit" : c.url);
  }
}

// A file test holds no group: $1 is the first group of the other patterns, whatever stands
// before it; and a request without site folders has neither files nor folders.
TEST_F(FileTestTest, TestsHoldNoGroupsAndNeedARoot) {
  const Rule rule = MakeRule(
      {{"REQUEST_FILENAME", "!-f", true}, {"Host:", "^(.*)$"}, {"REQUEST_FILENAME", "!-d", true}},
      "^/(.*)$", "/index.php\\?h=$1&p=$2");
  EXPECT_EQ(Run(rule, "/missing"), "Matched");
  EXPECT_EQ(url_, "/index.php?h=&p=missing");
  EXPECT_EQ(Run(rule, "/page.html"), "NoMatch");

  const Rule file = MakeRule({{"REQUEST_FILENAME", "-f", true}}, "^.*$", "/hit");
  EXPECT_EQ(Run(file, "/page.html", nullptr, false), "NoMatch");
  const Rule notFile = MakeRule({{"REQUEST_FILENAME", "!-f", true}}, "^.*$", "/hit");
  EXPECT_EQ(Run(notFile, "/page.html", nullptr, false), "Matched");
}

// Tests are asked only once the pattern and the other conditions matched, in file order, up to
// the first that fails; the record shows each with its path.
TEST_F(FileTestTest, TestsAreAskedOnlyForRulesThatWouldApply) {
  const Rule rule = MakeRule({{"REQUEST_FILENAME", "-d", true}, {"REQUEST_FILENAME", "-f", true}},
                             "^/folder$", "/x");
  RuleEvaluation record;
  EXPECT_EQ(Run(rule, "/other", &record), "NoMatch");
  EXPECT_TRUE(record.fileTests.empty());

  EXPECT_EQ(Run(rule, "/folder", &record), "NoMatch");
  ASSERT_EQ(record.fileTests.size(), 2u);
  EXPECT_TRUE(record.fileTests[0].held);
  EXPECT_EQ(record.fileTests[0].path, platform::Utf8FromPath((dir_ / "root" / "folder").native()));
  EXPECT_FALSE(record.fileTests[1].held);
  EXPECT_EQ(record.groups, nullptr);

  const Rule climbing = MakeRule({{"REQUEST_FILENAME", "!-f", true}}, "^.*$", "/x");
  EXPECT_EQ(Run(climbing, "/../secret.txt", &record), "Matched");
  ASSERT_EQ(record.fileTests.size(), 1u);
  EXPECT_EQ(record.fileTests[0].refusal, "leaves the root");
}

// A pattern on %REQUEST_FILENAME matches the computed path, never the server's variable; its
// groups count like any condition's.
TEST_F(FileTestTest, APatternOnTheVariableSeesTheComputedPath) {
  const std::string root = platform::Utf8FromPath((dir_ / "root").native());
  const Rule rule = MakeRule({{"REQUEST_FILENAME", "^(.*)$", true}}, "^(.*)$", "/seen\\?$1");
  EXPECT_EQ(Run(rule, "/a/b.txt?q"), "Matched");
  const char separator = kNativePathStyle == PathStyle::Windows ? '\\' : '/';
  EXPECT_EQ(url_, "/seen?" + root + separator + "a" + separator + "b.txt");
  EXPECT_EQ(Run(rule, "/../x"), "Matched");
  EXPECT_EQ(url_, "/seen?");
}

// Rules with file tests, as the parser builds them: the tests stay out of the combined pattern.
TEST(FileTestRule, BuiltWithoutAPatternPart) {
  const Rule rule = MakeRule({{"REQUEST_FILENAME", "!-f", true},
                              {"HTTPS", "^off$", true},
                              {"REQUEST_FILENAME", "-d", true},
                              {"REQUEST_FILENAME", "-s", true},
                              {"URL", "-f"}},
                             "^/(.*)$", "/x");
  ASSERT_EQ(rule.fileTests.size(), 2u);
  EXPECT_EQ(rule.fileTests[0].fileTest, FileTest::NotFile);
  EXPECT_EQ(rule.fileTests[1].fileTest, FileTest::Folder);
  ASSERT_EQ(rule.conditions.size(), 3u);
  EXPECT_FALSE(rule.conditions[0].computed);
  EXPECT_TRUE(rule.conditions[1].computed);  // "-s" is a pattern on the computed path
  EXPECT_FALSE(rule.conditions[2].computed);
  EXPECT_EQ(rule.joinedPattern.expression().mark_count(), 1u);  // the rule's one group
  EXPECT_TRUE(boost::regex_match(std::string("off\n-s\n-f\n/a"), rule.joinedPattern.expression()));
}

}  // namespace
}  // namespace vortane
