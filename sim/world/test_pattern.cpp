#include "sim/world/test_pattern.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KL_PATTERN_AVX2 1
#endif

namespace kl::sim::world {

namespace {

void fillOneByOne(std::uint32_t seed, std::size_t from, std::span<std::uint8_t> out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = patternByte(seed, from + i);
  }
}

#if defined(KL_PATTERN_AVX2)
// Eight pattern bytes per step: the mix in eight 32-bit lanes, then the low
// byte of each lane gathered into eight consecutive bytes.
__attribute__((target("avx2"))) void fillEightAtATime(std::uint32_t seed, std::size_t from,
                                                      std::span<std::uint8_t> out) {
  constexpr std::uint32_t kIndexMix = 0x85EBCA6BU;
  const auto start = seed + static_cast<std::uint32_t>(from) * kIndexMix;
  const auto lane = [&](std::uint32_t n) { return static_cast<int>(start + n * kIndexMix); };
  __m256i x =
      _mm256_setr_epi32(lane(0), lane(1), lane(2), lane(3), lane(4), lane(5), lane(6), lane(7));
  const __m256i step = _mm256_set1_epi32(static_cast<int>(8 * kIndexMix));
  const __m256i multiplier = _mm256_set1_epi32(0x2C1B3C6D);
  // In each 128-bit half, bytes 0, 4, 8 and 12 (the lanes' low bytes) first.
  const __m256i lowBytes =
      _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12, -1,
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  std::size_t i = 0;
  for (; i + 8 <= out.size(); i += 8) {
    __m256i v = _mm256_xor_si256(x, _mm256_srli_epi32(x, 15));
    v = _mm256_mullo_epi32(v, multiplier);
    v = _mm256_xor_si256(v, _mm256_srli_epi32(v, 12));
    v = _mm256_shuffle_epi8(v, lowBytes);
    const auto low = static_cast<std::uint32_t>(_mm256_extract_epi32(v, 0));
    const auto high = static_cast<std::uint32_t>(_mm256_extract_epi32(v, 4));
    std::memcpy(out.data() + i, &low, sizeof(low));
    std::memcpy(out.data() + i + 4, &high, sizeof(high));
    x = _mm256_add_epi32(x, step);
  }
  fillOneByOne(seed, from + i, out.subspan(i));
}
#endif

}  // namespace

void fillPattern(std::uint32_t seed, std::size_t from, std::span<std::uint8_t> out) {
#if defined(KL_PATTERN_AVX2)
  if (__builtin_cpu_supports("avx2")) {
    fillEightAtATime(seed, from, out);
    return;
  }
#endif
  fillOneByOne(seed, from, out);
}

bool matchesPattern(std::uint32_t seed, std::size_t from, std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 256> expected;
  while (!bytes.empty()) {
    const std::size_t block = std::min(bytes.size(), expected.size());
    const std::span<std::uint8_t> want = std::span(expected).first(block);
    fillPattern(seed, from, want);
    if (std::memcmp(want.data(), bytes.data(), block) != 0) {
      return false;
    }
    bytes = bytes.subspan(block);
    from += block;
  }
  return true;
}

}  // namespace kl::sim::world
