// Loading a configuration from its file: the path of each site, the file time, the 2 MiB
// limit, and the report left beside the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include "config/parser.h"
#include "config/site_config.h"
#include "platform/files.h"

#include "tests/support/file_out_of_reach.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
namespace vortane {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class SiteLoadingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = testing::ScratchFolder(info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The configuration of `siteId` with the global file in the scratch folder.
  SiteConfig Load(uint32_t siteId) const {
    return SiteConfig(siteId, ResolveConfigPath((dir_ / "httpd.ini").native(), siteId));
  }

  fs::path dir_;
};

TEST_F(SiteLoadingTest, LoadsTheFileAndRewritesItsReport) {
  const fs::path ini = dir_ / "httpd.ini";
  WriteAll(ini, "[Vortane]\nRewriteRule ^/a$ /b\nnonsense\n");
  WriteAll(dir_ / "httpd.parse.errors", "an old report that is much longer than the new one\r\n");
  const SiteConfig config(1, ini.native());
  EXPECT_EQ(config.rules.size(), 1u);
  // Its rules are indexed once they are all read.
  EXPECT_EQ(config.ruleIndex.RuleCount(), 1u);
  EXPECT_TRUE(config.ruleIndex.Indexes());
  EXPECT_EQ(ReadAll(dir_ / "httpd.parse.errors"), "Line 3: Unrecognized string: nonsense\r\n");
  const uint64_t written = platform::ReadFileStamp(ini.native())->lastWrite;
  EXPECT_EQ(config.fileTime.low, static_cast<uint32_t>(written));
  EXPECT_EQ(config.fileTime.high, static_cast<uint32_t>(written >> 32));

  WriteAll(ini, "[Vortane]\n");  // a clean file leaves an empty report
  const SiteConfig clean(1, ini.native());
  EXPECT_EQ(ReadAll(dir_ / "httpd.parse.errors"), "");
}

TEST_F(SiteLoadingTest, MissingOrEmptyFilesLeaveTheReportAlone) {
  const fs::path ini = dir_ / "httpd.ini";
  const fs::path report = dir_ / "httpd.parse.errors";
  WriteAll(report, "previous\r\n");

  const SiteConfig missing(1, ini.native());
  EXPECT_TRUE(missing.rules.empty());
  EXPECT_EQ(missing.fileTime, FileTime());  // all ones: "no file"
  EXPECT_EQ(ReadAll(report), "previous\r\n");

  WriteAll(ini, "");
  const SiteConfig empty(1, ini.native());
  EXPECT_TRUE(empty.rules.empty());
  EXPECT_NE(empty.fileTime, FileTime());  // the file exists, so its time counts
  EXPECT_EQ(ReadAll(report), "previous\r\n");

  const SiteConfig noPath(1, platform::PathString());
  EXPECT_TRUE(noPath.rules.empty());
  EXPECT_EQ(noPath.fileTime, FileTime());
}

// An existing file that cannot be read is said in the report, in a line of its own (which a
// later load that reads the file replaces); the configuration is marked unreadable.
TEST_F(SiteLoadingTest, AFileThatCannotBeReadIsSaidInTheReport) {
  const fs::path ini = dir_ / "httpd.ini";
  const fs::path report = dir_ / "httpd.parse.errors";
  WriteAll(ini, "[Vortane]\nRewriteRule ^/private/.* / [F]\nnonsense\n");
  WriteAll(report, "previous\r\n");
  fs::permissions(report, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
  {
    const testing::FileDenied denied(ini);
    const SiteConfig config(1, ini.native());
    EXPECT_TRUE(config.unreadable);
    EXPECT_TRUE(config.rules.empty());
  }
#ifdef _WIN32
  EXPECT_EQ(ReadAll(report), "File cannot be read: in use by another program\r\n");
#else
  EXPECT_EQ(ReadAll(report), "File cannot be read: access denied\r\n");
#endif
  const SiteConfig readable(1, ini.native());
  EXPECT_FALSE(readable.unreadable);
  EXPECT_EQ(readable.rules.size(), 1u);
  EXPECT_EQ(ReadAll(report), "Line 3: Unrecognized string: nonsense\r\n");
}

// A header and one rule, padded with comment lines to `size` bytes.
std::string PaddedTo(size_t size) {
  std::string file = "[Vortane]\nRewriteRule ^/first$ /1\n";
  const std::string comment = "# " + std::string(1000, '-') + "\n";
  while (file.size() + comment.size() + 10 < size) file += comment;
  file += "#" + std::string(size - file.size() - 2, '-') + "\n";
  return file;
}

TEST_F(SiteLoadingTest, ReadsOnlyTheFirstTwoMebibytesAndNeverACutLine) {
  const std::string rule = "RewriteRule ^/last$ /2 [R]";
  const std::string beyond = "RewriteRule ^/beyond$ /3\n";
  const std::string cut = "RewriteRule ^/last$ /2";  // what the limit leaves of `rule`
  const std::string condition = "RewriteCond Host: x\n";
  struct Case {
    const char* name;
    std::string head;  // the bytes up to the limit, or the whole file when shorter
    std::string tail;  // the bytes beyond the limit
    size_t rules;
    const char* report;  // with %u for the number of the line the limit cuts
  } cases[] = {
      {"limit before the flags", PaddedTo(kMaxConfigBytes - cut.size()) + cut, " [R]\n" + beyond, 1,
       "Line %u: Line cut at the 2 MiB limit. Ignored\r\n"},
      {"conditions before a cut rule",
       PaddedTo(kMaxConfigBytes - cut.size() - condition.size()) + condition + cut, " [R]\n", 1,
       "Line %u: Line cut at the 2 MiB limit. Ignored\r\nLines %u - %u: RewriteCond "
       "directive(s) without matching RewriteRule or RewriteHeader\r\n"},
      {"file of exactly the limit", PaddedTo(kMaxConfigBytes - rule.size()) + rule, "", 2, ""},
      {"limit right after a line feed", PaddedTo(kMaxConfigBytes - rule.size() - 1) + rule + "\n",
       beyond, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.head.size(), kMaxConfigBytes);
    WriteAll(dir_ / "httpd.ini", c.head + c.tail);
    const SiteConfig config(1, (dir_ / "httpd.ini").native());
    ASSERT_EQ(config.rules.size(), c.rules);
    EXPECT_EQ(config.rules[0].format, "/1");
    if (c.rules == 2) {
      EXPECT_EQ(config.rules[1].Flags(), RuleFlag::Redirect);  // [R] kept
    }
    const auto cutLine = static_cast<unsigned>(std::count(c.head.begin(), c.head.end(), '\n') + 1);
    char expected[256];
    std::snprintf(expected, sizeof expected, c.report, cutLine, cutLine - 1, cutLine);
    EXPECT_EQ(ReadAll(dir_ / "httpd.parse.errors"), expected);
  }
}

TEST_F(SiteLoadingTest, SiteZeroIsTheGlobalFile) {
  WriteAll(dir_ / "httpd.ini", "[Vortane]\nRewriteRule ^/g$ /global\n");
  const SiteConfig global = Load(0);
  EXPECT_EQ(global.path, (dir_ / "httpd.ini").native());
  ASSERT_EQ(global.rules.size(), 1u);
  EXPECT_EQ(global.rules[0].format, "/global");
}

#ifndef _WIN32
TEST_F(SiteLoadingTest, SitesResolveThroughTheSiteTableBesideTheLibrary) {
  fs::create_directories(dir_ / "three");
  WriteAll(dir_ / "three" / "httpd.ini", "[Vortane]\nRewriteRule ^/t$ /three\nbad\n");
  WriteAll(dir_ / "sites.txt", "# site table\n3 " + (dir_ / "three").string() + "  \r\n");

  const SiteConfig three = Load(3);
  EXPECT_EQ(three.path, (dir_ / "three" / "httpd.ini").native());
  ASSERT_EQ(three.rules.size(), 1u);
  EXPECT_EQ(ReadAll(dir_ / "three" / "httpd.parse.errors"), "Line 3: Unrecognized string: bad\r\n");

  const SiteConfig unknown = Load(4);  // not in the table: no path, no rules, no report anywhere
  EXPECT_TRUE(unknown.path.empty());
  EXPECT_TRUE(unknown.rules.empty());
  EXPECT_FALSE(fs::exists(dir_ / "httpd.parse.errors"));
}

TEST_F(SiteLoadingTest, ARootHoldingANulByteNeverEmptiesTheConfiguration) {
  fs::create_directories(dir_ / "one");
  const std::string rules = "[Vortane]\nRewriteRule ^/a$ /b\n";
  WriteAll(dir_ / "one" / "httpd.ini", rules);
  // The root would be handed to the system as ".../one/httpd.ini", and the report beside
  // ".../one/httpd.ini<NUL>/httpd.ini" as the configuration file itself.
  WriteAll(dir_ / "sites.txt", "1 " + (dir_ / "one" / "httpd.ini").string() + '\0' + "\n");
  const SiteConfig one = Load(1);
  EXPECT_TRUE(one.rules.empty());
  EXPECT_EQ(ReadAll(dir_ / "one" / "httpd.ini"), rules);
}

// A FIFO, directory or device under a configuration's name, or a FIFO under its report's,
// neither blocks the load nor yields rules of its own.
TEST_F(SiteLoadingTest, FilesThatAreNotRegularNeverBlockALoad) {
  const fs::path ini = dir_ / "httpd.ini";
  const fs::path report = dir_ / "httpd.parse.errors";
  struct Case {
    const char* name;
    std::function<void()> make;
    size_t rules;
  } cases[] = {
      {"FIFO", [&] { ASSERT_EQ(mkfifo(ini.c_str(), 0644), 0); }, 0},
      {"directory", [&] { fs::create_directory(ini); }, 0},
      {"device", [&] { fs::create_symlink("/dev/zero", ini); }, 0},
      {"FIFO as the report",
       [&] {
         WriteAll(ini, "[Vortane]\nRewriteRule ^/a$ /b\n");
         ASSERT_EQ(mkfifo(report.c_str(), 0644), 0);
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(ini);
    fs::remove_all(report);
    c.make();
    auto load =
        std::async(std::launch::async, [&] { return SiteConfig(1, ini.native()).rules.size(); });
    if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "the load is blocked";
      // Release it: the other end of whichever FIFO it waits on.
      signal(SIGPIPE, SIG_IGN);
      for (const fs::path& fifo : {ini, report}) close(open(fifo.c_str(), O_RDWR | O_NONBLOCK));
    }
    EXPECT_EQ(load.get(), c.rules);
  }
}
#else
TEST_F(SiteLoadingTest, WithoutAMetabaseSitesHaveNoPath) {
  const SiteConfig three = Load(3);
  EXPECT_TRUE(three.path.empty());
  EXPECT_TRUE(three.rules.empty());
  EXPECT_EQ(three.fileTime, FileTime());
}
#endif

}  // namespace
}  // namespace vortane
