#include "sim/net/hub.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace kl::sim::net {

bool Hub::Port::carriesFrames() const {
  return station_ != nullptr && transceiverUp_ && rate_ == hub_.rate_;
}

Transmission Hub::Port::send(WireFrame frame, SendDone done) {
  return hub_.send(index_, std::move(frame), std::move(done));
}

bool Hub::Port::cutOff(const Transmission& transmission) {
  return hub_.cutOff(transmission.ticket);
}

Hub::Hub(Clock& clock, std::size_t ports, BitRate rate, WorldRandom& random)
    : clock_(clock), rate_(rate), random_(random), ports_(ports) {
  for (std::size_t index = 0; index < ports; ++index) {
    ports_[index].jack = std::make_unique<Port>(*this, index);
  }
}

// A port without a link to the segment sends into nothing, in the frame's
// time.
Transmission Hub::send(std::size_t port, WireFrame frame, SendDone done) {
  PortState& own = ports_.at(port);
  const std::uint64_t ticket = nextTicket_++;
  const VirtualTime start = std::max(clock_.now(), own.idleAt);
  const VirtualTime left = start + frameTime(frame.bytes.size(), own.jack->rate_) + gap();
  if (!own.jack->carriesFrames()) {
    own.idleAt = left;
    if (done) {
      clock_.scheduleAt(left, [done = std::move(done)]() mutable { done(SendOutcome{}); });
    }
    return Transmission{ticket, left};
  }
  own.queue.push_back(
      Attempt{.ticket = ticket, .frame = std::move(frame), .done = std::move(done)});
  if (own.queue.size() == 1) {
    tryAt(port, start);
  }
  return Transmission{ticket, left};
}

bool Hub::cutOff(std::uint64_t ticket) {
  const VirtualTime now = clock_.now();
  if (Burst* burst = burstOf(ticket); burst != nullptr) {
    burst->end = std::clamp(now, burst->start, burst->end);
  }
  for (std::size_t port = 0; port < ports_.size(); ++port) {
    std::deque<Attempt>& queue = ports_[port].queue;
    const auto it = std::ranges::find(queue, ticket, &Attempt::ticket);
    if (it == queue.end()) {
      continue;
    }
    const bool current = it == queue.begin();
    if (it->next) {
      clock_.cancel(*it->next);
    }
    if (it->onWire) {
      ports_[port].idleAt = now + gap();
    }
    queue.erase(it);
    if (current && !queue.empty()) {
      tryAt(port, std::max(now, ports_[port].idleAt));
    }
    return true;
  }
  return false;
}

void Hub::tryAt(std::size_t port, VirtualTime at) {
  ports_.at(port).queue.front().next =
      clock_.scheduleAt(at, liveness_.guard([this, port] { tryToSend(port); }));
}

// Carrier sense: another port's frame is heard once it has been on the
// segment for the slot time; before that, starting collides with it.
void Hub::tryToSend(std::size_t port) {
  PortState& own = ports_.at(port);
  own.queue.front().next.reset();
  prune();
  const VirtualTime now = clock_.now();
  if (now < own.idleAt) {
    tryAt(port, own.idleAt);
    return;
  }
  std::vector<std::size_t> carriers;
  VirtualTime quiet{};
  bool heard = false;
  for (std::size_t index = 0; index < bursts_.size(); ++index) {
    const Burst& burst = bursts_[index];
    if (burst.port == port) {
      continue;
    }
    quiet = std::max(quiet, burst.end + gap());
    if (burst.start <= now && now < burst.end) {
      carriers.push_back(index);
      heard = heard || now - burst.start >= slot();
    }
  }
  if (heard || (carriers.empty() && now < quiet)) {
    ++own.counts.deferrals;
    tryAt(port, quiet);
    return;
  }
  putOnWire(port);
  if (!carriers.empty()) {
    collideWith(port, carriers);
  }
}

void Hub::putOnWire(std::size_t port) {
  Attempt& attempt = ports_.at(port).queue.front();
  const VirtualTime now = clock_.now();
  attempt.onWire = true;
  attempt.start = now;
  const VirtualTime end = now + frameTime(attempt.frame.bytes.size(), rate_);
  bursts_.push_back(Burst{.port = port, .ticket = attempt.ticket, .start = now, .end = end});
  attempt.next = clock_.scheduleAt(end, liveness_.guard([this, port] { cameThrough(port); }));
}

// `port` started into frames it had not heard yet. Each of them still
// sending collides with it; the first of them reaches the others as a
// fragment, unless an earlier collision already garbled the segment.
void Hub::collideWith(std::size_t port, const std::vector<std::size_t>& carriers) {
  const VirtualTime now = clock_.now();
  const Burst* first = nullptr;
  std::vector<std::size_t> senders{port};
  bool garbled = false;
  for (const std::size_t index : carriers) {
    const Burst& burst = bursts_[index];
    senders.push_back(burst.port);
    garbled = garbled || burst.collided;
    if (first == nullptr || burst.start < first->start) {
      first = &burst;
    }
  }
  if (garbled) {
    first = nullptr;
  }
  if (first != nullptr) {
    const Attempt& attempt = ports_.at(first->port).queue.front();
    // The senders and the fragment travel together, held apart from the
    // event, which keeps only a pointer to them inline.
    struct Cut {
      std::vector<std::size_t> senders;
      WireFrame fragment;
    };
    auto cut = std::make_unique<Cut>(
        Cut{senders, collisionFragment(attempt.frame, now - attempt.start, rate_)});
    if (!cut->fragment.bytes.empty()) {
      clock_.scheduleAt(now + bitTime(kJamBits, rate_),
                        liveness_.guard([this, cut = std::move(cut)] {
                          for (std::size_t other = 0; other < ports_.size(); ++other) {
                            if (std::ranges::find(cut->senders, other) == cut->senders.end()) {
                              deliver(other, cut->fragment);
                            }
                          }
                        }));
    }
  }
  for (const std::size_t index : carriers) {
    if (!bursts_[index].collided) {
      collide(bursts_[index].port, now);
    }
  }
  collide(port, now);
}

void Hub::collide(std::size_t port, VirtualTime at) {
  PortState& own = ports_.at(port);
  Attempt& attempt = own.queue.front();
  if (attempt.next) {
    clock_.cancel(*attempt.next);
    attempt.next.reset();
  }
  const VirtualTime cut = at + bitTime(kJamBits, rate_);
  Burst* burst = burstOf(attempt.ticket);
  burst->end = cut;
  burst->collided = true;
  attempt.onWire = false;
  ++attempt.collisions;
  ++own.counts.collisions;
  own.idleAt = cut;
  if (attempt.collisions >= kAttemptLimit) {
    ++own.counts.aborts;
    for (const GiveUpObserver& observer : giveUpObservers_) {
      observer(attempt.frame, port);
    }
    finish(port, SendOutcome{.collisions = attempt.collisions, .aborted = true}, cut);
    return;
  }
  const auto slots = static_cast<Duration::rep>(random_.below(backoffRange(attempt.collisions)));
  tryAt(port, cut + slot() * slots);
}

void Hub::cameThrough(std::size_t port) {
  PortState& own = ports_.at(port);
  Attempt& attempt = own.queue.front();
  attempt.next.reset();
  const WireFrame frame = std::move(attempt.frame);
  own.idleAt = clock_.now() + gap();
  finish(port, SendOutcome{.collisions = attempt.collisions}, own.idleAt);
  for (const Observer& observer : observers_) {
    observer(frame, port, clock_.now());
  }
  for (std::size_t other = 0; other < ports_.size(); ++other) {
    if (other != port) {
      deliver(other, frame);
    }
  }
}

// The outcome goes to the sender at `at`; the next queued frame tries once
// this one's gap is over.
void Hub::finish(std::size_t port, const SendOutcome& outcome, VirtualTime at) {
  PortState& own = ports_.at(port);
  if (SendDone done = std::move(own.queue.front().done); done) {
    clock_.scheduleAt(at, [done = std::move(done), outcome]() mutable { done(outcome); });
  }
  own.queue.pop_front();
  if (!own.queue.empty()) {
    tryAt(port, std::max(clock_.now(), own.idleAt));
  }
}

void Hub::deliver(std::size_t to, const WireFrame& frame) {
  if (const Port& port = *ports_.at(to).jack; port.carriesFrames()) {
    port.station_->frameArrived(frame);
  }
}

// Bursts whose gap is over no longer matter to anyone.
void Hub::prune() {
  const VirtualTime now = clock_.now();
  std::erase_if(bursts_, [this, now](const Burst& burst) { return burst.end + gap() < now; });
}

// A frame tried again at once after a collision still has the burst of
// that collision on the segment, within its gap: the newest burst of a
// ticket is its attempt now.
Hub::Burst* Hub::burstOf(std::uint64_t ticket) {
  const auto newest = std::ranges::find(bursts_.rbegin(), bursts_.rend(), ticket, &Burst::ticket);
  return newest == bursts_.rend() ? nullptr : &*newest;
}

}  // namespace kl::sim::net
