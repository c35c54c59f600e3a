// Mapping URLs to files under a site root: what is served, what is redirected, and what must
// never be served.
#include "host/static_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
    for (const char* name : {"index.html", "a b.txt", "docs/index.html", "docs/Guide.HTML",
                             "httpd.ini", "docs/HTTPD.PARSE.ERRORS"}) {
      std::ofstream(root_ / name) << name;
    }
    std::ofstream(base_ / "secret.txt") << "outside";
    fs::create_symlink(base_ / "secret.txt", root_ / "escape.txt");
    fs::create_symlink(root_ / "a b.txt", root_ / "inside.txt");
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
      {"/docs/empty/", FileMapping::NotFound, ""},
      {"/missing.html", FileMapping::NotFound, ""},
      {"/httpd.ini", FileMapping::NotFound, ""},
      {"/docs/httpd.parse.errors", FileMapping::NotFound, ""},
      {"/escape.txt", FileMapping::NotFound, ""},
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
    } else if (c.kind == FileMapping::AddSlash) {
      EXPECT_EQ(mapping.location, c.fileOrLocation);
    }
  }
}

TEST(ContentTypeTest, ByExtensionInAnyCase) {
  EXPECT_EQ(ContentTypeFor("a/index.html"), "text/html; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("Guide.HTML"), "text/html; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("logo.PNG"), "image/png");
  EXPECT_EQ(ContentTypeFor("archive.tar.gz"), "application/octet-stream");
  EXPECT_EQ(ContentTypeFor("README"), "application/octet-stream");
}

}  // namespace
}  // namespace vortane::host
