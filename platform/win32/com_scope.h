// Windows only, internal to platform/: COM initialised on the calling thread for the life of
// a scope, multithreaded if it can be, apartment-threaded otherwise, and balanced when the
// scope ends. Used by the site roots and the site-change source.
#pragma once

#include <objbase.h>

namespace vortane::platform {

class ComScope {
 public:
  ComScope() {
    initialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) ||
                   SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  }
  ~ComScope() {
    if (initialised_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

  // False when neither kind of initialisation succeeded: no COM call may be made.
  bool initialised() const { return initialised_; }

 private:
  bool initialised_ = false;
};

}  // namespace vortane::platform
