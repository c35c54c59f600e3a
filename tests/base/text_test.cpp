// Digits and numbers: every caller in the tree relies on these edges.
#include "base/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vortane {
namespace {

TEST(TextTest, HexDigitValue) {
  const std::pair<char, int> cases[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'f', 15}, {'A', 10},
                                        {'F', 15}, {'g', -1}, {'G', -1}, {'/', -1}, {':', -1},
                                        {'@', -1}, {'`', -1}, {'\0', -1}};
  for (const auto& [c, value] : cases) EXPECT_EQ(HexDigitValue(c), value) << c;
}

// The byte classes at their edges: each bound and the byte just past it.
TEST(TextTest, ByteClasses) {
  struct Case {
    char c;
    bool digit, hex, letter, control;
  };
  const Case cases[] = {
      {'0', true, true, false, false},      {'9', true, true, false, false},
      {'/', false, false, false, false},    {':', false, false, false, false},
      {'f', false, true, true, false},      {'g', false, false, true, false},
      {'F', false, true, true, false},      {'G', false, false, true, false},
      {'@', false, false, false, false},    {'[', false, false, false, false},
      {'`', false, false, false, false},    {'{', false, false, false, false},
      {'\x1f', false, false, false, true},  {' ', false, false, false, false},
      {'\x7f', false, false, false, true},  {'\x80', false, false, false, false},
      {'\xc1', false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c.c)));
    EXPECT_EQ(IsDigit(c.c), c.digit);
    EXPECT_EQ(IsHexDigit(c.c), c.hex);
    EXPECT_EQ(IsAsciiLetter(static_cast<unsigned char>(c.c)), c.letter);
    EXPECT_EQ(IsControlByte(static_cast<unsigned char>(c.c)), c.control);
    EXPECT_EQ(HasControlByte(std::string("ab") + c.c), c.control);
  }
}

TEST(TextTest, EqualIgnoringAsciiCase) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {"Host", "HOST", true}, {"x-a", "X-A", true}, {"", "", true},          {"Host", "Hos", false},
      {"@", "`", false},      {"[", "{", false},    {"\xc4", "\xe4", false}, {"a_b", "A-B", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualIgnoringAsciiCase(c.a, c.b), c.equal) << c.a << " " << c.b;
  }
}

// Lines end at LF; every CR at a line's end goes, a CR inside it stays.
TEST(TextTest, LineReader) {
  struct Case {
    std::string_view text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\r\nb\r\r\n\nc", {"a", "b", "", "c"}},
      {"\r\n\r", {"", ""}},
      {"a\rb\n", {"a\rb"}},
  };
  for (const Case& c : cases) {
    LineReader reader(c.text);
    std::vector<std::string> lines;
    for (std::string_view line; reader.Next(line);) lines.emplace_back(line);
    EXPECT_EQ(lines, c.lines) << Escaped(c.text);
  }
}

TEST(TextTest, StatusOf) {
  const std::pair<std::string_view, unsigned> cases[] = {
      {"HTTP/1.1 302 Object moved\r\n", 302},
      {"HTTP/1.1 500 Internal Server Error. Timeout", 500},
      {"HTTP/1.1 403", 403},
      {"HTTP/1.1 40", 0},
      {"HTTP/1.1 4x3 Bad", 0},
      {"HTTP/1.1 +03 Bad", 0},
      {"", 0},
  };
  for (const auto& [response, status] : cases) EXPECT_EQ(StatusOf(response), status) << response;
}

TEST(TextTest, ParseDecimal) {
  struct Case {
    const char* text;
    uint64_t maximum;
    std::optional<uint64_t> value;
  };
  const Case cases[] = {
      {"0", 10, 0},
      {"007", 10, 7},
      {"10", 10, 10},
      {"11", 10, std::nullopt},  // above the maximum
      {"4294967295", UINT32_MAX, 4294967295u},
      {"4294967296", UINT32_MAX, std::nullopt},
      {"18446744073709551615", UINT64_MAX, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, std::nullopt},  // overflow
      {"", 10, std::nullopt},
      {"+1", 10, std::nullopt},
      {"-1", 10, std::nullopt},
      {" 1", 10, std::nullopt},
      {"1 ", 10, std::nullopt},
      {"1a", 10, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseDecimal(c.text, c.maximum), c.value) << c.text;
}

TEST(TextTest, PercentEncoded) {
  const auto notLetter = [](unsigned char byte) { return byte < 'a' || byte > 'z'; };
  EXPECT_EQ(PercentEncoded("ab/\r\n\x7F\xFF", notLetter), "ab%2F%0D%0A%7F%FF");
  EXPECT_EQ(PercentEncoded("", notLetter), "");
}

}  // namespace
}  // namespace vortane
