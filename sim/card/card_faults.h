// Faults a test can inject into a card, to see the driver cope with hardware
// that misbehaves.
#pragma once

namespace kl::sim::card {

struct CardFaults {
  // The remote-DMA address never advances: data-port transfers all reach the
  // address RSAR loaded, and CRDA keeps reading back that address. The byte
  // count still runs down.
  bool crdaFrozen = false;
};

}  // namespace kl::sim::card
