// Where a station's transceiver meets the medium: an end of a cable, or a
// port of a hub. A card plugs into one and neither knows nor cares which.
#pragma once

#include <cstdint>

#include "sim/core/clock.h"
#include "sim/net/ethernet.h"
#include "sim/net/medium_access.h"
#include "sim/net/station.h"

namespace kl::sim::net {

// A frame on its way, as a jack's `send` returned it.
struct Transmission {
  std::uint64_t ticket = 0;
  // Frame time and inter-frame gap are over; for a half-duplex sender, when
  // they would be if nothing deferred or collided with the frame.
  VirtualTime leftAt{};
};

class Jack {
 public:
  Jack() = default;
  Jack(const Jack&) = delete;
  Jack& operator=(const Jack&) = delete;
  virtual ~Jack() = default;

  // `station` gets every frame that reaches this jack.
  virtual void plug(Station& station) = 0;
  virtual void unplug() = 0;

  [[nodiscard]] virtual BitRate bitRate() const = 0;
  virtual void setBitRate(BitRate rate) = 0;
  // Whether the transceiver behind the jack has a link to signal over.
  virtual void setTransceiverUp(bool up) = 0;
  // Frames sent now would reach someone.
  [[nodiscard]] virtual bool carriesFrames() const = 0;
  // The MAC's duplex at this jack, as its station last set it.
  virtual void setDuplex(Duplex duplex) = 0;

  // Puts `frame` on the medium. `done`, when given, gets the outcome at the
  // end of the inter-frame gap after the frame, or when a half-duplex
  // sender gives the frame up; not when it is cut off.
  virtual Transmission send(WireFrame frame, SendDone done) = 0;
  // Cuts off a frame still on its way: it never arrives whole. Returns
  // whether there was still something to cut off.
  virtual bool cutOff(const Transmission& transmission) = 0;
};

}  // namespace kl::sim::net
