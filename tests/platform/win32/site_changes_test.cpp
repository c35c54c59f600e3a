#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/site_changes.h"
#include "tests/support/com_factory.h"

namespace vortane::platform {
namespace {

// The notifier is not registered under Wine: the source is not open, ends at once, and
// leaves COM on the thread as it found it.
TEST(SiteChangeSource, IsNotOpenWithoutTheNotifierAndBalancesCom) {
  std::thread([] {
    {
      SiteChangeSource source(L"");
      EXPECT_FALSE(source.IsOpen());
      EXPECT_FALSE(source.StartWatching());
      uint32_t site = 0;
      EXPECT_EQ(source.WaitForChange(site), SiteChangeSource::Wait::End);
    }
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  }).join();
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    { EXPECT_FALSE(SiteChangeSource(L"").IsOpen()); }
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  }).join();
}

// A notifier of this process, registered for the notifier's class, that plays back a script
// of WaitForChange results and records the slots called. Its methods are declared in slot
// order, after IUnknown's.
class ScriptedNotifier : public IUnknown {
 public:
  struct Step {
    HRESULT result;
    DWORD site;
  };
  explicit ScriptedNotifier(std::vector<Step> script, HRESULT startResult)
      : script_(std::move(script)), startResult_(startResult) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    calls_ += "Q";
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    calls_ += "R";
    return --references_;
  }
  virtual HRESULT STDMETHODCALLTYPE SinkNotify(DWORD, void*) {
    calls_ += "3";
    return E_NOTIMPL;
  }
  virtual HRESULT STDMETHODCALLTYPE ShutdownNotify() {
    calls_ += "4";
    return E_NOTIMPL;
  }
  virtual HRESULT STDMETHODCALLTYPE WaitForChange(DWORD* site) {
    calls_ += "W";
    if (next_ == script_.size()) return E_UNEXPECTED;
    const Step step = script_[next_++];
    *site = step.site;
    return step.result;
  }
  virtual HRESULT STDMETHODCALLTYPE StartWatching() {
    calls_ += "S";
    return startResult_;
  }
  virtual HRESULT STDMETHODCALLTYPE StopWatching() {
    calls_ += "T";
    return S_OK;
  }

  const std::string& calls() const { return calls_; }
  ULONG references() const { return references_; }

 private:
  std::vector<Step> script_;
  size_t next_ = 0;
  HRESULT startResult_;
  std::string calls_;
  ULONG references_ = 0;
};

// Runs `use` on a thread of its own with the scripted notifier registered for the class.
void WithNotifier(ScriptedNotifier& notifier, const std::function<void()>& use) {
  std::thread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    // {27C3B8ED-0790-42BD-9AD7-18465E7F7696}
    const CLSID classId = {
        0x27c3b8ed, 0x0790, 0x42bd, {0x9a, 0xd7, 0x18, 0x46, 0x5e, 0x7f, 0x76, 0x96}};
    // {A9E69612-B80D-11D0-B9B9-00A0C922E750}
    const IID interfaceId = {
        0xa9e69612, 0xb80d, 0x11d0, {0xb9, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0xe7, 0x50}};
    testing::SingleObjectFactory factory(notifier, interfaceId);
    DWORD cookie = 0;
    ASSERT_EQ(
        CoRegisterClassObject(classId, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
        S_OK);
    use();
    CoRevokeClassObject(cookie);
    CoUninitialize();
  }).join();
}

TEST(SiteChangeSource, CallsTheNotifiersSlotsAndReadsTheirResults) {
  using Wait = SiteChangeSource::Wait;
  struct Case {
    const char* name;
    ScriptedNotifier::Step step;
    Wait expected;
  } cases[] = {
      {"a change", {S_OK, 5}, Wait::Changed},
      {"another success", {S_FALSE, 6}, Wait::Nothing},
      {"a success with a facility", {0x00040200, 6}, Wait::Nothing},
      {"no further notifications", {0x00040201, 6}, Wait::End},
      {"a failure", {E_FAIL, 6}, Wait::End},
      {"a failure of RPC", {static_cast<HRESULT>(0x800706BA), 6}, Wait::End},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedNotifier notifier({c.step}, S_OK);
    WithNotifier(notifier, [&] {
      SiteChangeSource source(L"");
      ASSERT_TRUE(source.IsOpen());
      EXPECT_TRUE(source.StartWatching());
      uint32_t site = 99;
      EXPECT_EQ(source.WaitForChange(site), c.expected);
      EXPECT_EQ(site, c.expected == Wait::Changed ? c.step.site : 99u);
      source.StopWatching();
    });
    EXPECT_EQ(notifier.calls(), "SWTR");
    EXPECT_EQ(notifier.references(), 0u);
  }
}

TEST(SiteChangeSource, AFailedStartEndsTheUse) {
  ScriptedNotifier notifier({}, E_ACCESSDENIED);
  WithNotifier(notifier, [] {
    SiteChangeSource source(L"");
    ASSERT_TRUE(source.IsOpen());
    EXPECT_FALSE(source.StartWatching());
  });
  EXPECT_EQ(notifier.calls(), "SR");
  EXPECT_EQ(notifier.references(), 0u);
}

}  // namespace
}  // namespace vortane::platform
