#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "tests/support/directory_test.h"

namespace vortane::platform {
namespace {

namespace fs = std::filesystem;
using FilesTest = testing::DirectoryTest;

TEST_F(FilesTest, BytesSurviveTheFileBeingCutShortAfterTheyWereTaken) {
  const std::string content(70000, 'x');
  Put("httpd.ini", content);
  const FileView view(Path("httpd.ini"), 2097152);
  fs::resize_file(directory_ / "httpd.ini", 0);  // a mapping would now fault past the end
  EXPECT_EQ(view.Bytes(), content);
}

TEST_F(FilesTest, AReportIsNeverWrittenThroughALinkNorOverTheViewedFile) {
  const std::string precious = "[Vortane]\nRewriteRule ^/a$ /b\n";
  const auto link = [this](const std::string& how) {
    fs::remove_all(directory_ / "report");
    if (how == "symbolic link") fs::create_symlink(directory_ / "victim", directory_ / "report");
    if (how == "hard link") fs::create_hard_link(directory_ / "victim", directory_ / "report");
    if (how == "directory") fs::create_directory(directory_ / "report");
  };
  for (const std::string how : {"symbolic link", "hard link", "directory"}) {
    SCOPED_TRACE(how);
    Put("victim", precious);
    link(how);
    ReportFile report(Path("report"));
    EXPECT_FALSE(report.IsOpen());
    report.Write("overwritten");
    EXPECT_EQ(Get("victim"), precious);
  }
  EXPECT_TRUE(fs::is_directory(directory_ / "report"));

  const FileView view(Path("victim"), 100);
  EXPECT_FALSE(ReportFile(Path("victim"), &view).IsOpen());
  EXPECT_EQ(Get("victim"), precious);
}

}  // namespace
}  // namespace vortane::platform
