#include "rules/rule_index.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "platform/isapi.h"

namespace vortane {
namespace {

constexpr uint64_t kHashBasis = 14695981039346656037ull;  // FNV-1a, 64 bits
constexpr uint64_t kHashPrime = 1099511628211ull;

unsigned char Folded(unsigned char c) {
  return static_cast<unsigned char>(c + (static_cast<unsigned>(c - 'A') < 26u ? 'a' - 'A' : 0));
}

uint64_t HashStep(uint64_t hash, unsigned char folded) {
  return (hash ^ folded) * kHashPrime;
}

// Whether a pass may leave `rule` out when its URL does not start with the rule's prefix.
bool Indexable(const Rule& rule) {
  return rule.conditions.empty() && IsUrlItem(rule.target) &&
         (rule.Flags() & RuleFlag::Normalize) == 0 && rule.HasValidPattern() &&
         !rule.joinedPattern.prefilter().prefix.empty();
}

}  // namespace

RuleIndex::RuleIndex(const std::vector<Rule>& rules) : ruleCount_(rules.size()) {
  // Positions are 32 bits; a configuration that large is visited whole.
  if (rules.size() >= std::numeric_limits<uint32_t>::max()) {
    ruleCount_ = 0;
    return;
  }
  std::vector<std::pair<std::string, uint32_t>> entries;
  for (uint32_t i = 0; i < rules.size(); ++i) {
    if (!Indexable(rules[i])) {
      always_.push_back(i);
      continue;
    }
    const Prefilter& prefilter = rules[i].joinedPattern.prefilter();
    std::string key = prefilter.prefix;
    for (char& c : key) c = static_cast<char>(Folded(static_cast<unsigned char>(c)));
    if (prefilter.ignoreCase) longestFoldedKey_ = std::max(longestFoldedKey_, key.size());
    entries.emplace_back(std::move(key), i);
    lastIndexed_ = i;
  }
  // By key, then by position: each key's rules end up together and in file order.
  std::sort(entries.begin(), entries.end());
  members_.reserve(entries.size());
  for (size_t e = 0; e < entries.size(); ++e) {
    const std::string& text = entries[e].first;
    if (e == 0 || text != entries[e - 1].first) {
      uint64_t hash = kHashBasis;
      for (char c : text) hash = HashStep(hash, static_cast<unsigned char>(c));
      keys_.push_back({hash, static_cast<uint32_t>(texts_.size()),
                       static_cast<uint32_t>(text.size()), static_cast<uint32_t>(members_.size()),
                       0});
      texts_ += text;
    }
    members_.push_back(entries[e].second);
    ++keys_.back().count;
  }
  if (keys_.empty()) return;
  if (ruleCount_ <= RuleCursor::kBitmapRules) {
    alwaysBits_.assign((ruleCount_ + 63) / 64, 0);
    for (const uint32_t i : always_) alwaysBits_[i / 64] |= uint64_t{1} << (i % 64);
  }
  size_t slots = 4;
  while (slots < keys_.size() * 2) slots *= 2;
  slots_.assign(slots, 0);
  for (uint32_t k = 0; k < keys_.size(); ++k) {
    size_t slot = keys_[k].hash & (slots - 1);
    while (slots_[slot] != 0) slot = (slot + 1) & (slots - 1);
    slots_[slot] = k + 1;
    lengths_.push_back(keys_[k].length);
  }
  std::sort(lengths_.begin(), lengths_.end());
  lengths_.erase(std::unique(lengths_.begin(), lengths_.end()), lengths_.end());
}

const RuleIndex::Key* RuleIndex::Find(uint64_t hash, const char* url, size_t length) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
    const Key& key = keys_[slots_[slot] - 1];
    if (key.hash != hash || key.length != length) continue;
    const char* text = texts_.data() + key.text;
    size_t n = 0;
    while (n < length && Folded(static_cast<unsigned char>(url[n])) == text[n]) ++n;
    if (n == length) return &key;
  }
  return nullptr;
}

RuleCursor::RuleCursor(const RuleIndex& index) : index_(index) {}

void RuleCursor::LookUp(std::string_view url) {
  all_ = true;
  lists_ = 0;
  last_ = 0;
  seek_ = true;
  const std::vector<uint32_t>& always = index_.always_;
  list_[lists_++] = {always.data(), always.data(), always.data() + always.size()};
  if (!index_.Indexes()) return;
  bitmap_ = !index_.alwaysBits_.empty();
  if (bitmap_) std::copy(index_.alwaysBits_.begin(), index_.alwaysBits_.end(), bits_.begin());
  // A byte a case-insensitive key might fold onto a letter of: the folded hash cannot see it.
  unsigned char high = 0;
  for (size_t n = 0; n < std::min(url.size(), index_.longestFoldedKey_); ++n) {
    high |= static_cast<unsigned char>(url[n]);
  }
  if ((high & 0x80) != 0) return;
  uint64_t hash = kHashBasis;
  size_t hashed = 0;
  for (const uint32_t length : index_.lengths_) {
    if (length > url.size()) break;
    for (; hashed < length; ++hashed) {
      hash = HashStep(hash, Folded(static_cast<unsigned char>(url[hashed])));
    }
    const RuleIndex::Key* key = index_.Find(hash, url.data(), length);
    if (key == nullptr) continue;
    if (bitmap_) {
      for (uint32_t m = key->first; m < key->first + key->count; ++m) {
        const uint32_t i = index_.members_[m];
        bits_[i / 64] |= uint64_t{1} << (i % 64);
      }
      continue;
    }
    if (lists_ == kMaxLists) return;
    const uint32_t* first = index_.members_.data() + key->first;
    list_[lists_++] = {first, first, first + key->count};
  }
  all_ = false;
}

size_t RuleCursor::Next(size_t from) {
  const size_t count = index_.RuleCount();
  if (all_ || from >= count) {
    last_ = from;
    return std::min(from, count);
  }
  if (bitmap_) {
    size_t word = from / 64;
    uint64_t bits = bits_[word] & (~uint64_t{0} << (from % 64));
    const size_t words = index_.alwaysBits_.size();
    while (bits == 0) {
      if (++word == words) return count;
      bits = bits_[word];
    }
    return word * 64 + static_cast<size_t>(__builtin_ctzll(bits));
  }
  // After a lookup or a restart the lists are searched; otherwise they only move on.
  const bool seek = seek_ || from < last_;
  seek_ = false;
  last_ = from;
  size_t next = count;
  for (size_t l = 0; l < lists_; ++l) {
    List& list = list_[l];
    if (seek) {
      list.at = std::lower_bound(list.begin, list.end, static_cast<uint32_t>(from));
    } else {
      while (list.at != list.end && *list.at < from) ++list.at;
    }
    if (list.at != list.end) next = std::min<size_t>(next, *list.at);
  }
  return next;
}

}  // namespace vortane
