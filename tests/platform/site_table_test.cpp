// The site table's virtual-folder lines, which every system's tools read.
#include "platform/site_table.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vortane::platform {
namespace {

using Folders = std::vector<std::pair<std::string, std::string>>;
using namespace std::string_literals;

TEST(SiteTable, VirtualFolderLines) {
  struct Case {
    const char* name;
    std::string table;
    Folders folders;  // of site 3
  } cases[] = {
      {"one folder", "3 /root\n3/app /opt/app\n", {{"/app", "/opt/app"}}},
      {"deeper prefix, blanks", "3/app/v2 \t /opt/v 2 \r\n", {{"/app/v2", "/opt/v 2"}}},
      {"trailing slash dropped", "3/app/ /a\n", {{"/app", "/a"}}},
      {"first line for a prefix",
       "3/app /a\n3/app /b\n3/img /i\n",
       {{"/app", "/a"}, {"/img", "/i"}}},
      {"other sites and comments", "4/app /four\n#3/app /c\n03/x /x\n", {{"/x", "/x"}}},
      {"malformed",
       "3/ /root\n3//a /a\n3/a//b /b\n3/./a /c\n3/a/.. /d\n3/a\\b /e\n3/a\n3/a \r\n3/app/ /\n",
       {{"/app", "/"}}},
      {"NUL in a folder", "3/a /x\0y\n3/b /ok\n"s, {{"/b", "/ok"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseVirtualFolders(c.table, 3), c.folders);
  }
}

// Virtual-folder lines leave the roots as they were, and root lines make no folders.
TEST(SiteTable, RootsAndFoldersKeepApart) {
  const std::string table = "3/app /opt/app\n3 /srv/three\n4 /srv/four\n";
  const std::map<uint32_t, std::string> roots = ParseSiteTable(table);
  EXPECT_EQ(roots, (std::map<uint32_t, std::string>{{3, "/srv/three"}, {4, "/srv/four"}}));
  EXPECT_TRUE(ParseVirtualFolders(table, 4).empty());
  EXPECT_FALSE(ParseSiteLine("3/app /opt/app").has_value());
  EXPECT_FALSE(ParseVirtualFolderLine("3 /srv/three").has_value());
}

}  // namespace
}  // namespace vortane::platform
