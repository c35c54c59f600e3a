#include "rules/pass_values.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "base/text.h"
#include "rules/rule.h"

namespace vortane {

namespace {

// The size of the first block of kept values; a pass that keeps more takes more.
constexpr size_t kBlockSize = 4096;

// The item or header a GetHeader/SetHeader name means, for comparing names: its trailing colon
// dropped.
std::string_view ItemOf(std::string_view name) {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return name;
}

}  // namespace

std::vector<Rule> NumberValues(std::vector<Rule> rules) {
  using Key = std::tuple<bool, std::string, bool>;  // server variable, name, normalised
  std::map<Key, uint32_t> slots{{Key{false, std::string(PassValues::kUrlName), false}, kUrlSlot}};
  const auto slotOf = [&slots](bool isServerVariable, const std::string& name, bool normalize) {
    return slots.try_emplace(Key{isServerVariable, name, normalize}, slots.size()).first->second;
  };
  for (Rule& rule : rules) {
    for (Condition& condition : rule.conditions) {
      if (condition.computed) continue;
      condition.slot = slotOf(condition.isServerVariable, condition.name,
                              (condition.flags & ConditionFlag::Normalize) != 0);
    }
    rule.targetSlot = slotOf(false, rule.target, (rule.Flags() & RuleFlag::Normalize) != 0);
  }
  return rules;
}

PassValues::PassValues(HTTP_FILTER_CONTEXT* filterContext,
                       HTTP_FILTER_PREPROC_HEADERS* preprocHeaders)
    : filterContext_(filterContext), preprocHeaders_(preprocHeaders) {}

PassValue PassValues::ReadFromServer(bool isServerVariable, std::string_view name, bool normalize) {
  const ServerRead read =
      isServerVariable ? filterContext_->GetServerVariable : preprocHeaders_->GetHeader;
  PassValue value;
  switch (ReadValue(read, filterContext_, ServerName(name), read_, 0, 0, value.length)) {
    case ValueRead::TooLong:
      value.read = ValueRead::TooLong;
      return value;
    case ValueRead::Absent:
      return value;
    case ValueRead::Read:
      value.read = ValueRead::Read;
      break;
  }
  if (normalize) {
    // The server decodes the part before the first raw "?" and keeps the rest as it is; the
    // query as read is kept after the value to find out whether it did.
    const size_t length = value.length;
    const void* mark = std::memchr(read_.Data(), '?', length);
    const size_t queryAt = mark == nullptr
                               ? length
                               : static_cast<size_t>(static_cast<const char*>(mark) - read_.Data());
    const size_t querySize = length - queryAt;
    // Area keeps the bytes before the offset it is given: the value and its NUL.
    char* queryCopy = read_.Area(length + 1, querySize);
    char* area = read_.Area(0, length + 1);
    std::memcpy(queryCopy, area + queryAt, querySize);
    const std::string_view query(queryCopy, querySize);
    if (!filterContext_->ServerSupportFunction(filterContext_, SF_REQ_NORMALIZE_URL, area, 0, 0)) {
      value.length = 0;
      area[0] = '\0';
    } else {
      // Normalising never lengthens a value; stay inside it if a server says otherwise.
      const void* end = std::memchr(area, '\0', length + 1);
      if (end != nullptr) value.length = static_cast<size_t>(static_cast<const char*>(end) - area);
      area[value.length] = '\0';
      const bool queryKept =
          query.size() <= value.length &&
          std::string_view(area + value.length - query.size(), query.size()) == query;
      // When the normalised value does not end with the query as it was read, the whole
      // value counts as decoded.
      value.decoded = queryKept ? value.length - query.size() : value.length;
    }
  }
  value.data = read_.Data();
  return value;
}

char* PassValues::Store(Entry& entry, size_t size) {
  // At least twice the entry's last space, so that a value that keeps growing across writes
  // takes no more than twice its largest size in all.
  const size_t wanted = std::max(size, 2 * entry.capacity);
  if (wanted > freeSize_) {
    const size_t block = std::max(wanted, kBlockSize);
    blocks_.push_back(std::make_unique<char[]>(block));
    free_ = blocks_.back().get();
    freeSize_ = block;
  }
  entry.data = free_;
  entry.capacity = wanted;
  free_ += wanted;
  freeSize_ -= wanted;
  return entry.data;
}

PassValue PassValues::Fetch(uint32_t slot, bool isServerVariable, std::string_view name,
                            bool normalize) {
  if (slot == kNoSlot) return ReadFromServer(isServerVariable, name, normalize);
  if (slot >= entries_.size()) entries_.resize(slot + 1);
  Entry& entry = entries_[slot];
  const PassValue value = ReadFromServer(isServerVariable, name, normalize);
  entry.valid = true;
  entry.isServerVariable = isServerVariable;
  entry.name = name;
  entry.read = value.read;
  entry.length = value.length;
  entry.decoded = value.decoded;
  // A value dropped by a write is read again into its old space when it fits.
  if (value.length + 1 > entry.capacity) Store(entry, value.length + 1);
  std::memcpy(entry.data, value.data, value.length + 1);
  return {entry.read, entry.data, entry.length, entry.decoded};
}

void PassValues::Wrote(std::string_view item) {
  for (Entry& entry : entries_) {
    if (entry.isServerVariable || EqualIgnoringAsciiCase(ItemOf(entry.name), ItemOf(item))) {
      entry.valid = false;
    }
  }
}

}  // namespace vortane
