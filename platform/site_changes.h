// The source of site-change notifications: which web sites' settings changed in the web
// server's configuration, so that the store drops what it loaded for them.
//
// Windows (platform/win32/site_changes.cpp): the in-process COM component
// {27C3B8ED-0790-42BD-9AD7-18465E7F7696}, asked for the interface
// {A9E69612-B80D-11D0-B9B9-00A0C922E750}, whose slots 5, 6 and 7 are WaitForChange,
// StartWatching and StopWatching. POSIX (platform/posix/site_changes.cpp): a watcher of the
// site table `sites.txt` (see platform/posix/site_table.h), which reports each site whose line
// was added, removed or changed.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/system.h"

namespace vortane::platform {

// Reports web sites whose settings changed. A source is created, used and destroyed on one
// thread; no member is safe to call from another thread.
class SiteChangeSource {
 public:
  enum class Wait {
    Changed,  // a site changed: its number is in `siteId`
    Nothing,  // nothing to report yet; call again after checking for a stop
    End,      // no further notifications, or a failure: stop using the source
  };

  // Creates the source. IsOpen is false when it cannot be had (COM not initialised, the
  // component not registered). Windows: initialises COM on the calling thread (balanced by
  // the destructor) and creates the component; `tableDirectory` is not used. POSIX: only
  // remembers `tableDirectory`, the directory that holds `sites.txt`.
  explicit SiteChangeSource(const PathString& tableDirectory);
  ~SiteChangeSource();  // releases the component, then balances COM
  SiteChangeSource(const SiteChangeSource&) = delete;
  SiteChangeSource& operator=(const SiteChangeSource&) = delete;

  // True when the source can be used. Cheap.
  bool IsOpen() const;
  // Begins watching. False ends the use of the source (no StopWatching then). POSIX: reads
  // the table once (at most 1 MiB) as the state later reads are compared with.
  bool StartWatching();
  // Waits for a change. Returns Nothing at least once a second while nothing changes.
  // POSIX: reads the table about every 200 ms and returns Nothing after 800 ms without a
  // change; on a thread whose Thread is being joined it returns Nothing after one read,
  // without waiting. Sites changed together are reported one per call, in ascending order.
  Wait WaitForChange(uint32_t& siteId);
  // Ends watching; called once after the last WaitForChange when StartWatching succeeded.
  // POSIX: later waits return End.
  void StopWatching();

 private:
  struct Native;  // the backend's watcher, defined in its site_changes.cpp
  std::unique_ptr<Native> native_;
};

}  // namespace vortane::platform
