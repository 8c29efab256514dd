// A twisted-pair segment between two link ends (a card's PHY, or a partner a
// test or a program stands in for), on the world's virtual clock.
//
// Whenever an end restarts its signalling (a reset, auto-negotiation enabled
// or restarted, a partner changing what it offers, the cable plugged in),
// both ends lose the link at once and the pair settles after the negotiation
// time: each end then gets its outcome, from the signals both ends send at
// that moment. A change that leaves both outcomes as they are (forcing the
// mode the link already runs at) keeps the link.
#pragma once

#include <optional>

#include "sim/card/phy/negotiation.h"
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
};

class LinkSegment {
 public:
  static constexpr Duration kDefaultNegotiationTime = 300ms;

  // Connects `a` and `b`, which must be on no other segment, and starts
  // negotiating.
  LinkSegment(Clock& clock, LinkEnd& a, LinkEnd& b,
              Duration negotiationTime = kDefaultNegotiationTime);
  LinkSegment(const LinkSegment&) = delete;
  LinkSegment& operator=(const LinkSegment&) = delete;
  // Both ends are left with no link.
  ~LinkSegment();

  // A pulled cable: both ends lose the link until it is connected again.
  void setConnected(bool connected);
  [[nodiscard]] bool connected() const { return connected_; }
  [[nodiscard]] bool settling() const { return pending_.has_value(); }
  [[nodiscard]] Duration negotiationTime() const { return negotiationTime_; }

 private:
  friend class LinkEnd;
  void signalChanged(bool restart);
  void restart();
  void settle();
  void setOutcome(LinkEnd& end, const LinkResult& result);
  void detach(LinkEnd& end);
  [[nodiscard]] LinkResult outcome(const LinkEnd& local, const LinkEnd& remote) const;

  Clock& clock_;
  LinkEnd* a_;
  LinkEnd* b_;
  Duration negotiationTime_;
  bool connected_ = true;
  std::optional<Clock::EventId> pending_;
};

}  // namespace kl::sim::card
