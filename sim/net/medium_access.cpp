#include "sim/net/medium_access.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace kl::sim::net {

namespace {

// Preamble and delimiter carry no frame bytes to a receiver.
constexpr std::uint64_t kPreambleBits = kPreambleBytes * 8;
// The jam as a receiver sees it: alternating ones and zeros.
constexpr std::uint8_t kJamByte = 0x55;
constexpr std::size_t kJamBytes = kJamBits / 8;

}  // namespace

void MediumAccess::send(std::size_t side, std::uint64_t ticket, WireFrame frame, SendDone done) {
  End& end = ends_.at(side);
  end.queue.push_back(
      Attempt{.ticket = ticket, .frame = std::move(frame), .done = std::move(done)});
  if (end.queue.size() > 1) {
    return;
  }
  if (idleAt(side) <= clock_.now()) {
    tryToSend(side);
  } else {
    tryAt(side, idleAt(side));
  }
}

void MediumAccess::fullDuplexFrame(std::size_t side, std::uint64_t ticket, VirtualTime start,
                                   VirtualTime end) {
  End& own = ends_.at(side);
  prune(own);
  own.bursts.push_back(Burst{.ticket = ticket, .start = start, .end = end, .fullDuplex = true});
  const End& far = ends_.at(farOf(side));
  if (!far.queue.empty() && far.queue.front().onWire) {
    watchFar(farOf(side));
  }
}

bool MediumAccess::cutOff(std::uint64_t ticket) {
  const VirtualTime now = clock_.now();
  for (std::size_t side = 0; side < ends_.size(); ++side) {
    End& end = ends_[side];
    if (Burst* burst = burstOf(end, ticket); burst != nullptr) {
      burst->end = std::clamp(now, burst->start, burst->end);
    }
    const auto it = std::find_if(end.queue.begin(), end.queue.end(),
                                 [ticket](const Attempt& a) { return a.ticket == ticket; });
    if (it == end.queue.end()) {
      continue;
    }
    const bool current = it == end.queue.begin();
    cancelEvents(*it);
    end.queue.erase(it);
    if (current && !end.queue.empty()) {
      tryAt(side, std::max(now, idleAt(side)));
    }
    return true;
  }
  return false;
}

// The far end's frames may be queued ahead of time; only those over by
// `now` have left a gap to keep.
VirtualTime MediumAccess::quietAt(const End& far, VirtualTime now) const {
  VirtualTime quiet{};
  for (const Burst& burst : far.bursts) {
    if (burst.end <= now) {
      quiet = std::max(quiet, burst.end + gap());
    }
  }
  return quiet;
}

VirtualTime MediumAccess::idleAt(std::size_t side) const {
  const End& end = ends_.at(side);
  return end.bursts.empty() ? VirtualTime{} : end.bursts.back().end + gap();
}

void MediumAccess::tryAt(std::size_t side, VirtualTime at) {
  ends_.at(side).queue.front().next =
      clock_.scheduleAt(at, liveness_.guard([this, side] { tryToSend(side); }));
}

// Carrier sense: the far end's frame is heard once it has been on the wire
// for the slot time, or at once by an end that has collided with it.
void MediumAccess::tryToSend(std::size_t side) {
  End& own = ends_.at(side);
  End& far = ends_.at(farOf(side));
  own.queue.front().next.reset();
  prune(own);
  prune(far);
  const VirtualTime now = clock_.now();
  if (now < idleAt(side)) {
    tryAt(side, idleAt(side));
    return;
  }
  const auto carrier = std::find_if(far.bursts.begin(), far.bursts.end(), [now](const Burst& b) {
    return b.start <= now && now < b.end;
  });
  if (carrier != far.bursts.end()) {
    if (now - carrier->start < slotTime(wire_.wireRate()) && !carrier->heardByFar) {
      putOnWire(side);
      carrier->heardByFar = true;
      if (carrier->fullDuplex) {
        wire_.lostAtFar(carrier->ticket);
      } else if (!far.queue.empty() && far.queue.front().onWire &&
                 far.queue.front().ticket == carrier->ticket) {
        collide(farOf(side), now);
      }
      collide(side, now);
      return;
    }
    ++own.counts.deferrals;
    tryAt(side, carrier->end + gap());
    return;
  }
  if (const VirtualTime quiet = quietAt(far, now); now < quiet) {
    ++own.counts.deferrals;
    tryAt(side, quiet);
    return;
  }
  putOnWire(side);
}

void MediumAccess::putOnWire(std::size_t side) {
  End& own = ends_.at(side);
  Attempt& attempt = own.queue.front();
  const VirtualTime now = clock_.now();
  attempt.onWire = true;
  attempt.start = now;
  const VirtualTime end = now + frameTime(attempt.frame.bytes.size(), wire_.wireRate());
  own.bursts.push_back(Burst{.ticket = attempt.ticket, .start = now, .end = end});
  attempt.next = clock_.scheduleAt(end, liveness_.guard([this, side] { cameThrough(side); }));
  watchFar(side);
}

// A half-duplex MAC that is sending sees any carrier from the far end as a
// collision, whenever it comes.
void MediumAccess::watchFar(std::size_t side) {
  Attempt& attempt = ends_.at(side).queue.front();
  const Burst& own = *burstOf(ends_.at(side), attempt.ticket);
  const std::deque<Burst>& far = ends_.at(farOf(side)).bursts;
  const auto next = std::find_if(far.begin(), far.end(), [&own](const Burst& b) {
    return b.fullDuplex && !b.heardByFar && b.start >= own.start && b.start < own.end;
  });
  if (attempt.watch) {
    clock_.cancel(*attempt.watch);
    attempt.watch.reset();
  }
  if (next != far.end()) {
    attempt.watch =
        clock_.scheduleAt(next->start, liveness_.guard([this, side] { farFrameStarted(side); }));
  }
}

void MediumAccess::farFrameStarted(std::size_t side) {
  ends_.at(side).queue.front().watch.reset();
  const VirtualTime now = clock_.now();
  for (Burst& burst : ends_.at(farOf(side)).bursts) {
    if (burst.fullDuplex && !burst.heardByFar && burst.start == now) {
      burst.heardByFar = true;
      wire_.lostAtFar(burst.ticket);
    }
  }
  collide(side, now);
}

void MediumAccess::collide(std::size_t side, VirtualTime at) {
  End& own = ends_.at(side);
  Attempt& attempt = own.queue.front();
  const BitRate rate = wire_.wireRate();
  cancelEvents(attempt);
  const VirtualTime cut = at + bitTime(kJamBits, rate);
  burstOf(own, attempt.ticket)->end = cut;
  if (WireFrame fragment = fragmentOf(attempt, at); !fragment.bytes.empty()) {
    clock_.scheduleAt(cut, liveness_.guard([this, side, fragment = std::move(fragment)] {
      wire_.arrivedCut(side, fragment);
    }));
  }
  const bool late = at - attempt.start >= slotTime(rate);
  attempt.onWire = false;
  ++attempt.collisions;
  attempt.late = attempt.late || late;
  ++own.counts.collisions;
  own.counts.lateCollisions += late ? 1 : 0;
  CollisionReport report{.collisions = attempt.collisions, .at = at, .jamEnd = cut};
  if (attempt.collisions >= kAttemptLimit) {
    ++own.counts.aborts;
    finish(side, SendOutcome{attempt.collisions, attempt.late, true}, cut);
  } else {
    const auto slots = static_cast<Duration::rep>(random_->below(backoffRange(attempt.collisions)));
    report.retryAt = cut + slotTime(rate) * slots;
    tryAt(side, *report.retryAt);
  }
  wire_.collided(side, report);
}

WireFrame collisionFragment(const WireFrame& frame, Duration onWire, BitRate rate) {
  const auto bits = static_cast<std::uint64_t>(onWire / bitTime(1, rate));
  if (bits <= kPreambleBits) {
    return {};
  }
  const auto sent = std::min<std::size_t>((bits - kPreambleBits) / 8, frame.bytes.size());
  const auto first = frame.bytes.begin();
  WireFrame fragment{std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(sent))};
  fragment.bytes.insert(fragment.bytes.end(), kJamBytes, kJamByte);
  // A cut frame must never pass for a whole one.
  if (fcsValid(fragment.bytes)) {
    fragment.bytes.back() ^= 0xFF;
  }
  return fragment;
}

WireFrame MediumAccess::fragmentOf(const Attempt& attempt, VirtualTime at) const {
  return collisionFragment(attempt.frame, at - attempt.start, wire_.wireRate());
}

void MediumAccess::cameThrough(std::size_t side) {
  End& own = ends_.at(side);
  Attempt& attempt = own.queue.front();
  attempt.next.reset();
  cancelEvents(attempt);
  const WireFrame frame = std::move(attempt.frame);
  finish(side, SendOutcome{attempt.collisions, attempt.late, false}, clock_.now() + gap());
  wire_.arrivedWhole(side, frame);
}

// The outcome goes to the sender at `at`, whatever happens to the wire
// meanwhile; the next queued frame tries once this one's gap is over.
void MediumAccess::finish(std::size_t side, const SendOutcome& outcome, VirtualTime at) {
  End& own = ends_.at(side);
  if (SendDone done = std::move(own.queue.front().done); done) {
    clock_.scheduleAt(at, [done = std::move(done), outcome]() mutable { done(outcome); });
  }
  own.queue.pop_front();
  if (!own.queue.empty()) {
    tryAt(side, std::max(clock_.now(), idleAt(side)));
  }
}

void MediumAccess::cancelEvents(Attempt& attempt) {
  for (std::optional<Clock::EventId>* event : {&attempt.next, &attempt.watch}) {
    if (*event) {
      clock_.cancel(**event);
      event->reset();
    }
  }
}

// Bursts whose gap is over no longer matter to anyone.
void MediumAccess::prune(End& end) {
  const VirtualTime now = clock_.now();
  while (!end.bursts.empty() && end.bursts.front().end + gap() < now) {
    end.bursts.pop_front();
  }
}

MediumAccess::Burst* MediumAccess::burstOf(End& end, std::uint64_t ticket) {
  const auto it = std::find_if(end.bursts.begin(), end.bursts.end(),
                               [ticket](const Burst& b) { return b.ticket == ticket; });
  return it == end.bursts.end() ? nullptr : &*it;
}

}  // namespace kl::sim::net
