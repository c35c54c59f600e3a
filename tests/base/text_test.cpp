// Digits and numbers: every caller in the tree relies on these edges.
#include "base/text.h"

#include <gtest/gtest.h>

namespace vortane {
namespace {

TEST(TextTest, HexDigitValue) {
  const std::pair<char, int> cases[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'f', 15}, {'A', 10},
                                        {'F', 15}, {'g', -1}, {'G', -1}, {'/', -1}, {':', -1},
                                        {'@', -1}, {'`', -1}, {'\0', -1}};
  for (const auto& [c, value] : cases) EXPECT_EQ(HexDigitValue(c), value) << c;
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
