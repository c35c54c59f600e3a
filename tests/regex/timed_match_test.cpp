// Time-limited matching: the limit's edges and the counter's wrap under a scripted clock,
// and the real clock against catastrophic backtracking.
#include "regex/timed_match.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/tick.h"

namespace vortane {
namespace {

// A clock that counts its reads and returns start, then either start + step, start + 2 *
// step, ... or, once jumped, the same later tick on every read after the first.
struct ScriptedClock {
  static inline uint32_t start = 0;
  static inline uint32_t step = 0;
  static inline bool jump = false;
  static inline uint32_t later = 0;
  static inline unsigned reads = 0;
  static uint32_t Read() {
    const uint32_t n = reads++;
    if (n == 0) return start;
    return jump ? later : start + n * step;
  }
};

class ScriptedClockTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = platform::SetTickSourceForTesting(&ScriptedClock::Read); }
  void TearDown() override { platform::SetTickSourceForTesting(previous_); }

  static void Script(uint32_t start, uint32_t step) {
    ScriptedClock::start = start;
    ScriptedClock::step = step;
    ScriptedClock::jump = false;
    ScriptedClock::reads = 0;
  }
  static void ScriptJump(uint32_t start, uint32_t later) {
    Script(start, 0);
    ScriptedClock::jump = true;
    ScriptedClock::later = later;
  }

  // A linear match long enough to pass many clock checks.
  bool LongMatch(uint32_t limit) {
    MatchResults results;
    return TimedMatch(longSubject_.data(), longSubject_.data() + longSubject_.size(), results,
                      linear_, limit, boost::match_not_dot_newline);
  }

  const Expression linear_ = CompilePattern("(?:a|b)*c", false);
  const std::string longSubject_ = std::string(20000, 'a') + "c";

 private:
  platform::TickSource previous_ = nullptr;
};

TEST_F(ScriptedClockTest, ElapsedEqualToTheLimitContinuesOneMoreExpires) {
  struct Case {
    uint32_t start, step, limit;
    bool expires;
  };
  const Case cases[] = {
      {1000, 0, 500, false},                   // no time passes
      {0xFFFFFFF0u, 0, 500, false},            // starts just before the wrap
      {0xFFFFFFF0u, 0x20, 0xFFFFFFFE, false},  // runs across the wrap, huge limit
  };
  for (const Case& c : cases) {
    Script(c.start, c.step);
    EXPECT_TRUE(LongMatch(c.limit)) << c.start;
  }

  // The first check reads the start tick; every later one sees `elapsed`.
  struct EdgeCase {
    uint32_t start, elapsed, limit;
    bool expires;
  };
  const EdgeCase edges[] = {
      {1000, 500, 500, false},       // exactly the limit: still running
      {1000, 501, 500, true},        // one millisecond more: expired
      {0xFFFFFFF0u, 32, 32, false},  // 0xFFFFFFF0 to 0x10 is 32 ms, not an expiry
      {0xFFFFFFF0u, 33, 32, true},   // and one more after the wrap expires
      {0, 0xFFFFFFFF, 0xFFFFFFFE, true},
  };
  for (const EdgeCase& c : edges) {
    ScriptJump(c.start, c.start + c.elapsed);
    if (c.expires) {
      try {
        LongMatch(c.limit);
        ADD_FAILURE() << "no timeout at elapsed " << c.elapsed << " limit " << c.limit;
      } catch (const bad_expression& error) {
        EXPECT_STREQ(error.what(), "Matching timeout");
        EXPECT_EQ(ScriptedClock::reads, 2u);
      }
    } else {
      EXPECT_TRUE(LongMatch(c.limit)) << "elapsed " << c.elapsed << " limit " << c.limit;
    }
  }
}

TEST_F(ScriptedClockTest, NoTimeLimitNeverExpiresAndNeverReadsTheClock) {
  Script(0, 0x80000000u);
  EXPECT_TRUE(LongMatch(NoTimeLimit));
  EXPECT_EQ(ScriptedClock::reads, 0u);
}

TEST_F(ScriptedClockTest, InvalidExpressionIsFalseWithoutReadingTheClock) {
  Script(0, 1000);
  MatchResults results;
  const std::string subject = "abc";
  EXPECT_FALSE(TimedMatch(subject.data(), subject.data() + subject.size(), results, Expression(),
                          MatchTimeLimit, boost::match_not_dot_newline));
  EXPECT_EQ(ScriptedClock::reads, 0u);
}

TEST_F(ScriptedClockTest, ShortMatchesNeverReadTheClock) {
  Script(0, 1000);
  const Expression e = CompilePattern("^/shop/(\\w+)\\.html$", false);
  const std::string subject = "/shop/shoes.html";
  MatchResults results;
  EXPECT_TRUE(TimedMatch(subject.data(), subject.data() + subject.size(), results, e,
                         MatchTimeLimit, boost::match_not_dot_newline));
  EXPECT_EQ(ScriptedClock::reads, 0u);
}

TEST_F(ScriptedClockTest, EachCallMeasuresFromItsOwnStart) {
  // Count the clock reads of one match, then let every read advance the clock by 1 ms and
  // give each match exactly the time its own reads cover. Two matches in a row must both
  // succeed: the second must not inherit the first one's start.
  Script(0, 0);
  ASSERT_TRUE(LongMatch(MatchTimeLimit));
  const unsigned readsPerMatch = ScriptedClock::reads;
  ASSERT_GT(readsPerMatch, 2u);

  Script(0, 1);
  EXPECT_TRUE(LongMatch(readsPerMatch - 1));
  EXPECT_TRUE(LongMatch(readsPerMatch - 1));
  EXPECT_THROW(LongMatch(readsPerMatch - 2), bad_expression);
}

TEST_F(ScriptedClockTest, AThreadMatchesNormallyAfterATimeout) {
  Script(0, 1000);
  EXPECT_THROW(LongMatch(MatchTimeLimit), bad_expression);
  Script(0, 0);
  EXPECT_TRUE(LongMatch(MatchTimeLimit));

  // Results of a finished match stay readable on the thread, however long that takes.
  const std::string subject = "key=value";
  const Expression e = CompilePattern("(\\w+)=(\\w+)", false);
  MatchResults results;
  ASSERT_TRUE(TimedMatch(subject.data(), subject.data() + subject.size(), results, e,
                         MatchTimeLimit, boost::match_not_dot_newline));
  Script(0, 1000);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(results[2].str(), "value");
}

// A pattern that backtracks exponentially, padded so that Boost's own complexity bound
// (which grows with the square of the pattern's length) is not reached for seconds.
std::string SlowCatastrophicPattern() {
  return "(x+x+)+y" + std::string(3000, 'z');
}

double MillisecondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST(TimedMatchRealClockTest, CatastrophicMatchStopsJustAfterTheLimit) {
  const Expression e = CompilePattern(SlowCatastrophicPattern(), false);
  const std::string subject(40, 'x');
  MatchResults results;
  std::string message;
  const double ms = MillisecondsOf([&] {
    try {
      TimedMatch(subject.data(), subject.data() + subject.size(), results, e, MatchTimeLimit,
                 boost::match_not_dot_newline);
    } catch (const bad_expression& error) {
      message = error.what();
    }
  });
  EXPECT_EQ(message, "Matching timeout");
  EXPECT_GE(ms, 500.0);
  EXPECT_LT(ms, 600.0);
}

TEST(TimedMatchRealClockTest, BoostsOwnComplexityBoundRaisesTheSameErrorType) {
  // Short and unpadded: Boost gives up long before the limit, with its own message.
  const Expression e = CompilePattern("(x+x+)+y", false);
  const std::string subject(30, 'x');
  MatchResults results;
  std::string message;
  const double ms = MillisecondsOf([&] {
    try {
      TimedMatch(subject.data(), subject.data() + subject.size(), results, e, MatchTimeLimit,
                 boost::match_not_dot_newline);
    } catch (const bad_expression& error) {
      message = error.what();
    }
  });
  EXPECT_FALSE(message.empty());
  EXPECT_NE(message, "Matching timeout");
  EXPECT_LT(ms, 500.0);
}

TEST(TimedMatchRealClockTest, ATimeoutOnOneThreadLeavesOthersAlone) {
  // Threads share one expression; each has its own deadline. The slow thread drives the
  // padded catastrophic branch, the others match the short branch again and again.
  const Expression shared =
      CompilePattern("(?:(x+x+)+y" + std::string(3000, 'z') + ")|/(\\w+)/(\\w+)", false);
  std::atomic<bool> slowDone{false};
  std::atomic<int> quickMatches{0};
  std::atomic<int> quickErrors{0};
  std::string slowMessage;
  std::thread slow([&] {
    const std::string subject(40, 'x');
    MatchResults results;
    try {
      TimedMatch(subject.data(), subject.data() + subject.size(), results, shared, MatchTimeLimit,
                 boost::match_not_dot_newline);
    } catch (const bad_expression& error) {
      slowMessage = error.what();
    }
    slowDone = true;
  });
  std::vector<std::thread> quick;
  for (int t = 0; t < 3; ++t) {
    quick.emplace_back([&] {
      const std::string subject = "/a/b";
      MatchResults results;
      while (!slowDone) {
        try {
          if (TimedMatch(subject.data(), subject.data() + subject.size(), results, shared,
                         MatchTimeLimit, boost::match_not_dot_newline) &&
              results[3].str() == "b") {
            ++quickMatches;
          }
        } catch (const bad_expression&) {
          ++quickErrors;
        }
      }
    });
  }
  slow.join();
  for (std::thread& t : quick) t.join();
  EXPECT_EQ(slowMessage, "Matching timeout");
  EXPECT_GT(quickMatches.load(), 0);
  EXPECT_EQ(quickErrors.load(), 0);
}

}  // namespace
}  // namespace vortane
