#include "sim/host/processor.h"

#include <algorithm>

namespace kl::sim {

void Processor::queueDeferred(std::function<void()> work) { deferred_.push_back(std::move(work)); }

void Processor::connect(InterruptVector& vector) { vectors_.push_back(&vector); }

void Processor::disconnect(const InterruptVector& vector) { std::erase(vectors_, &vector); }

void Processor::poll() {
  if (level_ == Irql::Device) {
    return;
  }
  // Polled after every port access: mostly no line is asserted, and then
  // nothing is copied.
  const auto asserted = [](const InterruptVector* vector) { return vector->asserted(); };
  if (std::any_of(vectors_.begin(), vectors_.end(), asserted)) {
    // A vector may disconnect itself while it is serviced; walk a copy. The
    // copy is never walked twice at once: what a service does runs at device
    // level, where polling stops at once.
    servicing_.assign(vectors_.begin(), vectors_.end());
    for (InterruptVector* vector : servicing_) {
      if (std::find(vectors_.begin(), vectors_.end(), vector) != vectors_.end() &&
          vector->asserted()) {
        atDeviceLevel([vector] { vector->service(); });
      }
    }
  }
  if (serializedDepth_ == 0) {
    runDeferred();
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
