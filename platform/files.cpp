#include "platform/files.h"

#include <algorithm>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <objbase.h>

#include <iadmw.h>
#include <iiscnfg.h>

#include <cwchar>

#include "platform/win32/com_scope.h"
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/posix/site_table.h"
#endif

namespace vortane::platform {

#ifdef _WIN32

namespace {

// The metabase's admin base object and its interface, wide-character versions.
// {A9E69610-B80D-11D0-B9B9-00A0C922E750}
const CLSID kAdminBaseClassId = {
    0xa9e69610, 0xb80d, 0x11d0, {0xb9, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0xe7, 0x50}};
// {70B51430-B6CA-11D0-B9B9-00A0C922E750}
const IID kAdminBaseInterfaceId = {
    0x70b51430, 0xb6ca, 0x11d0, {0xb9, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0xe7, 0x50}};

// The first buffer for a site root, in bytes.
constexpr DWORD kFirstRootBufferBytes = 520;

// Releases the admin base interface however the read ends.
struct AdminBaseRelease {
  void operator()(IMSAdminBase* admin) const { admin->Release(); }
};

// A file being replaced (MoveFileEx over it, or a writer holding it for a moment) refuses
// opens with a sharing violation or access denied for a short while; a load retries rather
// than run without the file's rules: for up to this long after the first refusal, an attempt
// every two milliseconds (a timer tick apart on Windows' default clock, 2 ms under Wine).
constexpr ULONGLONG kOpenRetryForMs = 100;
constexpr DWORD kOpenRetryMs = 2;

bool IsTransientOpenError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

}  // namespace

FileView::FileView(const PathString& path, size_t maxBytes) {
  HANDLE file = INVALID_HANDLE_VALUE;
  ULONGLONG retryUntil = 0;
  for (;;) {
    file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;  // no file
    // A directory under the name is no file either; it refuses opens with access denied.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) break;
    const ULONGLONG now = GetTickCount64();
    if (retryUntil == 0) retryUntil = now + kOpenRetryForMs;
    if (!IsTransientOpenError(error) || now >= retryUntil) {
      failed_ = true;
      break;
    }
    Sleep(kOpenRetryMs);
  }
  file_ = file;
  if (file == INVALID_HANDLE_VALUE) return;

  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(file, &fileSize)) {
    failed_ = true;
    return;
  }
  const uint64_t whole = static_cast<uint64_t>(fileSize.QuadPart);
  cut_ = whole > maxBytes;
  const DWORD size = static_cast<DWORD>(std::min<uint64_t>(whole, maxBytes));
  if (size == 0) return;  // an empty file cannot be mapped

  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, size, nullptr);
  mapping_ = mapping;
  const void* view =
      mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size) : nullptr;
  if (view == nullptr) {
    failed_ = true;
    return;
  }
  data_ = static_cast<const char*>(view);
  size_ = size;
}

FileView::~FileView() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  if (mapping_ != nullptr) CloseHandle(mapping_);
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

// The source's share mode (read only) already keeps this open from reaching the viewed file.
ReportFile::ReportFile(const PathString& path, const FileView* /*source*/)
    : file_(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr)) {}

ReportFile::~ReportFile() {
  if (IsOpen()) CloseHandle(file_);
}

bool ReportFile::IsOpen() const {
  return file_ != INVALID_HANDLE_VALUE;
}

void ReportFile::Write(std::string_view bytes) {
  if (!IsOpen() || bytes.empty()) return;
  // Messages are short and an echoed line is at most the 2 MiB of a view: one call does.
  DWORD written = 0;
  WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::optional<uint64_t> ReadLastWriteTime(const PathString& path) {
  if (path.empty()) return std::nullopt;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

std::optional<PathString> ReadSiteRootPath(uint32_t siteId, const PathString& /*tableDirectory*/) {
  ComScope com;
  if (!com.initialised()) return std::nullopt;

  IMSAdminBase* created = nullptr;
  if (FAILED(CoCreateInstance(kAdminBaseClassId, nullptr, CLSCTX_ALL, kAdminBaseInterfaceId,
                              reinterpret_cast<void**>(&created)))) {
    return std::nullopt;
  }
  // Declared after `com`, so released before COM is uninitialised.
  std::unique_ptr<IMSAdminBase, AdminBaseRelease> admin(created);

  wchar_t key[32];
  wsprintfW(key, L"/LM/W3SVC/%u/ROOT", static_cast<unsigned>(siteId));

  // The value is a zero-terminated wide string; the buffer is counted in wide characters,
  // the record in bytes.
  std::vector<wchar_t> buffer(kFirstRootBufferBytes / sizeof(wchar_t));
  METADATA_RECORD record = {};
  record.dwMDIdentifier = MD_VR_PATH;
  record.dwMDAttributes = METADATA_INHERIT;
  record.dwMDUserType = IIS_MD_UT_FILE;
  record.dwMDDataType = STRING_METADATA;
  record.dwMDDataLen = kFirstRootBufferBytes;
  record.pbMDData = reinterpret_cast<unsigned char*>(buffer.data());
  DWORD required = 0;
  HRESULT result = admin->GetData(METADATA_MASTER_ROOT_HANDLE, key, &record, &required);
  while (result == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)) {
    // Twice the reported byte count, that is `required` wide characters. A reported length
    // that would not grow the buffer, or that overflows the record's size, ends the read
    // instead of asking again forever.
    const uint64_t bytes = static_cast<uint64_t>(required) * 2;
    if (bytes <= record.dwMDDataLen || bytes > MAXDWORD) return std::nullopt;
    buffer.assign(required, L'\0');
    record.dwMDDataLen = static_cast<DWORD>(bytes);
    record.pbMDData = reinterpret_cast<unsigned char*>(buffer.data());
    result = admin->GetData(METADATA_MASTER_ROOT_HANDLE, key, &record, &required);
  }
  if (FAILED(result)) return std::nullopt;
  return PathString(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
}

#else  // POSIX

namespace {

// Seconds from 1601-01-01 to the Unix epoch.
constexpr int64_t kEpochDifference = 11644473600;
constexpr int64_t kTicksPerSecond = 10000000;

// A path that the system would read only up to an embedded NUL names another file.
bool IsUsablePath(const PathString& path) {
  return !path.empty() && path.find('\0') == PathString::npos;
}

}  // namespace

FileView::FileView(const PathString& path, size_t maxBytes) {
  if (!IsUsablePath(path)) return;
  // Without blocking: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Gone since its time was read, or not a file that can be read at all: no file. Anything
    // else (no descriptors left, access denied, ...) is a failure to read an existing file.
    failed_ = errno != ENOENT && errno != ENOTDIR && errno != ENXIO && errno != ELOOP;
    return;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    failed_ = true;
  } else if (S_ISREG(info.st_mode) && info.st_size > 0) {
    device_ = static_cast<uint64_t>(info.st_dev);
    inode_ = static_cast<uint64_t>(info.st_ino);
    // One byte past the limit tells whether the file goes on; one byte past a shorter file's
    // size tells whether it grew. A count other than the expected one means another process
    // is rewriting the file: its bytes would be a mix of two versions.
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const bool longer = size > maxBytes;
    const size_t expected = longer ? maxBytes + 1 : static_cast<size_t>(size);
    const size_t room = longer ? expected : expected + 1;
    try {
      buffer_.reset(new char[room]);
    } catch (const std::bad_alloc&) {
      failed_ = true;
    }
    size_t got = 0;
    while (buffer_ && got < room) {
      const ssize_t n = read(fd, buffer_.get() + got, room - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failed_ = true;
        break;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    if (!failed_ && got != expected) failed_ = true;
    if (!failed_) {
      cut_ = expected > maxBytes;
      size_ = std::min(expected, maxBytes);
      if (size_ > 0) data_ = buffer_.get();
    }
  }
  close(fd);
  if (data_ == nullptr) buffer_.reset();
}

FileView::~FileView() = default;

ReportFile::ReportFile(const PathString& path, const FileView* source) {
  if (!IsUsablePath(path)) return;
  // Never through a link, never blocking on a FIFO, and not emptied before it is checked.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return;
  struct stat info;
  const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
                      !(source != nullptr && source->inode_ != 0 &&
                        static_cast<uint64_t>(info.st_dev) == source->device_ &&
                        static_cast<uint64_t>(info.st_ino) == source->inode_) &&
                      ftruncate(fd, 0) == 0;
  if (!usable) {
    close(fd);
    return;
  }
  fd_ = fd;
}

ReportFile::~ReportFile() {
  if (IsOpen()) close(fd_);
}

bool ReportFile::IsOpen() const {
  return fd_ >= 0;
}

void ReportFile::Write(std::string_view bytes) {
  if (!IsOpen()) return;
  while (!bytes.empty()) {
    const ssize_t written = write(fd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // failures are ignored
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

std::optional<uint64_t> ReadLastWriteTime(const PathString& path) {
  if (!IsUsablePath(path)) return std::nullopt;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  // Times before 1601 or past the range of a file time have no file time.
  const int64_t seconds = static_cast<int64_t>(info.st_mtim.tv_sec);
  if (seconds < -kEpochDifference ||
      seconds > static_cast<int64_t>(UINT64_MAX / kTicksPerSecond) - kEpochDifference - 1) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(seconds + kEpochDifference) * kTicksPerSecond +
         static_cast<uint64_t>(info.st_mtim.tv_nsec) / 100u;
}

std::optional<PathString> ReadSiteRootPath(uint32_t siteId, const PathString& tableDirectory) {
  const std::map<uint32_t, std::string> sites = ParseSiteTable(ReadSiteTableText(tableDirectory));
  const auto found = sites.find(siteId);
  if (found == sites.end()) return std::nullopt;
  return found->second;
}

#endif

}  // namespace vortane::platform
