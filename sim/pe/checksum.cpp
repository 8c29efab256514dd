#include "sim/pe/checksum.h"

namespace kl::pe {

std::uint32_t computeChecksum(std::span<const std::uint8_t> file, std::size_t checksumOffset) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < file.size(); i += 2) {
    std::uint32_t word = file[i];
    if (i + 1 < file.size()) {
      word |= std::uint32_t{file[i + 1]} << 8;
    }
    if (i >= checksumOffset && i < checksumOffset + 4) {
      word = 0;
    }
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + file.size());
}

}  // namespace kl::pe
