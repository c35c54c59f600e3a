// Values between the filter and the server: reading a request value whole, whatever its
// length up to a fixed bound, and making a value safe before it is written back.
//
// The server's read operations (GetHeader, GetServerVariable) fill a caller's buffer and
// fail when the value with its NUL does not fit, reporting the size it needs. ReadValue
// grows the buffer to that size and reads again, so no value is ever cut short or read as
// empty for being long. A value longer than kValueLimit is not read at all: the caller must
// then refuse to go on rather than run its rules without it (fail closed).
//
// Nothing here keeps state between calls; a ValueBuffer belongs to one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/text.h"
#include "platform/isapi.h"

namespace vortane {

// The longest value the filter reads, in bytes without its NUL: 64 KiB, four times the
// 16 KiB that the web server allows a request line or a header by default.
inline constexpr size_t kValueLimit = 65536;

// The size of a first read. Almost every value fits; longer ones cost one read more.
inline constexpr size_t kFirstReadSize = 4096;

// A buffer that grows and never shrinks, never zero-filled. Reads go straight into it, so
// each value's bytes are copied once. It starts with room for one first read (and a little
// appended after it) inside itself, on its owner's stack: most requests never allocate. It
// neither copies nor moves (its data may live inside it).
class ValueBuffer {
 public:
  ValueBuffer() = default;
  ValueBuffer(const ValueBuffer&) = delete;
  ValueBuffer& operator=(const ValueBuffer&) = delete;

  // A writable area of `size` bytes at offset `at`, keeping the `at` bytes before it. May
  // move the buffer: pointers from earlier calls are invalid afterwards.
  char* Area(size_t at, size_t size) {
    return at + size <= capacity_ ? data_ + at : Grow(at, size);
  }
  const char* Data() const { return data_; }

 private:
  static constexpr size_t kInlineSize = kFirstReadSize + 256;

  char* Grow(size_t at, size_t size);

  char inline_[kInlineSize];
  std::unique_ptr<char[]> heap_;
  char* data_ = inline_;
  size_t capacity_ = kInlineSize;
};

// A server operation with the read contract of GetHeader and GetServerVariable: TRUE with
// the value and its NUL in the buffer and the size used; FALSE when the value is absent, or
// when it does not fit (then with the size it needs, larger than the size passed, in *size).
using ServerRead = BOOL(SERVER_CALL*)(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD);

// A value's name as the server's operations take it: non-const, though they never write to
// it. `name` must be NUL-terminated (a std::string's text, or a literal).
inline LPSTR ServerName(std::string_view name) {
  return const_cast<LPSTR>(name.data());
}

// How a read ended.
enum class ValueRead {
  Read,     // the value is in the buffer, whole, followed by a NUL
  Absent,   // the server has no such value (or failed without asking for more room)
  TooLong,  // the value is longer than kValueLimit, or the server kept asking for more room
};

// Reads the value `name` through `read` into `buffer` at offset `at`, keeping the bytes
// before it, and sets `length` to its length without the NUL (0 unless Read). The area
// holds `length` + `spare` + 1 bytes at least, so a caller may append `spare` bytes after
// the value. Costs one server call, and one more (with a larger buffer) for a value of
// kFirstReadSize bytes or more; at most three calls against a server that keeps changing
// its answer.
ValueRead ReadValue(ServerRead read, HTTP_FILTER_CONTEXT* filterContext, LPSTR name,
                    ValueBuffer& buffer, size_t at, size_t spare, size_t& length);

namespace detail {

// The end of a read the server answered with TRUE: the length from its size (which counts
// the NUL), held to the room the server had, and the NUL put back in case it lied.
inline ValueRead ValueReadWhole(char* area, DWORD size, size_t room, size_t& length) {
  length = size > 0 ? std::min<size_t>(size, room) - 1 : 0;
  area[length] = '\0';
  return ValueRead::Read;
}

// ReadValue after a first read that asked for `needed` bytes.
ValueRead ReadLongValue(ServerRead read, HTTP_FILTER_CONTEXT* filterContext, LPSTR name,
                        ValueBuffer& buffer, size_t at, size_t spare, size_t needed,
                        size_t& length);

}  // namespace detail

// The first read is inline: it is the one almost every value needs.
inline ValueRead ReadValue(ServerRead read, HTTP_FILTER_CONTEXT* filterContext, LPSTR name,
                           ValueBuffer& buffer, size_t at, size_t spare, size_t& length) {
  char* area = buffer.Area(at, kFirstReadSize + spare);
  DWORD size = static_cast<DWORD>(kFirstReadSize);
  if (read(filterContext, name, area, &size)) {
    return detail::ValueReadWhole(area, size, kFirstReadSize, length);
  }
  length = 0;
  if (size <= kFirstReadSize) return ValueRead::Absent;
  return detail::ReadLongValue(read, filterContext, name, buffer, at, spare, size, length);
}

// A control byte (base/text.h's IsControlByte and HasControlByte: below 0x20, or 0x7F) written
// raw into a response or a request header could end the line and start another.
//
// `value` with every control byte written as a percent escape in upper
// case ("%0D"); every other byte as it is.
std::string EscapeControlBytes(std::string_view value);

}  // namespace vortane
