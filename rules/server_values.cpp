#include "rules/server_values.h"

#include <algorithm>
#include <cstring>

namespace vortane {

char* ValueBuffer::Area(size_t at, size_t size) {
  if (at + size > capacity_) {
    const size_t capacity = std::max(at + size, 2 * capacity_);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (at > 0) std::memcpy(grown.get(), data_.get(), at);
    data_ = std::move(grown);
    capacity_ = capacity;
  }
  return data_.get() + at;
}

ValueRead ReadValue(ServerRead read, HTTP_FILTER_CONTEXT* filterContext, LPSTR name,
                    ValueBuffer& buffer, size_t at, size_t spare, size_t& length) {
  length = 0;
  // Room for the value with its NUL; a server that answers "too small" says how much more.
  size_t room = kFirstReadSize;
  for (int attempt = 0; attempt < 3; ++attempt) {
    char* area = buffer.Area(at, room + spare);
    DWORD size = static_cast<DWORD>(room);
    if (read(filterContext, name, area, &size)) {
      // The size counts the NUL; a server that reports more than the room it had is held to
      // the room.
      length = size > 0 ? std::min<size_t>(size, room) - 1 : 0;
      area[length] = '\0';
      return ValueRead::Read;
    }
    if (size <= room) return ValueRead::Absent;
    if (size > kValueLimit + 1) return ValueRead::TooLong;
    room = size;
  }
  return ValueRead::TooLong;
}

bool HasControlByte(std::string_view value) {
  return std::any_of(value.begin(), value.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

std::string EscapeControlBytes(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0x0F];
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace vortane
