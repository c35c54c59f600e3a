#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <objbase.h>
#endif

#include "tests/support/com_factory.h"
namespace vortane::platform {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// A name no other test uses.
std::wstring UniqueName(const char* what) {
  static std::atomic<int> counter{0};
  return L"vortane-sync-test-" + std::to_wstring(CurrentProcessId()) + L"-" +
         std::wstring(what, what + strlen(what)) + L"-" + std::to_wstring(++counter);
}

// ---- Event ----

TEST(Event, TimedWaitRunsOutUnlessSignalled) {
  Event event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(0));
  const auto start = Clock::now();
  EXPECT_FALSE(event.Wait(100));
  const int64_t waited = MillisecondsSince(start);
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 2000);
}

// A pulse reaches threads that are waiting, with or without a time limit, and leaves the
// event unsignalled; one that comes while nobody waits is lost.
TEST(Event, PulseWakesTheWaitersAndLeavesTheEventUnsignalled) {
  Event event;
  event.Pulse();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(30));

  constexpr int kWaiters = 3;
  std::atomic<int> woken{0};
  std::atomic<int> timedOut{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&event, &woken, &timedOut, i] {
      if (event.Wait(i == 0 ? kInfinite : 3000)) {
        ++woken;
      } else {
        ++timedOut;
      }
    });
  }
  // A pulse before a thread has begun to wait does not count for it: pulse until all woke.
  const auto start = Clock::now();
  while (woken + timedOut < kWaiters && MillisecondsSince(start) < 2000) {
    event.Pulse();
    std::this_thread::sleep_for(milliseconds(10));
  }
  if (woken + timedOut < kWaiters) event.Set();  // lets the test end when pulses do nothing
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(woken, kWaiters);
  EXPECT_EQ(timedOut, 0);
  EXPECT_FALSE(event.IsSet());
  const auto after = Clock::now();
  EXPECT_FALSE(event.Wait(50));
  EXPECT_GE(MillisecondsSince(after), 40);
}

TEST(Event, SetLastsUntilAPulse) {
  Event event;
  std::atomic<bool> woken{false};
  std::thread waiter([&] { woken = event.Wait(kInfinite); });
  std::this_thread::sleep_for(milliseconds(20));
  event.Set();
  waiter.join();
  EXPECT_TRUE(woken);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(kInfinite));
  }
  // As PulseEvent does to a set manual-reset event: the pulse clears it.
  event.Pulse();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(20));
}

// ---- Thread ----

TEST(Thread, RunsTheBodyAndJoinWaitsForIt) {
  std::atomic<int> runs{0};
  Thread thread;
  EXPECT_FALSE(thread.Running());
  thread.Join();  // nothing started: nothing to do

  ASSERT_TRUE(thread.Start([&runs] {
    std::this_thread::sleep_for(milliseconds(30));
    ++runs;
  }));
  EXPECT_TRUE(thread.Running());
  EXPECT_FALSE(thread.Start([&runs] { runs += 100; }));  // the first is not joined yet
  thread.Join();
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(thread.Running());
  thread.Join();

  ASSERT_TRUE(thread.Start([&runs] { ++runs; }));  // joined threads make room for another
  thread.Join();
  EXPECT_EQ(runs, 2);
}

TEST(Thread, DestructionJoins) {
  std::atomic<bool> done{false};
  {
    Thread thread;
    ASSERT_TRUE(thread.Start([&done] {
      std::this_thread::sleep_for(milliseconds(30));
      done = true;
    }));
  }
  EXPECT_TRUE(done);
}

// ---- NamedMutex ----

TEST(NamedMutex, TheCreatorOwnsAndLaterOpenersShareTheName) {
  const std::wstring name = UniqueName("share");
  NamedMutex first(name);
  ASSERT_TRUE(first.IsValid());
  EXPECT_FALSE(first.AlreadyExisted());
  NamedMutex second(name);
  ASSERT_TRUE(second.IsValid());
  EXPECT_TRUE(second.AlreadyExisted());

  // Another name is a mutex of its own, free of the first one's owner.
  const std::wstring otherName = UniqueName("other");
  NamedMutex other(otherName);
  EXPECT_FALSE(other.AlreadyExisted());
  other.Release();
  std::atomic<bool> obtained{false};
  std::thread([&] {
    NamedMutex again(otherName);
    EXPECT_TRUE(again.AlreadyExisted());
    again.Wait();
    obtained = true;
    again.Release();
  }).join();
  EXPECT_TRUE(obtained);
  first.Release();
}

TEST(NamedMutex, AnOpenerWaitsUntilTheOwnerReleases) {
  const std::wstring name = UniqueName("order");
  std::atomic<int> sequence{0};
  std::atomic<int> releasedAt{0};
  std::atomic<int> obtainedAt{0};
  NamedMutex owner(name);
  ASSERT_FALSE(owner.AlreadyExisted());
  std::thread opener([&] {
    NamedMutex mutex(name);
    EXPECT_TRUE(mutex.AlreadyExisted());
    mutex.Wait();
    obtainedAt = ++sequence;
    mutex.Release();
  });
  std::this_thread::sleep_for(milliseconds(50));
  releasedAt = ++sequence;
  owner.Release();
  opener.join();
  EXPECT_EQ(releasedAt, 1);
  EXPECT_EQ(obtainedAt, 2);
}

// The load protocol of the configuration cache, from many threads at once: create the
// mutex; when it already existed, wait for it; work; release; close. Only one thread may be
// inside at a time, including when the last handle closes and the name is created afresh.
TEST(NamedMutex, CreateOrWaitExcludesAcrossCloseAndRecreate) {
  const std::wstring name = UniqueName("protocol");
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> created{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        NamedMutex mutex(name);
        if (mutex.AlreadyExisted()) {
          mutex.Wait();
        } else {
          ++created;
        }
        if (++inside != 1) ++overlaps;
        std::this_thread::yield();
        --inside;
        mutex.Release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_GE(created, 1);
  // Every handle is closed: the name is forgotten, and creating it owns it again.
  NamedMutex fresh(name);
  EXPECT_FALSE(fresh.AlreadyExisted());
  fresh.Release();
}

TEST(NamedMutex, TheNameLivesWhileAnyHandleIsOpen) {
  const std::wstring name = UniqueName("lifetime");
  {
    NamedMutex only(name);
    EXPECT_FALSE(only.AlreadyExisted());
    only.Release();
  }
  auto first = std::make_unique<NamedMutex>(name);
  EXPECT_FALSE(first->AlreadyExisted());
  first->Release();
  NamedMutex second(name);
  EXPECT_TRUE(second.AlreadyExisted());
  first.reset();  // the creator's handle goes; the opener's keeps the name
  NamedMutex third(name);
  EXPECT_TRUE(third.AlreadyExisted());
}

// An owner that ends without releasing does not hold up the next: on Windows the mutex is
// abandoned, which counts as obtained.
TEST(NamedMutex, AnOwnerThatEndsWithoutReleasingLetsTheWaiterIn) {
  const std::wstring name = UniqueName("abandon");
  std::atomic<bool> created{false};
  std::atomic<bool> finish{false};
  std::thread owner([&] {
    NamedMutex mutex(name);
    EXPECT_FALSE(mutex.AlreadyExisted());
    created = true;
    while (!finish) std::this_thread::sleep_for(milliseconds(5));
  });
  while (!created) std::this_thread::sleep_for(milliseconds(5));
  // Shared with the waiter, which is left behind if it never gets the mutex.
  auto obtained = std::make_shared<std::atomic<bool> >(false);
  std::thread waiter([name, obtained] {
    NamedMutex mutex(name);
    EXPECT_TRUE(mutex.AlreadyExisted());
    mutex.Wait();
    *obtained = true;
    mutex.Release();
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(*obtained);
  finish = true;
  owner.join();
  const auto start = Clock::now();
  while (!*obtained && MillisecondsSince(start) < 2000) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  if (*obtained) {
    waiter.join();
  } else {
    ADD_FAILURE() << "the waiter still waits for the ended owner";
    waiter.detach();
  }
}

// ---- SiteChangeSource ----

#ifndef _WIN32
class SiteChangeSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    directory_ = fs::temp_directory_path() /
                 ("vortane-sync-" + std::to_string(random()) + "-" + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(directory_));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }

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

  fs::path directory_;
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
#else
// The notifier is not registered under Wine: the source is not open, ends at once, and
// leaves COM on the thread as it found it.
TEST(SiteChangeSource, IsNotOpenWithoutTheNotifierAndBalancesCom) {
  std::thread([] {
    {
      SiteChangeSource source(L"");
      EXPECT_FALSE(source.IsOpen());
      EXPECT_FALSE(source.StartWatching());
      uint32_t site = 0;
      EXPECT_EQ(source.WaitForChange(site), SiteChangeSource::Wait::End);
    }
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  }).join();
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    { EXPECT_FALSE(SiteChangeSource(L"").IsOpen()); }
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  }).join();
}

// A notifier of this process, registered for the notifier's class, that plays back a script
// of WaitForChange results and records the slots called. Its methods are declared in slot
// order, after IUnknown's.
class ScriptedNotifier : public IUnknown {
 public:
  struct Step {
    HRESULT result;
    DWORD site;
  };
  explicit ScriptedNotifier(std::vector<Step> script, HRESULT startResult)
      : script_(std::move(script)), startResult_(startResult) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    calls_ += "Q";
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    calls_ += "R";
    return --references_;
  }
  virtual HRESULT STDMETHODCALLTYPE SinkNotify(DWORD, void*) {
    calls_ += "3";
    return E_NOTIMPL;
  }
  virtual HRESULT STDMETHODCALLTYPE ShutdownNotify() {
    calls_ += "4";
    return E_NOTIMPL;
  }
  virtual HRESULT STDMETHODCALLTYPE WaitForChange(DWORD* site) {
    calls_ += "W";
    if (next_ == script_.size()) return E_UNEXPECTED;
    const Step step = script_[next_++];
    *site = step.site;
    return step.result;
  }
  virtual HRESULT STDMETHODCALLTYPE StartWatching() {
    calls_ += "S";
    return startResult_;
  }
  virtual HRESULT STDMETHODCALLTYPE StopWatching() {
    calls_ += "T";
    return S_OK;
  }

  const std::string& calls() const { return calls_; }
  ULONG references() const { return references_; }

 private:
  std::vector<Step> script_;
  size_t next_ = 0;
  HRESULT startResult_;
  std::string calls_;
  ULONG references_ = 0;
};

// Runs `use` on a thread of its own with the scripted notifier registered for the class.
void WithNotifier(ScriptedNotifier& notifier, const std::function<void()>& use) {
  std::thread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    // {27C3B8ED-0790-42BD-9AD7-18465E7F7696}
    const CLSID classId = {
        0x27c3b8ed, 0x0790, 0x42bd, {0x9a, 0xd7, 0x18, 0x46, 0x5e, 0x7f, 0x76, 0x96}};
    // {A9E69612-B80D-11D0-B9B9-00A0C922E750}
    const IID interfaceId = {
        0xa9e69612, 0xb80d, 0x11d0, {0xb9, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0xe7, 0x50}};
    testing::SingleObjectFactory factory(notifier, interfaceId);
    DWORD cookie = 0;
    ASSERT_EQ(
        CoRegisterClassObject(classId, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
        S_OK);
    use();
    CoRevokeClassObject(cookie);
    CoUninitialize();
  }).join();
}

TEST(SiteChangeSource, CallsTheNotifiersSlotsAndReadsTheirResults) {
  using Wait = SiteChangeSource::Wait;
  struct Case {
    const char* name;
    ScriptedNotifier::Step step;
    Wait expected;
  } cases[] = {
      {"a change", {S_OK, 5}, Wait::Changed},
      {"another success", {S_FALSE, 6}, Wait::Nothing},
      {"a success with a facility", {0x00040200, 6}, Wait::Nothing},
      {"no further notifications", {0x00040201, 6}, Wait::End},
      {"a failure", {E_FAIL, 6}, Wait::End},
      {"a failure of RPC", {static_cast<HRESULT>(0x800706BA), 6}, Wait::End},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedNotifier notifier({c.step}, S_OK);
    WithNotifier(notifier, [&] {
      SiteChangeSource source(L"");
      ASSERT_TRUE(source.IsOpen());
      EXPECT_TRUE(source.StartWatching());
      uint32_t site = 99;
      EXPECT_EQ(source.WaitForChange(site), c.expected);
      EXPECT_EQ(site, c.expected == Wait::Changed ? c.step.site : 99u);
      source.StopWatching();
    });
    EXPECT_EQ(notifier.calls(), "SWTR");
    EXPECT_EQ(notifier.references(), 0u);
  }
}

TEST(SiteChangeSource, AFailedStartEndsTheUse) {
  ScriptedNotifier notifier({}, E_ACCESSDENIED);
  WithNotifier(notifier, [] {
    SiteChangeSource source(L"");
    ASSERT_TRUE(source.IsOpen());
    EXPECT_FALSE(source.StartWatching());
  });
  EXPECT_EQ(notifier.calls(), "SR");
  EXPECT_EQ(notifier.references(), 0u);
}
#endif

}  // namespace
}  // namespace vortane::platform
