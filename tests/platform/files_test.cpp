#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include "tests/support/directory_test.h"

namespace vortane::platform {
namespace {

namespace fs = std::filesystem;
using FilesTest = testing::DirectoryTest;

// Sets a file's last-write time, given as a file time.
bool SetLastWriteTime(const PathString& path, uint64_t fileTime) {
#ifdef _WIN32
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME time = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
  const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
  CloseHandle(file);
  return set;
#else
  const int64_t seconds = static_cast<int64_t>(fileTime / 10000000) - 11644473600;
  timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(fileTime % 10000000) * 100;
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}

TEST_F(FilesTest, FileViewMapsAtMostTheCappedPrefix) {
  std::string large(70000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 23);
  const std::string binary("A\0b\r\n\xff", 6);
  struct Case {
    const char* name;
    std::optional<std::string> content;  // nothing: the file does not exist
    size_t maxBytes;
    std::optional<std::string> view;  // nothing: not mapped
  } cases[] = {
      {"missing", std::nullopt, 100, std::nullopt},
      {"empty", "", 100, std::nullopt},
      {"exact", binary, 100, binary},
      {"cap equals size", binary, binary.size(), binary},
      {"cap below size", binary, 3, binary.substr(0, 3)},
      {"cap past a page", large, 66000, large.substr(0, 66000)},
      {"cap of zero", binary, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.content) Put(c.name, *c.content);
    FileView view(Path(c.name), c.maxBytes);
    EXPECT_EQ(view.HasBytes(), c.view.has_value());
    EXPECT_EQ(view.Bytes(), c.view.value_or(""));
  }
  EXPECT_FALSE(FileView(directory_.native(), 100).HasBytes());
}

TEST_F(FilesTest, ReportIsEmptiedAndWrittenInOrder) {
  Put("report", "an older, longer report\r\n");
  {
    ReportFile report(Path("report"));
    ASSERT_TRUE(report.IsOpen());
    report.Write("Line 7: Unrecognized string: ");
    report.Write(std::string_view("a\0b", 3));
    report.Write("");
    report.Write("\r\n");
  }
  EXPECT_EQ(Get("report"), std::string("Line 7: Unrecognized string: a\0b\r\n", 34));

  { ReportFile untouched(Path("report")); }
  EXPECT_TRUE(fs::exists(directory_ / "report"));
  EXPECT_EQ(Get("report"), "");
}

TEST_F(FilesTest, ReportInAMissingDirectoryWritesNothing) {
  ReportFile report((directory_ / "missing" / "report").native());
  EXPECT_FALSE(report.IsOpen());
  report.Write("dropped\r\n");
  EXPECT_FALSE(fs::exists(directory_ / "missing"));
}

TEST_F(FilesTest, StampHoldsTheFileTimeOfTheModification) {
  EXPECT_FALSE(ReadFileStamp(Path("missing")).has_value());
  EXPECT_FALSE(ReadFileStamp(PathString()).has_value());

  Put("httpd.ini", "[Vortane]\n");
  const uint64_t times[] = {
      132594839671234567u,  // 2021-03-04, with a fraction of a second
      116444736000000000u,  // the Unix epoch
      100000000000000123u,  // 1917, before the Unix epoch
  };
  for (uint64_t time : times) {
    SCOPED_TRACE(time);
    ASSERT_TRUE(SetLastWriteTime(Path("httpd.ini"), time));
    EXPECT_EQ(ReadFileStamp(Path("httpd.ini"))->lastWrite, time);
  }
}

// What a save does to the stamp: a rewrite in place within the same tick of the clock shows
// in the size; a file renamed over the name, with the same time and size, in the identity
// (on Windows only to a read that opens the file, and to the view of a read).
TEST_F(FilesTest, StampTellsVersionsWithTheSameTimeApart) {
  const uint64_t time = 132594839671234567u;
  Put("httpd.ini", "[Vortane]\n");
  ASSERT_TRUE(SetLastWriteTime(Path("httpd.ini"), time));
  const FileStamp first = *ReadFileStamp(Path("httpd.ini"), StampDepth::WithIdentity);
  EXPECT_EQ(first.size, 10u);
  EXPECT_TRUE(first.hasIdentity);
  EXPECT_TRUE(SameVersion(first, *ReadFileStamp(Path("httpd.ini"))));
  {
    const FileView view(Path("httpd.ini"), 100);  // Windows: no writer while it is open
    ASSERT_TRUE(view.Stamp().has_value());
    EXPECT_TRUE(view.Stamp()->hasIdentity);
    EXPECT_TRUE(SameVersion(first, *view.Stamp()));
  }

  Put("httpd.ini", "[Vortane]\nRewriteRule a b\n");
  ASSERT_TRUE(SetLastWriteTime(Path("httpd.ini"), time));
  EXPECT_FALSE(SameVersion(first, *ReadFileStamp(Path("httpd.ini"))));

  Put("next", "[Vortane]\n");
  ASSERT_TRUE(SetLastWriteTime(Path("next"), time));
  fs::rename(Path("next"), Path("httpd.ini"));
  const FileStamp renamed = *ReadFileStamp(Path("httpd.ini"), StampDepth::WithIdentity);
  EXPECT_EQ(renamed.lastWrite, first.lastWrite);
  EXPECT_EQ(renamed.size, first.size);
  EXPECT_FALSE(SameVersion(first, renamed));
}

// The replacement, on both systems: the target's bytes are the new ones, nothing else is left
// beside it, and a target that is no regular file is refused with nothing written.
TEST_F(FilesTest, AReplacementPutsTheNewBytesInPlaceAndLeavesNothingBeside) {
  struct Case {
    const char* name;
    std::function<void()> plant;  // what lies under the target's name before
    bool written;
    const char* error;  // the start of Error() when refused
  } cases[] = {
      {"missing", [] {}, true, ""},
      {"regular", [this] { Put("target", "old bytes, longer than the new"); }, true, ""},
      {"directory", [this] { fs::create_directory(directory_ / "target"); }, false,
       "is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(directory_ / "target");
    c.plant();
    {
      FileReplacement replacement(Path("target"));
      const bool done =
          replacement.Write("new ") && replacement.Write("bytes") && replacement.Commit();
      EXPECT_EQ(done, c.written) << replacement.Error();
      EXPECT_EQ(replacement.Error().rfind(c.error, 0), 0u) << replacement.Error();
    }
    if (c.written) {
      EXPECT_EQ(Get("target"), "new bytes");
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_)) {
      names.push_back(entry.path().filename().u8string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"target"});
  }
}

TEST_F(FilesTest, AReplacementNotCommittedLeavesTheTargetAsItWas) {
  Put("target", "old");
  { FileReplacement(Path("target")).Write("new"); }
  EXPECT_EQ(Get("target"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()), 1);
}

// What a name is, and which file: two names of one file are the same file, a copy is not.
TEST_F(FilesTest, LookAtPathTellsTheKindAndTheFile) {
  Put("file", "x");
  Put("copy", "x");
  fs::create_directory(directory_ / "dir");
  fs::create_hard_link(directory_ / "file", directory_ / "second name");
  const PathFacts file = LookAtPath(Path("file"), false);
  EXPECT_EQ(file.kind, PathKind::Regular);
  EXPECT_EQ(file.links, 2u);
  EXPECT_TRUE(file.IsSameFile(LookAtPath(Path("second name"), true)));
  EXPECT_FALSE(file.IsSameFile(LookAtPath(Path("copy"), true)));
  EXPECT_EQ(LookAtPath(Path("copy"), false).links, 1u);
  EXPECT_EQ(LookAtPath(Path("dir"), false).kind, PathKind::Directory);
  EXPECT_EQ(LookAtPath(Path("missing"), false).kind, PathKind::Missing);
  EXPECT_EQ(LookAtPath(Path("missing/below"), true).kind, PathKind::Missing);
  EXPECT_FALSE(LookAtPath(Path("missing"), true).IsSameFile(LookAtPath(Path("gone"), true)));
}

// A reader hands on every byte, in pieces of any size, and stops at the end.
TEST_F(FilesTest, FileReaderReadsARegularFileInPieces) {
  std::string content(200000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
  Put("file", content);
  fs::create_directory(directory_ / "dir");
  for (const size_t piece : {size_t{1}, size_t{4096}, size_t{1} << 20}) {
    FileReader reader(Path("file"));
    ASSERT_TRUE(reader.IsOpen());
    std::string read, buffer(piece, '\0');
    for (std::ptrdiff_t n; (n = reader.Read(buffer.data(), piece)) > 0;) {
      read.append(buffer.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(read, content) << piece;
  }
  for (const auto& [name, kind] :
       {std::pair{"missing", PathKind::Missing}, std::pair{"dir", PathKind::Directory}}) {
    FileReader reader(Path(name));
    EXPECT_FALSE(reader.IsOpen()) << name;
    EXPECT_EQ(reader.Kind(), kind) << name;
    char byte;
    EXPECT_EQ(reader.Read(&byte, 1), -1) << name;
  }
}

}  // namespace
}  // namespace vortane::platform
