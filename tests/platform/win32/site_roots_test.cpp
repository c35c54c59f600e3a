#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <iadmw.h>
#include <iiscnfg.h>
#include <mdmsg.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/site_config.h"
#include "platform/site_roots.h"
#include "rules/request_filename.h"
#include "store/store.h"
#include "tests/support/com_factory.h"

namespace vortane::platform {
namespace {

// Without a metabase the read fails; COM is left as the thread had it, whichever of the two
// initialisations succeeded.
TEST(SiteRootPath, FailsWithoutAMetabaseAndBalancesCom) {
  std::thread([] {
    EXPECT_FALSE(ReadSiteRootPath(3, L"").has_value());
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  }).join();
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_FALSE(ReadSiteRootPath(3, L"").has_value());
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  }).join();
}

// An admin base of this process, registered for the metabase's class, that answers GetData
// from a table of site roots and records each call. Every other method is not implemented.
class TableAdminBase : public IMSAdminBaseW {
 public:
  struct Call {
    METADATA_HANDLE handle;
    std::wstring key;
    DWORD identifier;
    DWORD attributes;
    DWORD userType;
    DWORD dataType;
    DWORD dataLength;
  };

  // The length in bytes of the long root with its terminator; too long for a first buffer
  // of 520 bytes.
  static constexpr DWORD kLongRootBytes = 401 * sizeof(wchar_t);

  static std::wstring LongRoot() { return L"D:\\" + std::wstring(397, L'l'); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE GetData(METADATA_HANDLE handle, LPCWSTR key, PMETADATA_RECORD record,
                                    DWORD* required) override {
    calls_.push_back({handle, key, record->dwMDIdentifier, record->dwMDAttributes,
                      record->dwMDUserType, record->dwMDDataType, record->dwMDDataLen});
    // A key's own value, or with METADATA_INHERIT the nearest one above it.
    std::wstring path = key;
    auto found = paths_.find(path);
    while (found == paths_.end() && (record->dwMDAttributes & METADATA_INHERIT) != 0 &&
           path.rfind(L'/') != std::wstring::npos && path.rfind(L'/') > 0) {
      path.resize(path.rfind(L'/'));
      found = paths_.find(path);
    }
    if (found == paths_.end()) {
      return keys_.count(key) != 0 ? MD_ERROR_DATA_NOT_FOUND
                                   : HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    const std::wstring root = found->second;
    const DWORD bytes = static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t));
    if (record->dwMDDataLen < bytes) {
      *required = bytes;
      return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(record->pbMDData, root.c_str(), bytes);
    record->dwMDDataLen = bytes;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AddKey(METADATA_HANDLE, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteKey(METADATA_HANDLE, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteChildKeys(METADATA_HANDLE, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumKeys(METADATA_HANDLE handle, LPCWSTR key, LPWSTR name,
                                     DWORD index) override {
    enumerations_.push_back({handle, key});
    const std::wstring parent = std::wstring(key) + L"/";
    DWORD seen = 0;
    for (const std::wstring& child : keys_) {
      if (child.rfind(parent, 0) != 0 || child.find(L'/', parent.size()) != std::wstring::npos) {
        continue;
      }
      if (seen++ == index) {
        wcsncpy(name, child.c_str() + parent.size(), METADATA_MAX_NAME_LEN);
        name[METADATA_MAX_NAME_LEN - 1] = L'\0';
        return S_OK;
      }
    }
    return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
  }
  HRESULT STDMETHODCALLTYPE CopyKey(METADATA_HANDLE, LPCWSTR, METADATA_HANDLE, LPCWSTR, WINBOOL,
                                    WINBOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RenameKey(METADATA_HANDLE, LPCWSTR, LPCWSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetData(METADATA_HANDLE, LPCWSTR, PMETADATA_RECORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteData(METADATA_HANDLE, LPCWSTR, DWORD, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE EnumData(METADATA_HANDLE, LPCWSTR, PMETADATA_RECORD, DWORD,
                                     DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetAllData(METADATA_HANDLE, LPCWSTR, DWORD, DWORD, DWORD, DWORD*,
                                       DWORD*, DWORD, unsigned char*, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteAllData(METADATA_HANDLE, LPCWSTR, DWORD, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CopyData(METADATA_HANDLE, LPCWSTR, METADATA_HANDLE, LPCWSTR, DWORD,
                                     DWORD, DWORD, WINBOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDataPaths(METADATA_HANDLE, LPCWSTR, DWORD, DWORD, DWORD, WCHAR*,
                                         DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE OpenKey(METADATA_HANDLE, LPCWSTR, DWORD, DWORD,
                                    PMETADATA_HANDLE) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CloseKey(METADATA_HANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ChangePermissions(METADATA_HANDLE, DWORD, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SaveData() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHandleInfo(METADATA_HANDLE, PMETADATA_HANDLE_INFO) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSystemChangeNumber(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDataSetNumber(METADATA_HANDLE, LPCWSTR, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetLastChangeTime(METADATA_HANDLE, LPCWSTR, PFILETIME,
                                              WINBOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetLastChangeTime(METADATA_HANDLE, LPCWSTR, PFILETIME,
                                              WINBOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE KeyExchangePhase1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE KeyExchangePhase2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Backup(LPCWSTR, DWORD, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Restore(LPCWSTR, DWORD, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumBackups(LPWSTR, DWORD*, PFILETIME, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteBackup(LPCWSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(IMSAdminBaseW**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetServerGuid() override { return E_NOTIMPL; }

  // Sets the own path value of `key`, making the key and every key above it exist.
  void SetPath(const std::wstring& key, const std::wstring& path) {
    paths_[key] = path;
    AddKey(key);
  }
  // Makes `key` (and every key above it) exist, without a value of its own.
  void AddKey(const std::wstring& key) {
    for (size_t slash = key.find(L'/', 1); slash != std::wstring::npos;
         slash = key.find(L'/', slash + 1)) {
      keys_.insert(key.substr(0, slash));
    }
    keys_.insert(key);
  }
  void RemovePath(const std::wstring& key) { paths_.erase(key); }

  struct Enumeration {
    METADATA_HANDLE handle;
    std::wstring key;
  };
  const std::vector<Enumeration>& enumerations() const { return enumerations_; }

  const std::vector<Call>& calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  ULONG references() const { return references_; }

 private:
  std::vector<Call> calls_;
  std::vector<Enumeration> enumerations_;
  std::map<std::wstring, std::wstring> paths_ = {{L"/LM/W3SVC/3/ROOT", L"D:\\sites\\three"},
                                                 {L"/LM/W3SVC/4/ROOT", LongRoot()}};
  std::set<std::wstring> keys_ = {L"/LM",         L"/LM/W3SVC",
                                  L"/LM/W3SVC/3", L"/LM/W3SVC/3/ROOT",
                                  L"/LM/W3SVC/4", L"/LM/W3SVC/4/ROOT"};
  ULONG references_ = 0;
};

// Runs `use` on a thread of its own, initialised with `model`, with the table admin base
// registered for the metabase's class. Afterwards the thread's COM must be fully
// uninitialised again: a fresh apartment-threaded initialisation is the first.
void WithAdminBase(TableAdminBase& admin, DWORD model, const std::function<void()>& use) {
  std::thread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, model), S_OK);
    // {A9E69610-B80D-11D0-B9B9-00A0C922E750}
    const CLSID classId = {
        0xa9e69610, 0xb80d, 0x11d0, {0xb9, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0xe7, 0x50}};
    // The wide interface, {70B51430-B6CA-11D0-B9B9-00A0C922E750}.
    const IID interfaceId = {
        0x70b51430, 0xb6ca, 0x11d0, {0xb9, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0xe7, 0x50}};
    testing::SingleObjectFactory factory(admin, interfaceId);
    DWORD cookie = 0;
    ASSERT_EQ(
        CoRegisterClassObject(classId, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
        S_OK);
    use();
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  }).join();
}

void ExpectRootRecord(const TableAdminBase::Call& call, const std::wstring& key) {
  EXPECT_EQ(call.handle, static_cast<METADATA_HANDLE>(METADATA_MASTER_ROOT_HANDLE));
  EXPECT_EQ(call.key, key);
  EXPECT_EQ(call.identifier, static_cast<DWORD>(MD_VR_PATH));
  EXPECT_EQ(call.attributes, static_cast<DWORD>(METADATA_INHERIT));
  EXPECT_EQ(call.userType, static_cast<DWORD>(IIS_MD_UT_FILE));
  EXPECT_EQ(call.dataType, static_cast<DWORD>(STRING_METADATA));
}

// The root is the site's MD_VR_PATH, read again with a larger buffer when the first is too
// small; whichever model the thread has, the read leaves COM on it as it found it.
TEST(SiteRootPath, ReadsTheVirtualRootOfTheSiteFromTheAdminBase) {
  for (const DWORD model : {COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED}) {
    SCOPED_TRACE(model);
    TableAdminBase admin;
    WithAdminBase(admin, model, [&admin] {
      EXPECT_EQ(ReadSiteRootPath(3, L""), PathString(L"D:\\sites\\three"));
      ASSERT_EQ(admin.calls().size(), 1u);
      ExpectRootRecord(admin.calls()[0], L"/LM/W3SVC/3/ROOT");
      EXPECT_EQ(admin.calls()[0].dataLength, 520u);
      EXPECT_EQ(admin.references(), 0u);

      admin.ClearCalls();
      EXPECT_EQ(ReadSiteRootPath(4, L""), TableAdminBase::LongRoot());
      ASSERT_EQ(admin.calls().size(), 2u);
      ExpectRootRecord(admin.calls()[0], L"/LM/W3SVC/4/ROOT");
      EXPECT_EQ(admin.calls()[0].dataLength, 520u);
      ExpectRootRecord(admin.calls()[1], L"/LM/W3SVC/4/ROOT");
      EXPECT_GE(admin.calls()[1].dataLength, TableAdminBase::kLongRootBytes);
      EXPECT_EQ(admin.references(), 0u);

      admin.ClearCalls();
      EXPECT_FALSE(ReadSiteRootPath(5, L"").has_value());
      ASSERT_EQ(admin.calls().size(), 1u);
      ExpectRootRecord(admin.calls()[0], L"/LM/W3SVC/5/ROOT");
      EXPECT_EQ(admin.references(), 0u);
    });
  }
}

// The virtual folders of a site are the keys below its root with a path of their own, at any
// depth; a key with only the inherited path maps nothing, but the keys below it may.
TEST(SiteRootPath, VirtualFoldersAreTheKeysBelowTheRootWithAPathOfTheirOwn) {
  TableAdminBase admin;
  admin.SetPath(L"/LM/W3SVC/3/ROOT/app", L"D:\\apps\\app");
  admin.SetPath(L"/LM/W3SVC/3/ROOT/app/v2", L"E:\\v2");
  admin.AddKey(L"/LM/W3SVC/3/ROOT/images");
  admin.SetPath(L"/LM/W3SVC/3/ROOT/images/big", L"F:\\big");
  admin.SetPath(L"/LM/W3SVC/3/ROOT/caf\u00e9", L"G:\\cafe");  // no byte-for-byte URL prefix
  admin.SetPath(L"/LM/W3SVC/4/ROOT/other", L"H:\\other");
  WithAdminBase(admin, COINIT_MULTITHREADED, [&admin] {
    std::vector<VirtualFolder> folders = ReadVirtualFolders(3, L"");
    std::map<std::string, PathString> byPrefix;
    for (VirtualFolder& folder : folders) byPrefix[folder.urlPrefix] = folder.folder;
    EXPECT_EQ(byPrefix, (std::map<std::string, PathString>{{"/app", L"D:\\apps\\app"},
                                                           {"/app/v2", L"E:\\v2"},
                                                           {"/images/big", L"F:\\big"}}));
    for (const auto& enumeration : admin.enumerations()) {
      EXPECT_EQ(enumeration.key.rfind(L"/LM/W3SVC/3/ROOT", 0), 0u);
    }
    EXPECT_EQ(admin.references(), 0u);

    SiteFolders site;
    site.root = ReadSiteRootPath(3, L"");
    site.virtualFolders = folders;
    EXPECT_EQ(ComputeRequestFilename(site, "/App/V2/x.js").path, L"E:\\v2\\x.js");
    EXPECT_EQ(ComputeRequestFilename(site, "/app/v3/x.js").path, L"D:\\apps\\app\\v3\\x.js");
    EXPECT_EQ(ComputeRequestFilename(site, "/images/small/x.png").path,
              L"D:\\sites\\three\\images\\small\\x.png");
    EXPECT_EQ(ComputeRequestFilename(site, "/caf%C3%A9/x").path, L"D:\\sites\\three\\caf\u00e9\\x");
    EXPECT_FALSE(ComputeRequestFilename(site, "/app/v2/../../../x").Names());
  });
}

// The store resolves a site's folders from the metabase with its configuration, and again
// only once the site's configuration is dropped, as a site-change notification drops it.
TEST(SiteRootPath, TheStoreKeepsASitesFoldersUntilTheSiteIsDropped) {
  TableAdminBase admin;
  admin.SetPath(L"/LM/W3SVC/3/ROOT/app", L"D:\\apps\\app");
  WithAdminBase(admin, COINIT_MULTITHREADED, [&admin] {
    ConfigStore store(L"C:\\nowhere\\httpd.ini");
    const auto prefixes = [&store] {
      std::vector<std::string> found;
      const SiteConfigRef config = store.Acquire(3);
      for (const VirtualFolder& folder : config->folders.virtualFolders) {
        found.push_back(folder.urlPrefix);
      }
      EXPECT_EQ(config->folders.root, PathString(L"D:\\sites\\three"));
      return found;
    };
    EXPECT_EQ(prefixes(), std::vector<std::string>{"/app"});
    admin.SetPath(L"/LM/W3SVC/3/ROOT/blog", L"D:\\blog");
    EXPECT_EQ(prefixes(), std::vector<std::string>{"/app"});
    store.Cache().Drop(3);
    std::vector<std::string> now = prefixes();
    std::sort(now.begin(), now.end());
    EXPECT_EQ(now, (std::vector<std::string>{"/app", "/blog"}));
    EXPECT_FALSE(store.Acquire(5)->folders.root.has_value());
  });
}

}  // namespace
}  // namespace vortane::platform
