// What plugs into an end of a cable: a card, a test, a TAP bridge.
#pragma once

#include <cstdint>
#include <vector>

namespace kl::sim::net {

// A frame as it crosses the wire: its bytes with the FCS as sent, and whether
// it ended off a byte boundary (dribble bits), which only a test makes happen.
struct WireFrame {
  std::vector<std::uint8_t> bytes;
  bool misaligned = false;
  // The FCS was computed over these very bytes by the MAC that framed them,
  // and nothing has touched them since, so a receiver's check of it would
  // pass: it may take that as done. Whatever changes the bytes of such a
  // frame clears this.
  bool fcsIntact = false;
};

class Station {
 public:
  Station() = default;
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;
  virtual ~Station() = default;

  // The last bit of `frame` arrived now, on the virtual clock.
  virtual void frameArrived(const WireFrame& frame) = 0;
};

}  // namespace kl::sim::net
