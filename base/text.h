// Digits, letters, lines and numbers in text, and bytes shown as text: the one definition
// every layer uses.
//
// Pure functions on bytes, with no locale: safe from any thread, no allocation.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vortane {

// Whether `c` is an ASCII decimal digit, 0-9 (whatever the locale).
constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The value of the hexadecimal digit `c` (0-9, a-f, A-F); -1 for any other byte.
constexpr int HexDigitValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether `c` is a hexadecimal digit (0-9, a-f, A-F).
constexpr bool IsHexDigit(char c) {
  return HexDigitValue(c) >= 0;
}

// The hexadecimal digits in upper case, by value.
inline constexpr char kHexDigits[] = "0123456789ABCDEF";

// Whether `c` is an ASCII letter, a-z or A-Z (whatever the locale).
constexpr bool IsAsciiLetter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// `c` with A-Z folded to a-z, and the other way round; every other byte as it is.
constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether `text` begins with `start`.
constexpr bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// Whether `a` and `b` are the same bytes but for the case of ASCII letters.
constexpr bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// A control byte: below 0x20, or DEL (0x7F).
constexpr bool IsControlByte(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F;
}

// Whether `text` holds a control byte (IsControlByte). Cost: one pass.
constexpr bool HasControlByte(std::string_view text) {
  for (const char c : text) {
    if (IsControlByte(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

// `line` without the CRs at its end.
constexpr std::string_view WithoutTrailingCRs(std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Splits text into lines: each ends at LF (or the end of the text), without the CRs at its
// end (WithoutTrailingCRs). No empty line follows a final LF. The lines are views of the text.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  // The next line; false when none is left.
  bool Next(std::string_view& line) {
    if (rest_.empty()) return false;
    const size_t lineFeed = rest_.find('\n');
    line = WithoutTrailingCRs(rest_.substr(0, lineFeed));
    rest_ = lineFeed == std::string_view::npos ? std::string_view() : rest_.substr(lineFeed + 1);
    return true;
  }

 private:
  std::string_view rest_;
};

// The status code at the head of a response ("HTTP/1.1 302 ..."): the three digits after its
// first space; 0 when it has none.
inline unsigned StatusOf(std::string_view response) {
  const size_t space = response.find(' ');
  if (space == std::string_view::npos || response.size() < space + 4) return 0;
  unsigned status = 0;
  for (const char c : response.substr(space + 1, 3)) {
    if (!IsDigit(c)) return 0;
    status = status * 10 + static_cast<unsigned>(c - '0');
  }
  return status;
}

// `digits` as a decimal number, when it is one ASCII digit or more and nothing else (no
// sign, no blank) and its value is at most `maximum`; nothing otherwise, overflow included.
inline std::optional<uint64_t> ParseDecimal(std::string_view digits,
                                            uint64_t maximum = UINT64_MAX) {
  uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || error != std::errc() || stop != end || value > maximum) {
    return std::nullopt;
  }
  return value;
}

// Decodes every percent escape of `text` into `decoded`. False, with `decoded` unspecified,
// when an escape is not "%" and two hexadecimal digits, or decodes to a NUL (which would cut
// the value short wherever it is handed on). Cost: one pass, one string.
inline bool PercentDecode(std::string_view text, std::string& decoded) {
  decoded.clear();
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexDigitValue(text[i + 1]);
    const int low = HexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    const char byte = static_cast<char>(high * 16 + low);
    if (byte == '\0') return false;
    decoded += byte;
    i += 2;
  }
  return true;
}

// `text` with each byte for which `mustEncode(byte)` holds written as a percent escape in
// upper case ("%0D"), every other byte as it is. Cost: one pass, one string.
template <typename MustEncode>
std::string PercentEncoded(std::string_view text, MustEncode mustEncode) {
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (mustEncode(byte)) {
      encoded += '%';
      encoded += kHexDigits[byte >> 4];
      encoded += kHexDigits[byte & 0x0F];
    } else {
      encoded += c;
    }
  }
  return encoded;
}

// Bytes as one printable line, for a terminal or a log: CR, LF and tab as \r, \n and \t,
// other control bytes (ESC among them) and bytes outside ASCII as \xHH; so no byte of a file
// or a request reaches a terminal as a control sequence. Cost: one pass, one string.
inline std::string Escaped(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte >= 0x7F) {
      out += "\\x";
      out += LowerAscii(kHexDigits[byte >> 4]);
      out += LowerAscii(kHexDigits[byte & 0x0F]);
    } else {
      out += c;
    }
  }
  return out;
}

// One field of vortane-serve's access log: "-" for an empty value; otherwise the value with a
// space written as "+", and "%", "+", control bytes (below 0x20, 0x7F), a value that is a
// lone "-" and a "#" that starts the value as percent escapes ("%25", "%2B", "%0D", "%2D",
// "%23"). Every field so written is one word that reads back exactly (UnescapedLogField),
// and a line never starts with "#" (a directive) because of it. Cost: one pass, one string.
inline std::string EscapedLogField(std::string_view value) {
  if (value.empty()) return "-";
  if (value == "-") return "%2D";
  std::string field = PercentEncoded(value, [](unsigned char byte) {
    return byte < 0x20 || byte == 0x7F || byte == '%' || byte == '+';
  });
  if (field.front() == '#') field.replace(0, 1, "%23");
  for (char& c : field) {
    if (c == ' ') c = '+';
  }
  return field;
}

// The value of a field EscapedLogField wrote: "-" is empty, "+" a space, "%HH" the byte HH.
// Nothing when a "%" is not followed by two hexadecimal digits. Cost: one pass, one string.
inline std::optional<std::string> UnescapedLogField(std::string_view field) {
  std::string value;
  if (field == "-") return value;
  value.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '+') {
      value += ' ';
    } else if (field[i] != '%') {
      value += field[i];
    } else if (i + 2 < field.size() && IsHexDigit(field[i + 1]) && IsHexDigit(field[i + 2])) {
      value += static_cast<char>(HexDigitValue(field[i + 1]) * 16 + HexDigitValue(field[i + 2]));
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace vortane
