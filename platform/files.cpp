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
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/site_table.h"
#endif

#include "platform/com_scope.h"

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

}  // namespace

FileView::FileView(const PathString& path, size_t maxBytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  file_ = file;
  if (file == INVALID_HANDLE_VALUE) return;

  // Only the low 32 bits of the size count; the cap keeps the view small anyway.
  const DWORD size = static_cast<DWORD>(
      std::min<uint64_t>(GetFileSize(file, nullptr), static_cast<uint64_t>(maxBytes)));
  if (size == 0) return;  // an empty file cannot be mapped

  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, size, nullptr);
  if (mapping == nullptr) return;
  mapping_ = mapping;
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
  if (view == nullptr) return;
  data_ = static_cast<const char*>(view);
  size_ = size;
}

FileView::~FileView() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  if (mapping_ != nullptr) CloseHandle(mapping_);
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

ReportFile::ReportFile(const PathString& path)
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

}  // namespace

// The view is private to this process, but a file that another process cuts short after it
// was mapped makes reads past the new end fault (SIGBUS). Configuration files are not
// rewritten in place that way; accepted.
FileView::FileView(const PathString& path, size_t maxBytes) {
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return;
  struct stat info;
  if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return;
  const size_t size =
      std::min(static_cast<uint64_t>(info.st_size), static_cast<uint64_t>(maxBytes));
  if (size == 0) return;  // nothing to map
  void* view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd_, 0);
  if (view == MAP_FAILED) return;
  data_ = static_cast<const char*>(view);
  size_ = size;
}

FileView::~FileView() {
  if (data_ != nullptr) munmap(const_cast<char*>(data_), size_);
  if (fd_ >= 0) close(fd_);
}

ReportFile::ReportFile(const PathString& path)
    : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {}

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
  if (path.empty()) return std::nullopt;
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
