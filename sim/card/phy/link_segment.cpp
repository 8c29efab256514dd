#include "sim/card/phy/link_segment.h"

#include <stdexcept>

namespace kl::sim::card {

LinkEnd::~LinkEnd() {
  if (segment_ != nullptr) {
    segment_->detach(*this);
  }
}

void LinkEnd::signalChanged(bool restart) {
  if (segment_ != nullptr) {
    segment_->signalChanged(restart);
  }
}

LinkSegment::LinkSegment(Clock& clock, LinkEnd& a, LinkEnd& b, Duration negotiationTime)
    : clock_(clock), a_(&a), b_(&b), negotiationTime_(negotiationTime) {
  if (&a == &b || a.segment_ != nullptr || b.segment_ != nullptr) {
    throw std::invalid_argument("a link end is on one segment at a time");
  }
  a.segment_ = this;
  b.segment_ = this;
  restart();
}

LinkSegment::~LinkSegment() {
  if (pending_) {
    clock_.cancel(*pending_);
  }
  for (LinkEnd* end : {a_, b_}) {
    if (end != nullptr) {
      end->segment_ = nullptr;
      setOutcome(*end, LinkResult{});
    }
  }
}

void LinkSegment::detach(LinkEnd& end) {
  end.segment_ = nullptr;
  (a_ == &end ? a_ : b_) = nullptr;
  setConnected(false);
}

void LinkSegment::setConnected(bool connected) {
  connected_ = connected && a_ != nullptr && b_ != nullptr;
  restart();
}

LinkResult LinkSegment::outcome(const LinkEnd& local, const LinkEnd& remote) const {
  if (!connected_) {
    return {};
  }
  return resolveLink(local.signal(), remote.signal());
}

void LinkSegment::signalChanged(bool restart) {
  if (!restart) {
    // While the pair settles, the outcome is taken from the signals as they
    // are when it has settled.
    if (pending_ || a_ == nullptr || b_ == nullptr) {
      return;
    }
    if (outcome(*a_, *b_) == a_->link() && outcome(*b_, *a_) == b_->link()) {
      return;
    }
  }
  this->restart();
}

void LinkSegment::restart() {
  if (pending_) {
    clock_.cancel(*pending_);
    pending_.reset();
  }
  for (LinkEnd* end : {a_, b_}) {
    if (end != nullptr) {
      setOutcome(*end, LinkResult{});
    }
  }
  if (connected_) {
    pending_ = clock_.scheduleIn(negotiationTime_, [this] { settle(); });
  }
}

void LinkSegment::settle() {
  pending_.reset();
  const LinkResult atA = outcome(*a_, *b_);
  const LinkResult atB = outcome(*b_, *a_);
  setOutcome(*a_, atA);
  setOutcome(*b_, atB);
}

void LinkSegment::setOutcome(LinkEnd& end, const LinkResult& result) {
  if (end.link_ == result) {
    return;
  }
  end.link_ = result;
  end.linkChanged(result);
}

}  // namespace kl::sim::card
