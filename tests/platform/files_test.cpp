#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include <objbase.h>

#include <iadmw.h>
#include <iiscnfg.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include "tests/support/com_factory.h"
#include "tests/support/file_out_of_reach.h"
namespace vortane::platform {
namespace {

namespace fs = std::filesystem;

// Sets a file's last-write time, given as a file time.
bool SetLastWriteTime(const PathString& path, uint64_t fileTime) {
#ifdef _WIN32
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME time = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
  const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
  CloseHandle(file);
  return set;
#else
  const int64_t seconds = static_cast<int64_t>(fileTime / 10000000) - 11644473600;
  timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(fileTime % 10000000) * 100;
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}

// Each test works in a directory of its own under the system's temporary directory.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    directory_ = fs::temp_directory_path() /
                 ("vortane-files-" + std::to_string(random()) + "-" + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(directory_));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }

  PathString Path(const std::string& name) const { return (directory_ / name).native(); }

  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream out(directory_ / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << name;
  }

  std::string Get(const std::string& name) const {
    std::ifstream in(directory_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path directory_;
};

TEST_F(FilesTest, FileViewMapsAtMostTheCappedPrefix) {
  std::string large(70000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 23);
  const std::string binary("A\0b\r\n\xff", 6);
  struct Case {
    const char* name;
    std::optional<std::string> content;  // nothing: the file does not exist
    size_t maxBytes;
    std::optional<std::string> view;  // nothing: not mapped
  } cases[] = {
      {"missing", std::nullopt, 100, std::nullopt},
      {"empty", "", 100, std::nullopt},
      {"exact", binary, 100, binary},
      {"cap equals size", binary, binary.size(), binary},
      {"cap below size", binary, 3, binary.substr(0, 3)},
      {"cap past a page", large, 66000, large.substr(0, 66000)},
      {"cap of zero", binary, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.content) Put(c.name, *c.content);
    FileView view(Path(c.name), c.maxBytes);
    EXPECT_EQ(view.HasBytes(), c.view.has_value());
    EXPECT_EQ(view.Bytes(), c.view.value_or(""));
  }
  EXPECT_FALSE(FileView(directory_.native(), 100).HasBytes());
}

TEST_F(FilesTest, ReportIsEmptiedAndWrittenInOrder) {
  Put("report", "an older, longer report\r\n");
  {
    ReportFile report(Path("report"));
    ASSERT_TRUE(report.IsOpen());
    report.Write("Line 7: Unrecognized string: ");
    report.Write(std::string_view("a\0b", 3));
    report.Write("");
    report.Write("\r\n");
  }
  EXPECT_EQ(Get("report"), std::string("Line 7: Unrecognized string: a\0b\r\n", 34));

  { ReportFile untouched(Path("report")); }
  EXPECT_TRUE(fs::exists(directory_ / "report"));
  EXPECT_EQ(Get("report"), "");
}

TEST_F(FilesTest, ReportInAMissingDirectoryWritesNothing) {
  ReportFile report((directory_ / "missing" / "report").native());
  EXPECT_FALSE(report.IsOpen());
  report.Write("dropped\r\n");
  EXPECT_FALSE(fs::exists(directory_ / "missing"));
}

#ifdef _WIN32
TEST_F(FilesTest, AFileOpenForWritingCanNeitherBeViewedNorReported) {
  Put("httpd.ini", "[Vortane]\r\n");
  {
    ReportFile writer(Path("httpd.ini"));
    ASSERT_TRUE(writer.IsOpen());
    EXPECT_FALSE(FileView(Path("httpd.ini"), 100).HasBytes());
    EXPECT_FALSE(ReportFile(Path("httpd.ini")).IsOpen());
    writer.Write("x");
  }
  FileView view(Path("httpd.ini"), 100);
  EXPECT_EQ(view.Bytes(), "x");
  // A view shares reading only, so the file cannot be reported over while it is viewed.
  EXPECT_FALSE(ReportFile(Path("httpd.ini")).IsOpen());
}
#endif

TEST_F(FilesTest, LastWriteTimeIsTheFileTimeOfTheModification) {
  EXPECT_FALSE(ReadLastWriteTime(Path("missing")).has_value());
  EXPECT_FALSE(ReadLastWriteTime(PathString()).has_value());

  Put("httpd.ini", "[Vortane]\n");
  const uint64_t times[] = {
      132594839671234567u,  // 2021-03-04, with a fraction of a second
      116444736000000000u,  // the Unix epoch
      100000000000000123u,  // 1917, before the Unix epoch
  };
  for (uint64_t time : times) {
    SCOPED_TRACE(time);
    ASSERT_TRUE(SetLastWriteTime(Path("httpd.ini"), time));
    EXPECT_EQ(ReadLastWriteTime(Path("httpd.ini")), time);
  }
}

#ifndef _WIN32
TEST_F(FilesTest, SiteRootComesFromTheFirstWellFormedLineOfTheSiteTable) {
  struct Case {
    const char* name;
    std::string table;
    uint32_t siteId;
    std::optional<std::string> root;
  } cases[] = {
      {"first line wins", "3 /a\n3 /b\n", 3, "/a"},
      {"other sites pass", "1 /one\n2 /two\n", 2, "/two"},
      {"unknown site", "1 /one\n", 2, std::nullopt},
      {"empty table", "", 3, std::nullopt},
      {"comments", "#3 /commented\n3 /real\n", 3, "/real"},
      {"blank lines, no final line feed", "\n   \n\t\r\n3 /x", 3, "/x"},
      {"trailing blanks and carriage returns", "3 /x y \t\r \r\n", 3, "/x y"},
      {"tabs and runs of blanks", "3\t \t/tab bed\t/dir\n", 3, "/tab bed\t/dir"},
      {"leading zeros", "0003 /z\n", 3, "/z"},
      {"malformed lines", "3/x\n3x /y\n 3 /lead\n3\n3  \t\r\n-3 /neg\n+3 /plus\n /none\n3 /good\n",
       3, "/good"},
      {"largest number", "4294967295 /max\n", 4294967295u, "/max"},
      {"overflow does not wrap", "4294967299 /wrapped\n", 3, std::nullopt},
      {"overflow far beyond", "99999999999999999999 /wrapped\n3 /ok\n", 3, "/ok"},
      {"NUL in a root", std::string("3 /a/httpd.ini\0\n3 /b\0c\n3 /ok\n", 29), 3, "/ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put("sites.txt", c.table);
    EXPECT_EQ(ReadSiteRootPath(c.siteId, directory_.native()), c.root);
  }
}

TEST_F(FilesTest, SiteTableIsReadAfreshAndMayBeMissing) {
  EXPECT_FALSE(ReadSiteRootPath(3, directory_.native()).has_value());
  Put("sites.txt", "3 /old\n");
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/old");
  Put("sites.txt", "3 /new\n");
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/new");
}

TEST_F(FilesTest, SiteTableIsReadUpToOneMebibyteFromARegularFileOnly) {
  constexpr size_t kTableLimit = 1048576;
  // Lines up to just before the limit, then a root the limit cuts, then one beyond it.
  std::string table = "3 /first\n";
  const std::string comment = "# " + std::string(1000, '-') + "\n";
  while (table.size() + comment.size() < kTableLimit - 5) table += comment;
  table += "#" + std::string(kTableLimit - 5 - table.size() - 2, '-') + "\n";
  table += "4 /cut-here\n5 /beyond\n";
  Put("sites.txt", table);
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/first");
  EXPECT_FALSE(ReadSiteRootPath(4, directory_.native()).has_value());  // not "/cu"
  EXPECT_FALSE(ReadSiteRootPath(5, directory_.native()).has_value());

  // A device read whole would never end.
  fs::remove(directory_ / "sites.txt");
  fs::create_symlink("/dev/zero", directory_ / "sites.txt");
  EXPECT_FALSE(ReadSiteRootPath(3, directory_.native()).has_value());
}

TEST_F(FilesTest, ASiteTableThatCannotBeOpenedForAMomentKeepsItsSites) {
  Put("sites.txt", "3 /three\n");
  EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/three");
  {
    const testing::FileOutOfReach unreadable(directory_ / "sites.txt");
    EXPECT_EQ(ReadSiteRootPath(3, directory_.native()), "/three");
  }
  fs::remove(directory_ / "sites.txt");  // gone for good: no sites
  EXPECT_FALSE(ReadSiteRootPath(3, directory_.native()).has_value());
}

TEST_F(FilesTest, BytesSurviveTheFileBeingCutShortAfterTheyWereTaken) {
  const std::string content(70000, 'x');
  Put("httpd.ini", content);
  const FileView view(Path("httpd.ini"), 2097152);
  fs::resize_file(directory_ / "httpd.ini", 0);  // a mapping would now fault past the end
  EXPECT_EQ(view.Bytes(), content);
}

TEST_F(FilesTest, AReportIsNeverWrittenThroughALinkNorOverTheViewedFile) {
  const std::string precious = "[Vortane]\nRewriteRule ^/a$ /b\n";
  const auto link = [this](const std::string& how) {
    fs::remove_all(directory_ / "report");
    if (how == "symbolic link") fs::create_symlink(directory_ / "victim", directory_ / "report");
    if (how == "hard link") fs::create_hard_link(directory_ / "victim", directory_ / "report");
    if (how == "directory") fs::create_directory(directory_ / "report");
  };
  for (const std::string how : {"symbolic link", "hard link", "directory"}) {
    SCOPED_TRACE(how);
    Put("victim", precious);
    link(how);
    ReportFile report(Path("report"));
    EXPECT_FALSE(report.IsOpen());
    report.Write("overwritten");
    EXPECT_EQ(Get("victim"), precious);
  }
  EXPECT_TRUE(fs::is_directory(directory_ / "report"));

  const FileView view(Path("victim"), 100);
  EXPECT_FALSE(ReportFile(Path("victim"), &view).IsOpen());
  EXPECT_EQ(Get("victim"), precious);
}
#else
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
#endif

}  // namespace
}  // namespace vortane::platform
