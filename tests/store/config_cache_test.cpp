// The configuration cache: loading once, sharing, freshness by file time, removal while in
// use, expiry cut-offs, and failed loads.
#include "store/config_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "store/store.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <stdio.h>
#endif

#include "tests/support/file_out_of_reach.h"
#include "tests/support/temp_dir.h"
namespace vortane {
namespace {

namespace fs = std::filesystem;

// Loads counted, slow enough for concurrent first requests to meet, or failing on demand.
struct CountingLoader {
  static inline std::atomic<int> loads{0};
  static inline std::atomic<bool> fail{false};
  static SiteConfig* Load(uint32_t siteId) {
    ++loads;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (fail) throw std::runtime_error("cannot load");
    return new SiteConfig(siteId, platform::PathString());
  }
};

class ConfigCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CountingLoader::loads = 0;
    CountingLoader::fail = false;
  }
  ConfigCache cache_{&CountingLoader::Load};
};

TEST_F(ConfigCacheTest, LoadsOnceAndSharesTheConfiguration) {
  const SiteConfigRef first = cache_.Acquire(3);
  const SiteConfigRef second = cache_.Acquire(3);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(CountingLoader::loads, 1);
  EXPECT_EQ(cache_.Size(), 1u);
}

TEST_F(ConfigCacheTest, ConcurrentFirstRequestsLoadOnce) {
  std::vector<std::thread> threads;
  std::vector<SiteConfig*> seen(8);
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([this, &seen, i] { seen[i] = cache_.Acquire(5).get(); });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(CountingLoader::loads, 1);
  for (SiteConfig* config : seen) EXPECT_EQ(config, seen[0]);
}

TEST_F(ConfigCacheTest, AFailedLoadRunsNoRulesAndLeavesNoEntry) {
  CountingLoader::fail = true;
  EXPECT_FALSE(cache_.Acquire(7));
  EXPECT_EQ(cache_.Size(), 0u);
  CountingLoader::fail = false;
  EXPECT_TRUE(cache_.Acquire(7));  // the next request tries again
  EXPECT_EQ(CountingLoader::loads, 2);
}

TEST_F(ConfigCacheTest, RemovalNeverDisturbsAConfigurationInUse) {
  const SiteConfigRef held = cache_.Acquire(1);
  held->rules.push_back(Rule());
  cache_.Drop(1);
  cache_.Clear();
  EXPECT_EQ(cache_.Size(), 0u);
  EXPECT_EQ(held->rules.size(), 1u);  // still alive: ASan would catch a use after free
  EXPECT_NE(cache_.Acquire(1).get(), held.get());
}

TEST_F(ConfigCacheTest, SweepRemovesEntriesUsedAtOrBeforeTheCutoff) {
  cache_.Acquire(1)->lastUse = 100;
  cache_.Acquire(2)->lastUse = 101;
  cache_.Acquire(3)->lastUse = 99;
  cache_.Sweep(100);
  EXPECT_EQ(cache_.Size(), 1u);
  cache_.Acquire(2);  // still cached: no new load
  EXPECT_EQ(CountingLoader::loads, 3);
}

TEST_F(ConfigCacheTest, LowersRepeatLimitsAboveANewGlobalLimit) {
  cache_.Acquire(1)->repeatLimit = 10;
  cache_.Acquire(2)->repeatLimit = 3;
  cache_.LowerRepeatLimits(5);
  EXPECT_EQ(cache_.Acquire(1)->RepeatLimit(), 5);
  EXPECT_EQ(cache_.Acquire(2)->RepeatLimit(), 3);
}

TEST_F(ConfigCacheTest, LoadMutexNamesHoldProcessModuleAndSite) {
  const ConfigCache cache(&CountingLoader::Load, 0x1234);
  const std::wstring name = cache.LoadMutexName(42);
  const std::wstring prefix = L"{2206E720-4148-4003-9C1F-E8D23B97EC94}";
  EXPECT_EQ(name.substr(0, prefix.size()), prefix);
  EXPECT_EQ(name.substr(name.size() - 8), L"-4660-42");
  EXPECT_LE(name.size(), 70u);
}

// Freshness with real files, through the store's loader that reads them.
class CacheFreshnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& text, int secondsFromNow) {
    std::ofstream(dir_ / "httpd.ini", std::ios::binary | std::ios::trunc) << text;
    fs::last_write_time(dir_ / "httpd.ini",
                        fs::file_time_type::clock::now() + std::chrono::seconds(secondsFromNow));
  }

  const fs::path dir_ = testing::ScratchFolder("cache-freshness");
  ConfigStore store_{(dir_ / "httpd.ini").native()};
  ConfigCache& cache_ = store_.Cache();
};

TEST_F(CacheFreshnessTest, AChangedFileIsReloadedByTheRequestAfterTheOneThatSawIt) {
  Write("[Vortane]\nRewriteRule a b\n", -100);
  const SiteConfig* first = cache_.Acquire(0).get();
  EXPECT_EQ(first->rules.size(), 1u);

  Write("[Vortane]\nRewriteRule a b\nRewriteRule c d\n", -50);
  EXPECT_EQ(cache_.Acquire(0)->rules.size(), 1u);  // this request still runs the old rules
  EXPECT_EQ(cache_.Acquire(0)->rules.size(), 2u);

  Write("[Vortane]\n", -200);  // a time that goes back counts as a change too
  EXPECT_EQ(cache_.Acquire(0)->rules.size(), 2u);
  EXPECT_EQ(cache_.Acquire(0)->rules.size(), 0u);

  fs::remove(dir_ / "httpd.ini");  // deleted: one more old run, then an empty configuration
  cache_.Acquire(0);
  const SiteConfigRef missing = cache_.Acquire(0);
  EXPECT_EQ(missing->fileTime, FileTime());
  EXPECT_EQ(cache_.Acquire(0).get(), missing.get());  // stays while the file is missing
}

TEST_F(CacheFreshnessTest, AnExistingFileThatCannotBeReadIsNotCachedAndKeepsItsOldRules) {
  Write("[Vortane]\nRewriteRule a b [F]\n", -100);
  {
    const testing::FileOutOfReach unreadable(dir_ / "httpd.ini");
    EXPECT_TRUE(cache_.Acquire(0)->rules.empty());  // this request runs without the rules
    EXPECT_EQ(cache_.Size(), 0u);
  }
  EXPECT_EQ(cache_.Acquire(0)->rules.size(), 1u);  // the next one reads the file again
  EXPECT_EQ(cache_.Size(), 1u);

  // Changed, then out of reach: the rules the file had go on until it can be read again.
  Write("[Vortane]\nRewriteRule a b [F]\nRewriteRule c d [F]\n", -50);
  {
    const testing::FileOutOfReach unreadable(dir_ / "httpd.ini");
    EXPECT_EQ(cache_.Acquire(0)->rules.size(), 1u);  // the request that saw the change
    EXPECT_EQ(cache_.Acquire(0)->rules.size(), 1u);  // its load could not read the file
    EXPECT_EQ(cache_.Size(), 0u);
  }
  EXPECT_EQ(cache_.Acquire(0)->rules.size(), 2u);
  EXPECT_EQ(cache_.Size(), 1u);
}

// Replaces the file whole with `text`, as an editor's atomic save does.
bool ReplaceFile(const fs::path& path, const std::string& text) {
  const fs::path next = path.string() + ".next";
  std::ofstream(next, std::ios::binary | std::ios::trunc) << text;
#ifdef _WIN32
  // Refused while a loader holds the file open (it shares reading only); the saver retries.
  return MoveFileExW(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return rename(next.c_str(), path.c_str()) == 0;
#endif
}

TEST_F(CacheFreshnessTest, AtomicReplacementNeverLeavesARequestWithoutRules) {
  const std::string variants[] = {"[Vortane]\nRewriteRule ^/a$ /old [F]\n",
                                  "[Vortane]\nRewriteRule ^/a$ /new [F]\n"};
  ASSERT_TRUE(ReplaceFile(dir_ / "httpd.ini", variants[0]));
  std::atomic<bool> done{false};
  std::atomic<int> acquisitions{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> requests;
  for (int i = 0; i < 8; ++i) {
    requests.emplace_back([&] {
      while (!done) {
        const SiteConfigRef config = cache_.Acquire(0);
        ++acquisitions;
        if (config->rules.size() != 1 ||
            (config->rules[0].format != "/old" && config->rules[0].format != "/new")) {
          ++wrong;
        }
      }
    });
  }
  int replaced = 0;
  for (int attempt = 0; replaced < 100 && attempt < 20000; ++attempt) {
    if (ReplaceFile(dir_ / "httpd.ini", variants[replaced % 2])) {
      ++replaced;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // as a saver would
    }
  }
  done = true;
  for (std::thread& t : requests) t.join();
  EXPECT_EQ(replaced, 100);
  EXPECT_GT(acquisitions, 100);
  EXPECT_EQ(wrong, 0) << "of " << acquisitions << " acquisitions";
}

}  // namespace
}  // namespace vortane
