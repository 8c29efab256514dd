// The demo: the driver loaded by the simulated NDIS library, moving frames
// through the emulated card's packet memory by remote DMA.
#pragma once

#include <cstdint>
#include <ostream>

namespace kl::tools {

struct DmaDemoOptions {
  std::uint32_t frames = 64;
  std::uint32_t seed = 7046;
  // Print every port access of the controller start.
  bool trace = false;
};

// Prints what it does to `out`; returns whether every byte came back intact.
bool runDmaDemo(const DmaDemoOptions& options, std::ostream& out);

}  // namespace kl::tools
