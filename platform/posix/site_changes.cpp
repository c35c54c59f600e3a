// The POSIX site-change source: a watcher of the site table that compares each read with the
// last one.
#include "platform/site_changes.h"

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/posix/join_signal.h"
#include "platform/posix/site_table.h"

namespace vortane::platform {

namespace {

// The table is read this often while WaitForChange waits...
constexpr auto kPollPeriod = std::chrono::milliseconds(200);
// ...and WaitForChange reports nothing after this long without a change.
constexpr auto kLongestWait = std::chrono::milliseconds(800);

}  // namespace

// The table's content is compared, not its modification time, whose granularity could hide
// two quick edits. A file caught half written may report sites that did not change; the
// only effect is a configuration loaded again.
struct SiteChangeSource::Native {
  PathString directory;
  bool watching = false;
  std::string text;                       // the table as last read
  std::map<uint32_t, std::string> sites;  // and its sites
  std::deque<uint32_t> pending;           // changed sites not yet reported
};

SiteChangeSource::SiteChangeSource(const PathString& tableDirectory) : native_(new Native) {
  native_->directory = tableDirectory;
}

SiteChangeSource::~SiteChangeSource() = default;

bool SiteChangeSource::IsOpen() const {
  return true;
}

namespace {

// Queues, in ascending order, each site that is in only one of the tables or whose root
// differs between them.
void QueueChangedSites(const std::map<uint32_t, std::string>& before,
                       const std::map<uint32_t, std::string>& after,
                       std::deque<uint32_t>& pending) {
  auto old = before.begin();
  auto now = after.begin();
  while (old != before.end() || now != after.end()) {
    if (now == after.end() || (old != before.end() && old->first < now->first)) {
      pending.push_back((old++)->first);
    } else if (old == before.end() || now->first < old->first) {
      pending.push_back((now++)->first);
    } else {
      if (old->second != now->second) pending.push_back(old->first);
      ++old;
      ++now;
    }
  }
}

// What a site's configuration depends on in the table, by site: its root, then each of its
// virtual folders in table order, so that a site whose root or folders changed differs.
std::map<uint32_t, std::string> SitesOf(std::string_view text) {
  std::map<uint32_t, std::string> sites = ParseSiteTable(text);
  std::set<std::pair<uint32_t, std::string>> seen;  // the first line for a prefix counts
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line[0] == '#') continue;
    const std::optional<VirtualFolderLine> folder = ParseVirtualFolderLine(line);
    if (folder && seen.emplace(folder->siteId, folder->urlPrefix).second) {
      std::string& entry = sites[folder->siteId];
      entry += '\n';
      entry += folder->urlPrefix;
      entry += ' ';
      entry += folder->folder;
    }
  }
  return sites;
}

}  // namespace

bool SiteChangeSource::StartWatching() {
  native_->text = ReadSiteTableText(native_->directory);
  native_->sites = SitesOf(native_->text);
  native_->pending.clear();
  native_->watching = true;
  return true;
}

SiteChangeSource::Wait SiteChangeSource::WaitForChange(uint32_t& siteId) {
  if (!native_->watching) return Wait::End;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (native_->pending.empty()) {
      std::string text = ReadSiteTableText(native_->directory);
      if (text != native_->text) {
        std::map<uint32_t, std::string> sites = SitesOf(text);
        QueueChangedSites(native_->sites, sites, native_->pending);
        native_->text = std::move(text);
        native_->sites = std::move(sites);
      }
    }
    if (!native_->pending.empty()) {
      siteId = native_->pending.front();
      native_->pending.pop_front();
      return Wait::Changed;
    }
    if (std::chrono::steady_clock::now() - start >= kLongestWait) return Wait::Nothing;
    // A thread being joined is being stopped: let its caller see the stop request now.
    if (!SleepUnlessJoined(kPollPeriod)) return Wait::Nothing;
  }
}

void SiteChangeSource::StopWatching() {
  native_->watching = false;
  native_->pending.clear();
}

}  // namespace vortane::platform
