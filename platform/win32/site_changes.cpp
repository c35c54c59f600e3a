// The Windows site-change source: the web server's COM change notifier, called through its
// slots.
#include "platform/site_changes.h"

#include <windows.h>

#include <objbase.h>

#include "platform/win32/com_scope.h"

namespace vortane::platform {

namespace {

// The notifier's class and the interface it is asked for.
// {27C3B8ED-0790-42BD-9AD7-18465E7F7696}
const CLSID kNotifierClassId = {
    0x27c3b8ed, 0x0790, 0x42bd, {0x9a, 0xd7, 0x18, 0x46, 0x5e, 0x7f, 0x76, 0x96}};
// {A9E69612-B80D-11D0-B9B9-00A0C922E750}
const IID kNotifierInterfaceId = {
    0xa9e69612, 0xb80d, 0x11d0, {0xb9, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0xe7, 0x50}};

// WaitForChange: no further notifications will come.
constexpr HRESULT kNoFurtherNotifications = 0x00040201;

struct Notifier;

// The notifier's slots in order: IUnknown's three, the change-sink interface's two
// notification methods (never called here), then the three watching operations.
struct NotifierSlots {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(Notifier* self, REFIID id, void** object);
  ULONG(STDMETHODCALLTYPE* AddRef)(Notifier* self);
  ULONG(STDMETHODCALLTYPE* Release)(Notifier* self);
  HRESULT(STDMETHODCALLTYPE* SinkNotify)(Notifier* self, DWORD count, void* changes);
  HRESULT(STDMETHODCALLTYPE* ShutdownNotify)(Notifier* self);
  HRESULT(STDMETHODCALLTYPE* WaitForChange)(Notifier* self, DWORD* siteId);
  HRESULT(STDMETHODCALLTYPE* StartWatching)(Notifier* self);
  HRESULT(STDMETHODCALLTYPE* StopWatching)(Notifier* self);
};

struct Notifier {
  const NotifierSlots* slots;
};

}  // namespace

struct SiteChangeSource::Native {
  ComScope com;  // declared first: balanced after the notifier's release
  Notifier* notifier = nullptr;
};

SiteChangeSource::SiteChangeSource(const PathString& /*tableDirectory*/) : native_(new Native) {
  if (!native_->com.initialised()) return;
  void* created = nullptr;
  if (SUCCEEDED(CoCreateInstance(kNotifierClassId, nullptr, CLSCTX_INPROC_SERVER,
                                 kNotifierInterfaceId, &created))) {
    native_->notifier = static_cast<Notifier*>(created);
  }
}

SiteChangeSource::~SiteChangeSource() {
  if (native_->notifier != nullptr) native_->notifier->slots->Release(native_->notifier);
}

bool SiteChangeSource::IsOpen() const {
  return native_->notifier != nullptr;
}

bool SiteChangeSource::StartWatching() {
  return IsOpen() && SUCCEEDED(native_->notifier->slots->StartWatching(native_->notifier));
}

SiteChangeSource::Wait SiteChangeSource::WaitForChange(uint32_t& siteId) {
  if (!IsOpen()) return Wait::End;
  DWORD site = 0;
  const HRESULT result = native_->notifier->slots->WaitForChange(native_->notifier, &site);
  if (result == S_OK) {
    siteId = site;
    return Wait::Changed;
  }
  if (result == kNoFurtherNotifications || FAILED(result)) return Wait::End;
  return Wait::Nothing;
}

void SiteChangeSource::StopWatching() {
  if (IsOpen()) native_->notifier->slots->StopWatching(native_->notifier);
}

}  // namespace vortane::platform
