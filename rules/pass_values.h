// The values one rule pass reads from the server, read once each.
//
// Rules of one configuration read the same few values again and again: about every rule the
// URL, many the same headers. Inside the web server each read is a call into its request
// object. A pass therefore keeps every value it has read and hands it to the next rule that
// reads it, until the pass itself writes to something the value derives from:
//   - a write to a request item or header drops the cached reads of that item or header
//     (its name compared without letter case or a trailing colon, so "url" and "URL:" count
//     as the URL), and every cached server variable, since the server derives some of them
//     from headers (HTTP_<NAME>, ALL_HTTP), the URL (URL, QUERY_STRING, PATH_INFO), the
//     method and the version, and others it may derive in ways the filter cannot know;
//   - a write drops them whether or not the server accepted it;
//   - nothing else drops a value: a restart keeps every value still valid.
// So every rule sees exactly what it would see reading afresh, at one server call per value
// per pass for a pass that writes nothing.
//
// Which values are the same is decided once, when a configuration is built: NumberValues gives
// each distinct value a rule list reads (GetHeader or GetServerVariable, its exact name, and
// whether it is normalised with O) a number, its slot, kept in the rule. A rule that was never
// numbered (kNoSlot) reads its values afresh, as before the cache. Slot kUrlSlot is the raw
// URL item, which the index and REQUEST_FILENAME read too.
//
// A PassValues belongs to one pass on one thread; its views stay valid until the pass writes
// (Wrote) or, for a value read without a slot, until the next read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "platform/isapi.h"
#include "rules/rule.h"
#include "rules/server_values.h"

namespace vortane {

// The raw URL item, read with GetHeader("URL"): numbered first in every rule list.
inline constexpr uint32_t kUrlSlot = 0;

// Gives every condition (other than REQUEST_FILENAME's) and every target of `rules` the slot
// of the value it reads; equal values get equal slots. Returns the rules. Cost: one hash
// look-up per value read, once per configuration.
std::vector<Rule> NumberValues(std::vector<Rule> rules);

// One value as a pass read it. `data` holds `length` bytes and a NUL after them.
struct PassValue {
  ValueRead read = ValueRead::Absent;
  const char* data = "";
  size_t length = 0;
  // For a normalised value, the length of its decoded part (the bytes before its query);
  // 0 for any other value.
  size_t decoded = 0;

  std::string_view View() const { return {data, length}; }
};

class PassValues {
 public:
  PassValues(HTTP_FILTER_CONTEXT* filterContext, HTTP_FILTER_PREPROC_HEADERS* preprocHeaders);
  PassValues(const PassValues&) = delete;
  PassValues& operator=(const PassValues&) = delete;

  // The value `name` (a server variable when `isServerVariable`, else a request item or
  // header), normalised (SF_REQ_NORMALIZE_URL) when `normalize`, as the server has it now:
  // from `slot` when that holds it, else read (one server call, two for a value of 4096
  // bytes or more, one more to normalise) and kept in `slot`. An absent value, and one whose
  // normalisation the server refuses, reads as empty; one longer than kValueLimit as TooLong.
  PassValue Get(uint32_t slot, bool isServerVariable, std::string_view name, bool normalize) {
    // A value the pass holds is the common case: inline.
    if (slot < entries_.size() && entries_[slot].valid) {
      const Entry& entry = entries_[slot];
      return {entry.read, entry.data, entry.length, entry.decoded};
    }
    return Fetch(slot, isServerVariable, name, normalize);
  }

  // The raw URL item.
  PassValue Url() { return Get(kUrlSlot, false, kUrlName, false); }

  // Whether a value Get returned for `slot` stays valid across later reads (until a write).
  static bool Keeps(uint32_t slot) { return slot != kNoSlot; }

  // The pass is about to write `item` (SetHeader): drops what the write may change.
  void Wrote(std::string_view item);

  static constexpr std::string_view kUrlName = "URL";

  // The server the values come from, for the pass's writes.
  HTTP_FILTER_CONTEXT* Context() const { return filterContext_; }
  HTTP_FILTER_PREPROC_HEADERS* Headers() const { return preprocHeaders_; }

 private:
  struct Entry {
    bool valid = false;
    bool isServerVariable = false;
    ValueRead read = ValueRead::Absent;
    std::string_view name;  // the rule's (or kUrlName), alive for the pass
    char* data = nullptr;   // `capacity` bytes of the blocks
    size_t capacity = 0;
    size_t length = 0;
    size_t decoded = 0;
  };

  // Get for a value the pass does not hold.
  PassValue Fetch(uint32_t slot, bool isServerVariable, std::string_view name, bool normalize);
  PassValue ReadFromServer(bool isServerVariable, std::string_view name, bool normalize);
  char* Store(Entry& entry, size_t size);

  HTTP_FILTER_CONTEXT* filterContext_;
  HTTP_FILTER_PREPROC_HEADERS* preprocHeaders_;
  // Where a value is read first; it is then copied into its entry's own space.
  ValueBuffer read_;
  // By slot, grown as slots are first used; a configuration's usual few inside the pass.
  boost::container::small_vector<Entry, 32> entries_;
  // The entries' bytes: the first block inside the pass, then blocks that never move, so a
  // kept value's view stays valid.
  char firstBlock_[1024];
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = firstBlock_;
  size_t freeSize_ = sizeof firstBlock_;
};

}  // namespace vortane
