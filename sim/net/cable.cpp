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
  Flight& flight = cable_.inFlight_[side].emplace_back(Flight{.ticket = ticket});
  flight.arrival = clock.scheduleAt(
      arrival, cable_.liveness_.guard([&cable = cable_, side] { cable.deliver(side); }));
  if (done) {
    flight.done =
        clock.scheduleAt(idleAt_, [done = std::move(done)]() mutable { done(SendOutcome{}); });
  }
  flight.frame = std::move(frame);
  access.fullDuplexFrame(side, ticket, start, arrival);
  return Transmission{ticket, idleAt_};
}

bool Cable::End::cutOff(const Transmission& transmission) {
  MediumAccess& access = cable_.access_;
  std::deque<Flight>& flights = cable_.inFlight_[index(side_)];
  const auto it = std::find_if(flights.begin(), flights.end(), [&](const Flight& flight) {
    return flight.ticket == transmission.ticket;
  });
  if (it == flights.end()) {
    return access.cutOff(transmission.ticket);
  }
  cable_.clock_.cancel(it->arrival);
  if (it->done) {
    cable_.clock_.cancel(*it->done);
  }
  flights.erase(it);
  access.cutOff(transmission.ticket);
  return true;
}

void Cable::deliver(std::size_t from) {
  Flight flight = std::move(inFlight_[from].front());
  inFlight_[from].pop_front();
  if (!flight.lostAtFar) {
    arrivedWhole(from, flight.frame);
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
  for (std::deque<Flight>& flights : inFlight_) {
    for (Flight& flight : flights) {
      flight.lostAtFar = flight.lostAtFar || flight.ticket == ticket;
    }
  }
}

void Cable::collided(std::size_t side, const CollisionReport& report) {
  for (const CollisionObserver& observer : collisionObservers_) {
    observer(endAt(side).side_, report);
  }
}

}  // namespace kl::sim::net
