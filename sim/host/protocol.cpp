#include "sim/host/protocol.h"

#include "sim/host/miniport_adapter.h"
#include "sim/host/packet.h"

namespace kl::sim {

std::optional<std::vector<std::uint8_t>> receivedFrame(MiniportAdapter& adapter,
                                                       std::span<const std::uint8_t> header,
                                                       std::span<const std::uint8_t> lookahead,
                                                       UINT packetSize) {
  std::vector<std::uint8_t> frame(header.begin(), header.end());
  if (lookahead.size() >= packetSize) {
    frame.insert(frame.end(), lookahead.begin(), lookahead.begin() + packetSize);
    return frame;
  }
  auto rest = Packet::withSpace(packetSize);
  UINT transferred = 0;
  if (adapter.transferData(rest->ndis(), 0, packetSize, transferred) != NDIS_STATUS_SUCCESS ||
      transferred != packetSize) {
    return std::nullopt;
  }
  const std::vector<std::uint8_t> bytes = rest->bytes();
  frame.insert(frame.end(), bytes.begin(), bytes.end());
  return frame;
}

}  // namespace kl::sim
