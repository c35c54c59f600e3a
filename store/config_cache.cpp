#include "store/config_cache.h"

#include <cwchar>
#include <utility>

#include "platform/files.h"
#include "platform/sync.h"
#include "platform/system.h"

namespace vortane {
namespace {

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

}  // namespace

SiteConfigRef::SiteConfigRef(const SiteConfig* config)
    : object(config), count(config != nullptr ? new std::atomic<int32_t>(1) : nullptr) {}

SiteConfigRef::SiteConfigRef(const SiteConfigRef& other)
    : object(other.object), count(other.count) {
  if (count != nullptr) count->fetch_add(1, std::memory_order_relaxed);
}

SiteConfigRef& SiteConfigRef::operator=(const SiteConfigRef& other) {
  if (this != &other) {
    Release();
    object = other.object;
    count = other.count;
    if (count != nullptr) count->fetch_add(1, std::memory_order_relaxed);
  }
  return *this;
}

SiteConfigRef::~SiteConfigRef() {
  Release();
}

void SiteConfigRef::Release() {
  // acq_rel: the thread that destroys the configuration sees every other thread's use of it.
  if (count != nullptr && count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete object;
    delete count;
  }
  object = nullptr;
  count = nullptr;
}

ConfigCache::ConfigCache(Loader loader, uint64_t moduleHandle)
    : loader_(std::move(loader)),
      readStamp_(&platform::ReadFileStamp),
      clock_(&platform::SystemFileTime),
      readDigest_(&ReadConfigDigest),
      moduleHandle_(moduleHandle) {}

std::wstring ConfigCache::LoadMutexName(uint32_t siteId) const {
  wchar_t name[80];
  std::swprintf(name, 80, L"{2206E720-4148-4003-9C1F-E8D23B97EC94}%u-%u-%u",
                static_cast<unsigned>(platform::CurrentProcessId()),
                static_cast<unsigned>(static_cast<uint32_t>(moduleHandle_)),
                static_cast<unsigned>(siteId));
  return name;
}

SiteConfigRef ConfigCache::Acquire(uint32_t siteId) {
  SiteConfigRef found;
  {
    std::lock_guard<std::mutex> guard(cacheLock_);
    const auto entry = entries_.find(siteId);
    if (entry != entries_.end()) found = entry->second;
  }
  if (!found) return Load(siteId);
  CheckFreshness(siteId, found);
  return found;
}

bool ConfigCache::IsFresh(const SiteConfig& config) const {
  std::optional<platform::FileStamp> current =
      readStamp_(config.path, platform::StampDepth::Attributes);
  if (current.has_value() != config.stamp.has_value()) return false;  // created or deleted
  if (!current) return true;                                          // still no file
  if (!platform::SameVersion(*config.stamp, *current)) return false;
  const uint64_t now = clock_();
  const uint64_t provisionalUntil = config.provisionalUntil.load(std::memory_order_relaxed);
  if (provisionalUntil != 0 && now >= provisionalUntil) {
    // The window has passed, so any later write gets a later time. The bytes tell whether
    // the load read the file whole: when they are the ones parsed, the configuration stays
    // (with the rules a timeout switched off still off) and is trusted from now on.
    const std::optional<FileDigest> read = readDigest_(config.path);
    if (!read || read->digest != config.digest || !read->stamp ||
        !platform::SameVersion(*config.stamp, *read->stamp)) {
      return false;
    }
    config.provisionalUntil.store(0, std::memory_order_relaxed);
  }
  if (!current->hasIdentity && config.stamp->hasIdentity &&
      now >= config.identityCheckDue.load(std::memory_order_relaxed)) {
    // A file renamed over the name with the same time and size shows only in its identity,
    // which this system gives only to an open: looked at once per step, not per request.
    config.identityCheckDue.store(SaturatingAdd(now, platform::kFileTimeStep),
                                  std::memory_order_relaxed);
    current = readStamp_(config.path, platform::StampDepth::WithIdentity);
    if (!current || !platform::SameVersion(*config.stamp, *current)) return false;
  }
  return true;
}

void ConfigCache::CheckFreshness(uint32_t siteId, const SiteConfigRef& found) {
  const bool fresh = IsFresh(*found.get());  // outside the lock
  std::lock_guard<std::mutex> guard(cacheLock_);
  const auto entry = entries_.find(siteId);
  if (entry == entries_.end() || entry->second.get() != found.get()) return;
  if (fresh) {
    found->lastUse = platform::SystemFileTime();
  } else {
    // The next request loads the file again; until that load reads it, these rules stand in.
    replaced_[siteId] = std::move(entry->second);
    entries_.erase(entry);
  }
}

SiteConfigRef ConfigCache::Load(uint32_t siteId) {
  platform::NamedMutex loadMutex(LoadMutexName(siteId));
  if (loadMutex.IsValid() && loadMutex.AlreadyExisted()) {
    // Another thread is loading this site: wait for it and use what it loaded.
    loadMutex.Wait();
    std::lock_guard<std::mutex> guard(cacheLock_);
    const auto entry = entries_.find(siteId);
    if (entry != entries_.end()) {
      SiteConfigRef found = entry->second;
      found->lastUse = platform::SystemFileTime();
      loadMutex.Release();
      return found;
    }
  }
  // This thread owns the load mutex (or runs without one when it could not be created).
  // Taken before the file is read: a write after this moment gets a later time, once the
  // file system's clock has stepped past the file's time.
  const uint64_t loadStart = clock_();
  SiteConfigRef loaded;
  try {
    loaded = SiteConfigRef(loader_(siteId));
  } catch (...) {
    // A configuration that cannot be built: this request runs no rules for the site, and
    // nothing is cached, so the next request tries again.
  }
  if (loaded && loaded->stamp) {
    // Not shared yet: set without the lock.
    const uint64_t trusted = SaturatingAdd(loaded->stamp->lastWrite, platform::kFileTimeStep);
    if (trusted > loadStart) loaded->provisionalUntil.store(trusted, std::memory_order_relaxed);
    loaded->identityCheckDue.store(SaturatingAdd(loadStart, platform::kFileTimeStep),
                                   std::memory_order_relaxed);
  }
  std::lock_guard<std::mutex> guard(cacheLock_);
  if (loaded && loaded->unreadable) {
    // A file that exists but could not be read is not kept, so the next request reads it
    // again; meanwhile the rules it had before it changed go on, if there were any.
    const auto replaced = replaced_.find(siteId);
    if (replaced != replaced_.end()) loaded = replaced->second;
  } else if (loaded) {
    // Insertion never replaces an entry made meanwhile.
    entries_.emplace(siteId, loaded);
    replaced_.erase(siteId);
  }
  loadMutex.Release();
  return loaded;
}

void ConfigCache::Drop(uint32_t siteId) {
  SiteConfigRef dropped, replaced;  // destroyed after the lock is left
  std::lock_guard<std::mutex> guard(cacheLock_);
  for (auto* map : {&entries_, &replaced_}) {
    const auto entry = map->find(siteId);
    if (entry == map->end()) continue;
    (map == &entries_ ? dropped : replaced) = std::move(entry->second);
    map->erase(entry);
  }
}

void ConfigCache::Sweep(uint64_t cutoff) {
  std::lock_guard<std::mutex> guard(cacheLock_);
  for (auto* map : {&entries_, &replaced_}) {
    for (auto entry = map->begin(); entry != map->end();) {
      const auto current = entry++;
      if (current->second->lastUse.load() <= cutoff) map->erase(current);
    }
  }
}

void ConfigCache::Clear() {
  std::lock_guard<std::mutex> guard(cacheLock_);
  entries_.clear();
  replaced_.clear();
}

void ConfigCache::LowerRepeatLimits(int32_t limit) {
  std::lock_guard<std::mutex> guard(cacheLock_);
  for (auto* map : {&entries_, &replaced_}) {
    for (auto& entry : *map) entry.second->LowerRepeatLimit(limit);
  }
}

size_t ConfigCache::Size() const {
  std::lock_guard<std::mutex> guard(cacheLock_);
  return entries_.size();
}

}  // namespace vortane
