#include "rules/server_values.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"

namespace vortane {

char* ValueBuffer::Grow(size_t at, size_t size) {
  const size_t capacity = std::max(at + size, 2 * capacity_);
  std::unique_ptr<char[]> grown(new char[capacity]);
  if (at > 0) std::memcpy(grown.get(), data_, at);
  heap_ = std::move(grown);
  data_ = heap_.get();
  capacity_ = capacity;
  return data_ + at;
}

namespace detail {

ValueRead ReadLongValue(ServerRead read, HTTP_FILTER_CONTEXT* filterContext, LPSTR name,
                        ValueBuffer& buffer, size_t at, size_t spare, size_t needed,
                        size_t& length) {
  // Two more tries: a value may change between the reads, but not without end.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (needed > kValueLimit + 1) return ValueRead::TooLong;
    const size_t room = needed;
    char* area = buffer.Area(at, room + spare);
    DWORD size = static_cast<DWORD>(room);
    if (read(filterContext, name, area, &size)) return ValueReadWhole(area, size, room, length);
    if (size <= room) return ValueRead::Absent;
    needed = size;
  }
  return ValueRead::TooLong;
}

}  // namespace detail

std::string EscapeControlBytes(std::string_view value) {
  return PercentEncoded(value, IsControlByte);
}

}  // namespace vortane
