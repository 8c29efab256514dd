// A twisted-pair segment between two link ends (a card's PHY, or a partner a
// test or a program stands in for), on the world's virtual clock, at the
// times of the world's timing corner.
//
// An end that starts signalling afresh (a reset, auto-negotiation enabled or
// restarted, a partner changing what it offers) drops its link at once; the
// other end notices the loss after its link-loss time. A negotiating end
// then keeps quiet for its break_link_timer before it offers its abilities
// again. Once both are past that, the pair settles after the time its kind
// of link takes to come up, and each end gets its outcome from the signals
// both ends send at that moment:
//  - both negotiate: the ability exchange, then the resolved technology's
//    link coming up; with nothing in common both try again once the
//    link_fail_inhibit_timer has run out;
//  - one negotiates and the other is forced: parallel detection, the forced
//    technology's link and then the autoneg_wait_timer;
//  - both are forced: the technology's link.
// A pulled cable is a loss at both ends; plugged back, the pair settles once
// the ends are past their break-link time. A change that leaves the link
// running at the speed it runs at (forcing that speed, at either duplex)
// keeps the link.
#pragma once

#include <array>
#include <optional>

#include "sim/card/phy/negotiation.h"
#include "sim/card/timing.h"
#include "sim/core/clock.h"

namespace kl::sim::card {

class LinkSegment;

class LinkEnd {
 public:
  LinkEnd() = default;
  LinkEnd(const LinkEnd&) = delete;
  LinkEnd& operator=(const LinkEnd&) = delete;
  virtual ~LinkEnd();

  // What this end puts on the pair now.
  [[nodiscard]] virtual LinkSignal signal() const = 0;
  // The segment settled, or lost the link, and this end's outcome changed.
  virtual void linkChanged(const LinkResult& result) = 0;

  // The outcome this end has now (down when on no segment).
  [[nodiscard]] const LinkResult& link() const { return link_; }
  [[nodiscard]] bool onSegment() const { return segment_ != nullptr; }

 protected:
  // The end's signal changed; `restart` when it starts signalling afresh.
  void signalChanged(bool restart);

 private:
  friend class LinkSegment;
  LinkSegment* segment_ = nullptr;
  LinkResult link_{};
  // The end of this end's break-link time: it offers nothing before then.
  VirtualTime quietUntil_{};
};

class LinkSegment {
 public:
  // Connects `a` and `b`, which must be on no other segment, and starts
  // their signalling, at the times of `timing`.
  LinkSegment(Clock& clock, LinkEnd& a, LinkEnd& b, const TimingSetup& timing = {});
  LinkSegment(const LinkSegment&) = delete;
  LinkSegment& operator=(const LinkSegment&) = delete;
  // Both ends are left with no link.
  ~LinkSegment();

  // A pulled cable: both ends lose the link until it is connected again.
  void setConnected(bool connected);
  [[nodiscard]] bool connected() const { return connected_; }
  [[nodiscard]] bool settling() const { return pending_.has_value(); }

 private:
  friend class LinkEnd;
  void signalChanged(const LinkEnd& end, bool restart);
  // `restarting`: the end that starts afresh, none for a pulled or plugged
  // cable or a change of forced mode; `both` when both do.
  void restart(const LinkEnd* restarting, bool both = false);
  void loseLink(std::size_t side, Duration detection);
  // The time the pair takes to come up once both ends signal again.
  [[nodiscard]] std::optional<Duration> bringUpTime();
  [[nodiscard]] Duration linkTime(Speed speed);
  void settle();
  void setOutcome(LinkEnd& end, const LinkResult& result);
  void detach(LinkEnd& end);
  [[nodiscard]] LinkResult outcome(const LinkEnd& local, const LinkEnd& remote) const;
  [[nodiscard]] bool bothNegotiate() const;
  void cancel(std::optional<Clock::EventId>& event);

  Clock& clock_;
  std::array<LinkEnd*, 2> ends_;
  TimingSource timing_;
  bool connected_ = true;
  std::optional<Clock::EventId> pending_;
  // Each end's noticing that the link it had is gone.
  std::array<std::optional<Clock::EventId>, 2> losses_;
};

}  // namespace kl::sim::card
