#include "sim/host/protocol.h"

#include <memory>

#include "sim/host/miniport_adapter.h"
#include "sim/host/packet.h"

namespace kl::sim {

std::optional<std::vector<std::uint8_t>> receivedFrame(MiniportAdapter& adapter,
                                                       std::span<const std::uint8_t> header,
                                                       std::span<const std::uint8_t> lookahead,
                                                       UINT packetSize) {
  std::vector<std::uint8_t> frame;
  const std::unique_ptr<Packet> space = Packet::withSpace(0);
  if (!collectFrame(adapter, header, lookahead, packetSize, frame, *space)) {
    return std::nullopt;
  }
  return frame;
}

bool collectFrame(MiniportAdapter& adapter, std::span<const std::uint8_t> header,
                  std::span<const std::uint8_t> lookahead, UINT packetSize,
                  std::vector<std::uint8_t>& frame, Packet& space) {
  frame.reserve(header.size() + packetSize);
  frame.assign(header.begin(), header.end());
  if (lookahead.size() >= packetSize) {
    frame.insert(frame.end(), lookahead.begin(), lookahead.begin() + packetSize);
    return true;
  }
  // Only what the lookahead lacks, as a protocol asks for it: the driver
  // then reads no byte of the frame twice.
  frame.insert(frame.end(), lookahead.begin(), lookahead.end());
  const auto have = static_cast<UINT>(lookahead.size());
  const UINT wanted = packetSize - have;
  space.refillWithSpace(wanted);
  UINT transferred = 0;
  if (adapter.transferData(space.ndis(), have, wanted, transferred) != NDIS_STATUS_SUCCESS ||
      transferred != wanted) {
    return false;
  }
  space.appendTo(frame);
  return true;
}

}  // namespace kl::sim
