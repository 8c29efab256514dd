#include "sim/host/protocol.h"

#include "sim/host/miniport_adapter.h"
#include "sim/host/packet.h"

namespace kl::sim {

std::optional<std::vector<std::uint8_t>> receivedFrame(MiniportAdapter& adapter,
                                                       std::span<const std::uint8_t> header,
                                                       std::span<const std::uint8_t> lookahead,
                                                       UINT packetSize) {
  std::vector<std::uint8_t> frame;
  frame.reserve(header.size() + packetSize);
  frame.assign(header.begin(), header.end());
  if (lookahead.size() >= packetSize) {
    frame.insert(frame.end(), lookahead.begin(), lookahead.begin() + packetSize);
    return frame;
  }
  // Only what the lookahead lacks, as a protocol asks for it: the driver
  // then reads no byte of the frame twice.
  frame.insert(frame.end(), lookahead.begin(), lookahead.end());
  const auto have = static_cast<UINT>(lookahead.size());
  const UINT wanted = packetSize - have;
  auto rest = Packet::withSpace(wanted);
  UINT transferred = 0;
  if (adapter.transferData(rest->ndis(), have, wanted, transferred) != NDIS_STATUS_SUCCESS ||
      transferred != wanted) {
    return std::nullopt;
  }
  rest->appendTo(frame);
  return frame;
}

}  // namespace kl::sim
