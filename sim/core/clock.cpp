#include "sim/core/clock.h"

#include <algorithm>
#include <cassert>

namespace kl::sim {

Clock::EventId Clock::scheduleAt(VirtualTime at, Callback callback) {
  const Key key{std::max(at, now_), nextSequence_++};
  events_.emplace(key, std::move(callback));
  return EventId{key.sequence};
}

bool Clock::cancel(EventId id) {
  const auto it = std::find_if(events_.begin(), events_.end(), [id](const auto& entry) {
    return entry.first.sequence == id.value;
  });
  if (it == events_.end()) {
    return false;
  }
  events_.erase(it);
  return true;
}

std::optional<VirtualTime> Clock::nextEventTime() const {
  if (events_.empty()) {
    return std::nullopt;
  }
  return events_.begin()->first.at;
}

bool Clock::fireNextDue(VirtualTime limit) {
  if (events_.empty() || events_.begin()->first.at > limit) {
    return false;
  }
  auto node = events_.extract(events_.begin());
  now_ = node.key().at;
  node.mapped()();
  return true;
}

void Clock::moveTo(VirtualTime to) {
  assert(to >= now_);
  now_ = to;
}

}  // namespace kl::sim
