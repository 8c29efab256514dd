// NDIS's block for one adapter as the miniport reaches it. The handle NDIS
// gives the miniport for the adapter points at the block, and the miniport's
// receive indications call the Ethernet filter's handlers that NDIS keeps in
// it, at the offsets the platform has them.
#pragma once

#include "platform/ndis.h"

namespace kl::sim {
class MiniportAdapter;
}  // namespace kl::sim

// The Ethernet filter database of one adapter. Here it only leads the
// indications back to the adapter they are for.
struct _ETH_FILTER {
  kl::sim::MiniportAdapter* adapter;
};

namespace kl::sim {

class MiniportBlock {
 public:
  explicit MiniportBlock(MiniportAdapter& adapter);
  MiniportBlock(const MiniportBlock&) = delete;
  MiniportBlock& operator=(const MiniportBlock&) = delete;
  ~MiniportBlock() = default;

  [[nodiscard]] NDIS_HANDLE handle() { return &block_; }

 private:
  NDIS_MINIPORT_BLOCK block_{};
  ETH_FILTER filter_;
};

}  // namespace kl::sim
