#include "sim/net/ethernet.h"

#include "sim/core/crc32.h"

namespace kl::sim::net {

std::vector<std::uint8_t> withFcs(std::span<const std::uint8_t> frame) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(frame.size() + kFcsBytes);
  bytes.assign(frame.begin(), frame.end());
  appendFcs(bytes);
  return bytes;
}

void appendFcs(std::vector<std::uint8_t>& frame) {
  std::uint32_t fcs = ethernetFcs(frame);
  for (std::size_t i = 0; i < kFcsBytes; ++i) {
    frame.push_back(static_cast<std::uint8_t>(fcs));
    fcs >>= 8;
  }
}

bool fcsValid(std::span<const std::uint8_t> frame) {
  if (frame.size() < kFcsBytes) {
    return false;
  }
  const auto body = frame.first(frame.size() - kFcsBytes);
  const auto tail = frame.last(kFcsBytes);
  std::uint32_t sent = 0;
  for (std::size_t i = kFcsBytes; i-- > 0;) {
    sent = (sent << 8) | tail[i];
  }
  return sent == ethernetFcs(body);
}

}  // namespace kl::sim::net
