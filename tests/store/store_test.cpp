// The configuration store: what a loaded global file does to the settings and the cache,
// and the expiry thread it wakes.
#include "store/store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/temp_dir.h"

namespace vortane {
namespace {

namespace fs = std::filesystem;

class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes the global file, dated `age` seconds back so that each version differs.
  void WriteGlobal(const std::string& text, int age) {
    std::ofstream(dir_ / "httpd.ini", std::ios::binary | std::ios::trunc) << text;
    fs::last_write_time(dir_ / "httpd.ini",
                        fs::file_time_type::clock::now() - std::chrono::seconds(age));
  }

  const fs::path dir_ = testing::ScratchFolder("store");
  ConfigStore store_{(dir_ / "httpd.ini").native()};
};

// Sites 1 to 3 have no file (no site table): they take the global limit of their load.
TEST_F(ConfigStoreTest, GlobalSettingsApplyInFileOrder) {
  EXPECT_EQ(store_.GlobalRepeatLimit(), 32);
  EXPECT_EQ(store_.LoadCacheClockRate().cacheClockRateTicks, 36000000000ull);
  store_.Acquire(1);
  WriteGlobal("[Vortane]\nRepeatLimit 10\nRepeatLimit 3\nRepeatLimit 50\n", 100);
  EXPECT_EQ(store_.Acquire(0)->RepeatLimit(), 50);  // itself never lowered by its own lines
  EXPECT_EQ(store_.GlobalRepeatLimit(), 50);
  EXPECT_EQ(store_.Acquire(1)->RepeatLimit(), 3);  // lowered by each line in turn
  EXPECT_EQ(store_.Acquire(2)->RepeatLimit(), 50);

  // A reload without the directives leaves the settings; the largest rate as ticks.
  WriteGlobal("[Vortane]\nCacheClockRate 9999999\n", 50);
  store_.Acquire(0);  // sees the change
  store_.Acquire(0);  // loads the new file
  EXPECT_EQ(store_.GlobalRepeatLimit(), 50);
  EXPECT_EQ(store_.LoadCacheClockRate().cacheClockRateMs, 4294967000u);
  EXPECT_EQ(store_.LoadCacheClockRate().cacheClockRateTicks, 42949670000000ull);
  EXPECT_EQ(store_.Acquire(3)->RepeatLimit(), 50);

  ConfigStore other((dir_ / "httpd.ini").native());  // stores share nothing
  EXPECT_EQ(other.GlobalRepeatLimit(), 32);
}

TEST_F(ConfigStoreTest, ANewClockRateWakesTheExpiryThreadAtOnce) {
  store_.StartExpiryThread();
  // A pulse reaches only a thread that waits: give the new thread time to begin its wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  store_.Acquire(1)->lastUse = 0;  // idle for ages
  WriteGlobal("[Vortane]\nCacheClockRate 30\n", 100);
  store_.Acquire(0);  // without the wake-up the first sweep would come after an hour
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (store_.Cache().Size() != 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(store_.Cache().Size(), 1u);  // site 1 swept, site 0 just used
  EXPECT_EQ(store_.LoadCacheClockRate().cacheClockRateMs, 30000u);
  store_.Shutdown();
  EXPECT_EQ(store_.Cache().Size(), 0u);
}

}  // namespace
}  // namespace vortane
