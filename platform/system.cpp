// The portable part of the system facts; each backend's system.cpp holds the rest.
#include "platform/system.h"

#include <vector>

namespace vortane::platform {

std::optional<PathString> ReadGrowing(const std::function<size_t(PathChar*, size_t)>& read,
                                      size_t initialCapacity) {
  std::vector<PathChar> buffer(initialCapacity);
  for (;;) {
    const size_t length = read(buffer.data(), buffer.size());
    if (length == 0) return std::nullopt;
    if (length < buffer.size()) return PathString(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace vortane::platform
