// The Windows site roots: the metabase's virtual root of the site, through IMSAdminBase.
#include "platform/site_roots.h"

#include <windows.h>

#include <objbase.h>

#include <iadmw.h>
#include <iiscnfg.h>

#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/com_scope.h"

namespace vortane::platform {

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

// The metabase of this thread: COM initialised, the admin base created. Empty when either
// fails. Members in this order, so the interface is released before COM is uninitialised.
class Metabase {
 public:
  Metabase() {
    if (!com_.initialised()) return;
    IMSAdminBase* created = nullptr;
    if (SUCCEEDED(CoCreateInstance(kAdminBaseClassId, nullptr, CLSCTX_ALL, kAdminBaseInterfaceId,
                                   reinterpret_cast<void**>(&created)))) {
      admin_.reset(created);
    }
  }
  IMSAdminBase* get() const { return admin_.get(); }

 private:
  ComScope com_;
  std::unique_ptr<IMSAdminBase, AdminBaseRelease> admin_;
};

// The MD_VR_PATH of `key`: inherited from the keys above it when `inherit`, its own
// otherwise; nothing when there is none.
std::optional<PathString> ReadPathValue(IMSAdminBase* admin, const wchar_t* key, bool inherit) {
  // The value is a zero-terminated wide string; the buffer is counted in wide characters,
  // the record in bytes.
  std::vector<wchar_t> buffer(kFirstRootBufferBytes / sizeof(wchar_t));
  METADATA_RECORD record = {};
  record.dwMDIdentifier = MD_VR_PATH;
  record.dwMDAttributes = inherit ? METADATA_INHERIT : METADATA_NO_ATTRIBUTES;
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

// The site's root key, "/LM/W3SVC/<id>/ROOT".
std::wstring RootKey(uint32_t siteId) {
  wchar_t key[32];
  wsprintfW(key, L"/LM/W3SVC/%u/ROOT", static_cast<unsigned>(siteId));
  return key;
}

// Whether a key name can be a URL segment: not empty, ".", "..", and without "/", "\" or
// a character outside ASCII's printable range (a prefix is compared with the request's bytes).
bool IsSegmentName(const wchar_t* name) {
  const std::wstring_view text(name);
  if (text.empty() || text == L"." || text == L"..") return false;
  for (const wchar_t c : text) {
    if (c <= L' ' || c >= 0x7F || c == L'/' || c == L'\\') return false;
  }
  return true;
}

}  // namespace

std::optional<PathString> ReadSiteRootPath(uint32_t siteId, const PathString& /*tableDirectory*/) {
  const Metabase metabase;
  if (metabase.get() == nullptr) return std::nullopt;
  return ReadPathValue(metabase.get(), RootKey(siteId).c_str(), true);
}

std::vector<VirtualFolder> ReadVirtualFolders(uint32_t siteId,
                                              const PathString& /*tableDirectory*/) {
  std::vector<VirtualFolder> folders;
  const Metabase metabase;
  if (metabase.get() == nullptr) return folders;
  // Keys still to enumerate: the metabase key and its URL prefix, breadth first.
  struct Pending {
    std::wstring key;
    std::string prefix;
    size_t depth;
  };
  std::vector<Pending> pending{{RootKey(siteId), std::string(), 0}};
  size_t seen = 0;
  for (size_t next = 0; next < pending.size(); ++next) {
    const Pending parent = pending[next];
    if (parent.depth >= kMaxVirtualFolderDepth) continue;
    wchar_t name[METADATA_MAX_NAME_LEN + 1];
    for (DWORD index = 0; seen < kMaxVirtualFolderKeys; ++index) {
      name[0] = L'\0';
      if (FAILED(metabase.get()->EnumKeys(METADATA_MASTER_ROOT_HANDLE, parent.key.c_str(), name,
                                          index))) {
        break;
      }
      name[METADATA_MAX_NAME_LEN] = L'\0';
      ++seen;
      if (!IsSegmentName(name)) continue;
      Pending child{parent.key + L"/" + name, parent.prefix + "/", parent.depth + 1};
      for (const wchar_t* c = name; *c != L'\0'; ++c) child.prefix += static_cast<char>(*c);
      if (std::optional<PathString> folder =
              ReadPathValue(metabase.get(), child.key.c_str(), false)) {
        if (!folder->empty()) folders.push_back({child.prefix, std::move(*folder)});
      }
      pending.push_back(std::move(child));
    }
  }
  return folders;
}

}  // namespace vortane::platform
