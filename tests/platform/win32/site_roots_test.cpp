#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <iadmw.h>
#include <iiscnfg.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/site_roots.h"
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
    std::wstring root;
    if (std::wstring(key) == L"/LM/W3SVC/3/ROOT") {
      root = L"D:\\sites\\three";
    } else if (std::wstring(key) == L"/LM/W3SVC/4/ROOT") {
      root = LongRoot();
    } else {
      return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
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
  HRESULT STDMETHODCALLTYPE EnumKeys(METADATA_HANDLE, LPCWSTR, LPWSTR, DWORD) override {
    return E_NOTIMPL;
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

  const std::vector<Call>& calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  ULONG references() const { return references_; }

 private:
  std::vector<Call> calls_;
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

}  // namespace
}  // namespace vortane::platform
