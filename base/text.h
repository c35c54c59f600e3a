// Digits and numbers in text, and bytes shown as text: the one definition every layer uses.
//
// Pure functions on bytes, with no locale: safe from any thread, no allocation.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vortane {

// The value of the hexadecimal digit `c` (0-9, a-f, A-F); -1 for any other byte.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
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
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (mustEncode(byte)) {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
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
  static constexpr char kHex[] = "0123456789abcdef";
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
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
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
    } else if (i + 2 < field.size() && HexDigitValue(field[i + 1]) >= 0 &&
               HexDigitValue(field[i + 2]) >= 0) {
      value += static_cast<char>(HexDigitValue(field[i + 1]) * 16 + HexDigitValue(field[i + 2]));
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace vortane
