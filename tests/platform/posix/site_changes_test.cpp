#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "platform/site_changes.h"
#include "platform/sync.h"
#include "tests/support/directory_test.h"

namespace vortane::platform {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class SiteChangeSourceTest : public testing::DirectoryTest {
 protected:
  // Replaces the table at once, as a careful editor does, so that no reader sees half of it.
  void PutTable(const std::string& text) const {
    const fs::path temporary = directory_ / "sites.txt.new";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << text;
      ASSERT_TRUE(out.good());
    }
    fs::rename(temporary, directory_ / "sites.txt");
  }

  // The sites reported until `limit` runs out or the source reports nothing; each must come
  // as Changed.
  std::multiset<uint32_t> Collect(SiteChangeSource& source, int64_t limit) const {
    std::multiset<uint32_t> sites;
    const auto start = Clock::now();
    while (MillisecondsSince(start) < limit) {
      uint32_t site = 0;
      const SiteChangeSource::Wait result = source.WaitForChange(site);
      if (result != SiteChangeSource::Wait::Changed) {
        EXPECT_EQ(result, SiteChangeSource::Wait::Nothing);
        break;
      }
      sites.insert(site);
    }
    return sites;
  }
};

TEST_F(SiteChangeSourceTest, ReportsEachSiteWhoseLineWasAddedRemovedOrChanged) {
  PutTable("# sites\n1 /srv/one\n2 /srv/two\n3 /srv/three\n");
  SiteChangeSource source(directory_.native());
  ASSERT_TRUE(source.IsOpen());
  ASSERT_TRUE(source.StartWatching());
  // Site 1 keeps its root (a later line for it does not count); a comment changes.
  PutTable("# all sites\n1 /srv/one\n3 /srv/three-b\n7 /srv/seven\n1 /srv/shadowed\n");
  const auto start = Clock::now();
  const std::multiset<uint32_t> reported = Collect(source, 2000);
  EXPECT_LT(MillisecondsSince(start), 1500);
  EXPECT_EQ(reported, (std::multiset<uint32_t>{2, 3, 7}));

  source.StopWatching();
  uint32_t site = 0;
  EXPECT_EQ(source.WaitForChange(site), SiteChangeSource::Wait::End);
}

// A site whose virtual folders changed is reported, as one whose root changed: its
// configuration holds the folders it resolved.
TEST_F(SiteChangeSourceTest, ReportsASiteWhoseVirtualFoldersChanged) {
  PutTable("1 /srv/one\n1/app /srv/app\n2 /srv/two\n3 /srv/three\n3/img /srv/img\n");
  SiteChangeSource source(directory_.native());
  ASSERT_TRUE(source.StartWatching());
  PutTable(
      "1 /srv/one\n1/app /srv/app-b\n2 /srv/two\n2/new /srv/new\n3 /srv/three\n"
      "3/img /srv/img\n3/img /srv/shadowed\n");
  EXPECT_EQ(Collect(source, 2000), (std::multiset<uint32_t>{1, 2}));
  source.StopWatching();
}

// Nothing is reported for a table whose sites stay as they were, and the source still
// returns within a second, so that its caller can look for a stop.
TEST_F(SiteChangeSourceTest, ReturnsNothingWithinASecondWhileNoSiteChanges) {
  PutTable("5 /srv/five\n");
  SiteChangeSource source(directory_.native());
  ASSERT_TRUE(source.StartWatching());
  PutTable("# five only\n5   /srv/five \r\n");
  uint32_t site = 0;
  const auto start = Clock::now();
  EXPECT_EQ(source.WaitForChange(site), SiteChangeSource::Wait::Nothing);
  EXPECT_LT(MillisecondsSince(start), 1100);
}

// A missing table has no sites; one created while the source waits is seen in that wait.
TEST_F(SiteChangeSourceTest, SeesATableCreatedDuringTheWait) {
  SiteChangeSource source(directory_.native());
  ASSERT_TRUE(source.StartWatching());
  std::thread editor([this] {
    std::this_thread::sleep_for(milliseconds(100));
    PutTable("4 /srv/four\n");
  });
  uint32_t site = 0;
  const auto start = Clock::now();
  const SiteChangeSource::Wait result = source.WaitForChange(site);
  const int64_t waited = MillisecondsSince(start);
  editor.join();
  EXPECT_EQ(result, SiteChangeSource::Wait::Changed);
  EXPECT_EQ(site, 4u);
  EXPECT_LT(waited, 1000);
}

// Stopping a watching thread as the store does it (a stop event looked at between two
// waits, then a join) takes no poll period, so loading and unloading the library is quick.
TEST_F(SiteChangeSourceTest, AJoinedThreadStopsWithoutWaitingOutThePoll) {
  Event stop;
  std::atomic<bool> watching{false};
  Thread watcher;
  ASSERT_TRUE(watcher.Start([this, &stop, &watching] {
    SiteChangeSource source(directory_.native());
    const bool started = source.StartWatching();
    watching = true;
    if (!started) return;
    uint32_t site = 0;
    while (!stop.IsSet() && source.WaitForChange(site) != SiteChangeSource::Wait::End) {
    }
    source.StopWatching();
  }));
  while (!watching) std::this_thread::sleep_for(milliseconds(1));
  std::this_thread::sleep_for(milliseconds(20));  // well inside the first wait
  const auto start = Clock::now();
  stop.Set();
  watcher.Join();
  EXPECT_LT(MillisecondsSince(start), 100);
}

}  // namespace
}  // namespace vortane::platform
