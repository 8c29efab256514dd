#include "sim/core/crc32.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KL_CRC_CARRYLESS 1
#endif

namespace kl::sim {

namespace {

// zlib's CRC-32 is the IEEE 802.3 one: the register runs mirrored (bit 0
// here is bit 31 of the register the standard draws, so it takes each byte
// least significant bit first, as the wire does), starts at all ones and is
// complemented at the end, which is exactly the frame check sequence.
std::uint32_t zlibCrc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const auto chunk =
        static_cast<uInt>(std::min<std::size_t>(bytes.size(), std::numeric_limits<uInt>::max()));
    crc = static_cast<std::uint32_t>(crc32(crc, bytes.data(), chunk));
    bytes = bytes.subspan(chunk);
  }
  return crc;
}

#if defined(KL_CRC_CARRYLESS)
// The same CRC by folding with carry-less multiplication, 64 bytes a step:
// each 128-bit lane is multiplied by x^(512+32) and x^512 modulo the
// generator (mirrored, as the register runs) and added to the lane 64 bytes
// on; the four lanes fold into one, the tail folds 16 bytes a step, and a
// Barrett reduction brings 64 bits down to the 32 of the register. `state`
// and the result are the register uncomplemented. Takes a multiple of 16
// bytes, at least 64.
constexpr std::size_t kFoldBlock = 64;
constexpr std::size_t kFoldLane = 16;

// `lane` times the two factors in `by` (its low half by the low, its high by
// the high), added to `next`.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i next,
                                                             __m128i by) {
  const __m128i low = _mm_clmulepi64_si128(lane, by, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, by, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i lane(std::span<const std::uint8_t> bytes,
                                                             std::size_t at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + at));
}

__attribute__((target("pclmul,sse4.1"))) std::uint32_t foldedCrc(
    std::uint32_t state, std::span<const std::uint8_t> bytes) {
  // x^(4*128+32) and x^(4*128-32), then x^(128+32) and x^(128-32), then
  // x^64, mod P, mirrored; P itself and floor(x^64 / P) for the reduction.
  const __m128i byFour = _mm_set_epi64x(0x01C6E41596, 0x0154442BD4);
  const __m128i byOne = _mm_set_epi64x(0x00CCAA009E, 0x01751997D0);
  const __m128i toSixtyFour = _mm_set_epi64x(0, 0x0163CD6124);
  const __m128i barrett = _mm_set_epi64x(0x01F7011641, 0x01DB710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

  __m128i lanes[4] = {_mm_xor_si128(lane(bytes, 0), _mm_cvtsi32_si128(static_cast<int>(state))),
                      lane(bytes, kFoldLane), lane(bytes, 2 * kFoldLane),
                      lane(bytes, 3 * kFoldLane)};
  std::size_t at = kFoldBlock;
  for (; at + kFoldBlock <= bytes.size(); at += kFoldBlock) {
    for (std::size_t i = 0; i < 4; ++i) {
      lanes[i] = fold(lanes[i], lane(bytes, at + i * kFoldLane), byFour);
    }
  }
  __m128i x = fold(fold(fold(lanes[0], lanes[1], byOne), lanes[2], byOne), lanes[3], byOne);
  for (; at + kFoldLane <= bytes.size(); at += kFoldLane) {
    x = fold(x, lane(bytes, at), byOne);
  }
  // 128 bits to 64, then to 32 by Barrett reduction.
  x = _mm_xor_si128(_mm_clmulepi64_si128(x, byOne, 0x10), _mm_srli_si128(x, 8));
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), toSixtyFour, 0x00),
                    _mm_srli_si128(x, 4));
  __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
  quotient = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), barrett, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, quotient), 1));
}
#endif

// The FCS of `bytes`: folded where the processor multiplies without carries
// (a full frame in a tenth of the table-driven time), the tail by zlib.
std::uint32_t fcsOf(std::span<const std::uint8_t> bytes) {
#if defined(KL_CRC_CARRYLESS)
  if (bytes.size() >= kFoldBlock && __builtin_cpu_supports("pclmul")) {
    const std::size_t folded = bytes.size() & ~(kFoldLane - 1);
    const std::uint32_t crc = ~foldedCrc(~std::uint32_t{0}, bytes.first(folded));
    return zlibCrc(crc, bytes.subspan(folded));
  }
#endif
  return zlibCrc(0, bytes);
}

std::uint32_t mirrored(std::uint32_t value) {
  std::uint32_t result = 0;
  for (int bit = 0; bit < 32; ++bit) {
    result = (result << 1) | (value & 1U);
    value >>= 1;
  }
  return result;
}

}  // namespace

std::uint32_t ethernetFcs(std::span<const std::uint8_t> bytes) { return fcsOf(bytes); }

std::uint32_t ethernetCrcRegister(std::span<const std::uint8_t> bytes) {
  return mirrored(~fcsOf(bytes));
}

}  // namespace kl::sim
