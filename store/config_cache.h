// The cache of loaded configurations, one per web site (0: the global one). The
// configuration store (store/store.h) owns the one the filter uses.
//
// Requests share each SiteConfig through counted references (SiteConfigRef): the cache's
// entry holds one, and every running rule pass holds its own, so removing an entry never
// disturbs a pass. Each use checks the file's stamp (platform::FileStamp: last-write time,
// size and, on POSIX, change time and identity) and drops the entry when it changed, so the
// next request loads the file again. A configuration whose file had last been written less
// than platform::kFileTimeStep (2 s) before its load is provisional: the file may have been
// written again within the same step of the file system's clock without its stamp showing
// it (a save in place caught half written), so the first check after that window has passed
// drops it all the same, once. Loading runs outside the cache's lock,
// serialised per site by a named mutex: concurrent first requests for one site load it once
// and requests for other sites are not held up.
//
// Lock order: the load mutex before the cache's lock (cacheLock_). The lock is held only for
// map operations, reference copies and lastUse updates, never during file access, loading,
// waits or rule passes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "config/parser.h"
#include "config/site_config.h"
#include "platform/files.h"

namespace vortane {

// A counted reference to a SiteConfig. The counter is shared by every copy and changed only
// atomically; the release that brings it to 0 destroys the configuration. It hands the
// configuration out const: nothing changes it once built but its atomic bookkeeping.
class SiteConfigRef {
 public:
  SiteConfigRef() = default;
  // The first reference to a new configuration (counter 1); takes ownership.
  explicit SiteConfigRef(const SiteConfig* config);
  SiteConfigRef(const SiteConfigRef& other);
  SiteConfigRef& operator=(const SiteConfigRef& other);
  virtual ~SiteConfigRef();

  const SiteConfig* get() const { return object; }
  const SiteConfig* operator->() const { return object; }
  explicit operator bool() const { return object != nullptr; }

 private:
  void Release();

  const SiteConfig* object = nullptr;
  std::atomic<int32_t>* count = nullptr;
};

class ConfigCache {
 public:
  // Builds the configuration of a site (the store's loads it from its file and applies the
  // global file's settings); ownership passes to the cache. Runs outside the cache lock,
  // under the site's load mutex, so it may take the cache lock itself (LowerRepeatLimits).
  // May throw: the request then runs no rules for the site.
  using Loader = std::function<SiteConfig*(uint32_t siteId)>;

  // An empty cache whose load mutex names carry `moduleHandle` (the library's own handle).
  explicit ConfigCache(Loader loader, uint64_t moduleHandle = 0);
  ConfigCache(const ConfigCache&) = delete;
  ConfigCache& operator=(const ConfigCache&) = delete;

  // The configuration of `siteId` for one rule pass, loading it when it is not cached. The
  // caller holds the reference for the whole pass. Empty when loading failed: the pass then
  // runs no rules, and no entry is left behind. A configuration whose file exists but could
  // not be read (SiteConfig::unreadable) is not cached: the request runs the rules the file
  // had before it changed, when a freshness check replaced a configuration of it, and gets
  // the unreadable configuration otherwise (no rules; the request handling answers it with
  // a 500).
  SiteConfigRef Acquire(uint32_t siteId);
  // Removes the entry of `siteId`, if any.
  void Drop(uint32_t siteId);
  // Removes every entry whose configuration was last used at or before `cutoff`.
  void Sweep(uint64_t cutoff);
  // Removes every entry; for shutdown, when no request runs.
  void Clear();
  // Lowers to `limit` the repeat limit of every cached configuration above it, under the
  // cache lock.
  void LowerRepeatLimits(int32_t limit);

  size_t Size() const;
  // Replaces how configurations are built, for tests that count, fail or make up loads.
  // Not while a request runs.
  void SetLoaderForTesting(Loader loader) { loader_ = std::move(loader); }
  // How freshness checks read a file's stamp (platform::ReadFileStamp) and the time (a file
  // time; platform::SystemFileTime) that decides when a provisional configuration is read
  // again. Tests replace them to make up files and to pass the window without waiting. Not
  // while a request runs.
  using StampReader = std::function<std::optional<platform::FileStamp>(const platform::PathString&,
                                                                       platform::StampDepth)>;
  using Clock = std::function<uint64_t()>;
  // And how the bytes of a provisional configuration's file are read again (ReadConfigDigest).
  using DigestReader = std::function<std::optional<FileDigest>(const platform::PathString&)>;
  void SetFileAccessForTesting(StampReader readStamp, Clock clock,
                               DigestReader readDigest = &ReadConfigDigest) {
    readStamp_ = std::move(readStamp);
    clock_ = std::move(clock);
    readDigest_ = std::move(readDigest);
  }

  // The load mutex name of `siteId` in this process and module.
  std::wstring LoadMutexName(uint32_t siteId) const;

 private:
  SiteConfigRef Load(uint32_t siteId);
  void CheckFreshness(uint32_t siteId, const SiteConfigRef& found);
  // True when `config` still shows its file: the same stamp, not provisional past its window.
  // Cost: one stamp read (POSIX stat, Windows GetFileAttributesExW); on Windows, at most once
  // per kFileTimeStep per configuration, one more that opens the file for its identity.
  bool IsFresh(const SiteConfig& config) const;

  mutable std::mutex cacheLock_;
  std::map<uint32_t, SiteConfigRef> entries_;
  // Configurations a freshness check found out of date, until a load of their file has
  // read it: while the file cannot be read (it is being replaced, or descriptors ran out),
  // requests run these rules rather than none.
  std::map<uint32_t, SiteConfigRef> replaced_;
  Loader loader_;
  StampReader readStamp_;
  Clock clock_;
  DigestReader readDigest_;
  const uint64_t moduleHandle_;
};

}  // namespace vortane
