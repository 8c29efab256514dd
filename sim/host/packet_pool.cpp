#include "sim/host/packet_pool.h"

#include <algorithm>
#include <utility>

namespace kl::sim {

Packet& PacketPool::lend(std::span<const std::uint8_t> frame,
                         std::span<const std::size_t> lengths) {
  if (spare_.empty()) {
    lent_.push_back(Packet::fromPieces(frame, lengths));
  } else {
    lent_.push_back(std::move(spare_.back()));
    spare_.pop_back();
    lent_.back()->refill(frame, lengths);
  }
  return *lent_.back();
}

// A protocol holds a window of a few packets, so a look along them is
// cheaper than any index.
bool PacketPool::giveBack(const NDIS_PACKET& packet) {
  const auto it = std::find_if(lent_.begin(), lent_.end(),
                               [&](const auto& held) { return &held->ndis() == &packet; });
  if (it == lent_.end()) {
    return false;
  }
  spare_.push_back(std::move(*it));
  *it = std::move(lent_.back());
  lent_.pop_back();
  return true;
}

}  // namespace kl::sim
