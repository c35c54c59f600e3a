#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/directory_test.h"

namespace vortane::platform {
namespace {

using FilesTest = testing::DirectoryTest;

TEST_F(FilesTest, AFileOpenForWritingCanNeitherBeViewedNorReported) {
  Put("httpd.ini", "[Vortane]\r\n");
  {
    ReportFile writer(Path("httpd.ini"));
    ASSERT_TRUE(writer.IsOpen());
    EXPECT_FALSE(FileView(Path("httpd.ini"), 100).HasBytes());
    EXPECT_FALSE(ReportFile(Path("httpd.ini")).IsOpen());
    writer.Write("x");
  }
  FileView view(Path("httpd.ini"), 100);
  EXPECT_EQ(view.Bytes(), "x");
  // A view shares reading only, so the file cannot be reported over while it is viewed.
  EXPECT_FALSE(ReportFile(Path("httpd.ini")).IsOpen());
}

}  // namespace
}  // namespace vortane::platform
