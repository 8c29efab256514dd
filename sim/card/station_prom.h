// The card's station PROM, as a byte-wide remote read of card addresses
// 0x00-0x1F sees it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kl::sim::card {

using MacAddress = std::array<std::uint8_t, 6>;

inline constexpr std::size_t kPromImageSize = 32;
using PromImage = std::array<std::uint8_t, kPromImageSize>;

// A word-wide card holds a 16-byte PROM on the low half of its data bus and
// answers every byte address with the PROM byte at half that address, so a
// byte-wide read sees each PROM byte twice. PROM bytes 0-5 hold the station
// address and PROM byte 14 is 'W' (0x57): image bytes 28 and 29.
[[nodiscard]] PromImage wordWidePromImage(const MacAddress& station);

// A byte-wide card holds the station address in image bytes 0-5 and 'B' 'B'
// (0x42 0x42) in image bytes 28 and 29.
[[nodiscard]] PromImage byteWidePromImage(const MacAddress& station);

// A blank part: every byte reads 0xFF.
[[nodiscard]] PromImage erasedPromImage();

}  // namespace kl::sim::card
