// The packets a protocol lends a miniport, kept for the next send once they
// come back, as a protocol keeps a packet pool of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/ndis.h"
#include "sim/host/packet.h"

namespace kl::sim {

class PacketPool {
 public:
  // A packet of buffers cut from `frame` as `lengths` give them (see
  // Packet::fromPieces), lent until it is given back; built in a packet that
  // came back before, where there is one.
  Packet& lend(std::span<const std::uint8_t> frame, std::span<const std::size_t> lengths);
  // Takes back the lent packet `packet` is the NDIS packet of; false, taking
  // nothing, when the pool has no such packet out.
  bool giveBack(const NDIS_PACKET& packet);
  [[nodiscard]] std::size_t lent() const { return lent_.size(); }

 private:
  std::vector<std::unique_ptr<Packet>> lent_;
  std::vector<std::unique_ptr<Packet>> spare_;
};

}  // namespace kl::sim
