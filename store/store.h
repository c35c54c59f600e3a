// Start-up and shutdown of the configuration store, and its two background threads.
//
//   - The expiry thread wakes once per cache clock period (or at once when a global
//     CacheClockRate line is parsed) and removes every configuration idle for a period.
//   - The site-change thread listens to the web server's site-change notifications and drops
//     the configuration of each site reported, so the next request resolves its path again.
//
// Each start does nothing while its part runs and each stop nothing while it is stopped, so
// repeated or crossing calls are harmless. Stops wait for their thread without a time limit.
// Start order: store, then site-change thread; stop order: site-change thread, then store.
#pragma once

#include "platform/system.h"

namespace vortane {

// Saves the module handle, computes the global configuration path, and starts the expiry
// thread. False, with nothing started, when the module's file name cannot be read.
bool StartConfigStore(platform::ModuleHandle module);
// Stops the expiry thread and empties the cache.
void ShutdownConfigStore();

// Starts the site-change thread. It ends quietly when no notifications can be had.
void StartSiteChangeThread();
// Asks the site-change thread to end and waits for it.
void StopSiteChangeThread();

}  // namespace vortane
