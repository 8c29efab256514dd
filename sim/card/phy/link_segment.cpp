#include "sim/card/phy/link_segment.h"

#include <algorithm>
#include <stdexcept>

namespace kl::sim::card {

namespace {

// Mixed into the machine's seed for the segment's draws.
constexpr std::uint64_t kTimingSalt = 0x5E6;

bool negotiates(const LinkEnd& end) {
  return end.signal().kind == LinkSignal::Kind::AutoNegotiation;
}

}  // namespace

LinkEnd::~LinkEnd() {
  if (segment_ != nullptr) {
    segment_->detach(*this);
  }
}

void LinkEnd::signalChanged(bool restart) {
  if (segment_ != nullptr) {
    segment_->signalChanged(*this, restart);
  }
}

LinkSegment::LinkSegment(Clock& clock, LinkEnd& a, LinkEnd& b, const TimingSetup& timing)
    : clock_(clock), ends_{&a, &b}, timing_(timing, kTimingSalt) {
  if (&a == &b || a.segment_ != nullptr || b.segment_ != nullptr) {
    throw std::invalid_argument("a link end is on one segment at a time");
  }
  a.segment_ = this;
  b.segment_ = this;
  restart(nullptr, false);
}

LinkSegment::~LinkSegment() {
  cancel(pending_);
  for (std::size_t side = 0; side < ends_.size(); ++side) {
    cancel(losses_[side]);
    if (LinkEnd* end = ends_[side]; end != nullptr) {
      end->segment_ = nullptr;
      setOutcome(*end, LinkResult{});
    }
  }
}

void LinkSegment::cancel(std::optional<Clock::EventId>& event) {
  if (event) {
    clock_.cancel(*event);
    event.reset();
  }
}

void LinkSegment::detach(LinkEnd& end) {
  const std::size_t side = ends_[0] == &end ? 0 : 1;
  cancel(losses_[side]);
  end.segment_ = nullptr;
  ends_[side] = nullptr;
  setConnected(false);
}

void LinkSegment::setConnected(bool connected) {
  connected_ = connected && ends_[0] != nullptr && ends_[1] != nullptr;
  restart(nullptr, false);
}

LinkResult LinkSegment::outcome(const LinkEnd& local, const LinkEnd& remote) const {
  if (!connected_) {
    return {};
  }
  return resolveLink(local.signal(), remote.signal());
}

bool LinkSegment::bothNegotiate() const {
  return ends_[0] != nullptr && ends_[1] != nullptr && negotiates(*ends_[0]) &&
         negotiates(*ends_[1]);
}

void LinkSegment::signalChanged(const LinkEnd& end, bool restart) {
  if (!restart) {
    // While the pair settles, the outcome is taken from the signals as they
    // are when it has settled.
    if (pending_ || ends_[0] == nullptr || ends_[1] == nullptr) {
      return;
    }
    const LinkResult atA = outcome(*ends_[0], *ends_[1]);
    const LinkResult atB = outcome(*ends_[1], *ends_[0]);
    if (atA == ends_[0]->link() && atB == ends_[1]->link()) {
      return;
    }
    // A forced duplex changed: the link's signalling, and so the link, stay.
    if (atA.up && atB.up && ends_[0]->link().up && ends_[1]->link().up &&
        atA.mode.speed == ends_[0]->link().mode.speed) {
      setOutcome(*ends_[0], atA);
      setOutcome(*ends_[1], atB);
      return;
    }
  }
  this->restart(&end, restart);
}

// The end that changed knows at once; the other end notices only when the
// signal it was linked by is gone for its link-loss time. A negotiating end
// that starts afresh, or that lost its link, then breaks the link before it
// offers its abilities again.
void LinkSegment::restart(const LinkEnd* changed, bool afresh) {
  cancel(pending_);
  const VirtualTime now = clock_.now();
  VirtualTime from = now;
  for (std::size_t side = 0; side < ends_.size(); ++side) {
    LinkEnd* end = ends_[side];
    if (end == nullptr) {
      continue;
    }
    const bool self = end == changed;
    const bool wasUp = end->link().up;
    Duration detection{};
    if (wasUp && !self) {
      detection = timing_(end->link().mode.speed == Speed::Mbit100 ? Timing::LinkLoss100
                                                                   : Timing::LinkLoss10);
    }
    if (wasUp || self) {
      loseLink(side, detection);
    }
    if (negotiates(*end)) {
      if ((self && afresh) || wasUp) {
        end->quietUntil_ = now + detection + timing_(Timing::BreakLink);
      }
      from = std::max(from, end->quietUntil_);
    }
    from = std::max(from, now + detection);
  }
  if (!connected_) {
    return;
  }
  if (const auto bringUp = bringUpTime()) {
    pending_ = clock_.scheduleAt(from + *bringUp, [this] { settle(); });
  }
}

void LinkSegment::loseLink(std::size_t side, Duration detection) {
  cancel(losses_[side]);
  if (detection == Duration{}) {
    setOutcome(*ends_[side], LinkResult{});
    return;
  }
  losses_[side] = clock_.scheduleIn(detection, [this, side] {
    losses_[side].reset();
    setOutcome(*ends_[side], LinkResult{});
  });
}

Duration LinkSegment::linkTime(Speed speed) {
  return timing_(speed == Speed::Mbit100 ? Timing::LinkReady100 : Timing::LinkPass10);
}

std::optional<Duration> LinkSegment::bringUpTime() {
  const LinkSignal a = ends_[0]->signal();
  const LinkSignal b = ends_[1]->signal();
  using Kind = LinkSignal::Kind;
  if (a.kind == Kind::None || b.kind == Kind::None) {
    return std::nullopt;
  }
  if (a.kind == Kind::AutoNegotiation && b.kind == Kind::AutoNegotiation) {
    const Duration exchange = timing_(Timing::AbilityExchange);
    const LinkResult agreed = resolveLink(a, b);
    return agreed.up ? exchange + linkTime(agreed.mode.speed) : exchange;
  }
  if (a.kind == Kind::Forced && b.kind == Kind::Forced) {
    return linkTime(a.forced.speed);
  }
  // Parallel detection: the forced end's technology is recognised by its
  // link, and the negotiating end then waits before it takes it.
  const Speed detected = (a.kind == Kind::Forced ? a : b).forced.speed;
  return linkTime(detected) + timing_(Timing::AutonegWait);
}

void LinkSegment::settle() {
  pending_.reset();
  const LinkResult atA = outcome(*ends_[0], *ends_[1]);
  const LinkResult atB = outcome(*ends_[1], *ends_[0]);
  setOutcome(*ends_[0], atA);
  setOutcome(*ends_[1], atB);
  // Two ends that agreed on nothing give up once the link_fail_inhibit_timer
  // has run out and negotiate again from the start, with what each then
  // advertises.
  if (bothNegotiate() && !atA.up) {
    pending_ = clock_.scheduleIn(timing_(Timing::LinkFailInhibit), [this] {
      pending_.reset();
      for (LinkEnd* end : ends_) {
        end->quietUntil_ = clock_.now() + timing_(Timing::BreakLink);
      }
      restart(nullptr, false);
    });
  }
}

void LinkSegment::setOutcome(LinkEnd& end, const LinkResult& result) {
  if (end.link_ == result) {
    return;
  }
  end.link_ = result;
  end.linkChanged(result);
}

}  // namespace kl::sim::card
