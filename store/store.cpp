#include "store/store.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "config/parser.h"
#include "config/site_config.h"
#include "platform/site_changes.h"
#include "platform/sync.h"
#include "store/config_cache.h"

namespace vortane {
namespace {

// The store's process-wide state. Built on first use (by the first start), so that it
// outlives whatever stops the store when the library is unloaded.
struct StoreState {
  // Start and stop run on the loader's or the server's thread, one at a time; the mutex
  // makes crossing calls safe all the same.
  std::mutex lifecycle;

  bool storeRunning = false;
  // Waited on by the expiry thread: a pulse (a new cache clock rate) wakes it to sweep, a
  // lasting signal with expiryStop set asks it to end. The flag tells the two apart, since
  // a pulse that crosses the stop may leave the event unsignalled.
  std::unique_ptr<platform::Event> cacheClockEvent;
  std::atomic<bool> expiryStop{false};
  std::unique_ptr<platform::Thread> expiryThread;

  bool siteChangeRunning = false;
  std::unique_ptr<platform::Event> siteChangeStopEvent;
  std::unique_ptr<platform::Thread> siteChangeThread;
};

StoreState& State() {
  static StoreState state;
  return state;
}

void ExpiryThread(platform::Event& event, const std::atomic<bool>& stop) {
  for (;;) {
    event.Wait(LoadCacheClockRate().cacheClockRateMs);
    if (stop.load()) return;
    const uint64_t cutoff = platform::SystemFileTime() - LoadCacheClockRate().cacheClockRateTicks;
    TheConfigCache().Sweep(cutoff);
  }
}

void SiteChangeThread(platform::Event& stop, const platform::PathString& tableDirectory) {
  platform::SiteChangeSource source(tableDirectory);
  if (!source.IsOpen() || !source.StartWatching()) return;
  while (!stop.IsSet()) {
    uint32_t siteId = 0;
    const platform::SiteChangeSource::Wait outcome = source.WaitForChange(siteId);
    if (outcome == platform::SiteChangeSource::Wait::End) break;
    if (outcome == platform::SiteChangeSource::Wait::Changed) TheConfigCache().Drop(siteId);
  }
  source.StopWatching();
}

void PulseCacheClock() {
  if (State().cacheClockEvent) State().cacheClockEvent->Pulse();
}

void LowerCachedRepeatLimits(int32_t limit) {
  TheConfigCache().LowerRepeatLimits(limit);
}

}  // namespace

bool StartConfigStore(platform::ModuleHandle module) {
  StoreState& state = State();
  std::lock_guard<std::mutex> guard(state.lifecycle);
  if (state.storeRunning) return true;
  TheConfigCache().SetModuleHandle(reinterpret_cast<uintptr_t>(module));
  if (!ComputeGlobalConfigPath(module)) return false;
  state.cacheClockEvent = std::make_unique<platform::Event>();
  SetStoreHooks({&LowerCachedRepeatLimits, &PulseCacheClock});
  state.expiryThread = std::make_unique<platform::Thread>();
  platform::Event* event = state.cacheClockEvent.get();
  state.expiryStop = false;
  state.expiryThread->Start([event, &state] { ExpiryThread(*event, state.expiryStop); });
  state.storeRunning = true;
  return true;
}

void ShutdownConfigStore() {
  StoreState& state = State();
  std::lock_guard<std::mutex> guard(state.lifecycle);
  if (!state.storeRunning) return;
  state.expiryStop = true;
  state.cacheClockEvent->Set();
  state.expiryThread->Join();
  state.expiryThread.reset();
  SetStoreHooks({});
  state.cacheClockEvent.reset();
  TheConfigCache().Clear();
  state.storeRunning = false;
}

void StartSiteChangeThread() {
  StoreState& state = State();
  std::lock_guard<std::mutex> guard(state.lifecycle);
  if (state.siteChangeRunning) return;
  const platform::PathString& global = GlobalConfigPath();
  const platform::PathString tableDirectory =
      global.substr(0, global.rfind(platform::kPathSeparator));
  state.siteChangeStopEvent = std::make_unique<platform::Event>();
  state.siteChangeThread = std::make_unique<platform::Thread>();
  platform::Event* stop = state.siteChangeStopEvent.get();
  state.siteChangeThread->Start(
      [stop, tableDirectory] { SiteChangeThread(*stop, tableDirectory); });
  state.siteChangeRunning = true;
}

void StopSiteChangeThread() {
  StoreState& state = State();
  std::lock_guard<std::mutex> guard(state.lifecycle);
  if (!state.siteChangeRunning) return;
  state.siteChangeStopEvent->Set();
  state.siteChangeThread->Join();
  state.siteChangeThread.reset();
  state.siteChangeStopEvent.reset();
  state.siteChangeRunning = false;
}

}  // namespace vortane
