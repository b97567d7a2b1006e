#pragma once
// Numbers that carry units. A block is one 2048-byte CD-ROM Mode 1 sector.

#include <compare>
#include <cstdint>

namespace tessaline {

inline constexpr std::int64_t kBlockBytes = 2048;

// A number of 2048-byte blocks.
struct BlockCount {
  std::int64_t value = 0;
  constexpr std::int64_t bytes() const { return value * kBlockBytes; }
  static constexpr BlockCount fromBytesRoundedDown(std::int64_t bytes) { return {bytes / kBlockBytes}; }
  static constexpr BlockCount fromBytesRoundedUp(std::int64_t bytes) {
    return {(bytes + kBlockBytes - 1) / kBlockBytes};
  }
  friend constexpr auto operator<=>(BlockCount, BlockCount) = default;
  friend constexpr BlockCount operator+(BlockCount a, BlockCount b) { return {a.value + b.value}; }
  friend constexpr BlockCount operator-(BlockCount a, BlockCount b) { return {a.value - b.value}; }
};

// A logical block address on the disc, counted in blocks from block 0.
struct BlockAddress {
  std::int64_t value = 0;
  constexpr std::int64_t byteOffset() const { return value * kBlockBytes; }
  friend constexpr auto operator<=>(BlockAddress, BlockAddress) = default;
  friend constexpr BlockAddress operator+(BlockAddress a, BlockCount n) { return {a.value + n.value}; }
  friend constexpr BlockCount operator-(BlockAddress a, BlockAddress b) { return {a.value - b.value}; }
};

// Decimal megabytes (bytes / 1,000,000), the unit of burn-item sizes.
struct Megabytes {
  double value = 0.0;
  static constexpr Megabytes fromBytes(std::int64_t bytes) {
    return {static_cast<double>(bytes) / 1000.0 / 1000.0};
  }
  friend constexpr auto operator<=>(Megabytes, Megabytes) = default;
};

// The disc's free and used space as the status area shows it: CD time
// (75 blocks a second) scaled to megabytes, in single precision.
inline float discMegabytes(BlockCount blocks) {
  const float seconds = static_cast<float>(blocks.value) / 75.0f;
  return seconds / 6.85421f;
}

}  // namespace tessaline
