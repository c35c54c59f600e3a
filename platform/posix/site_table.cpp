#include "platform/posix/site_table.h"
#include "base/file_names.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/files.h"

namespace vortane::platform {

namespace {

// What identifies one version of the table file: a rewrite changes its size or its change
// time (which no program can set back), a replacement its inode.
struct TableStamp {
  dev_t device;
  ino_t inode;
  off_t size;
  timespec modified;
  timespec changed;
};

bool operator==(const TableStamp& a, const TableStamp& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
         a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

// File times advance in steps of the file system's clock (kFileTimeStep), so a file changed
// again within the step of the read keeps its stamp. A text is therefore reused only when its
// file had last changed this long before it was read.
constexpr time_t kStampStepSeconds = static_cast<time_t>(kFileTimeStep / 10000000);

// The last table read, for the one process-wide table directory. Its storage is static and
// never destroyed (constant-initialised, trivially destructible): the site-change thread may
// still read the table while the library's other statics are destroyed at unload.
struct TableCache {
  std::mutex lock;
  char path[4096] = {};  // empty: nothing cached
  size_t pathSize = 0;
  TableStamp stamp{};
  bool reusable = false;
  char text[kMaxSiteTableBytes] = {};
  size_t textSize = 0;

  bool Holds(std::string_view tablePath) const {
    return std::string_view(path, pathSize) == tablePath;
  }
};
static_assert(std::is_trivially_destructible_v<TableCache>);
TableCache tableCache;

struct FileCloser {
  int fd;
  ~FileCloser() { close(fd); }
};

// Reads at most kMaxSiteTableBytes + 1 bytes of `fd`; false on a read error.
bool ReadTable(int fd, std::string& text) {
  text.assign(kMaxSiteTableBytes + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = read(fd, &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  if (got > kMaxSiteTableBytes) {
    // The rest is ignored, and so is the line the limit cuts: a root cut short is another
    // directory.
    const size_t lastLineFeed = text.rfind('\n', kMaxSiteTableBytes - 1);
    text.resize(lastLineFeed == std::string::npos ? 0 : lastLineFeed + 1);
  }
  return true;
}

}  // namespace

std::string ReadSiteTableText(const PathString& tableDirectory) {
  const std::string path = tableDirectory + '/' + kSiteTableFileName;
  timespec start{};
  clock_gettime(CLOCK_REALTIME, &start);
  TableCache& cache = tableCache;
  std::lock_guard<std::mutex> guard(cache.lock);
  // Records the outcome of this read: the text, and whether the next call may reuse it. A
  // path too long for the cache is never reused.
  const auto remember = [&](std::string text, bool reusable) {
    cache.pathSize = std::min(path.size(), sizeof cache.path);
    path.copy(cache.path, cache.pathSize);
    cache.textSize = std::min(text.size(), sizeof cache.text);
    text.copy(cache.text, cache.textSize);
    cache.reusable = reusable && cache.Holds(path);
    return text;
  };
  // A passing failure (no descriptors left, a read error) keeps the sites of the last read
  // rather than take every site's root away.
  const auto lastRead = [&] {
    cache.reusable = false;
    return cache.Holds(path) ? std::string(cache.text, cache.textSize) : std::string();
  };
  // Without blocking, so that a FIFO under the name cannot stall the caller.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return remember({}, false);  // no table, no sites
    return lastRead();
  }
  const FileCloser closer{fd};
  struct stat info;
  if (fstat(fd, &info) != 0) return lastRead();
  if (!S_ISREG(info.st_mode)) return remember({}, false);
  const TableStamp stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  if (cache.reusable && cache.Holds(path) && cache.stamp == stamp) {
    return std::string(cache.text, cache.textSize);
  }

  std::string text;
  if (!ReadTable(fd, text)) return lastRead();
  cache.stamp = stamp;
  return remember(std::move(text), info.st_ctim.tv_sec < start.tv_sec - kStampStepSeconds);
}

}  // namespace vortane::platform
