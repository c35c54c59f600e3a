#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"
namespace vortane::platform {
namespace {

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

}  // namespace
}  // namespace vortane::platform
