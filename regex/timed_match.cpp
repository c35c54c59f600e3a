#include "regex/timed_match.h"

#include "platform/tick.h"

namespace vortane {

// One deadline per thread, constant-initialised so that reaching it needs no guard.
#if VORTANE_DEADLINE_IN_TLS
thread_local MatchDeadline threadMatchDeadline
    __attribute__((tls_model("initial-exec"))) = {kStepsPerClockRead, 0, 0, false, false};
#else
namespace {
thread_local MatchDeadline threadMatchDeadline = {kStepsPerClockRead, 0, 0, false, false};
}  // namespace
#endif

namespace {

// Disarms the thread's deadline on every way out of TimedMatch, the exceptional ones
// included, so that iterators left in the results never throw later.
class ArmedDeadline {
 public:
  ArmedDeadline(MatchDeadline& deadline, uint32_t limit) : deadline_(deadline) {
    deadline_.stepsLeft = kStepsPerClockRead;
    deadline_.limit = limit;
    deadline_.armed = limit != NoTimeLimit;
    deadline_.started = false;
  }
  ~ArmedDeadline() { deadline_.armed = false; }
  ArmedDeadline(const ArmedDeadline&) = delete;
  ArmedDeadline& operator=(const ArmedDeadline&) = delete;

 private:
  MatchDeadline& deadline_;
};

}  // namespace

void MatchDeadline::Check() {
  stepsLeft = kStepsPerClockRead;
  if (!armed) return;
  const uint32_t now = platform::TickCount();
  if (!started) {
    start = now;
    started = true;
    return;
  }
  // Unsigned subtraction: right across a wrap of the tick counter.
  if (static_cast<uint32_t>(now - start) > limit) {
    armed = false;  // the matcher's clean-up may compare iterators again: never rethrow
    throw bad_expression("Matching timeout");
  }
}

bool TimedMatch(const char* first, const char* last, MatchResults& results,
                const Expression& expression, uint32_t limit, boost::match_flag_type flags) {
  if (!IsValid(expression)) return false;
  MatchDeadline* deadline = &threadMatchDeadline;
  ArmedDeadline armed(*deadline, limit);
  return boost::regex_match(SubjectIterator(first, deadline), SubjectIterator(last, deadline),
                            results, expression, flags);
}

}  // namespace vortane
