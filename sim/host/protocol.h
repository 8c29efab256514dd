// The protocol edge: what a protocol bound above the miniport sees.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/ndis.h"

namespace kl::sim {

class MiniportAdapter;
class Packet;

class Protocol {
 public:
  Protocol() = default;
  Protocol(const Protocol&) = delete;
  Protocol& operator=(const Protocol&) = delete;
  virtual ~Protocol() = default;

  // A packet handed to the adapter's send handler is back, with its status.
  virtual void sendComplete(MiniportAdapter& adapter, NDIS_PACKET& packet, NDIS_STATUS status) = 0;
  // A frame arrived: its 14-byte header, the lookahead bytes after it, and the
  // size of everything after the header. The protocol may call
  // MiniportAdapter::transferData from here for the rest.
  virtual void receive(MiniportAdapter& adapter, std::span<const std::uint8_t> header,
                       std::span<const std::uint8_t> lookahead, UINT packetSize) = 0;
  // A burst of receive indications is over.
  virtual void receiveComplete(MiniportAdapter& adapter) = 0;
};

// The whole frame of an indication, header first: the lookahead when it
// holds everything, else the lookahead and, fetched with transfer-data, the
// rest after it. Nothing when transfer-data fails or comes back short. Only
// while Protocol::receive runs.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> receivedFrame(
    MiniportAdapter& adapter, std::span<const std::uint8_t> header,
    std::span<const std::uint8_t> lookahead, UINT packetSize);
// The same into `frame`, with transfer-data into `space` (built again as one
// buffer of the bytes wanted), both in the storage they have where that is
// large enough: a protocol that keeps them allocates nothing a frame. False
// where receivedFrame gives nothing.
bool collectFrame(MiniportAdapter& adapter, std::span<const std::uint8_t> header,
                  std::span<const std::uint8_t> lookahead, UINT packetSize,
                  std::vector<std::uint8_t>& frame, Packet& space);

}  // namespace kl::sim
