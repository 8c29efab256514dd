#include "sim/net/cable.h"

#include <algorithm>
#include <utility>

namespace kl::sim::net {

Cable::Cable(Clock& clock, BitRate rate)
    : clock_(clock), a_(*this, Side::A, rate), b_(*this, Side::B, rate) {}

void Cable::setBitRate(BitRate rate) {
  a_.setBitRate(rate);
  b_.setBitRate(rate);
}

Cable::End& Cable::End::far() const { return cable_.end(side_ == Side::A ? Side::B : Side::A); }

bool Cable::End::linkUp() const { return cable_.connected_ && plugged() && far().plugged(); }

bool Cable::End::carriesFrames() const {
  return linkUp() && transceiverUp_ && far().transceiverUp_ && rate_ == far().rate_;
}

Cable::Transmission Cable::End::send(WireFrame frame) {
  Clock& clock = cable_.clock_;
  const VirtualTime start = std::max(clock.now(), idleAt_);
  const VirtualTime arrival = start + frameTime(frame.bytes.size(), rate_);
  idleAt_ = arrival + interFrameGap(rate_);
  const std::uint64_t ticket = cable_.nextTicket_++;
  cable_.inFlight_[ticket] =
      clock.scheduleAt(arrival, [&cable = cable_, ticket, side = side_, frame = std::move(frame)] {
        cable.deliver(ticket, side, frame);
      });
  return Transmission{ticket, idleAt_};
}

bool Cable::End::cutOff(const Transmission& transmission) {
  const auto it = cable_.inFlight_.find(transmission.ticket);
  if (it == cable_.inFlight_.end()) {
    return false;
  }
  cable_.clock_.cancel(it->second);
  cable_.inFlight_.erase(it);
  return true;
}

void Cable::deliver(std::uint64_t ticket, Side from, const WireFrame& frame) {
  inFlight_.erase(ticket);
  const End& sender = end(from);
  if (!sender.carriesFrames()) {
    return;
  }
  for (const Observer& observer : observers_) {
    observer(frame, from, clock_.now());
  }
  sender.far().station_->frameArrived(frame);
}

}  // namespace kl::sim::net
