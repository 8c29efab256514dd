// The checksum the NT loader verifies for a driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kl::pe {

// The 16-bit one's complement sum of the file with the checksum field (at
// `checksumOffset`) taken as zero, plus the file's length.
[[nodiscard]] std::uint32_t computeChecksum(std::span<const std::uint8_t> file,
                                            std::size_t checksumOffset);

}  // namespace kl::pe
