// The built filter library, loaded as the web server loads it, with an httpd.ini beside a
// copy of it: exports, every outcome of a request, reloads, expiry, site changes, shutdown.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "memory_server/memory_server.h"
#include "platform/library.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include "tests/support/temp_dir.h"
namespace vortane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The library built beside the test program's folder.
fs::path BuiltLibrary() {
  const fs::path program = *platform::ModuleFileName(platform::ThisModule());
  return program.parent_path().parent_path() / platform::FilterLibraryFileName();
}

void WriteFile(const fs::path& path, const std::string& text, std::chrono::seconds age) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifndef _WIN32
size_t ThreadCount() {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

// The thread count once it settles at `expected`, or after a second. A joined thread has
// ended, but the kernel may list it a moment longer.
size_t ThreadCountSettlingAt(size_t expected) {
  size_t count = ThreadCount();
  for (int i = 0; i < 100 && count != expected; ++i) {
    std::this_thread::sleep_for(10ms);
    count = ThreadCount();
  }
  return count;
}
#endif

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = testing::ScratchFolder(std::string("lib-") + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "site1");
    fs::copy_file(BuiltLibrary(), dir_ / platform::FilterLibraryFileName());
  }
  void TearDown() override {
    // As the server does: TerminateFilter, then unload. (On Windows the filter's threads
    // keep the library loaded until TerminateFilter stops them.)
    if (library_ && library_->IsLoaded()) library_->terminateFilter(0);
    library_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void Load() {
    library_ = std::make_unique<platform::FilterLibrary>(
        (dir_ / platform::FilterLibraryFileName()).native());
    ASSERT_TRUE(library_->IsLoaded()) << library_->Error();
  }

  // Runs one request through the filter; returns the status of the header notification.
  // Windows requests go to site 0, whose rules are the global ones, so that no site root is
  // asked of a metabase the test machine does not have (under Wine, that COM activation
  // racing the site-change thread's can hang in the loader).
#ifdef _WIN32
  static constexpr uint32_t kDefaultSite = 0;
#else
  static constexpr uint32_t kDefaultSite = 1;
#endif
  DWORD Request(MemoryServer& server, const std::string& url, uint32_t siteId = kDefaultSite) {
    MemoryRequest request;
    request.url = url;
    request.siteId = siteId;
    request.headers = {{"Host", "www.example.com"}};
    server.EndConnection();
    server.StartRequest(request);
    return library_->httpFilterProc(server.Context(), SF_NOTIFY_PREPROC_HEADERS,
                                    server.PreprocHeaders());
  }

  fs::path dir_;
  std::unique_ptr<platform::FilterLibrary> library_;
};

constexpr DWORD kNext = SF_STATUS_REQ_NEXT_NOTIFICATION;
constexpr DWORD kFinished = SF_STATUS_REQ_FINISHED;

TEST_F(LibraryTest, RegistersItsNotifications) {
  Load();
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = 0xDEADBEEF;
  EXPECT_TRUE(library_->getFilterVersion(&version));
  EXPECT_EQ(version.dwFlags, 0x00084203u);
  EXPECT_EQ(version.dwFilterVersion, 0x00010000u);
  EXPECT_STREQ(version.lpszFilterDesc, "Vortane v1.3");

  MemoryServer server;
  EXPECT_EQ(library_->httpFilterProc(server.Context(), SF_NOTIFY_URL_MAP, nullptr), kNext);
  EXPECT_EQ(server.AllocatedBlocks(), 0u);
  EXPECT_TRUE(library_->terminateFilter(0));
}

TEST_F(LibraryTest, AnswersOrPassesOnEveryRequest) {
  WriteFile(dir_ / "httpd.ini",
            "[Vortane]\n"
            "RewriteRule ^/old/(.*)$ /new/$1 [R]\n"
            "RewriteRule .*\\.exe /x [F]\n"
            "RewriteRule ^/logged(.*)$ /inner$1 [U]\n"
            "bad line\n",
            100s);
  Load();
  MemoryServer server;

  EXPECT_EQ(Request(server, "/old/page?x=1"), kFinished);
  EXPECT_EQ(server.Written(), "HTTP/1.1 302 Object moved\r\nLocation: /new/page?x=1\r\n\r\n");

  EXPECT_EQ(Request(server, "/setup.exe"), kFinished);
  EXPECT_EQ(server.Written(), "HTTP/1.1 403 Forbidden\r\n\r\n");

  EXPECT_EQ(Request(server, "/plain?q"), kNext);
  EXPECT_EQ(server.Header("X-Rewrite-URL"), "/plain?q");
  EXPECT_TRUE(server.LogNotificationDisabled());

  EXPECT_EQ(Request(server, "/logged/a?b=2"), kNext);
  EXPECT_EQ(server.Request().url, "/inner/a?b=2");
  ASSERT_FALSE(server.LogNotificationDisabled());
  HTTP_FILTER_LOG* record = server.PrepareLogRecord();
  EXPECT_EQ(library_->httpFilterProc(server.Context(), SF_NOTIFY_LOG, record), kNext);
  EXPECT_STREQ(record->pszTarget, "/logged/a");
  EXPECT_STREQ(record->pszParameters, "b=2");

  EXPECT_EQ(ReadFile(dir_ / "httpd.parse.errors"), "Line 5: Unrecognized string: bad line\r\n");
}

TEST_F(LibraryTest, ReloadsAfterEditsDeletionAndRecreation) {
  WriteFile(dir_ / "httpd.ini", "[Vortane]\nRewriteRule ^/a$ /one\n", 300s);
  Load();
  MemoryServer server;
  Request(server, "/a");
  EXPECT_EQ(server.Request().url, "/one");

  WriteFile(dir_ / "httpd.ini", "[Vortane]\nRewriteRule ^/a$ /two\n", 200s);
  Request(server, "/a");  // the request that notices the change still runs the old rules
  EXPECT_EQ(server.Request().url, "/one");
  Request(server, "/a");
  EXPECT_EQ(server.Request().url, "/two");

  fs::remove(dir_ / "httpd.ini");
  Request(server, "/a");
  Request(server, "/a");
  EXPECT_EQ(server.Request().url, "/a");  // no file, no rules

  WriteFile(dir_ / "httpd.ini", "[Vortane]\nRewriteRule ^/a$ /three\n", 100s);
  Request(server, "/a");
  Request(server, "/a");
  EXPECT_EQ(server.Request().url, "/three");
}

TEST_F(LibraryTest, IdleConfigurationsExpire) {
  WriteFile(dir_ / "httpd.ini", "[Vortane]\nCacheClockRate 1\nnonsense\n", 100s);
  Load();
  MemoryServer server;
  Request(server, "/a");
  ASSERT_FALSE(ReadFile(dir_ / "httpd.parse.errors").empty());
  fs::remove(dir_ / "httpd.parse.errors");
  // Idle for more than a period: a sweep drops the configuration, and the next request
  // loads it again, which writes its report again.
  std::this_thread::sleep_for(3500ms);
  Request(server, "/a");
  EXPECT_FALSE(ReadFile(dir_ / "httpd.parse.errors").empty());
}

#ifndef _WIN32
TEST_F(LibraryTest, SitesComeFromTheSiteTableAndItsChangesDropThem) {
  fs::create_directories(dir_ / "site2");
  WriteFile(dir_ / "site1" / "httpd.ini", "[Vortane]\nRewriteRule ^/s$ /from-site1\n", 100s);
  WriteFile(dir_ / "site2" / "httpd.ini", "[Vortane]\nRewriteRule ^/s$ /from-site2\n", 100s);
  WriteFile(dir_ / "sites.txt", "1 " + (dir_ / "site1").string() + "\n", 100s);
  Load();
  MemoryServer server;
  Request(server, "/s");
  EXPECT_EQ(server.Request().url, "/from-site1");

  // Changes are reported from the moment the site-change thread takes its first look at the
  // table, which it does once it runs: give it that moment.
  std::this_thread::sleep_for(1s);
  // A new root for site 1: the file time of the old root's file has not changed, so only the
  // site-change notification can drop the cached configuration.
  const fs::path next = dir_ / "sites.next";
  std::ofstream(next) << "1 " << (dir_ / "site2").string() << "\n";
  fs::rename(next, dir_ / "sites.txt");
  std::string url;
  for (int i = 0; i < 50 && url != "/from-site2"; ++i) {
    std::this_thread::sleep_for(100ms);
    Request(server, "/s");
    url = server.Request().url;
  }
  EXPECT_EQ(url, "/from-site2");
}

TEST_F(LibraryTest, NoThreadOutlivesTheLibrary) {
  const size_t before = ThreadCountSettlingAt(ThreadCount());
  Load();
  EXPECT_EQ(ThreadCountSettlingAt(before + 2), before + 2);  // expiry and site-change
  EXPECT_TRUE(library_->terminateFilter(0));
  EXPECT_EQ(ThreadCountSettlingAt(before), before);
  EXPECT_TRUE(library_->terminateFilter(0));  // a second stop does nothing
  library_->Unload();
  EXPECT_EQ(ThreadCountSettlingAt(before), before);

  Load();  // unloading alone stops them too, and really unloads
  EXPECT_EQ(ThreadCountSettlingAt(before + 2), before + 2);
  library_->Unload();
  EXPECT_EQ(ThreadCountSettlingAt(before), before);
  const std::string path = (dir_ / platform::FilterLibraryFileName()).string();
  EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}
#endif

TEST_F(LibraryTest, ShutsDownInEveryState) {
  WriteFile(dir_ / "httpd.ini", "[Vortane]\nRewriteRule ^/a$ /b\n", 100s);
  Load();  // loaded, never registered (on Windows it stays loaded until terminated)
  library_->Unload();

  Load();  // serving, then terminated and unloaded
  MemoryServer server;
  Request(server, "/a");
  EXPECT_TRUE(library_->terminateFilter(0));
  library_->Unload();

  Load();  // terminated twice, then unloaded
  EXPECT_TRUE(library_->terminateFilter(0));
  EXPECT_TRUE(library_->terminateFilter(0));
  library_->Unload();
}

}  // namespace
}  // namespace vortane
