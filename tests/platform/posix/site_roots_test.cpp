#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/site_roots.h"
#include "tests/support/directory_test.h"
#include "tests/support/file_out_of_reach.h"

namespace vortane::platform {
namespace {

namespace fs = std::filesystem;
using SiteRootsTest = testing::DirectoryTest;

TEST_F(SiteRootsTest, SiteRootComesFromTheFirstWellFormedLineOfTheSiteTable) {
  struct Case {
    const char* name;
    std::string table;
    uint32_t siteId;
    std::optional<std::string> root;
  } cases[] = {
      {"first line wins", "3 /a\n3 /b\n", 3, "/a"},
      {"other sites pass", "1 /one\n2 /two\n", 2, "/two"},
      {"unknown site", "1 /one\n", 2, std::nullopt},
      {"empty table", "", 3, std::nullopt},
      {"comments", "#3 /commented\n3 /real\n", 3, "/real"},
      {"blank lines, no final line feed", "\n   \n\t\r\n3 /x", 3, "/x"},
      {"trailing blanks and carriage returns", "3 /x y \t\r \r\n", 3, "/x y"},
      {"tabs and runs of blanks", "3\t \t/tab bed\t/dir\n", 3, "/tab bed\t/dir"},
      {"leading zeros", "0003 /z\n", 3, "/z"},
      {"malformed lines", "3/x\n3x /y\n 3 /lead\n3\n3  \t\r\n-3 /neg\n+3 /plus\n /none\n3 /good\n",
       3, "/good"},
      {"largest number", "4294967295 /max\n", 4294967295u, "/max"},
      {"overflow does not wrap", "4294967299 /wrapped\n", 3, std::nullopt},
      {"overflow far beyond", "99999999999999999999 /wrapped\n3 /ok\n", 3, "/ok"},
      {"NUL in a root", std::string("3 /a/httpd.ini\0\n3 /b\0c\n3 /ok\n", 29), 3, "/ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put("sites.txt", c.table);
    EXPECT_EQ(ReadSiteRootPath(c.siteId, directory_.native()), c.root);
  }
}

TEST_F(SiteRootsTest, SiteTableIsReadAfreshAndMayBeMissing) {
  EXPECT_FALSE(ReadSiteRootPath(3, directory_.native()).has_value());
  Put("sites.txt", "3 /old\n");
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/old");
  Put("sites.txt", "3 /new\n");
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/new");
}

TEST_F(SiteRootsTest, SiteTableIsReadUpToOneMebibyteFromARegularFileOnly) {
  constexpr size_t kTableLimit = 1048576;
  // Lines up to just before the limit, then a root the limit cuts, then one beyond it.
  std::string table = "3 /first\n";
  const std::string comment = "# " + std::string(1000, '-') + "\n";
  while (table.size() + comment.size() < kTableLimit - 5) table += comment;
  table += "#" + std::string(kTableLimit - 5 - table.size() - 2, '-') + "\n";
  table += "4 /cut-here\n5 /beyond\n";
  Put("sites.txt", table);
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/first");
  EXPECT_FALSE(ReadSiteRootPath(4, directory_.native()).has_value());  // not "/cu"
  EXPECT_FALSE(ReadSiteRootPath(5, directory_.native()).has_value());

  // A device read whole would never end.
  fs::remove(directory_ / "sites.txt");
  fs::create_symlink("/dev/zero", directory_ / "sites.txt");
  EXPECT_FALSE(ReadSiteRootPath(3, directory_.native()).has_value());
}

TEST_F(SiteRootsTest, ASiteTableThatCannotBeOpenedForAMomentKeepsItsSites) {
  Put("sites.txt", "3 /three\n");
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/three");
  {
    const testing::FileOutOfReach unreadable(directory_ / "sites.txt");
    EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/three");
  }
  fs::remove(directory_ / "sites.txt");  // gone for good: no sites
  EXPECT_FALSE(ReadSiteRootPath(3, directory_.native()).has_value());
}

// The site table's virtual-folder lines for the site, read as the roots are, afresh.
TEST_F(SiteRootsTest, VirtualFoldersComeFromTheSiteTable) {
  EXPECT_TRUE(ReadVirtualFolders(3, directory_.native()).empty());
  Put("sites.txt", "3 /three\n3/app /opt/app\n4/app /four\n3/app/v2 /opt/v2\n");
  const std::vector<VirtualFolder> folders = ReadVirtualFolders(3, directory_.native());
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0].urlPrefix, "/app");
  EXPECT_EQ(folders[0].folder, "/opt/app");
  EXPECT_EQ(folders[1].urlPrefix, "/app/v2");
  EXPECT_EQ(folders[1].folder, "/opt/v2");
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/three");
  Put("sites.txt", "3 /three\n");
  EXPECT_TRUE(ReadVirtualFolders(3, directory_.native()).empty());
}

}  // namespace
}  // namespace vortane::platform
