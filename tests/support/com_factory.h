// Windows tests only: a class factory that hands out one object the test owns, for one
// interface, so that a fake component can be registered in the test process with
// CoRegisterClassObject. The factory lives on the test's stack; its counts mean nothing.
#pragma once

#ifdef _WIN32
#include <objbase.h>

namespace vortane::testing {

class SingleObjectFactory : public IClassFactory {
 public:
  // `object` must start with the vtable of `interfaceId` (single inheritance from IUnknown).
  SingleObjectFactory(IUnknown& object, const IID& interfaceId)
      : object_(object), interfaceId_(interfaceId) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
    // IUnknown and IClassFactory, spelt out so that no interface library is needed.
    const IID unknownId = {0x00000000, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
    const IID factoryId = {0x00000001, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
    if (IsEqualIID(id, unknownId) || IsEqualIID(id, factoryId)) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID id, void** object) override {
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!IsEqualIID(id, interfaceId_)) return E_NOINTERFACE;
    object_.AddRef();
    *object = &object_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  IUnknown& object_;
  const IID interfaceId_;
};

}  // namespace vortane::testing
#endif
