// The Windows site roots: the metabase's virtual root of the site, through IMSAdminBase.
#include "platform/site_roots.h"

#include <windows.h>

#include <objbase.h>

#include <iadmw.h>
#include <iiscnfg.h>

#include <cwchar>
#include <memory>
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

}  // namespace

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

}  // namespace vortane::platform
