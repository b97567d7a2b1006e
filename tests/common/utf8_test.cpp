#include <gtest/gtest.h>

#include "common/utf8.h"

namespace tessaline {

TEST(Utf8, DecodesValidSequencesAndRefusesEveryMalformedOne) {
  using Case = std::tuple<const char*, std::size_t, char32_t>;
  for (const auto& [bytes, length, codePoint] : std::vector<Case>{{"A", 1, U'A'}, {"\xc3\xa9", 2, U'\u00e9'},
                                                                  {"\xe2\x82\xac", 3, U'\u20ac'}, {"\xf4\x8f\xbf\xbf", 4, U'\U0010FFFF'}}) {
    char32_t cp = 0;
    EXPECT_EQ(decodeUtf8(bytes, 0, cp), length) << bytes;
    EXPECT_EQ(cp, codePoint);
  }
  // Stray, cut off, overlong, the first and last surrogate, beyond U+10FFFF, a bad continuation.
  for (const char* bad : {"\xe9", "\xc3", "\xc0\xaf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xe2\x82",
                          "\x80", "\xe2\x28\xa1", "\xf8\x88\x80\x80\x80"}) {
    char32_t cp = 0;
    EXPECT_EQ(decodeUtf8(bad, 0, cp), 0u) << ::testing::PrintToString(std::string(bad));
  }
  // Each length's first and last code point, and those beside the surrogates, encode to what decodes back.
  for (const char32_t cp : {0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF}) {
    std::string bytes;
    appendUtf8(bytes, cp);
    char32_t back = 0;
    EXPECT_EQ(decodeUtf8(bytes, 0, back), bytes.size()) << std::hex << static_cast<std::uint32_t>(cp);
    EXPECT_EQ(back, cp);
  }
}

}  // namespace tessaline
