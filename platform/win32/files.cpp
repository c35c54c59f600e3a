// The Windows file operations: mapped views that share reading only, reports created over
// any older one, files read in pieces, replacements created anew and moved over the old
// file, and file attributes.
#include "platform/files.h"
#include "platform/native.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

namespace vortane::platform {

namespace {

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

ReadFailure FailureOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return ReadFailure::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return ReadFailure::InUse;
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
      return ReadFailure::NoResources;
    default:
      return ReadFailure::Other;
  }
}

uint64_t Join(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

// The stamp of an open file, with its identity; nothing on failure.
std::optional<FileStamp> StampOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  FileStamp stamp;
  stamp.lastWrite = Join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
  stamp.size = Join(info.nFileSizeHigh, info.nFileSizeLow);
  stamp.volume = info.dwVolumeSerialNumber;
  stamp.index = Join(info.nFileIndexHigh, info.nFileIndexLow);
  stamp.hasIdentity = true;
  return stamp;
}

}  // namespace

// The open file and its mapping; the view itself is data_.
struct FileView::Native {
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE mapping = nullptr;
};

FileView::FileView(const PathString& path, size_t maxBytes) : native_(new Native) {
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
      Fail(FailureOf(error));
      break;
    }
    Sleep(kOpenRetryMs);
  }
  native_->file = file;
  if (file == INVALID_HANDLE_VALUE) return;

  // The file shares reading only while it is open, so no writer changes it under the stamp.
  stamp_ = StampOf(file);
  if (!stamp_) {
    Fail(FailureOf(GetLastError()));
    return;
  }
  const uint64_t whole = stamp_->size;
  cut_ = whole > maxBytes;
  const DWORD size = static_cast<DWORD>(std::min<uint64_t>(whole, maxBytes));
  if (size == 0) return;  // an empty file cannot be mapped

  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, size, nullptr);
  native_->mapping = mapping;
  const void* view =
      mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size) : nullptr;
  if (view == nullptr) {
    Fail(FailureOf(GetLastError()));
    return;
  }
  data_ = static_cast<const char*>(view);
  size_ = size;
}

FileView::~FileView() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  if (native_->mapping != nullptr) CloseHandle(native_->mapping);
  if (native_->file != INVALID_HANDLE_VALUE) CloseHandle(native_->file);
}

struct ReportFile::Native {
  HANDLE file;
};

// The source's share mode (read only) already keeps this open from reaching the viewed file.
ReportFile::ReportFile(const PathString& path, const FileView* /*source*/)
    : native_(new Native{CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)}) {}

ReportFile::~ReportFile() {
  if (IsOpen()) CloseHandle(native_->file);
}

bool ReportFile::IsOpen() const {
  return native_->file != INVALID_HANDLE_VALUE;
}

void ReportFile::Write(std::string_view bytes) {
  if (!IsOpen() || bytes.empty()) return;
  // Messages are short and an echoed line is at most the 2 MiB of a view: one call does.
  DWORD written = 0;
  WriteFile(native_->file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::optional<FileStamp> ReadFileStamp(const PathString& path, StampDepth depth) {
  if (path.empty()) return std::nullopt;
  if (depth == StampDepth::WithIdentity) {
    // Attributes only, sharing everything: no reader, writer or renamer is held up.
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    const std::optional<FileStamp> stamp = StampOf(file);
    CloseHandle(file);
    return stamp;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  FileStamp stamp;
  stamp.lastWrite = Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
  stamp.size = Join(data.nFileSizeHigh, data.nFileSizeLow);
  return stamp;
}

namespace {

// The kind of path an error from opening or looking at it tells of.
PathKind KindOfError(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
      error == ERROR_INVALID_NAME) {
    return PathKind::Missing;
  }
  if (error == ERROR_CANT_RESOLVE_FILENAME || error == ERROR_TOO_MANY_LINKS) {
    return PathKind::LinkLoop;
  }
  return PathKind::Inaccessible;
}

// "(error N)" for a message.
std::string ErrorText(DWORD error) {
  return "(error " + std::to_string(static_cast<unsigned long>(error)) + ")";
}

}  // namespace

PathFacts LookAtPath(const PathString& path, bool followLinks) {
  PathFacts facts;
  if (path.empty() || path.find(L'\0') != PathString::npos) return facts;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    facts.kind = KindOfError(GetLastError());
    return facts;
  }
  if (!followLinks && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    facts.kind = PathKind::Link;
    return facts;
  }
  // Opened for no access, sharing everything: disturbs no reader or writer, and names the
  // file (or a device) behind the name.
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    facts.kind = KindOfError(GetLastError());
    return facts;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    facts.kind = PathKind::Other;
  } else if (!GetFileInformationByHandle(file, &info)) {
    facts.kind = PathKind::Inaccessible;
  } else {
    facts.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory
                                                                    : PathKind::Regular;
    facts.device = info.dwVolumeSerialNumber;
    facts.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    facts.links = info.nNumberOfLinks;
  }
  CloseHandle(file);
  return facts;
}

PathKind FileTestKind(const PathString& path) {
  if (path.empty() || path.find(L'\0') != PathString::npos) return PathKind::Missing;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::Other;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::Regular;
}

struct FileReader::Native {
  HANDLE file = INVALID_HANDLE_VALUE;
};

FileReader::FileReader(const PathString& path) : native_(new Native) {
  const PathFacts facts = LookAtPath(path, true);
  kind_ = facts.kind;
  if (kind_ != PathKind::Regular) return;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    kind_ = PathKind::Inaccessible;
    return;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {  // replaced by something else since the look
    CloseHandle(file);
    kind_ = PathKind::Other;
    return;
  }
  native_->file = file;
}

FileReader::~FileReader() {
  if (IsOpen()) CloseHandle(native_->file);
}

bool FileReader::IsOpen() const {
  return native_->file != INVALID_HANDLE_VALUE;
}

std::ptrdiff_t FileReader::Read(char* buffer, size_t size) {
  if (!IsOpen()) return -1;
  DWORD got = 0;
  const DWORD asked = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
  if (!ReadFile(native_->file, buffer, asked, &got, nullptr)) return -1;
  return static_cast<std::ptrdiff_t>(got);
}

struct FileReplacement::Native {
  HANDLE file = INVALID_HANDLE_VALUE;
};

FileReplacement::FileReplacement(const PathString& target) : target_(target), native_(new Native) {
  if (target.empty() || target.find(L'\0') != PathString::npos) {
    error_ = "is not a usable file name: not written";
    return;
  }
  error_ = native::ReplacementRefusal(LookAtPath(target, false).kind);
  if (!error_.empty()) return;
  // A name no other process uses at the same time: this process's id and a count. A name
  // already taken (by a file or a planted link) is passed over: CREATE_NEW never opens it.
  static std::atomic<uint32_t> counter{0};
  const PathString prefix = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".";
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100; ++attempt) {
    partial_ = prefix + std::to_wstring(counter++) + L".partial";
    HANDLE file = CreateFileW(partial_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      native_->file = file;
      return;
    }
    error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  error_ = "cannot be written: no new file beside it " + ErrorText(error);
  partial_.clear();
}

FileReplacement::~FileReplacement() {
  if (native_->file != INVALID_HANDLE_VALUE) CloseHandle(native_->file);
  if (!committed_ && !partial_.empty()) DeleteFileW(partial_.c_str());
}

bool FileReplacement::Write(std::string_view bytes) {
  if (native_->file == INVALID_HANDLE_VALUE) {
    if (error_.empty()) error_ = "cannot be written";
    return false;
  }
  while (!bytes.empty()) {
    const DWORD asked = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(native_->file, bytes.data(), asked, &written, nullptr) || written == 0) {
      error_ = "cannot be written " + ErrorText(GetLastError());
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

bool FileReplacement::Commit() {
  if (native_->file == INVALID_HANDLE_VALUE || !error_.empty()) {
    if (error_.empty()) error_ = "cannot be written";
    return false;
  }
  CloseHandle(native_->file);
  native_->file = INVALID_HANDLE_VALUE;
  error_ = native::ReplacementRefusal(LookAtPath(target_, false).kind);
  if (!error_.empty()) return false;
  if (!MoveFileExW(partial_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error_ = "cannot be replaced " + ErrorText(GetLastError());
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace vortane::platform
