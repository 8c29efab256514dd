// The test frames' payload: built and checked in blocks (32 and 8 bytes at a
// time where the processor has AVX2), it must stay byte for byte the pattern
// the frame format defines, which captures and port traces show.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/world/test_pattern.h"

namespace kl::sim::world {
namespace {

struct PatternCase {
  std::uint8_t stream;
  std::uint32_t sequence;
  std::size_t from;
  std::size_t length;
};

class Pattern : public ::testing::TestWithParam<PatternCase> {};

TEST_P(Pattern, BlocksGiveEveryByteOfTheDefinitionAndCatchAnyOneWrong) {
  const PatternCase& c = GetParam();
  const std::uint32_t seed = patternSeed(c.stream, c.sequence);
  std::vector<std::uint8_t> bytes(c.length);
  fillPattern(seed, c.from, bytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(bytes[i], patternByte(seed, c.from + i)) << "byte " << c.from + i;
  }
  EXPECT_TRUE(matchesPattern(seed, c.from, bytes));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] ^= 0x01;
    EXPECT_FALSE(matchesPattern(seed, c.from, bytes)) << "byte " << c.from + i << " changed";
    bytes[i] ^= 0x01;
  }
}

// Lengths around the 32- and 8-byte steps and the 256-byte blocks of the check,
// and sequence numbers whose mix wraps.
INSTANTIATE_TEST_SUITE_P(World, Pattern,
                         ::testing::Values(PatternCase{1, 0, 21, 0}, PatternCase{1, 0, 21, 7},
                                           PatternCase{1, 0, 21, 8}, PatternCase{2, 5, 21, 9},
                                           PatternCase{3, 77, 21, 255}, PatternCase{3, 78, 21, 256},
                                           PatternCase{3, 79, 21, 257},
                                           PatternCase{255, 0xFFFFFFFF, 21, 1493},
                                           PatternCase{9, 123456789, 1000, 514}));

// A few bytes of the format as it has always been, worked out by hand from
// its definition.
TEST(Pattern, KeepsTheFormatsBytes) {
  std::vector<std::uint8_t> bytes(8);
  fillPattern(patternSeed(1, 0), 21, bytes);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x04, 0x39, 0xE7, 0x8E, 0x14, 0xF6, 0x69, 0x13}));
  EXPECT_EQ(patternByte(patternSeed(2, 0xFFFFFFFF), 1513), 0x1D);
  EXPECT_EQ(patternByte(patternSeed(255, 123456789), 300), 0x43);
}

}  // namespace
}  // namespace kl::sim::world
