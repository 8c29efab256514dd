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

Cable::Transmission Cable::End::send(WireFrame frame, SendDone done) {
  Clock& clock = cable_.clock_;
  MediumAccess& access = cable_.access_;
  const std::size_t side = index(side_);
  const VirtualTime start = std::max({clock.now(), idleAt_, access.idleAt(side)});
  const VirtualTime arrival = start + frameTime(frame.bytes.size(), rate_);
  const std::uint64_t ticket = cable_.nextTicket_++;
  if (duplex_ == Duplex::Half && carriesFrames()) {
    access.send(side, ticket, std::move(frame), std::move(done));
    return Transmission{ticket, arrival + interFrameGap(rate_)};
  }
  idleAt_ = arrival + interFrameGap(rate_);
  Flight flight{.arrival = clock.scheduleAt(
                    arrival, cable_.liveness_.guard(
                                 [&cable = cable_, ticket, from = side_, frame = std::move(frame)] {
                                   cable.deliver(ticket, from, frame);
                                 }))};
  if (done) {
    flight.done = clock.scheduleAt(idleAt_, [done = std::move(done)] { done(SendOutcome{}); });
  }
  cable_.inFlight_.emplace(ticket, flight);
  access.fullDuplexFrame(side, ticket, start, arrival);
  return Transmission{ticket, idleAt_};
}

bool Cable::End::cutOff(const Transmission& transmission) {
  MediumAccess& access = cable_.access_;
  const auto it = cable_.inFlight_.find(transmission.ticket);
  if (it == cable_.inFlight_.end()) {
    return access.cutOff(transmission.ticket);
  }
  cable_.clock_.cancel(it->second.arrival);
  if (it->second.done) {
    cable_.clock_.cancel(*it->second.done);
  }
  cable_.inFlight_.erase(it);
  access.cutOff(transmission.ticket);
  return true;
}

void Cable::deliver(std::uint64_t ticket, Side from, const WireFrame& frame) {
  const auto it = inFlight_.find(ticket);
  const bool lost = it != inFlight_.end() && it->second.lostAtFar;
  inFlight_.erase(ticket);
  if (!lost) {
    arrivedWhole(index(from), frame);
  }
}

void Cable::arrivedWhole(std::size_t from, const WireFrame& frame) {
  const End& sender = endAt(from);
  if (!sender.carriesFrames()) {
    return;
  }
  for (const Observer& observer : observers_) {
    observer(frame, sender.side_, clock_.now());
  }
  sender.far().station_->frameArrived(frame);
}

void Cable::arrivedCut(std::size_t from, const WireFrame& fragment) {
  const End& sender = endAt(from);
  if (sender.carriesFrames()) {
    sender.far().station_->frameArrived(fragment);
  }
}

void Cable::lostAtFar(std::uint64_t ticket) {
  if (const auto it = inFlight_.find(ticket); it != inFlight_.end()) {
    it->second.lostAtFar = true;
  }
}

void Cable::collided(std::size_t side, const CollisionReport& report) {
  for (const CollisionObserver& observer : collisionObservers_) {
    observer(endAt(side).side_, report);
  }
}

}  // namespace kl::sim::net
