#include <sys/stat.h>

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

// Nothing is ever written through a link or into a FIFO or device: a target that is one is
// refused (and a FIFO never blocks the writer), and a link planted under the name the old
// tools wrote through ("TARGET.partial") is passed by.
TEST_F(FilesTest, AReplacementNeverWritesThroughALinkNorIntoAFifo) {
  const std::string precious = "precious";
  struct Case {
    const char* name;
    const char* plantAt;  // the name a link or FIFO is planted under
    const char* how;
    bool written;
  } cases[] = {
      {"target is a link", "target", "link", false},
      {"target is a link to a missing file", "target", "dangling", false},
      {"target is a FIFO", "target", "fifo", false},
      {"a link at the old fixed name", "target.partial", "link", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : {"target", "target.partial", "elsewhere"}) {
      fs::remove(directory_ / name);
    }
    Put("victim", precious);
    const fs::path at = directory_ / c.plantAt;
    if (std::string(c.how) == "link") fs::create_symlink(directory_ / "victim", at);
    if (std::string(c.how) == "dangling") fs::create_symlink(directory_ / "elsewhere", at);
    if (std::string(c.how) == "fifo") {
      ASSERT_EQ(mkfifo(at.c_str(), 0600), 0);
    }
    FileReplacement replacement(Path("target"));
    const bool done = replacement.Write("overwritten") && replacement.Commit();
    EXPECT_EQ(done, c.written) << replacement.Error();
    EXPECT_EQ(Get("victim"), precious);
    EXPECT_FALSE(fs::exists(directory_ / "elsewhere"));
    EXPECT_EQ(fs::symlink_status(at).type(),
              std::string(c.how) == "fifo" ? fs::file_type::fifo : fs::file_type::symlink);
  }
}

TEST_F(FilesTest, LookAtPathAndFileReaderNameLinksFifosDevicesAndLoops) {
  Put("file", "x");
  fs::create_symlink(directory_ / "file", directory_ / "link");
  fs::create_symlink(directory_ / "loop", directory_ / "loop");
  ASSERT_EQ(mkfifo((directory_ / "fifo").c_str(), 0600), 0);
  struct Case {
    std::string path;
    PathKind unfollowed, followed;
  } cases[] = {
      {Path("link"), PathKind::Link, PathKind::Regular},
      {Path("loop"), PathKind::Link, PathKind::LinkLoop},
      {Path("fifo"), PathKind::Other, PathKind::Other},
      {"/dev/zero", PathKind::Other, PathKind::Other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(LookAtPath(c.path, false).kind, c.unfollowed);
    EXPECT_EQ(LookAtPath(c.path, true).kind, c.followed);
    const FileReader reader(c.path);  // opening a FIFO must not wait for a writer
    EXPECT_EQ(reader.IsOpen(), c.followed == PathKind::Regular);
    EXPECT_EQ(reader.Kind(), c.followed);
  }
  EXPECT_STREQ(PathKindText(PathKind::LinkLoop), "too many levels of symbolic links");
}

}  // namespace
}  // namespace vortane::platform
