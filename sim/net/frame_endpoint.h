// A station that a test or a program drives directly: it sends raw frames
// and keeps every frame that reaches it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/core/clock.h"
#include "sim/net/cable.h"
#include "sim/net/station.h"

namespace kl::sim::net {

class FrameEndpoint final : public Station {
 public:
  struct Arrival {
    WireFrame frame;  // FCS included
    VirtualTime at{};
  };

  // Plugs itself into `end` (which must be free) until destroyed.
  FrameEndpoint(Cable::End& end, const Clock& clock);
  ~FrameEndpoint() override { end_.unplug(); }

  // Sends `frame` (destination address first, no FCS) with its FCS.
  Cable::Transmission send(std::span<const std::uint8_t> frame);
  // Sends `frame` exactly as given: a wrong FCS or a misalignment stays so.
  Cable::Transmission sendRaw(WireFrame frame) { return end_.send(std::move(frame)); }

  // Also called for each frame as it arrives, after it is kept.
  void onArrival(std::function<void(const Arrival&)> callback) { callback_ = std::move(callback); }

  [[nodiscard]] const std::vector<Arrival>& arrivals() const { return arrivals_; }
  void clear() { arrivals_.clear(); }
  [[nodiscard]] Cable::End& end() { return end_; }

  void frameArrived(const WireFrame& frame) override;

 private:
  Cable::End& end_;
  const Clock& clock_;
  std::vector<Arrival> arrivals_;
  std::function<void(const Arrival&)> callback_;
};

}  // namespace kl::sim::net
