// An index of a configuration's rules by the literal their URL must start with, so that a
// pass over thousands of one-to-one redirects visits only the few that can match a URL.
//
// A rule is indexed when its subject is the URL alone and every subject it can match starts
// with a known literal: it has no conditions, its target is the URL item, it does not
// normalise the URL first (O), its pattern is valid and its prefilter (regex/prefilter.h)
// has a prefix. Such a rule cannot match a URL that does not start with that prefix, so a
// pass may leave it out, exactly as if it had been evaluated to NoMatch. Every other rule is
// always visited.
//
// Keys are the prefixes with ASCII letters folded to lower case, whatever the rule's I: a
// case-sensitive rule is then a candidate for a URL that differs from its prefix only in
// case, and its prefilter rejects it as before. Rules with the same key share one list.
// A lookup hashes the folded URL one byte at a time and probes the table only at the lengths
// some key has, so it costs one step per URL byte up to the longest key it reaches, plus one
// probe per distinct key length, whatever the number of rules.
//
// Built once from a configuration's complete rules and then only read: safe to share between
// threads without a lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rule.h"

namespace vortane {

class RuleIndex {
 public:
  // An index of nothing, built for no rules.
  RuleIndex() = default;
  // Indexes `rules`, which must be complete: the index refers to them by position. Linear in
  // the number of rules and the length of their prefixes, plus a sort of the keys;
  // allocates. Throws only on memory exhaustion.
  explicit RuleIndex(const std::vector<Rule>& rules);

  // The number of rules it was built for.
  size_t RuleCount() const { return ruleCount_; }
  // Whether some rule is indexed; without one, a pass gains nothing from a lookup.
  bool Indexes() const { return !keys_.empty(); }
  // The position of the last indexed rule (0 when none is): every rule after it is visited
  // whatever the URL.
  size_t LastIndexed() const { return lastIndexed_; }

 private:
  friend class RuleCursor;

  struct Key {
    uint64_t hash;    // of the folded text
    uint32_t text;    // offset of the folded text in texts_
    uint32_t length;  // of the text
    uint32_t first;   // offset of its rules in members_
    uint32_t count;   // how many rules have this key, in file order
  };

  // The key that the first `length` bytes of `url` spell, ASCII letters folded, and whose
  // text hashes to `hash`; null when there is none.
  const Key* Find(uint64_t hash, const char* url, size_t length) const;

  size_t ruleCount_ = 0;
  size_t lastIndexed_ = 0;
  // The rules that are not indexed, in file order: every pass visits them.
  std::vector<uint32_t> always_;
  std::vector<Key> keys_;
  std::string texts_;
  std::vector<uint32_t> members_;
  // Open addressing: key position + 1, 0 for an empty slot; a power of two in size.
  std::vector<uint32_t> slots_;
  // The lengths of the keys, each once, ascending.
  std::vector<uint32_t> lengths_;
  // For a configuration of at most RuleCursor::kBitmapRules rules, a bit per rule, set for
  // the rules every pass visits; empty for a larger one.
  std::vector<uint64_t> alwaysBits_;
  // The longest key of a case-insensitive rule: a URL byte of 0x80 or above before this
  // position may fold onto a letter of such a key (regex/prefilter.h), which the folded
  // lookup cannot see.
  size_t longestFoldedKey_ = 0;
};

// A cursor over the rules one pass visits, in file order: the index's always-visited rules
// and the candidates for the URL last looked up. Belongs to one pass; allocates nothing.
class RuleCursor {
 public:
  // Visits every rule of `index`'s configuration until the first lookup.
  explicit RuleCursor(const RuleIndex& index);

  // Visits, from now on, the always-visited rules and the rules whose key `url` starts
  // with. Falls back to visiting every rule when `url` holds a byte of 0x80 or above within
  // the longest case-insensitive key, or starts with more keys than a cursor can follow
  // (kMaxLists − 1, far more than real rule sets nest). Costs one step per byte of `url` up
  // to the longest key and one probe per distinct key length reached.
  void LookUp(std::string_view url);
  // Visits every rule from now on, as when the URL could not be read.
  void VisitAll() { all_ = true; }

  // The first rule at or after `from` that the pass visits; RuleCount() when none is left.
  // For a configuration of up to kBitmapRules rules, a scan of a bit per rule (a few steps);
  // for a larger one amortised constant per call while `from` grows, a binary search per
  // list after it falls (a restart).
  size_t Next(size_t from);

  static constexpr size_t kMaxLists = 16;
  // Configurations this small keep the rules to visit as a bit per rule: a lookup then costs
  // a copy of a few words and a bit per candidate, and a step costs a few instructions,
  // which keeps the index from costing a pass over realistic rules more than it saves.
  static constexpr size_t kBitmapRules = 512;

 private:
  static constexpr size_t kBitmapWords = kBitmapRules / 64;

  // Rule positions in ascending order, and how far the pass has got through them.
  struct List {
    const uint32_t* begin;
    const uint32_t* at;
    const uint32_t* end;
  };
  const RuleIndex& index_;
  bool all_ = true;
  bool seek_ = false;
  size_t lists_ = 0;
  size_t last_ = 0;                   // the `from` of the last call of Next
  std::array<List, kMaxLists> list_;  // the first lists_ are in use
  bool bitmap_ = false;               // the rules to visit are in bits_, not in the lists
  std::array<uint64_t, kBitmapWords> bits_;
};

}  // namespace vortane
