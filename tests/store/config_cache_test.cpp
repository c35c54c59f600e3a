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
  std::vector<const SiteConfig*> seen(8);
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([this, &seen, i] { seen[i] = cache_.Acquire(5).get(); });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(CountingLoader::loads, 1);
  for (const SiteConfig* config : seen) EXPECT_EQ(config, seen[0]);
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
  cache_.Drop(1);
  cache_.Clear();
  EXPECT_EQ(cache_.Size(), 0u);
  EXPECT_EQ(held->siteId, 1u);  // still alive: ASan would catch a use after free
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

// Freshness judged against a made-up file: its stamp and its version, and the clock.
struct FakeFile {
  static inline platform::FileStamp stamp;
  static inline bool identityByNameOnly = false;  // Windows: the identity only to an open
  static inline std::string version;
  static inline uint64_t now = 0;
  static inline std::atomic<int> loads{0};
  static std::optional<platform::FileStamp> Read(const platform::PathString&,
                                                 platform::StampDepth depth) {
    platform::FileStamp read = stamp;
    if (identityByNameOnly && depth == platform::StampDepth::Attributes) {
      read.hasIdentity = false;
      read.volume = read.index = 0;
    }
    return read;
  }
  static std::optional<FileDigest> Digest(const platform::PathString&) {
    return FileDigest{ConfigDigest(version), stamp};
  }
  static SiteConfig* Load(uint32_t siteId) {
    ++loads;
    ParsedConfig parsed;
    parsed.stamp = stamp;
    parsed.digest = ConfigDigest(version);
    parsed.rules.emplace_back();
    parsed.rules.back().format = version;
    return new SiteConfig(siteId, platform::PathString(), std::move(parsed));
  }
};

class FakeFreshnessTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kSecond = 10000000;
  static constexpr uint64_t kWritten = 132594839670000000u;
  void SetUp() override {
    FakeFile::stamp = {kWritten, 10, 0, 1, 100, true};
    FakeFile::identityByNameOnly = false;
    FakeFile::version = "first";
    FakeFile::now = kWritten + 60 * kSecond;
    FakeFile::loads = 0;
    cache_.SetFileAccessForTesting(
        &FakeFile::Read, [] { return FakeFile::now; }, &FakeFile::Digest);
  }
  // The rules a request runs now.
  std::string Version() { return cache_.Acquire(0)->rules[0].format; }

  ConfigCache cache_{&FakeFile::Load};
};

// A save that leaves the last-write time as it was (the same tick of the file system's
// clock) is seen by what else it changes.
TEST_F(FakeFreshnessTest, ASaveWithinTheSameTickIsSeenByItsSizeOrIdentity) {
  struct Case {
    const char* name;
    void (*save)(platform::FileStamp&);
  } cases[] = {
      {"rewritten in place, another size", [](platform::FileStamp& s) { s.size = 12; }},
      {"rewritten in place, same size, new change time",
       [](platform::FileStamp& s) { s.changed += 1; }},
      {"renamed over, same size", [](platform::FileStamp& s) { s.index = 101; }},
      {"renamed over, same size, another volume", [](platform::FileStamp& s) { s.volume = 2; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    cache_.Clear();
    EXPECT_EQ(Version(), "first");
    c.save(FakeFile::stamp);
    FakeFile::version = "second";
    EXPECT_EQ(Version(), "first");  // the request that notices still runs the old rules
    EXPECT_EQ(Version(), "second");
    EXPECT_EQ(Version(), "second");
    EXPECT_EQ(FakeFile::loads, 2);
  }
}

// Where the identity needs an open (Windows), it is looked at once per step, not per request.
TEST_F(FakeFreshnessTest, AnIdentityThatNeedsAnOpenIsCheckedOncePerStep) {
  FakeFile::identityByNameOnly = true;
  EXPECT_EQ(Version(), "first");
  FakeFile::stamp.index = 101;
  FakeFile::version = "second";
  FakeFile::now += platform::kFileTimeStep - 1;
  EXPECT_EQ(Version(), "first");
  EXPECT_EQ(Version(), "first");  // not yet due
  FakeFile::now += 1;
  EXPECT_EQ(Version(), "first");  // due: the request that notices
  EXPECT_EQ(Version(), "second");
}

// A load less than two seconds after the file's last write may have caught a save in place
// half done, with the final version keeping the same stamp: it is read again once, by the
// first check after the window.
TEST_F(FakeFreshnessTest, ALoadWithinTwoSecondsOfTheWriteIsReadAgainAfterTheWindow) {
  FakeFile::now = kWritten + kSecond;  // the load: one second after the write
  EXPECT_EQ(Version(), "first");
  FakeFile::version = "second";  // written again within the same tick: the stamp stays
  FakeFile::now = kWritten + platform::kFileTimeStep - 1;
  EXPECT_EQ(Version(), "first");
  EXPECT_EQ(FakeFile::loads, 1);
  FakeFile::now = kWritten + platform::kFileTimeStep;
  EXPECT_EQ(Version(), "first");  // the check after the window notices
  EXPECT_EQ(Version(), "second");
  FakeFile::now += 3600 * kSecond;  // the new load was made after the window: trusted
  EXPECT_EQ(Version(), "second");
  EXPECT_EQ(FakeFile::loads, 2);

  // A file whose time lies ahead of the clock is provisional until the window after it.
  cache_.Clear();
  FakeFile::stamp.lastWrite = FakeFile::now + 10 * kSecond;
  EXPECT_EQ(Version(), "second");
  FakeFile::version = "third";  // the stamp stays
  FakeFile::now += 11 * kSecond;
  EXPECT_EQ(Version(), "second");
  EXPECT_EQ(FakeFile::loads, 3);
  FakeFile::now += kSecond;
  EXPECT_EQ(Version(), "second");
  EXPECT_EQ(Version(), "third");
  EXPECT_EQ(FakeFile::loads, 4);
}

// After the window, a file that still holds the bytes parsed keeps its configuration: no
// second parse, and a rule a timeout switched off stays off.
TEST_F(FakeFreshnessTest, AProvisionalLoadWhoseBytesAreUnchangedIsKept) {
  FakeFile::now = kWritten + kSecond;
  const SiteConfigRef first = cache_.Acquire(0);
  FakeFile::now = kWritten + platform::kFileTimeStep;
  EXPECT_EQ(cache_.Acquire(0).get(), first.get());
  FakeFile::now += kSecond;
  EXPECT_EQ(cache_.Acquire(0).get(), first.get());
  EXPECT_EQ(FakeFile::loads, 1);
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

TEST_F(CacheFreshnessTest, ARewriteThatKeepsTheTimeIsSeenByItsSize) {
  const auto time = fs::file_time_type::clock::now() - std::chrono::hours(1);
  Write("[Vortane]\nRewriteRule a b\n", 0);
  fs::last_write_time(dir_ / "httpd.ini", time);
  EXPECT_EQ(cache_.Acquire(0)->rules.size(), 1u);
  Write("[Vortane]\nRewriteRule a b\nRewriteRule c d\n", 0);
  fs::last_write_time(dir_ / "httpd.ini", time);
  cache_.Acquire(0);
  EXPECT_EQ(cache_.Acquire(0)->rules.size(), 2u);
}

// Writes `text` over the file in place, as `cat >` does: emptied, then written. False when
// the file could not be opened (Windows: a loader holds it, sharing reading only).
bool WriteInPlace(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << text;
  return true;
}

// Requests while the file is saved in place again and again: after each save, once the 2 s
// window has passed, requests run the saved rules (before, a load that read the file between
// its truncation and its write, in the same tick of the file system's clock, kept an empty
// configuration for good).
TEST_F(CacheFreshnessTest, InPlaceSaveStormEndsWithTheSavedRules) {
  std::atomic<uint64_t> offset{0};
  cache_.SetFileAccessForTesting(&platform::ReadFileStamp,
                                 [&offset] { return platform::SystemFileTime() + offset.load(); });
  // All of one size, so that only the time can tell them apart.
  const auto variant = [](int round) {
    return "[Vortane]\nRewriteRule ^/a$ /v" + std::to_string(round % 10) + " [F]\n";
  };
  while (!WriteInPlace(dir_ / "httpd.ini", variant(0))) {
  }
  cache_.Acquire(0);
  std::atomic<bool> done{false};
  std::vector<std::thread> requests;
  for (int i = 0; i < 4; ++i) {
    requests.emplace_back([&] {
      while (!done) cache_.Acquire(0);
    });
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int rounds = 0;
  int stale = 0;
  for (int round = 1; round <= 300 && std::chrono::steady_clock::now() < until; ++round) {
    offset = 0;
    while (!WriteInPlace(dir_ / "httpd.ini", variant(round))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    offset = platform::kFileTimeStep;  // the window has passed
    bool saved = false;
    for (int attempt = 0; attempt < 8 && !saved; ++attempt) {
      const SiteConfigRef config = cache_.Acquire(0);
      saved =
          config->rules.size() == 1 && config->rules[0].format == "/v" + std::to_string(round % 10);
    }
    stale += saved ? 0 : 1;
    ++rounds;
  }
  done = true;
  for (std::thread& t : requests) t.join();
  EXPECT_GT(rounds, 10);
  EXPECT_EQ(stale, 0) << "of " << rounds << " saves";
}

TEST_F(CacheFreshnessTest, AnExistingFileThatCannotBeReadIsNotCachedAndKeepsItsOldRules) {
  Write("[Vortane]\nRewriteRule a b [F]\n", -100);
  {
    const testing::FileOutOfReach unreadable(dir_ / "httpd.ini");
    const SiteConfigRef config = cache_.Acquire(0);  // no rules: the request gets a 500
    EXPECT_TRUE(config->unreadable);
    EXPECT_TRUE(config->rules.empty());
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
