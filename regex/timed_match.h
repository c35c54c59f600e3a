// Whole-subject matching with a time limit.
//
// TimedMatch is regex_match with one addition: a match that has run longer than `limit`
// milliseconds is abandoned with bad_expression("Matching timeout"). The clock is checked
// inside Boost's matcher, not around it: the subject is handed to Boost through
// SubjectIterator, whose comparisons count down a per-thread step budget, and every
// kStepsPerClockRead comparisons the tick count is read. Every state Boost's backtracking
// machine examines compares iterators (if only against the end of the subject), so even
// chains of zero-width alternatives that never touch the subject are caught.
//
// Cost: a decrement and a branch per iterator comparison, one clock read every
// kStepsPerClockRead comparisons, no allocation. A match that finishes within the first
// kStepsPerClockRead comparisons never reads the clock at all: the start tick is read at
// the first check, a few microseconds into the match, and the limit is counted from there.
//
// Boost may itself raise bad_expression while matching when its complexity or memory
// bounds are reached; that error leaves TimedMatch unchanged, and callers treat it exactly
// like the timeout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "regex/expression.h"

namespace vortane {

// The limit rule evaluation passes: 500 ms for one match.
inline constexpr uint32_t MatchTimeLimit = 500;
// The limit the configuration parser passes: since a match expires only when more than
// the limit has elapsed, this one never does.
inline constexpr uint32_t NoTimeLimit = 0xFFFFFFFF;
// Iterator comparisons between two reads of the clock.
inline constexpr uint32_t kStepsPerClockRead = 1024;

// The per-thread deadline of the match running on that thread. Internal to TimedMatch;
// visible only because SubjectIterator's inline comparisons count down its budget.
struct MatchDeadline {
  uint32_t stepsLeft;  // comparisons until the next Check
  uint32_t limit;      // milliseconds allowed
  uint32_t start;      // tick of the first check
  bool armed;          // a TimedMatch with a finite limit is running
  bool started;        // start holds a tick

  // Reads the clock when armed; throws bad_expression("Matching timeout") once more than
  // `limit` ms have elapsed since the first check. Resets the step budget.
  void Check();

  void Step() {
    if (--stepsLeft == 0) Check();
  }
};

// Where an iterator finds its thread's deadline. On ELF targets a thread_local in the
// initial-exec model costs one register-relative access, so the iterator stays a bare
// pointer and matching runs at the speed of a plain pointer match. Elsewhere (mingw-w64
// emulates thread_local with a function call) the iterator carries a pointer to the
// deadline, fetched once per match.
#if defined(__ELF__)
#define VORTANE_DEADLINE_IN_TLS 1
extern thread_local MatchDeadline threadMatchDeadline __attribute__((tls_model("initial-exec")));
#else
#define VORTANE_DEADLINE_IN_TLS 0
#endif

// A random-access iterator over the bytes of a subject whose comparisons count down the
// deadline of the thread that compares. Iterators kept in MatchResults after TimedMatch
// returns stay usable: their comparisons count against a disarmed deadline and never throw.
// Read them on another thread through base() only.
class SubjectIterator {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  SubjectIterator() = default;
  SubjectIterator(const char* position, MatchDeadline* deadline) : position_(position) {
#if VORTANE_DEADLINE_IN_TLS
    static_cast<void>(deadline);
#else
    deadline_ = deadline;
#endif
  }

  // The byte this iterator points at.
  const char* base() const {
    return position_;
  }

  reference operator*() const {
    return *position_;
  }
  pointer operator->() const {
    return position_;
  }
  reference operator[](difference_type n) const {
    return position_[n];
  }

  SubjectIterator& operator++() {
    ++position_;
    return *this;
  }
  SubjectIterator operator++(int) {
    SubjectIterator old = *this;
    ++position_;
    return old;
  }
  SubjectIterator& operator--() {
    --position_;
    return *this;
  }
  SubjectIterator operator--(int) {
    SubjectIterator old = *this;
    --position_;
    return old;
  }
  SubjectIterator& operator+=(difference_type n) {
    position_ += n;
    return *this;
  }
  SubjectIterator& operator-=(difference_type n) {
    position_ -= n;
    return *this;
  }
  friend SubjectIterator operator+(SubjectIterator it, difference_type n) {
    return it += n;
  }
  friend SubjectIterator operator+(difference_type n, SubjectIterator it) {
    return it += n;
  }
  friend SubjectIterator operator-(SubjectIterator it, difference_type n) {
    return it -= n;
  }
  friend difference_type operator-(const SubjectIterator& a, const SubjectIterator& b) {
    return a.position_ - b.position_;
  }

  friend bool operator==(const SubjectIterator& a, const SubjectIterator& b) {
    a.Step();
    return a.position_ == b.position_;
  }
  friend bool operator!=(const SubjectIterator& a, const SubjectIterator& b) {
    a.Step();
    return a.position_ != b.position_;
  }
  friend bool operator<(const SubjectIterator& a, const SubjectIterator& b) {
    a.Step();
    return a.position_ < b.position_;
  }
  friend bool operator>(const SubjectIterator& a, const SubjectIterator& b) {
    return b < a;
  }
  friend bool operator<=(const SubjectIterator& a, const SubjectIterator& b) {
    return !(b < a);
  }
  friend bool operator>=(const SubjectIterator& a, const SubjectIterator& b) {
    return !(a < b);
  }

 private:
#if VORTANE_DEADLINE_IN_TLS
  void Step() const {
    threadMatchDeadline.Step();
  }
  const char* position_ = nullptr;
#else
  void Step() const {
    if (deadline_ != nullptr) deadline_->Step();
  }
  const char* position_ = nullptr;
  MatchDeadline* deadline_ = nullptr;
#endif
};

// Capture groups of a TimedMatch: group 0 is the whole subject, then groups 1..k.
using MatchResults = boost::match_results<SubjectIterator>;

// Matches `expression` against the whole range [first, last).
//
// Returns true when it matches the entire range, filling `results`; false when it does
// not (results are then unspecified), and false at once, without reading the clock, when
// `expression` is in an error state. Throws bad_expression("Matching timeout") when more
// than `limit` ms elapse (never with NoTimeLimit), and lets through any bad_expression
// Boost raises for its own complexity or memory bounds. `flags` is passed to Boost as it
// is (the filter always passes match_not_dot_newline); the whole-subject requirement is
// added by the match itself. No allocation beyond what regex_match makes; no memory
// outlives an abandoned match.
//
// Thread-safe: `expression` is only read, and each thread has its own deadline. Not
// reentrant on one thread, which cannot happen since the matcher calls out only to
// SubjectIterator.
bool TimedMatch(const char* first, const char* last, MatchResults& results,
                const Expression& expression, uint32_t limit, boost::match_flag_type flags);

}  // namespace vortane
