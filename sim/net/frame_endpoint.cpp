#include "sim/net/frame_endpoint.h"

#include "sim/net/ethernet.h"

namespace kl::sim::net {

FrameEndpoint::FrameEndpoint(Cable::End& end, const Clock& clock) : end_(end), clock_(clock) {
  end_.plug(*this);
}

Cable::Transmission FrameEndpoint::send(std::span<const std::uint8_t> frame) {
  return end_.send(WireFrame{withFcs(frame)});
}

void FrameEndpoint::frameArrived(const WireFrame& frame) {
  arrivals_.push_back(Arrival{frame, clock_.now()});
  if (callback_) {
    callback_(arrivals_.back());
  }
}

}  // namespace kl::sim::net
