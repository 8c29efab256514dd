#include "sim/host/processor.h"

#include <algorithm>

namespace kl::sim {

void Processor::queueDeferred(std::function<void()> work) { deferred_.push_back(std::move(work)); }

void Processor::connect(InterruptVector& vector) {
  vector.order_ = ++connections_;
  watch(vector);
}

void Processor::disconnect(InterruptVector& vector) {
  std::erase(watched_, &vector);
  vector.watched_ = false;
  vector.order_ = 0;
  if (servicing_ == &vector) {
    servicing_ = nullptr;
  }
}

void Processor::watch(InterruptVector& vector) {
  if (vector.watched_ || vector.order_ == 0) {
    return;
  }
  vector.watched_ = true;
  const auto later = std::find_if(watched_.begin(), watched_.end(),
                                  [&](const auto* other) { return other->order_ > vector.order_; });
  watched_.insert(later, &vector);
}

InterruptVector* Processor::unwatchNextAfter(std::uint64_t order) {
  const auto next = std::find_if(watched_.begin(), watched_.end(),
                                 [order](const auto* vector) { return vector->order_ > order; });
  if (next == watched_.end()) {
    return nullptr;
  }
  InterruptVector* vector = *next;
  watched_.erase(next);
  vector->watched_ = false;
  return vector;
}

// A vector may disconnect itself while it is serviced. What a service does
// runs at device level, where stepping stops at once, so this is never
// re-entered.
void Processor::serviceWatched() {
  std::uint64_t after = 0;
  while (InterruptVector* vector = unwatchNextAfter(after)) {
    after = vector->order_;
    if (!vector->asserted()) {
      continue;
    }
    servicing_ = vector;
    atDeviceLevel([vector] { vector->service(); });
    // Still connected: read again at the next step, and let go once it is
    // found low.
    if (servicing_ != nullptr) {
      watch(*vector);
    }
    servicing_ = nullptr;
  }
}

void Processor::runDeferred() {
  if (draining_) {
    return;
  }
  draining_ = true;
  while (!deferred_.empty()) {
    auto work = std::move(deferred_.front());
    deferred_.pop_front();
    work();
  }
  draining_ = false;
}

}  // namespace kl::sim
