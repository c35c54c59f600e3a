// Mapping URLs to files under a site root: what is served, what is redirected, and what must
// never be served.
#include "host/static_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "memory_server/memory_server.h"
#include "regex/expression.h"

#include "tests/support/temp_dir.h"

namespace vortane::host {
namespace {

namespace fs = std::filesystem;

class StaticFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = testing::ScratchFolder("static-files");
    fs::remove_all(base_);
    root_ = base_ / "root";
    fs::create_directories(root_ / "docs" / "empty");
    fs::create_directories(root_ / "private");
    for (const char* name : {"index.html", "a b.txt", "docs/index.html", "docs/Guide.HTML",
                             "private/index.html", "httpd.ini", "docs/HTTPD.PARSE.ERRORS"}) {
      std::ofstream(root_ / name) << name;
    }
    fs::create_directories(base_ / "elsewhere");
    std::ofstream(base_ / "secret.txt") << "outside";
    std::ofstream(base_ / "elsewhere" / "index.html") << "outside";
    // Links to files and to folders, leading inside the root and out of it.
    fs::create_symlink(base_ / "secret.txt", root_ / "escape.txt");
    fs::create_symlink(root_ / "a b.txt", root_ / "inside.txt");
    fs::create_symlink("../httpd.ini", root_ / "docs" / "rules.txt");
    fs::create_directory_symlink(base_ / "elsewhere", root_ / "away");
    fs::create_directory_symlink("docs", root_ / "manual");
    fs::create_directory_symlink(".", root_ / "here");
  }
  void TearDown() override { fs::remove_all(base_); }

  fs::path base_, root_;
};

TEST_F(StaticFilesTest, MapsUrls) {
  struct Case {
    const char* url;
    FileMapping::Kind kind;
    const char* fileOrLocation;  // relative to the root for File; the location for AddSlash
  };
  const Case cases[] = {
      {"/", FileMapping::File, "index.html"},
      {"/index.html?x=1", FileMapping::File, "index.html"},
      {"/a%20b.txt", FileMapping::File, "a b.txt"},
      {"/docs/", FileMapping::File, "docs/index.html"},
      {"/docs\\Guide.HTML", FileMapping::File, "docs/Guide.HTML"},
      {"/docs/./../docs//Guide.HTML", FileMapping::File, "docs/Guide.HTML"},
      {"/docs/%2e%2e/index.html", FileMapping::File, "index.html"},
      {"/inside.txt", FileMapping::File, "inside.txt"},
      {"/docs", FileMapping::AddSlash, "/docs/"},
      {"/docs?page=2", FileMapping::AddSlash, "/docs/?page=2"},
      {"//docs//Guide.HTML", FileMapping::File, "docs/Guide.HTML"},
      {"/%2fdocs/", FileMapping::File, "docs/index.html"},
      {"//docs", FileMapping::AddSlash, "/docs/"},  // never "//host/" elsewhere
      {"/docs/empty/", FileMapping::NotFound, ""},
      {"/index.html/", FileMapping::NotFound, ""},  // a file asked for as a directory
      {"/docs/Guide.HTML/.", FileMapping::NotFound, ""},
      {"/missing.html", FileMapping::NotFound, ""},
      {"/httpd.ini", FileMapping::NotFound, ""},
      {"/docs/httpd.parse.errors", FileMapping::NotFound, ""},
      {"/escape.txt", FileMapping::NotFound, ""},
      {"/docs/rules.txt", FileMapping::NotFound, ""},  // a link to the filter's file
      {"/away/index.html", FileMapping::NotFound, ""},
      {"/away/", FileMapping::NotFound, ""},
      {"/away", FileMapping::NotFound, ""},
      {"/manual/Guide.HTML", FileMapping::File, "manual/Guide.HTML"},
      {"/manual/", FileMapping::File, "manual/index.html"},
      {"/manual", FileMapping::AddSlash, "/manual/"},
      {"/here", FileMapping::AddSlash, "/here/"},
      {"/here/here/a%20b.txt", FileMapping::File, "here/here/a b.txt"},
      {"/here/away/index.html", FileMapping::NotFound, ""},
      {"/..", FileMapping::BadRequest, ""},
      {"/docs/../../secret.txt", FileMapping::BadRequest, ""},
      {"/%2e%2e/secret.txt", FileMapping::BadRequest, ""},
      {"/..%5csecret.txt", FileMapping::BadRequest, ""},
      {"/a%2", FileMapping::BadRequest, ""},
      {"/a%zz", FileMapping::BadRequest, ""},
      {"/a%00.txt", FileMapping::BadRequest, ""},
      {"index.html", FileMapping::BadRequest, ""},
      {"", FileMapping::BadRequest, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const FileMapping mapping = MapUrlToFile(root_, c.url);
    EXPECT_EQ(mapping.kind, c.kind);
    if (c.kind == FileMapping::File) {
      EXPECT_EQ(mapping.file, root_ / c.fileOrLocation);
      // The file opened is the one the name leads to.
      std::ifstream named(root_ / c.fileOrLocation);
      const std::string expected((std::istreambuf_iterator<char>(named)), {});
      std::string opened(expected.size() + 1, '\0');
      opened.resize(static_cast<size_t>(
          std::max<ssize_t>(0, read(mapping.handle.Get(), opened.data(), opened.size()))));
      EXPECT_EQ(opened, expected);
      EXPECT_EQ(mapping.size, expected.size());
    } else if (c.kind == FileMapping::AddSlash) {
      EXPECT_EQ(mapping.location, c.fileOrLocation);
    }
  }
}

// A folder asked for with "/" is served by the first default document that is a file there
// and may be served; the others are passed over, and without one it is not found.
TEST_F(StaticFilesTest, ServesAFolderByItsFirstDefaultDocument) {
  fs::create_directories(root_ / "app" / "index.php");  // a folder, not a document
  fs::create_directories(root_ / "front");
  std::ofstream(root_ / "front" / "index.php") << "front controller";
  std::ofstream(root_ / "front" / "default.htm") << "default";
  fs::create_symlink(base_ / "secret.txt", root_ / "front" / "away.html");
  fs::create_hard_link(root_ / "httpd.ini", root_ / "front" / "rules.html");
  const std::vector<fs::path> privateFiles = {root_ / "httpd.ini"};
  using Names = std::vector<std::string>;
  struct Case {
    const char* url;
    Names documents;
    FileMapping::Kind kind;
    const char* file;  // relative to the root, for File
  };
  const Case cases[] = {
      {"/front/", {"index.php", "index.html"}, FileMapping::File, "front/index.php"},
      {"/front/?page=2", {"default.htm", "index.php"}, FileMapping::File, "front/default.htm"},
      {"/front/", {"index.html", "default.htm"}, FileMapping::File, "front/default.htm"},
      {"/front/",
       {"away.html", "rules.html", "httpd.ini", "index.php"},
       FileMapping::File,
       "front/index.php"},
      {"/front/", {"away.html", "rules.html"}, FileMapping::NotFound, ""},
      {"/front/", {}, FileMapping::NotFound, ""},
      {"/app/", {"index.php"}, FileMapping::NotFound, ""},
      {"/app/", {"index.php", "index.html"}, FileMapping::NotFound, ""},
      {"/", {"index.php", "index.html"}, FileMapping::File, "index.html"},
      {"/docs/", {"guide.html", "Guide.HTML"}, FileMapping::File, "docs/Guide.HTML"},
      {"/front", {"index.php"}, FileMapping::AddSlash, ""},
      {"/front/index.php/", {"index.php"}, FileMapping::NotFound, ""},
      {"/front/index.php", {"default.htm"}, FileMapping::File, "front/index.php"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " with " + std::to_string(c.documents.size()) + " names");
    const FileMapping mapping = MapUrlToFile(root_, c.url, privateFiles, c.documents);
    EXPECT_EQ(mapping.kind, c.kind);
    if (c.kind == FileMapping::File) {
      EXPECT_EQ(mapping.file, root_ / c.file);
    }
  }
}

TEST(DefaultDocumentNameTest, OneFileNameOnly) {
  for (const char* name : {"index.php", "Default.htm", ".hidden", "a b", "..."}) {
    EXPECT_TRUE(IsDefaultDocumentName(name)) << name;
  }
  for (const std::string& name : std::vector<std::string>{
           "", ".", "..", "a/index.html", "/index.html", "a\\b", std::string("a\0b", 3)}) {
    EXPECT_FALSE(IsDefaultDocumentName(name)) << name;
  }
}

// A file that is one of the private files is not served under any name: a hard link has
// no other name to tell it by.
TEST_F(StaticFilesTest, PrivateFilesAreNotServedThroughHardLinks) {
  fs::create_directories(base_ / "global");
  std::ofstream(base_ / "global" / "sites.txt") << "1 /srv/root\n";
  fs::create_hard_link(base_ / "global" / "sites.txt", root_ / "table.txt");
  fs::create_hard_link(root_ / "httpd.ini", root_ / "docs" / "copy.txt");
  fs::create_symlink("copy.txt", root_ / "docs" / "link.txt");
  const std::vector<fs::path> privateFiles = {root_ / "httpd.ini", base_ / "global" / "sites.txt",
                                              base_ / "global" / "missing.dll"};
  for (const char* url : {"/table.txt", "/docs/copy.txt", "/docs/link.txt", "/here/table.txt"}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(MapUrlToFile(root_, url, privateFiles).kind, FileMapping::NotFound);
    EXPECT_EQ(MapUrlToFile(root_, url).kind, FileMapping::File);  // not private: served
  }
  EXPECT_EQ(MapUrlToFile(root_, "/index.html", privateFiles).kind, FileMapping::File);
}

// Whatever the spelling, a file under /private/ is served only when a rule with O
// ("^/private(?:/.*)?$") would see its normalised URL, and so could refuse it. Every URL of up
// to four pieces after the leading "/" is tried.
TEST_F(StaticFilesTest, ServesNothingUnderAPathTheNormalisedUrlDoesNotName) {
  const Expression rule = CompilePattern("^/private(?:/.*)?$", false);
  const std::vector<std::string> pieces = {"/",  "//",  "\\",      "%2f",        ".",
                                           "..", "%2e", "private", "index.html", "?"};
  std::vector<std::string> urls = {"/"};
  for (size_t from = 0, length = 0; length < 4; ++length) {
    const size_t to = urls.size();
    for (size_t i = from; i < to; ++i) {
      for (const std::string& piece : pieces) urls.push_back(urls[i] + piece);
    }
    from = to;
  }
  const fs::path privateFolder = root_ / "private";
  for (const std::string& url : urls) {
    const FileMapping mapping = MapUrlToFile(root_, url);
    if (mapping.kind != FileMapping::File || mapping.file.parent_path() != privateFolder) {
      continue;
    }
    std::string normalized = url;
    ASSERT_TRUE(NormalizeUrlPath(normalized)) << url;
    EXPECT_TRUE(boost::regex_search(normalized, rule)) << url << " served as " << mapping.file;
  }
}

TEST(ContentTypeTest, ByExtensionInAnyCase) {
  EXPECT_EQ(ContentTypeFor("a/index.html"), "text/html; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("Guide.HTML"), "text/html; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("logo.PNG"), "image/png");
  EXPECT_EQ(ContentTypeFor("archive.tar.gz"), "application/octet-stream");
  EXPECT_EQ(ContentTypeFor("README"), "application/octet-stream");
  EXPECT_EQ(ContentTypeFor("/srv/site.html/.png"), "application/octet-stream");  // a dot file
  EXPECT_EQ(ContentTypeFor("/srv/v1.css/plain"), "application/octet-stream");
}

}  // namespace
}  // namespace vortane::host
