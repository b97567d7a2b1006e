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
