// Loading a configuration from its file: the path of each site, the file time, the 2 MiB
// limit, and the report left beside the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/parser.h"
#include "config/site_config.h"
#include "platform/files.h"

#include "tests/support/temp_dir.h"
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
    savedGlobalPath_ = GlobalConfigPath();
  }
  void TearDown() override {
    SetGlobalConfigPath(savedGlobalPath_);
    fs::remove_all(dir_);
  }

  fs::path dir_;
  platform::PathString savedGlobalPath_;
};

TEST_F(SiteLoadingTest, LoadsTheFileAndRewritesItsReport) {
  const fs::path ini = dir_ / "httpd.ini";
  WriteAll(ini, "[Vortane]\nRewriteRule ^/a$ /b\nnonsense\n");
  WriteAll(dir_ / "httpd.parse.errors", "an old report that is much longer than the new one\r\n");
  const SiteConfig config(1, ini.native());
  EXPECT_EQ(config.rules.size(), 1u);
  EXPECT_EQ(ReadAll(dir_ / "httpd.parse.errors"), "Line 3: Unrecognized string: nonsense\r\n");
  const uint64_t written = *platform::ReadLastWriteTime(ini.native());
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

TEST_F(SiteLoadingTest, ReadsOnlyTheFirstTwoMebibytes) {
  // Comment lines up to just before the limit, then a rule the limit cuts in half, then one
  // beyond it.
  std::string file = "[Vortane]\nRewriteRule ^/first$ /1\n";
  const std::string comment = "# " + std::string(1000, '-') + "\n";
  while (file.size() + comment.size() < kMaxConfigBytes - 10) file += comment;
  file += "#" + std::string(kMaxConfigBytes - 10 - file.size() - 2, '-') + "\n";
  file += "RewriteRule ^/cut$ /2\nRewriteRule ^/beyond$ /3\n";
  ASSERT_GT(file.size(), kMaxConfigBytes + 10);
  WriteAll(dir_ / "httpd.ini", file);

  const SiteConfig config(1, (dir_ / "httpd.ini").native());
  ASSERT_EQ(config.rules.size(), 1u);
  EXPECT_EQ(config.rules[0].format, "/1");
  // The cut line is the last one, holding what stands before the limit.
  const std::string report = ReadAll(dir_ / "httpd.parse.errors");
  EXPECT_NE(report.find(": Unrecognized string: RewriteRul\r\n"), std::string::npos);
  EXPECT_EQ(report.find("beyond"), std::string::npos);
}

TEST_F(SiteLoadingTest, SiteZeroIsTheGlobalFile) {
  WriteAll(dir_ / "httpd.ini", "[Vortane]\nRewriteRule ^/g$ /global\n");
  SetGlobalConfigPath((dir_ / "httpd.ini").native());
  const SiteConfig global(0);
  EXPECT_EQ(global.path, (dir_ / "httpd.ini").native());
  ASSERT_EQ(global.rules.size(), 1u);
  EXPECT_EQ(global.rules[0].format, "/global");
}

#ifndef _WIN32
TEST_F(SiteLoadingTest, SitesResolveThroughTheSiteTableBesideTheLibrary) {
  SetGlobalConfigPath((dir_ / "httpd.ini").native());
  fs::create_directories(dir_ / "three");
  WriteAll(dir_ / "three" / "httpd.ini", "[Vortane]\nRewriteRule ^/t$ /three\nbad\n");
  WriteAll(dir_ / "sites.txt", "# site table\n3 " + (dir_ / "three").string() + "  \r\n");

  const SiteConfig three(3);
  EXPECT_EQ(three.path, (dir_ / "three" / "httpd.ini").native());
  ASSERT_EQ(three.rules.size(), 1u);
  EXPECT_EQ(ReadAll(dir_ / "three" / "httpd.parse.errors"), "Line 3: Unrecognized string: bad\r\n");

  const SiteConfig unknown(4);  // not in the table: no path, no rules, no report anywhere
  EXPECT_TRUE(unknown.path.empty());
  EXPECT_TRUE(unknown.rules.empty());
  EXPECT_FALSE(fs::exists(dir_ / "httpd.parse.errors"));
}
#else
TEST_F(SiteLoadingTest, WithoutAMetabaseSitesHaveNoPath) {
  SetGlobalConfigPath((dir_ / "httpd.ini").native());
  const SiteConfig three(3);
  EXPECT_TRUE(three.path.empty());
  EXPECT_TRUE(three.rules.empty());
  EXPECT_EQ(three.fileTime, FileTime());
}
#endif

}  // namespace
}  // namespace vortane
