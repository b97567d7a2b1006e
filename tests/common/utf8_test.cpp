#include <gtest/gtest.h>

#include "common/units.h"

namespace tessaline {

TEST(Units, BlockArithmeticKeepsUnits) {
  const BlockAddress start{11702};
  const BlockCount length{300};
  EXPECT_EQ((start + length).value, 12002);
  EXPECT_EQ(((start + length) - start).value, 300);
  EXPECT_EQ(BlockCount::fromBytesRoundedDown(1'050'000).value, 512);
  EXPECT_EQ(BlockCount::fromBytesRoundedUp(1'050'000).value, 513);
  EXPECT_EQ(BlockCount{512}.bytes(), 1'048'576);
}

TEST(Units, DiscMegabytesOfABlank80MinuteDisc) {
  EXPECT_NEAR(discMegabytes(BlockCount{359'847}), 700.0, 0.1);
  EXPECT_EQ(discMegabytes(BlockCount{0}), 0.0f);
  EXPECT_DOUBLE_EQ(Megabytes::fromBytes(1'500'000).value, 1.5);
}

}  // namespace tessaline

#include "common/utf8.h"

namespace tessaline {

TEST(Utf8, DecodesValidSequencesAndRefusesEveryMalformedOne) {
  struct Case {
    const char* bytes;
    std::size_t length;
    char32_t codePoint;
  };
  for (const Case& c : {Case{"A", 1, U'A'}, Case{"\xc3\xa9", 2, U'\u00e9'}, Case{"\xe2\x82\xac", 3, U'\u20ac'},
                        Case{"\xf0\x9f\x92\xbf", 4, U'\U0001F4BF'}}) {
    char32_t cp = 0;
    EXPECT_EQ(decodeUtf8(c.bytes, 0, cp), c.length) << c.bytes;
    EXPECT_EQ(cp, c.codePoint);
  }
  for (const char* bad : {"\xe9", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"}) {
    char32_t cp = 0;
    EXPECT_EQ(decodeUtf8(bad, 0, cp), 0u) << "bytes of length " << std::string_view(bad).size();
  }
  EXPECT_TRUE(allCodePoints("Gr\xc3\xbc\xc3\x9f" "e", [](char32_t cp) { return cp <= 0xFFFF; }));
  EXPECT_FALSE(allCodePoints("disc \xf0\x9f\x92\xbf", [](char32_t cp) { return cp <= 0xFFFF; }));
  EXPECT_FALSE(allCodePoints("caf\xe9", [](char32_t) { return true; }));
}

}  // namespace tessaline
