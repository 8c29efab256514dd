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
constexpr std::uint32_t kIndexMix = 0x85EBCA6BU;

// The mix of patternByte in eight 32-bit lanes, the byte in each lane's low
// eight bits.
__attribute__((target("avx2"))) inline __m256i mixed(__m256i x) {
  const __m256i multiplier = _mm256_set1_epi32(0x2C1B3C6D);
  const __m256i v = _mm256_mullo_epi32(_mm256_xor_si256(x, _mm256_srli_epi32(x, 15)), multiplier);
  return _mm256_xor_si256(v, _mm256_srli_epi32(v, 12));
}

// Thirty-two pattern bytes per step, from four sets of eight lanes whose low
// bytes are packed down to one vector, then eight per step, then one by one.
__attribute__((target("avx2"))) void fillInBlocks(std::uint32_t seed, std::size_t from,
                                                  std::span<std::uint8_t> out) {
  const auto start = seed + static_cast<std::uint32_t>(from) * kIndexMix;
  const auto lane = [&](std::uint32_t n) { return static_cast<int>(start + n * kIndexMix); };
  __m256i x =
      _mm256_setr_epi32(lane(0), lane(1), lane(2), lane(3), lane(4), lane(5), lane(6), lane(7));
  const __m256i eight = _mm256_set1_epi32(static_cast<int>(8 * kIndexMix));
  const __m256i lowByte = _mm256_set1_epi32(0xFF);
  // The packs work within 128-bit halves, leaving the four-byte groups in
  // the order 0, 2, 4, 6, 1, 3, 5, 7 of the thirty-two bytes.
  const __m256i groupOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  std::size_t i = 0;
  const __m256i sixteen = _mm256_add_epi32(eight, eight);
  const __m256i twentyFour = _mm256_add_epi32(sixteen, eight);
  const __m256i thirtyTwo = _mm256_add_epi32(sixteen, sixteen);
  for (; i + 32 <= out.size(); i += 32) {
    const __m256i first = _mm256_and_si256(mixed(x), lowByte);
    const __m256i second = _mm256_and_si256(mixed(_mm256_add_epi32(x, eight)), lowByte);
    const __m256i third = _mm256_and_si256(mixed(_mm256_add_epi32(x, sixteen)), lowByte);
    const __m256i fourth = _mm256_and_si256(mixed(_mm256_add_epi32(x, twentyFour)), lowByte);
    x = _mm256_add_epi32(x, thirtyTwo);
    const __m256i words =
        _mm256_packus_epi16(_mm256_packus_epi32(first, second), _mm256_packus_epi32(third, fourth));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.data() + i),
                        _mm256_permutevar8x32_epi32(words, groupOrder));
  }
  // In each 128-bit half, bytes 0, 4, 8 and 12 (the lanes' low bytes) first.
  const __m256i lowBytes =
      _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12, -1,
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  for (; i + 8 <= out.size(); i += 8) {
    const __m256i v = _mm256_shuffle_epi8(mixed(x), lowBytes);
    const auto low = static_cast<std::uint32_t>(_mm256_extract_epi32(v, 0));
    const auto high = static_cast<std::uint32_t>(_mm256_extract_epi32(v, 4));
    std::memcpy(out.data() + i, &low, sizeof(low));
    std::memcpy(out.data() + i + 4, &high, sizeof(high));
    x = _mm256_add_epi32(x, eight);
  }
  fillOneByOne(seed, from + i, out.subspan(i));
}
#endif

}  // namespace

void fillPattern(std::uint32_t seed, std::size_t from, std::span<std::uint8_t> out) {
#if defined(KL_PATTERN_AVX2)
  if (__builtin_cpu_supports("avx2")) {
    fillInBlocks(seed, from, out);
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
